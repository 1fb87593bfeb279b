#include "DesktopNotification.h"

#include <cstdlib>
#include <optional>
#include <vector>

#include "process/Subprocess.h"

namespace tessaro::host {

namespace {

// Notification servers read the body as markup: a name with "<" or "&" must show as it is.
std::string markupEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

}  // namespace

bool notifyDesktop(const std::string& summary, const std::string& body) {
  const char* own = std::getenv("TESSARO_NOTIFY");
  const std::optional<std::string> program = programOnPath(own && *own ? own : "notify-send");
  if (!program) return false;
  // "--" keeps a summary or body that starts with a dash from being read as an option.
  const SubprocessResult result =
      run({*program, "--app-name=Tessaro", "--icon=folder", "--", summary, markupEscaped(body)});
  return result.started && result.exitStatus == 0;
}

}  // namespace tessaro::host
