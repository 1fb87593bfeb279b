// The system log, alerts, and command lines made fit to be logged.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

// HLVLog levels. Command lines go out below the trace level: only a user who lowers
// HLVDebugLevel to -1 sees them, and even then without passwords (redactedArguments).
inline constexpr int kLogCommand = -1;
inline constexpr int kLogTrace = 0;
inline constexpr int kLogNotice = 1;
inline constexpr int kLogError = 2;

// An argument list or shell command line as it may be logged: the value of every password switch
// ("-pSECRET", "-hpSECRET", "-p SECRET", "--password=SECRET", quoted or not) replaced by "***".
std::string redactedArguments(const std::vector<std::string>& arguments);
std::string redactedCommandLine(std::string_view command);

// Writes the printf-formatted message to the system log when `level` is at least HLVDebugLevel.
void HLVLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void HLVLogV(int level, const char* format, va_list args);

// The alert's return code (1 for the default button); see AlertPanel.h for how it is answered.
int HLVRunAlertPanel(std::string_view title, std::string_view message, std::string_view defaultButton,
                     std::string_view alternateButton, std::string_view otherButton);

}  // namespace tessaro
