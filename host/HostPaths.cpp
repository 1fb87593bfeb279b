#include "HostPaths.h"

#include <unistd.h>

#include <climits>

#include "PathString.h"
#include "ProcessGlobals.h"

namespace tessaro::host {

std::optional<std::string> executableFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
  return std::string(deletingLastPathComponent(std::string_view(buffer, static_cast<size_t>(length))));
}

void locateHelpers() {
  // Installed, bin/tessaro is a link to Contents/MacOS/tessaro; /proc/self/exe names the latter.
  if (auto folder = executableFolder()) helpersPath() = appendingPathComponent(*folder, "../Helpers");
}

}  // namespace tessaro::host
