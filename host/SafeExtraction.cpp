#include "SafeExtraction.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "StagingFolder.h"
#include "io/FileIO.h"

namespace tessaro::host {

namespace {

// Two descriptors are held per level while walking; a deeper tree would run out of them.
constexpr int kMaxDepth = 400;
// Failures named in full; the rest are counted by the caller's message.
constexpr size_t kMaxFailures = 100;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The folder `name` in `dirFd`, opened only when it is a real folder beneath it: a symbolic
// link at the name is never followed.
Fd openBeneath(int dirFd, const std::string& name) {
  struct open_how how {};
  how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, dirFd, name.c_str(), &how, sizeof how);
  if (fd >= 0) return Fd(static_cast<int>(fd));
  // Kernels before 5.6, or filters that refuse the call: one component with O_NOFOLLOW is as safe.
  if (errno != ENOSYS && errno != EPERM) return Fd();
  return Fd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The names in the folder `dirFd`, sorted; none when it cannot be read.
std::optional<std::vector<std::string>> namesIn(int dirFd) {
  const int copy = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return std::nullopt;
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return std::nullopt;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  const bool readAll = errno == 0;
  ::closedir(dir);
  if (!readAll) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

std::string joined(const std::string& prefix, const std::string& name) {
  return prefix.empty() ? name : prefix + "/" + name;
}

}  // namespace

SafePlacement::SafePlacement(std::string staging, std::string destination, PlacementOptions options)
    : staging_(std::move(staging)), destination_(std::move(destination)), options_(options) {}

SafePlacement::~SafePlacement() = default;

void SafePlacement::fail(const std::string& path, const std::string& why) {
  if (failures_.size() < kMaxFailures) failures_.push_back(path + ": " + why);
}

void SafePlacement::countKept(const std::string& path) {
  const Entry& entry = entries_[path];
  if (entry.kind != Kind::folder) {
    ++kept_;
    return;
  }
  const std::string below = path + "/";
  for (const auto& [name, e] : entries_)
    if (e.kind != Kind::folder && name.starts_with(below)) ++kept_;
}

bool SafePlacement::survey() {
  const Fd staged(::open(staging_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const Fd destination(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!staged || !destination) {
    fail(destination_, std::strerror(errno));
    return false;
  }
  surveyFolder(staged.get(), destination.get(), "", 0);
  return failures_.empty();
}

bool SafePlacement::surveyFolder(int stagedFd, int destFd, const std::string& prefix, int depth) {
  if (depth > kMaxDepth) {
    fail(prefix, "folders are nested too deeply");
    return false;
  }
  const std::optional<std::vector<std::string>> names = namesIn(stagedFd);
  if (!names) {
    fail(prefix.empty() ? "." : prefix, std::strerror(errno));
    return false;
  }
  for (const std::string& name : *names) {
    const std::string path = joined(prefix, name);
    struct stat st;
    if (::fstatat(stagedFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      fail(path, std::strerror(errno));
      continue;
    }
    Entry entry;
    entry.kind = S_ISDIR(st.st_mode)   ? Kind::folder
                 : S_ISREG(st.st_mode) ? Kind::file
                 : S_ISLNK(st.st_mode) ? Kind::link
                                       : Kind::special;
    entry.mode = st.st_mode & 07777;
    if (destFd >= 0) {
      struct stat existing;
      if (::fstatat(destFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        entry.existing = S_ISDIR(existing.st_mode)   ? Kind::folder
                         : S_ISLNK(existing.st_mode) ? Kind::link
                                                     : Kind::file;
      } else if (errno != ENOENT) {
        fail(path, std::strerror(errno));
        continue;
      }
    }
    entries_[path] = entry;
    if (entry.kind != Kind::folder) {
      if (entry.existing != Kind::none) conflicts_.push_back(path);
      continue;
    }

    Fd destChild;
    if (entry.existing == Kind::link) {
      fail(path, "a symbolic link stands at this folder's place in the destination and is not followed");
      continue;
    }
    if (entry.existing == Kind::folder) {
      destChild = openBeneath(destFd, name);
      if (!destChild) {
        fail(path, std::strerror(errno));
        continue;
      }
    } else if (entry.existing != Kind::none) {
      conflicts_.push_back(path);
    }
    // The tool may have left a folder we cannot read or empty; it is ours to open up.
    Fd stagedChild(::openat(stagedFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!stagedChild && errno == EACCES && ::fchmodat(stagedFd, name.c_str(), S_IRWXU, 0) == 0)
      stagedChild = Fd(::openat(stagedFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!stagedChild || ::fchmod(stagedChild.get(), S_IRWXU) != 0) {
      fail(path, std::strerror(errno));
      continue;
    }
    surveyFolder(stagedChild.get(), destChild.get(), path, depth + 1);
  }
  return true;
}

bool SafePlacement::decide(const std::function<std::optional<ReplaceAnswer>(const std::string& name)>& ask) {
  std::optional<bool> forAll;
  if (options_.existing == ExistingFiles::overwrite) forAll = true;
  if (options_.existing == ExistingFiles::keep) forAll = false;
  bool decided = true;
  for (const std::string& path : conflicts_) {
    Entry& entry = entries_[path];
    const bool mixed = (entry.kind == Kind::folder) != (entry.existing == Kind::folder);
    if (forAll) {
      // Only --overwrite puts a folder where a file was, or the other way round.
      entry.replace = *forAll && (!mixed || options_.existing == ExistingFiles::overwrite);
      continue;
    }
    if (mixed) {
      fail(path, entry.kind == Kind::folder
                     ? "a file of this name is in the way (--overwrite replaces it)"
                     : "a folder of this name is in the way (--overwrite replaces it)");
      decided = false;
      continue;
    }
    const std::optional<ReplaceAnswer> answer = ask(path);
    if (!answer) return false;
    switch (*answer) {
      case ReplaceAnswer::yes: entry.replace = true; break;
      case ReplaceAnswer::no: entry.replace = false; break;
      case ReplaceAnswer::all:
        entry.replace = true;
        forAll = true;
        break;
      case ReplaceAnswer::none:
        entry.replace = false;
        forAll = false;
        break;
    }
  }
  return decided;
}

bool SafePlacement::place() {
  const Fd staged(::open(staging_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const Fd destination(::open(destination_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!staged || !destination) {
    fail(destination_, std::strerror(errno));
    return false;
  }
  placeFolder(staged.get(), destination.get(), "", 0);
  return failures_.empty();
}

bool SafePlacement::retargetStagedLink(int stagedFd, const std::string& name) const {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlinkat(stagedFd, name.c_str(), target.data(), target.size());
  if (length < 0) return false;
  target.resize(static_cast<size_t>(length));
  const std::string inside = staging_ + "/";
  if (!target.starts_with(inside)) return true;
  // A tool that anchors absolute targets in the folder it extracts into anchored them in the
  // staging folder: they belong in the destination, where that folder's contents go.
  const std::string moved = destination_ + target.substr(staging_.size());
  return ::unlinkat(stagedFd, name.c_str(), 0) == 0 &&
         ::symlinkat(moved.c_str(), stagedFd, name.c_str()) == 0;
}

bool SafePlacement::placeFolder(int stagedFd, int destFd, const std::string& prefix, int depth) {
  const std::optional<std::vector<std::string>> names = namesIn(stagedFd);
  if (!names) {
    fail(prefix.empty() ? "." : prefix, std::strerror(errno));
    return false;
  }
  for (const std::string& name : *names) placeOne(stagedFd, destFd, name, joined(prefix, name), depth);
  return true;
}

bool SafePlacement::placeOne(int stagedFd, int destFd, const std::string& name, const std::string& path,
                             int depth) {
  const auto found = entries_.find(path);
  if (found == entries_.end()) {
    fail(path, "appeared after the extraction ended");
    return false;
  }
  const Entry& entry = found->second;
  // What the destination holds now: a change since the survey is not guessed at.
  Kind now = Kind::none;
  struct stat existing;
  if (::fstatat(destFd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    now = S_ISDIR(existing.st_mode) ? Kind::folder : S_ISLNK(existing.st_mode) ? Kind::link : Kind::file;
  } else if (errno != ENOENT) {
    fail(path, std::strerror(errno));
    return false;
  }
  if (now != entry.existing) {
    fail(path, "the destination changed during the extraction");
    return false;
  }
  // Only a folder going into a folder merges; anything else in the way stays unless replacing
  // it was asked for (a folder at a file's place included: it holds the user's files).
  const bool merges = entry.kind == Kind::folder && now == Kind::folder;
  if (now != Kind::none && !merges && !entry.replace) {
    countKept(path);
    return true;
  }
  const bool root = ::geteuid() == 0;
  const unsigned mode = options_.preservePermissions ? entry.mode : entry.mode & ~unsigned{S_ISUID | S_ISGID};

  if (entry.kind == Kind::folder) {
    if (now == Kind::link) {
      fail(path, "a symbolic link stands at this folder's place in the destination and is not followed");
      return false;
    }
    if (now == Kind::file && !removeTreeAt(destFd, name.c_str())) {
      fail(path, std::strerror(errno));
      return false;
    }
    const bool made = now != Kind::folder;
    // Kept private until it is filled, then given the archive's mode.
    if (made && ::mkdirat(destFd, name.c_str(), S_IRWXU) != 0) {
      fail(path, std::strerror(errno));
      return false;
    }
    const Fd destChild = openBeneath(destFd, name);
    const Fd stagedChild(::openat(stagedFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!destChild || !stagedChild) {
      fail(path, std::strerror(errno));
      return false;
    }
    placeFolder(stagedChild.get(), destChild.get(), path, depth + 1);
    if (made) {
      struct stat staged;
      if (root && options_.sameOwner && ::fstat(stagedChild.get(), &staged) == 0 &&
          ::fchown(destChild.get(), staged.st_uid, staged.st_gid) != 0)
        fail(path, std::strerror(errno));
      if (::fchmod(destChild.get(), mode) != 0) fail(path, std::strerror(errno));
    }
    return true;
  }

  if (entry.kind == Kind::special && !options_.specialFiles) {
    skippedSpecial_.push_back(path);
    return true;
  }
  // Owner and mode are set while the entry is still in the private staging folder.
  if (root && !options_.sameOwner &&
      ::fchownat(stagedFd, name.c_str(), ::getuid(), ::getgid(), AT_SYMLINK_NOFOLLOW) != 0) {
    fail(path, std::strerror(errno));
    return false;
  }
  if (entry.kind == Kind::link && !retargetStagedLink(stagedFd, name)) {
    fail(path, std::strerror(errno));
    return false;
  }
  // Neither is a symbolic link, so the mode change follows nothing.
  if (entry.kind != Kind::link && ::fchmodat(stagedFd, name.c_str(), mode, 0) != 0) {
    fail(path, std::strerror(errno));
    return false;
  }
  if (now == Kind::folder && !removeTreeAt(destFd, name.c_str())) {
    fail(path, std::strerror(errno));
    return false;
  }
  // A name that appeared since the check is not replaced unasked; a replaced one is swapped at
  // once, and a link at it is replaced, never followed.
  const unsigned flags = now == Kind::none || now == Kind::folder ? RENAME_NOREPLACE : 0;
  if (::renameat2(stagedFd, name.c_str(), destFd, name.c_str(), flags) != 0) {
    fail(path, errno == EEXIST ? "the destination changed during the extraction" : std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace tessaro::host
