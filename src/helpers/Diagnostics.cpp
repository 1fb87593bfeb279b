#include "Diagnostics.h"

#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "HelperSupport.h"
#include "alert/AlertPanel.h"
#include "defaults/UserDefaults.h"
#include "log/SystemLog.h"

namespace tessaro {

// The definition forwards a caller's format, which the compiler can only check at the caller.
void HLVLogV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

namespace {

int priorityForLevel(int level) {
  if (level >= kLogError) return LOG_ERR;
  if (level == kLogNotice) return LOG_NOTICE;
  return LOG_DEBUG;
}

// The switches whose value is a password: glued ("-pX"), or, for the first three, also given as
// the next argument.
constexpr std::string_view kPasswordSwitches[] = {"--password", "-password", "-p", "-hp"};

// The length of the password switch that `word` begins with, and whether its value is glued to
// it; none when the word is no password switch. "-p-" (no password) and a bare "-" stay.
std::optional<std::pair<size_t, bool>> passwordSwitch(std::string_view word) {
  for (const std::string_view name : kPasswordSwitches) {
    if (!word.starts_with(name)) continue;
    std::string_view rest = word.substr(name.size());
    if (rest.empty()) return std::pair{name.size(), false};
    if (rest.front() == '=') return std::pair{name.size() + 1, true};
    if (rest == "-" || name.starts_with("--") || name == "-password") return std::nullopt;
    return std::pair{name.size(), true};
  }
  return std::nullopt;
}

}  // namespace

std::string redactedArguments(const std::vector<std::string>& arguments) {
  std::string text = "(";
  bool valueNext = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += ", ";
    const std::string& argument = arguments[i];
    if (valueNext) {
      text += "***";
      valueNext = false;
      continue;
    }
    const auto found = passwordSwitch(argument);
    if (found && found->second) {
      text.append(argument, 0, found->first);
      text += "***";
    } else {
      text += argument;
      valueNext = found.has_value();
    }
  }
  return text + ")";
}

std::string redactedCommandLine(std::string_view command) {
  std::string out;
  bool valueNext = false;
  size_t pos = 0;
  while (pos < command.size()) {
    if (command[pos] == ' ' || command[pos] == '\t' || command[pos] == '\n') {
      out += command[pos++];
      continue;
    }
    // One shell word, its quotes and escapes included.
    const size_t start = pos;
    while (pos < command.size() && command[pos] != ' ' && command[pos] != '\t' && command[pos] != '\n') {
      const char c = command[pos];
      if (c == '\\') {
        pos += 2;
      } else if (c == '\'') {
        const size_t close = command.find('\'', pos + 1);
        pos = close == std::string_view::npos ? command.size() : close + 1;
      } else if (c == '"') {
        // Inside double quotes a backslash still escapes the next character.
        ++pos;
        while (pos < command.size() && command[pos] != '"') pos += command[pos] == '\\' ? 2 : 1;
        ++pos;
      } else {
        ++pos;
      }
    }
    pos = std::min(pos, command.size());
    const std::string_view word = command.substr(start, pos - start);
    if (valueNext) {
      out += "***";
      valueNext = false;
      continue;
    }
    // A quoted switch ("-pX" in quotes) counts too.
    const size_t quote = !word.empty() && (word[0] == '"' || word[0] == '\'') ? 1 : 0;
    const auto found = passwordSwitch(word.substr(quote));
    if (found && found->second) {
      out.append(word.substr(0, quote + found->first));
      out += "***";
    } else {
      out.append(word);
      valueNext = found.has_value();
    }
  }
  return out;
}

void HLVLog(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  HLVLogV(level, format, args);
  va_end(args);
}

void HLVLogV(int level, const char* format, va_list args) {
  if (!format) return;
  try {
    if (level < UserDefaults::standard().integerForKey("HLVDebugLevel")) return;
    char buffer[512];
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(buffer, sizeof buffer, format, measure);
    va_end(measure);
    if (length < 0) return;
    if (static_cast<size_t>(length) < sizeof buffer) {
      systemLog(priorityForLevel(level), std::string_view(buffer, static_cast<size_t>(length)));
      return;
    }
    std::string message(static_cast<size_t>(length), '\0');
    std::vsnprintf(message.data(), message.size() + 1, format, args);
    systemLog(priorityForLevel(level), message);
  } catch (...) {
    // Swallowed: logging has nowhere to report its own failure.
  }
}

int HLVRunAlertPanel(std::string_view title, std::string_view message, std::string_view defaultButton,
                     std::string_view alternateButton, std::string_view otherButton) {
  return detail::guarded(kAlertDefaultReturn, [&] {
    return runAlertPanel(title, message, defaultButton, alternateButton, otherButton);
  });
}

}  // namespace tessaro
