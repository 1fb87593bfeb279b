#include "StagingFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "PathString.h"
#include "TerminationCleanup.h"
#include "io/FileIO.h"

namespace tessaro::host {

namespace {

// The folder a signal handler removes: a fixed buffer, since the handler may not allocate.
char gStagingPath[PATH_MAX];
volatile sig_atomic_t gStagingActive = 0;

extern "C" void removeStagingAndDie(int signal) {
  // The tools go first: one still writing into the staging folder could refill it while it goes.
  killChildProcessGroups();
  if (gStagingActive) {
    gStagingActive = 0;
    removeTreeAt(AT_FDCWD, gStagingPath);
  }
  // The session's own temporary folder, when the run made a private one.
  removePrivateTemporaryFolder();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void watchSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  catchTerminationSignals(removeStagingAndDie);
}

}  // namespace

std::unique_ptr<StagingFolder> StagingFolder::createInside(const std::string& destination) {
  std::string pattern = appendingPathComponent(destination, ".tessaro-XXXXXX");
  if (pattern.size() >= sizeof gStagingPath) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  watchSignals();
  // A termination signal waits while the folder is made and recorded: one that came between the
  // two would leave a folder the handler does not know of.
  sigset_t termination;
  sigset_t before;
  sigemptyset(&termination);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&termination, signal);
  ::pthread_sigmask(SIG_BLOCK, &termination, &before);
  gStagingActive = 0;
  const bool made = ::mkdtemp(pattern.data()) != nullptr;
  const int madeErrno = errno;
  if (made) {
    std::memcpy(gStagingPath, pattern.c_str(), pattern.size() + 1);
    gStagingActive = 1;
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (!made) {
    errno = madeErrno;
    return nullptr;
  }
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
