#include "WorkFolders.h"

#include <sys/stat.h>

#include <cstdlib>

#include "Diagnostics.h"
#include "HelperSupport.h"
#include "PathString.h"
#include "defaults/UserDefaults.h"

namespace tessaro {

using detail::containsNul;
using detail::guarded;

namespace {

UserDefaults& defaults() { return UserDefaults::standard(); }

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string userTempPath() {
  return guarded(std::string("/tmp"), [&] {
    if (auto preference = defaults().stringForKey("HLVTempFolderPath");
        preference && !preference->empty() && !containsNul(*preference)) {
      std::string path = expandTilde(*preference);
      if (isFolder(path)) return path;
    }
    return temporaryDirectory().string();
  });
}

std::optional<std::string> createTempFolderInside(std::string_view base, bool useNamePreference) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    if (base.empty()) return std::nullopt;
    std::string name = ".TessaroTempFolder";
    bool valid = !containsNul(base);
    if (useNamePreference) {
      auto preference = defaults().stringForKey("HLVTempFolderName");
      // A name with a "/" would place the folder outside `base`, so it counts as invalid;
      // with no name at all the default one serves.
      if (preference && !preference->empty()) {
        valid = valid && !containsNul(*preference) && preference->find('/') == std::string::npos;
        name = *preference;
      }
    }
    if (!valid) {
      HLVLog(kLogError, "The temporary folder set in the preferences is invalid.");
      return std::nullopt;
    }
    std::string path = expandTilde(appendingPathComponent(base, name + ".XXXXXX"));
    if (!mkdtemp(path.data())) return std::nullopt;
    return path;
  });
}

std::string userTrashPath() {
  return guarded(std::string{}, [] { return trashDirectory().string(); });
}

std::optional<std::string> specialFolderPath(SpecialFolder kind) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    auto folder = specialFolder(kind);
    if (!folder) return std::nullopt;
    return folder->string();
  });
}

}  // namespace tessaro
