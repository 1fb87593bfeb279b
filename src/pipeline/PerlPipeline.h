// A tool whose output is rewritten line by line by the system's Perl: the two run at the same
// time, the tool's output reaching Perl through this process in large pieces, and the
// rewritten text is handed on as it comes or collected whole.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/Subprocess.h"

namespace tessaro {

// Runs argv (the tool first) with its standard output piped into "/usr/bin/perl -pe expression"
// and returns what Perl printed; none when either program could not be started. Both keep the
// caller's standard error; `toolOptions` says what else the tool gets (standard input is
// /dev/null unless it says otherwise: a listing tool reads the archive it is named). Exit
// statuses are not looked at: a tool that stops part-way leaves the lines it wrote before. Once
// toolOptions.cancelled is set, both programs are terminated and what came before is kept.
std::optional<std::string> pipeThroughPerl(const std::vector<std::string>& argv,
                                           SubprocessOptions toolOptions, const std::string& expression);

// The same, giving each piece of Perl's output to `take` as it arrives (pieces end anywhere,
// also inside a line) instead of collecting it; false when either program could not be started.
// `toolStatus`, when given, receives the tool's exit status (-1 when it did not exit normally).
bool pipeThroughPerl(const std::vector<std::string>& argv, SubprocessOptions toolOptions,
                     const std::string& expression, const std::function<void(std::string_view)>& take,
                     int* toolStatus = nullptr);

}  // namespace tessaro
