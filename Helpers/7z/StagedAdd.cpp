#include "StagedAdd.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

namespace tessaro::sevenzip {

namespace {

// The non-empty parts of a path other than ".".
std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> out;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") out.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

std::string absolute(const std::string& path, const std::string& folder) {
  return path.starts_with('/') ? path : folder + "/" + path;
}

// The names of a list file: UTF-8, one a line, a byte-order mark and carriage returns ignored.
bool readList(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  std::string_view rest(text);
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return true;
}

// 7zz trims every line of a list file, so a name with a line break or with white space at
// either end would arrive changed: such names go on the command line instead.
bool listable(std::string_view name) {
  constexpr std::string_view kTrimmed = " \t\r\n";
  return name.find_first_of("\r\n") == std::string_view::npos &&
         (name.empty() || (kTrimmed.find(name.front()) == std::string_view::npos &&
                           kTrimmed.find(name.back()) == std::string_view::npos));
}

}  // namespace

StagedAdd::~StagedAdd() {
  // remove_all deletes the links themselves, never what they point to.
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

bool StagedAdd::prepare(std::string_view folder, const std::vector<std::string>& files,
                        const std::string& sourceFolder, std::string& error) {
  const std::vector<std::string> parts = components(folder);
  if (parts.empty() || std::find(parts.begin(), parts.end(), "..") != parts.end()) {
    error = "the folder inside the archive must be a plain path: " + std::string(folder);
    return false;
  }
  const char* temp = std::getenv("TMPDIR");
  std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/tessaro-7z-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = "cannot make a staging folder: " + std::string(std::strerror(errno));
    return false;
  }
  root_ = pattern;
  std::string path = root_;
  for (const std::string& part : parts) {
    path += "/" + part;
    prefix_ += (prefix_.empty() ? "" : "/") + part;
    if (::mkdir(path.c_str(), 0700) != 0) {
      error = "cannot make a staging folder: " + std::string(std::strerror(errno));
      return false;
    }
  }

  // What each argument names, with the path it takes inside the folder.
  std::vector<std::pair<std::string, std::vector<std::string>>> items;
  std::vector<std::string> folders;  // the ones whose contents are added, for "."
  auto take = [&](const std::string& name) {
    std::vector<std::string> inside = components(name);
    // 7zz stores a name given with ".." from after the last one, an absolute one as its last part.
    const auto up = std::find(inside.rbegin(), inside.rend(), "..");
    if (up != inside.rend()) inside.erase(inside.begin(), up.base());
    if (name.starts_with('/') && inside.size() > 1) inside.erase(inside.begin(), inside.end() - 1);
    if (inside.empty())
      folders.push_back(absolute(name, sourceFolder));
    else
      items.emplace_back(absolute(name, sourceFolder), std::move(inside));
  };
  for (const std::string& file : files) {
    if (!file.starts_with('@')) {
      take(file);
      continue;
    }
    std::vector<std::string> names;
    const std::string list = absolute(file.substr(1), sourceFolder);
    if (!readList(list, names)) {
      error = "cannot read the list file " + list + ": " + std::strerror(errno);
      return false;
    }
    for (const std::string& name : names) take(name);
  }
  for (const std::string& source : folders)
    if (!stageFolderContents(source, error)) return false;
  // Shorter paths first, so that a folder is staged before any name inside it, which it covers.
  std::stable_sort(items.begin(), items.end(),
                   [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
  for (auto& [source, inside] : items)
    if (!stage(source, std::move(inside), error)) return false;

  std::vector<std::string> listed;
  for (const std::string& name : staged_)
    if (listable(name)) listed.push_back(name);
  listFile_ = writeList("files", listed, error);
  return !listFile_.empty();
}

bool StagedAdd::stageFolderContents(const std::string& folder, std::string& error) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    error = "cannot read the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!stage(folder + "/" + name, {name}, error)) {
      ok = false;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

bool StagedAdd::stage(const std::string& source, std::vector<std::string> inside, std::string& error) {
  std::string path = root_ + "/" + prefix_;
  std::string name = prefix_;
  for (size_t i = 0; i + 1 < inside.size(); ++i) {
    path += "/" + inside[i];
    name += "/" + inside[i];
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
      // A link here stands for a whole folder staged already, which holds this name too; never
      // make anything through it, it leads into the user's files.
      if (!S_ISDIR(info.st_mode)) return true;
    } else if (::mkdir(path.c_str(), 0700) != 0) {
      error = "cannot make a staging folder: " + std::string(std::strerror(errno));
      return false;
    }
  }
  path += "/" + inside.back();
  name += "/" + inside.back();
  if (::symlink(source.c_str(), path.c_str()) != 0) {
    // The same name twice is added once.
    if (errno == EEXIST) return true;
    error = "cannot stage " + source + ": " + std::strerror(errno);
    return false;
  }
  staged_.push_back(std::move(name));
  return true;
}

std::string StagedAdd::writeList(const std::string& name, const std::vector<std::string>& lines,
                                 std::string& error) {
  const std::string path = root_ + "/" + name + "-" + std::to_string(lists_++);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << '\n';
  out.close();
  if (!out) {
    error = "cannot write " + path;
    return {};
  }
  return path;
}

std::vector<std::string> StagedAdd::fileArguments() const {
  std::vector<std::string> out{"@" + listFile_};
  bool separated = false;
  for (const std::string& name : staged_) {
    if (listable(name)) continue;
    // After "--" nothing is read as a switch or a list file.
    if (!separated) out.emplace_back("--");
    separated = true;
    out.push_back(name);
  }
  return out;
}

std::string StagedAdd::exclusion(std::string_view argument, const std::string& sourceFolder,
                                 std::string& error) {
  if (!argument.starts_with("-x")) return std::string(argument);
  std::string_view rest = argument.substr(2);
  std::string_view recursion;
  if (rest.starts_with('r')) {
    recursion = rest.starts_with("r-") || rest.starts_with("r0") ? rest.substr(0, 2) : rest.substr(0, 1);
    rest.remove_prefix(recursion.size());
  }
  if (rest.empty() || (rest.front() != '!' && rest.front() != '@')) return std::string(argument);
  const bool list = rest.front() == '@';
  const std::string value(rest.substr(1));
  const std::string head = "-x" + std::string(recursion) + rest.front();
  // "r" and "r0" match at every depth: nothing to rewrite but where the list lies.
  if (recursion == "r" || recursion == "r0")
    return list ? head + absolute(value, sourceFolder) : std::string(argument);
  if (!list) return head + prefix_ + "/" + value;
  std::vector<std::string> names;
  if (!readList(absolute(value, sourceFolder), names)) {
    error = "cannot read the list file " + value + ": " + std::strerror(errno);
    return {};
  }
  for (std::string& name : names) name = prefix_ + "/" + name;
  const std::string path = writeList("exclude", names, error);
  return path.empty() ? std::string() : head + path;
}

}  // namespace tessaro::sevenzip
