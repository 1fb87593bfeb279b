#include "DesktopNotification.h"

#include <cstdlib>
#include <optional>
#include <vector>

#include "process/Subprocess.h"

namespace tessaro::host {

bool notifyDesktop(const std::string& summary, const std::string& body) {
  const char* own = std::getenv("TESSARO_NOTIFY");
  const std::optional<std::string> program = programOnPath(own && *own ? own : "notify-send");
  if (!program) return false;
  // "--" keeps a summary or body that starts with a dash from being read as an option.
  const SubprocessResult result = run({*program, "--app-name=Tessaro", "--icon=folder", "--", summary, body});
  return result.started && result.exitStatus == 0;
}

}  // namespace tessaro::host
