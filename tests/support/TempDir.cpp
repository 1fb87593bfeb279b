#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "defaults/UserDefaults.h"

namespace tessaro::test {

namespace {
constexpr const char* kIsolatedVariables[5] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                               "TMPDIR"};
}

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "tessaro-test.XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(std::string_view relative, std::string_view contents) const {
  auto full = path_ / relative;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return full;
}

IsolatedHome::IsolatedHome() {
  std::filesystem::create_directories(dir_.path() / "config");
  std::filesystem::create_directories(dir_.path() / "data");
  std::filesystem::create_directories(dir_.path() / "cache");
  std::filesystem::create_directories(dir_.path() / "tmp");
  const std::string values[5] = {dir_.str(), (dir_.path() / "config").string(),
                                 (dir_.path() / "data").string(), (dir_.path() / "cache").string(),
                                 (dir_.path() / "tmp").string()};
  for (int i = 0; i < 5; ++i) {
    if (const char* old = std::getenv(kIsolatedVariables[i])) {
      had_[i] = true;
      saved_[i] = old;
    }
    setenv(kIsolatedVariables[i], values[i].c_str(), 1);
  }
  UserDefaults::standard().synchronize();
}

IsolatedHome::~IsolatedHome() {
  for (int i = 0; i < 5; ++i) {
    if (had_[i])
      setenv(kIsolatedVariables[i], saved_[i].c_str(), 1);
    else
      unsetenv(kIsolatedVariables[i]);
  }
  UserDefaults::standard().synchronize();
}

}  // namespace tessaro::test
