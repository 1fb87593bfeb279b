// Small pieces the themed helper files share: calls that never let an exception out, NUL checks
// on paths, and sorted folder listings.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::detail {

// Runs `body` and answers `fallback` if it throws: none of the helpers lets an exception out.
template <typename R, typename F>
R guarded(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

// A path with a NUL in it would be cut short by every system call, so it names nothing.
inline bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

inline bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Names in a folder other than "." and "..", sorted so that walks are reproducible.
inline std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  try {
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name);
    }
  } catch (...) {
    closedir(dir);
    throw;
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tessaro::detail
