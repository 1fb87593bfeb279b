// Reading files and folders back in tests.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace tessaro::test {

// The whole file, or "" when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Everything below `folder`, one sorted line per entry, links not followed:
//   "<relative path> <file SIZE | folder | link -> TARGET | other> <mode in octal>"
// so that a test can tell that a folder was left exactly as it was.
inline std::string folderListing(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> lines;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    std::string line = fs::relative(path, folder).string() + " ";
    if (S_ISREG(st.st_mode)) {
      line += "file " + std::to_string(st.st_size);
    } else if (S_ISDIR(st.st_mode)) {
      line += "folder";
    } else if (S_ISLNK(st.st_mode)) {
      line += "link -> " + fs::read_symlink(path, error).string();
    } else {
      line += "other";
    }
    char mode[16];
    std::snprintf(mode, sizeof mode, " %04o", static_cast<unsigned>(st.st_mode & 07777));
    lines.push_back(line + mode);
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// The six-volume RAR 4 set of the third-party fixtures (kept as six-volumes.volN.rar) copied into
// `folder` under the names its new-style volume numbering looks for ("six.partN.rar"); the first
// volume's path.
inline std::filesystem::path copyRar4VolumeSet(const std::filesystem::path& fixtures,
                                               const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  for (int n = 1; n <= 6; ++n) {
    const std::string number = std::to_string(n);
    fs::copy_file(fixtures / "rar4-volumes" / ("six-volumes.vol" + number + ".rar"),
                  folder / ("six.part" + number + ".rar"), fs::copy_options::overwrite_existing);
  }
  return folder / "six.part1.rar";
}

}  // namespace tessaro::test
