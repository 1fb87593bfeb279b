#include "TerminationCleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "io/FileIO.h"

namespace tessaro::host {

namespace {

constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};
// A fixed buffer: the signal handler may not allocate, and must not see a half-written path.
char gFolder[PATH_MAX];
std::atomic<bool> gFolderSet{false};

// Children are read from /proc/self/task/TID/children for every thread; a child appears under
// the thread that started it.
constexpr size_t kMaxChildren = 256;

bool appendText(char* out, size_t size, size_t& length, const char* text) noexcept {
  const size_t add = std::strlen(text);
  if (length + add >= size) return false;
  std::memcpy(out + length, text, add + 1);
  length += add;
  return true;
}

// The pids listed in one thread's children file, added to `pids`.
void readChildren(const char* thread, pid_t* pids, size_t& count) noexcept {
  char path[64];
  size_t length = 0;
  path[0] = '\0';
  if (!appendText(path, sizeof path, length, "/proc/self/task/") ||
      !appendText(path, sizeof path, length, thread) || !appendText(path, sizeof path, length, "/children"))
    return;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buffer[4096];
  long pid = 0;
  bool inNumber = false;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] >= '0' && buffer[i] <= '9') {
        pid = pid * 10 + (buffer[i] - '0');
        inNumber = true;
      } else if (inNumber) {
        if (count < kMaxChildren) pids[count++] = static_cast<pid_t>(pid);
        pid = 0;
        inNumber = false;
      }
    }
  }
  if (inNumber && count < kMaxChildren) pids[count++] = static_cast<pid_t>(pid);
  ::close(fd);
}

struct LinuxDirent {
  unsigned long long inode;
  long long offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Private folders are named kFolderPrefix, the owner's pid, "-" and mkdtemp's six characters.
constexpr std::string_view kFolderPrefix = ".tessaro-";
constexpr size_t kTemplateLength = 6;

// The pid in a private folder's name, or 0 when the name is not one of ours.
pid_t ownerInName(std::string_view name) {
  if (!name.starts_with(kFolderPrefix)) return 0;
  name.remove_prefix(kFolderPrefix.size());
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9 || name.size() - dash - 1 != kTemplateLength)
    return 0;
  long pid = 0;
  for (const char c : name.substr(0, dash)) {
    if (c < '0' || c > '9') return 0;
    pid = pid * 10 + (c - '0');
  }
  for (const char c : name.substr(dash + 1)) {
    const bool alphanumeric = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alphanumeric) return 0;
  }
  return static_cast<pid_t>(pid);
}

// Another user's process answers EPERM: only ESRCH says that nothing runs under the pid.
bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// Removes the private folders in `base` left by runs of this user that have ended. Only real
// folders (never a link) that this user owns and whose name is ours are taken; a pid taken again
// by another process keeps its folder until that one ends too.
void removeFoldersOfEndedRuns(const char* base) {
  const int fd = ::open(base, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* folder = ::fdopendir(fd);
  if (folder == nullptr) {
    ::close(fd);
    return;
  }
  const uid_t uid = ::getuid();
  while (const dirent* entry = ::readdir(folder)) {
    const pid_t owner = ownerInName(entry->d_name);
    if (owner <= 0 || owner == ::getpid() || processRuns(owner)) continue;
    struct stat st;
    if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != uid)
      continue;
    removeTreeAt(fd, entry->d_name);
  }
  ::closedir(folder);
}

extern "C" void cleanUpAndDie(int signal) {
  const int savedErrno = errno;
  killChildProcessGroups();
  removePrivateTemporaryFolder();
  errno = savedErrno;
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

bool usePrivateTemporaryFolder() {
  const char* base = std::getenv("TMPDIR");
  if (base == nullptr || base[0] != '/') base = "/tmp";
  removeFoldersOfEndedRuns(base);
  const std::string name =
      "/" + std::string(kFolderPrefix) + std::to_string(::getpid()) + "-" + std::string(kTemplateLength, 'X');
  size_t length = 0;
  gFolder[0] = '\0';
  if (!appendText(gFolder, sizeof gFolder, length, base) ||
      !appendText(gFolder, sizeof gFolder, length, name.c_str()))
    return false;
  if (::mkdtemp(gFolder) == nullptr) return false;
  if (::setenv("TMPDIR", gFolder, 1) != 0) {
    ::rmdir(gFolder);
    return false;
  }
  gFolderSet = true;
  return true;
}

void catchTerminationSignals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int signal : kCleanedSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kCleanedSignals) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

void cleanUpOnTerminationSignals() { catchTerminationSignals(cleanUpAndDie); }

void killChildProcessGroups() noexcept {
  pid_t pids[kMaxChildren];
  size_t count = 0;
  const int tasks = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (tasks >= 0) {
    alignas(8) char buffer[4096];
    for (;;) {
      const long got = ::syscall(SYS_getdents64, tasks, buffer, sizeof buffer);
      if (got <= 0) break;
      for (long offset = 0; offset < got;) {
        const auto* entry = reinterpret_cast<const LinuxDirent*>(buffer + offset);
        if (entry->name[0] >= '0' && entry->name[0] <= '9') readChildren(entry->name, pids, count);
        offset += entry->length;
      }
    }
    ::close(tasks);
  }
  for (size_t i = 0; i < count; ++i) {
    ::kill(-pids[i], SIGKILL);
    ::kill(pids[i], SIGKILL);
  }
  for (size_t i = 0; i < count; ++i) {
    while (::waitpid(pids[i], nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

void removePrivateTemporaryFolder() noexcept {
  if (gFolderSet.exchange(false)) removeTree(gFolder);
}

}  // namespace tessaro::host
