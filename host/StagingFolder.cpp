#include "StagingFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "PathString.h"

namespace tessaro::host {

namespace {

// Folder reads and moves up and down one tree may take before removal gives up: something that
// keeps writing into the folder could otherwise keep us busy for ever.
constexpr long kMaxRemovalSteps = 1L << 20;

// The folder a signal handler removes: a fixed buffer, since the handler may not allocate.
char gStagingPath[PATH_MAX];
volatile sig_atomic_t gStagingActive = 0;
constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removeStagingAndDie(int signal) {
  if (gStagingActive) {
    gStagingActive = 0;
    removeTreeAt(AT_FDCWD, gStagingPath);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void watchSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = removeStagingAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal : kCleanedSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kCleanedSignals) {
    struct sigaction old {};
    // A signal the caller chose to ignore stays ignored.
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

// Opens the folder `name` in `parentFd` for emptying, making it readable, writable and searchable
// for us first when its mode keeps us out; -1 when it is no folder or cannot be opened.
int openForEmptying(int parentFd, const char* name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(parentFd, name, kFlags);
  if (fd < 0 && errno == EACCES) {
    // Only a folder reaches here (a link or file would have been unlinked), so the mode change
    // has nothing to follow.
    struct stat st;
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) return -1;
    if (::fchmodat(parentFd, name, S_IRWXU, 0) != 0) return -1;
    fd = ::openat(parentFd, name, kFlags);
  }
  if (fd >= 0) ::fchmod(fd, S_IRWXU);
  return fd;
}

// One entry name from a getdents64 buffer.
struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

bool removeTreeAt(int parentFd, const char* name) {
  if (::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) return true;
  if (::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
  int fd = openForEmptying(parentFd, name);
  if (fd < 0) return false;

  // Empties the tree without recursion (its depth is the archive's to choose): go down into the
  // first folder that is not empty, and back up through ".." once a folder is, where the next
  // pass removes the folder just emptied.
  long steps = 0;
  int depth = 0;
  bool ok = true;
  alignas(LinuxDirent64) char buffer[1024];
  while (ok) {
    if (++steps > kMaxRemovalSteps) {
      ok = false;
      break;
    }
    int descendInto = -1;
    bool sawEntries = false;
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
      const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0) ok = false;
        break;
      }
      for (long offset = 0; offset < n;) {
        const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
        offset += entry->d_reclen;
        if (isDotOrDotDot(entry->d_name)) continue;
        sawEntries = true;
        if (::unlinkat(fd, entry->d_name, 0) == 0 || errno == ENOENT) continue;
        if (::unlinkat(fd, entry->d_name, AT_REMOVEDIR) == 0 || errno == ENOENT) continue;
        descendInto = openForEmptying(fd, entry->d_name);
        if (descendInto < 0) ok = false;
        break;
      }
      if (descendInto >= 0 || !ok) break;
    }
    if (!ok) break;
    if (descendInto >= 0) {
      ::close(fd);
      fd = descendInto;
      ++depth;
      continue;
    }
    // A pass that removed something reads the folder again: removing while reading may skip names.
    if (sawEntries) continue;
    if (depth == 0) break;
    const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = up;
    --depth;
    if (fd < 0) return false;
  }
  ::close(fd);
  if (!ok) return false;
  return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

std::unique_ptr<StagingFolder> StagingFolder::createInside(const std::string& destination) {
  std::string pattern = appendingPathComponent(destination, ".tessaro-XXXXXX");
  if (pattern.size() >= sizeof gStagingPath) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  watchSignals();
  // The signal handler must not see a half-written path.
  gStagingActive = 0;
  if (!::mkdtemp(pattern.data())) return nullptr;
  std::memcpy(gStagingPath, pattern.c_str(), pattern.size() + 1);
  gStagingActive = 1;
  return std::unique_ptr<StagingFolder>(new StagingFolder(pattern));
}

bool StagingFolder::remove() {
  if (removed_) return true;
  removed_ = removeTreeAt(AT_FDCWD, path_.c_str());
  if (removed_ && path_ == gStagingPath) gStagingActive = 0;
  return removed_;
}

StagingFolder::~StagingFolder() { remove(); }

}  // namespace tessaro::host
