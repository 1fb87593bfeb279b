#include "ArchiveHandlerXar.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "ArchiveCallbackHandler.h"
#include "HostTexts.h"
#include "PathString.h"
#include "helpers.h"
#include "log/SystemLog.h"
#include "xar/Xar.h"

namespace tessaro {

namespace {

struct ArchiveCloser {
  void operator()(XarArchive* x) const { xar_close(x); }
};
struct IteratorFreer {
  void operator()(XarIterator* i) const { xar_iter_free(i); }
};
using Archive = std::unique_ptr<XarArchive, ArchiveCloser>;
using Iterator = std::unique_ptr<XarIterator, IteratorFreer>;

Archive openForReading(const std::string& path) {
  Archive archive(xar_open(path.c_str(), READ));
  if (!archive) {
    // A reason in words ("unsupported checksum ...") goes first: the line after it is the one
    // every failure to open writes.
    if (const std::string why = xar_open_failure(); !why.empty())
      systemLog(LOG_ERR, path + ": " + why + "\n");
    systemLog(LOG_ERR, "Error opening xar archive: " + path + "\n");
  }
  return archive;
}

// The property's text, empty when it is absent or holds none.
std::string property(xar_file_t file, const char* key) {
  const char* value = nullptr;
  if (xar_prop_get(file, key, &value) != 0 || !value) return {};
  return value;
}

bool hasValue(xar_file_t file, const char* key) {
  const char* value = nullptr;
  return xar_prop_get(file, key, &value) == 0 && value != nullptr;
}

// "0755" gives 0755: the three digits after the leading "0"; missing digits count as 0.
uint32_t permissionBits(const std::string& mode) {
  if (mode.empty()) return 0;
  auto digit = [&](size_t i) { return i < mode.size() ? static_cast<uint32_t>(mode[i] - '0') : 0u; };
  return (digit(1) * 64 + digit(2) * 8 + digit(3)) & 0777u;
}

// 2015-03-07T09:05:04Z gives 20150307.090504.
std::string compactTime(const std::string& mtime) {
  std::string out;
  for (char c : mtime) {
    if (c == '-' || c == ':' || c == 'Z') continue;
    out.push_back(c == 'T' ? '.' : c);
  }
  return out;
}

std::string entryPath(xar_file_t file) {
  std::unique_ptr<char, decltype(&std::free)> path(xar_get_path(file), &std::free);
  return path ? std::string(path.get()) : std::string();
}

// An open folder, closed with its holder; AT_FDCWD stands for the current directory.
class Folder {
 public:
  explicit Folder(int fd) : fd_(fd) {}
  ~Folder() {
    if (fd_ >= 0) ::close(fd_);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  int fd() const { return fd_; }
  bool isOpen() const { return fd_ >= 0 || fd_ == AT_FDCWD; }

 private:
  int fd_;
};

// `path` (absolute, or relative to `base`) as a folder of its own to hold open; `base` again
// for "".
int openFolder(int base, const std::string& path) {
  if (path.empty()) return base == AT_FDCWD ? AT_FDCWD : ::fcntl(base, F_DUPFD_CLOEXEC, 0);
  return ::openat(base, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The names in the open folder `dir`, without "." and "..", in the order the folder gives them.
std::optional<std::vector<std::string>> folderNames(int dir) {
  const int own = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return std::nullopt;
  DIR* listing = ::fdopendir(own);
  if (!listing) {
    ::close(own);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(listing);
  return names;
}

}  // namespace

int32_t AHandlerXar::doGetInfo(std::vector<std::string>& records) {
  const Archive archive = openForReading(url().value_or(""));
  if (!archive) return kStatusXarCannotOpen;
  const Iterator iterator(xar_iter_new());
  if (!iterator) return kStatusXarCannotOpen;
  for (xar_file_t file = xar_file_first(archive.get(), iterator.get()); file;
       file = xar_file_next(iterator.get())) {
    const std::string path = entryPath(file);
    if (path.empty()) continue;
    const std::string type = property(file, "type");
    std::string attr = type == "directory" ? "d" : type == "symlink" ? "l" : "";
    attr += posixPermissionsString(permissionBits(property(file, "mode")));
    records.push_back("path=" + path + "\tattr=" + attr + "\tunco=" + property(file, "data/size") +
                      "\ttype=" + (hasValue(file, "data/encoding") ? "Y" : "N") + "\tcomp=" +
                      property(file, "data/length") + "\ttime=" + compactTime(property(file, "mtime")));
    // The table of contents can name millions of files: the records stop at the bound.
    if (listingBoundReached(records)) break;
  }
  return kStatusOK;
}

int32_t AHandlerXar::doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t /*mode*/) {
  const Archive archive = openForReading(url().value_or(""));
  if (!archive) return kStatusXarCannotOpen;
  std::vector<std::string> wanted;
  for (const AZipItem::Ptr& item : items) {
    if (!item) continue;
    std::string name(item->path());
    if (item->isDir() && (name.empty() || name.back() != '/')) name += '/';
    wanted.push_back(std::move(name));
  }
  // Entries are made relative to the destination held open, never to the current directory,
  // which other threads share.
  const Folder destination(openFolder(AT_FDCWD, toFolder));
  if (!destination.isOpen()) return kStatusXarCannotOpen;

  const Iterator iterator(xar_iter_new());
  if (!iterator) return kStatusXarCannotOpen;
  const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
  for (xar_file_t file = xar_file_first(archive.get(), iterator.get()); file;
       file = xar_file_next(iterator.get())) {
    std::string name = entryPath(file);
    if (property(file, "type") == "directory") name += '/';
    const double size = std::strtod(property(file, "data/size").c_str(), nullptr);
    bool selected = false;
    for (const std::string& w : wanted) {
      if (w == "*" || w == name || (!w.empty() && w.back() == '/' && name.starts_with(w))) {
        selected = true;
        break;
      }
    }
    if (!selected) continue;
    if (host) {
      host->processFile(name, 2);
      host->processData(nullptr, static_cast<int64_t>(size), 1);
    }
    if (xar_extract_at(archive.get(), file, destination.fd()) != 0)
      HLVLog(kLogTrace, "xar: cannot extract %s", name.c_str());
  }
  return kStatusOK;
}

int32_t AHandlerXar::doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                                const std::string& toArchive, AZipItem* /*inParentItem*/,
                                const Preset& preset, std::vector<std::string>* /*filesToClean*/) {
  const Folder source(openFolder(AT_FDCWD, fromFolder));
  if (!source.isOpen()) return kStatusXarCannotOpen;
  XarArchive* archive = xar_open(toArchive.c_str(), WRITE);
  if (!archive) return kStatusXarCannotOpen;
  const auto compression = preset.find("compression");
  const bool compressed = compression != preset.end() && compression->second.asInteger().value_or(0) != 0;
  xar_opt_set(archive, "compression", compressed ? "gzip" : "none");

  const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
  // A refusal ends the walk of one given file; the next one is still offered.
  bool cancelled = false;
  bool walkFailed = false;
  for (const std::string& file : files) {
    // Each file is stored under its last component, relative to its own folder held open.
    const Folder parent(openFolder(source.fd(), std::string(deletingLastPathComponent(file))));
    if (!parent.isOpen()) {
      walkFailed = true;
      break;
    }
    // Every entry before what it holds; links are stored, never followed.
    std::vector<std::string> pending{std::string(lastPathComponent(file))};
    while (!pending.empty()) {
      const std::string path = std::move(pending.back());
      pending.pop_back();
      if (host && host->processData(path.c_str(), -1, 1) == -1) {
        cancelled = true;
        break;
      }
      xar_add_at(archive, parent.fd(), path.c_str());
      struct stat st {};
      if (::fstatat(parent.fd(), path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        continue;
      const Folder folder(
          ::openat(parent.fd(), path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      const std::optional<std::vector<std::string>> names =
          folder.isOpen() ? folderNames(folder.fd()) : std::nullopt;
      if (!names) continue;
      for (auto name = names->rbegin(); name != names->rend(); ++name) pending.push_back(path + "/" + *name);
    }
  }
  const bool written = xar_close(archive) == 0;
  if (walkFailed || !written) return kStatusXarCannotOpen;
  if (cancelled) return kStatusCancelled;
  setUrl(toArchive);
  return kStatusOK;
}

class AHandlerXar::Class : public HandlerClassOf<AHandlerXar, ArchiveHandler::Class> {
 public:
  bool writtenArchiveNeedsWholeRead() const override { return true; }
  std::string formatName() const override { return hostText("XAR Format"); }
  int32_t formatTag() const override { return 5; }
  std::optional<std::string> defaultExtension() const override { return "xar"; }
  std::optional<std::string> baseType() const override { return "xar"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"xar"};
  }
  int32_t canSave() const override { return 2; }
  bool hasMacMode() const override { return true; }
  // Creation keeps whatever it is given, resource-fork files included.
  bool canFilterRsrc() const override { return false; }
  // libxar stores either plain or gzip-compressed data.
  std::vector<int32_t> compressionFactorTags() const override { return {0, 2}; }
};

const HandlerClass& AHandlerXar::metaclass() {
  static const Class instance;
  return instance;
}

}  // namespace tessaro
