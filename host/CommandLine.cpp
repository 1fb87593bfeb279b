#include "CommandLine.h"

#include <cstdio>

#include "Commands.h"

#ifndef TESSARO_VERSION
#define TESSARO_VERSION "unknown"
#endif

namespace tessaro::host {

namespace {

const OptionSpec* findLong(std::span<const OptionSpec> options, std::string_view name) {
  for (const OptionSpec& option : options)
    if (option.name == name) return &option;
  return nullptr;
}

const OptionSpec* findLetter(std::span<const OptionSpec> options, char letter) {
  for (const OptionSpec& option : options)
    if (option.letter != 0 && option.letter == letter) return &option;
  return nullptr;
}

}  // namespace

const char* programVersion() { return TESSARO_VERSION; }

int usageError(const char* usage) {
  std::fprintf(stderr, "usage: tessaro %s", usage);
  return kExitUsage;
}

bool CommandLine::has(std::string_view name) const { return count(name) > 0; }

size_t CommandLine::count(std::string_view name) const {
  size_t n = 0;
  for (const auto& [given, value] : given_) n += given == name ? 1 : 0;
  return n;
}

std::optional<std::string> CommandLine::value(std::string_view name) const {
  for (auto it = given_.rbegin(); it != given_.rend(); ++it)
    if (it->first == name) return it->second;
  return std::nullopt;
}

std::optional<int> parseCommandLine(std::string_view command, const char* usage,
                                    const std::vector<std::string>& args, std::span<const OptionSpec> options,
                                    CommandLine& out) {
  const auto quoted = [](std::string_view text) {
    // An argument shown in a message stays on one line whatever bytes it holds.
    std::string shown;
    for (const char c : text) shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    return shown;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      out.operands_.insert(out.operands_.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                           args.end());
      break;
    }
    // "-" alone names standard input and is an operand like any word.
    if (arg.size() < 2 || arg[0] != '-') {
      out.operands_.push_back(arg);
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::printf("usage: tessaro %s", usage);
      return kExitOK;
    }
    if (arg == "--version") {
      std::printf("tessaro %s\n", programVersion());
      return kExitOK;
    }
    const OptionSpec* option = nullptr;
    std::optional<std::string> attached;
    if (arg.starts_with("--")) {
      const size_t equals = arg.find('=');
      option = findLong(options, std::string_view(arg).substr(0, equals));
      if (option && equals != std::string::npos) attached = arg.substr(equals + 1);
    } else if (arg.size() == 2) {
      option = findLetter(options, arg[1]);
    }
    if (!option || (attached && !option->takesValue)) {
      std::fprintf(stderr, "tessaro: unknown option %s for %.*s\n", quoted(arg).c_str(),
                   static_cast<int>(command.size()), command.data());
      return kExitUsage;
    }
    if (!option->takesValue) {
      out.given_.emplace_back(option->name, std::string());
      continue;
    }
    if (!attached) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "tessaro: %s for %.*s needs a value\n", quoted(arg).c_str(),
                     static_cast<int>(command.size()), command.data());
        return kExitUsage;
      }
      attached = args[++i];
    }
    out.given_.emplace_back(option->name, std::move(*attached));
  }
  return std::nullopt;
}

}  // namespace tessaro::host
