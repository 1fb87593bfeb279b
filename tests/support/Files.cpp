#include "support/Files.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace tessaro::test {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string folderListing(const fs::path& folder) {
  std::vector<std::string> lines;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const bool isFolder = it->is_directory(error) && !it->is_symlink(error);
    lines.push_back(it->path().lexically_relative(folder).string() + (isFolder ? "/" : ""));
  }
  std::sort(lines.begin(), lines.end());
  std::string listing;
  for (const std::string& line : lines) listing += line + "\n";
  return listing;
}

}  // namespace tessaro::test
