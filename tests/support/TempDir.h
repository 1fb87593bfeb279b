// Temporary folders for tests, removed with everything in them when the object goes.
#pragma once

#include "support/Files.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // Writes `contents` to `relative` (parents created) and returns the full path.
  std::filesystem::path write(std::string_view relative, std::string_view contents) const;

 private:
  std::filesystem::path path_;
};

// Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and TMPDIR into a fresh temporary
// folder for the life of the object, so preferences, caches and temporary folders of a test never
// touch the user's,
// and makes the standard defaults forget what they had read.
class IsolatedHome {
 public:
  IsolatedHome();
  ~IsolatedHome();
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string saved_[5];
  bool had_[5] = {};
};

}  // namespace tessaro::test
