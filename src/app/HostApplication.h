// The application object of the host program: the maker of the temporary folders its operations
// work in. The host creates one and sets theApp; the preview never does, so every user goes
// through AppTempFolder, which falls back to the plain helper when there is none.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tessaro {

class HostApplication {
 public:
  HostApplication() = default;
  virtual ~HostApplication() = default;
  HostApplication(const HostApplication&) = delete;
  HostApplication& operator=(const HostApplication&) = delete;

  // A new, uniquely named folder inside `base` ("TessaroTempFolder.XXXXXX", or HLVTempFolderName
  // in its place), dot-named when not visible; none on failure.
  virtual std::optional<std::string> createTempFolderInside(std::string_view base, bool isVisible);
  // Removes a folder this object made, with everything in it. Any other path is left alone: false.
  virtual bool removeTempFolder(std::string_view path);

 private:
  std::mutex mutex_;
  std::set<std::string, std::less<>> made_;
};

// A temporary folder for one operation, made by theApp (or by the plain helper when there is no
// application object) and removed by the same maker when the object goes.
class AppTempFolder {
 public:
  AppTempFolder(std::string_view base, bool isVisible);
  ~AppTempFolder();
  AppTempFolder(const AppTempFolder&) = delete;
  AppTempFolder& operator=(const AppTempFolder&) = delete;
  const std::optional<std::string>& path() const { return path_; }

 private:
  HostApplication* maker_ = nullptr;
  std::optional<std::string> path_;
};

}  // namespace tessaro
