// The one option parser of the tessaro commands: each command names its options in a table, and
// the parser takes them in any place after the command's name, up to "--". "--help"/"-h" print the
// command's usage and "--version" the program's version; an option the table lacks is refused in
// one line.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::host {

struct OptionSpec {
  std::string_view name;  // the long form, with its dashes: "--password"
  char letter = 0;        // the short form's letter ('p' for "-p"), or 0
  bool takesValue = false;
};

class CommandLine {
 public:
  // The operands in their order.
  const std::vector<std::string>& operands() const { return operands_; }
  bool has(std::string_view name) const;
  // The last value given to `name`.
  std::optional<std::string> value(std::string_view name) const;
  // How often `name` was given (--overwrite with --keep is a conflict for the command to refuse).
  size_t count(std::string_view name) const;

 private:
  friend std::optional<int> parseCommandLine(std::string_view, const char*, const std::vector<std::string>&,
                                             std::span<const OptionSpec>, CommandLine&);
  std::vector<std::string> operands_;
  std::vector<std::pair<std::string_view, std::string>> given_;
};

// Parses `args` of `command` against `options`. Returns none when the command should go on, or
// the exit status it ends with: 0 after --help or --version, 2 after a one-line complaint.
std::optional<int> parseCommandLine(std::string_view command, const char* usage,
                                    const std::vector<std::string>& args, std::span<const OptionSpec> options,
                                    CommandLine& out);

// "usage: tessaro USAGE" on standard error; the exit status for a usage error.
int usageError(const char* usage);
// The project's version, as the build names it.
const char* programVersion();

}  // namespace tessaro::host
