#include "HostApplication.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "PathString.h"
#include "ProcessGlobals.h"
#include "defaults/UserDefaults.h"
#include "helpers.h"

namespace tessaro {

namespace {

constexpr std::string_view kDefaultFolderName = "TessaroTempFolder";

bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

std::optional<std::string> HostApplication::createTempFolderInside(std::string_view base, bool isVisible) {
  try {
    if (base.empty() || containsNul(base)) return std::nullopt;
    std::string name(kDefaultFolderName);
    if (std::optional<std::string> preference = UserDefaults::standard().stringForKey("HLVTempFolderName");
        preference && !preference->empty()) {
      // A "/" would put the folder outside `base`; "." and ".." name no new folder.
      if (containsNul(*preference) || preference->find('/') != std::string::npos || *preference == "." ||
          *preference == "..") {
        HLVLog(kLogError, "The temporary folder set in the preferences is invalid.");
        return std::nullopt;
      }
      name = *preference;
    }
    while (!name.empty() && name.front() == '.') name.erase(0, 1);
    if (name.empty()) name = kDefaultFolderName;
    if (!isVisible) name.insert(0, ".");

    std::string path = appendingPathComponent(base, name + ".XXXXXX");
    if (!::mkdtemp(path.data())) return std::nullopt;
    std::lock_guard lock(mutex_);
    made_.insert(path);
    return path;
  } catch (...) {
    return std::nullopt;
  }
}

bool HostApplication::removeTempFolder(std::string_view path) {
  try {
    {
      std::lock_guard lock(mutex_);
      const auto found = made_.find(path);
      if (found == made_.end()) return false;
      made_.erase(found);
    }
    std::error_code error;
    std::filesystem::remove_all(std::string(path), error);
    if (error)
      HLVLog(kLogError, "Cannot remove the temporary folder %.*s: %s", static_cast<int>(path.size()),
             path.data(), error.message().c_str());
    return !error;
  } catch (...) {
    return false;
  }
}

AppTempFolder::AppTempFolder(std::string_view base, bool isVisible) {
  try {
    maker_ = theApp();
    path_ = maker_ ? maker_->createTempFolderInside(base, isVisible)
                   : tessaro::createTempFolderInside(base, isVisible);
  } catch (...) {
    path_.reset();
  }
}

AppTempFolder::~AppTempFolder() {
  if (!path_) return;
  try {
    if (maker_) {
      maker_->removeTempFolder(*path_);
      return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(*path_, ignored);
  } catch (...) {
    // Swallowed: removal is a best effort; the system clears its temporary folder.
    HLVLog(kLogError, "Removing a temporary folder failed");
  }
}

}  // namespace tessaro
