#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace tessaro {

namespace {

using namespace std::chrono_literals;

// Long enough for a tool to remove its temporary files after SIGTERM, short enough for a cancel.
constexpr auto kTerminateGrace = 500ms;
// How often a cancellation flag is read, or the child's exit checked without a pidfd.
constexpr int kPollIntervalMs = 50;
constexpr size_t kChunkSize = 64 * 1024;
// Read after the child's exit when the pipe's size is unknown: more than a pipe ever holds here.
constexpr size_t kFallbackPipeSize = 1024 * 1024;

bool hasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Moves a descriptor above 0..2: the child's dup2 onto 0..2 then always makes a fresh, inheritable
// copy (dup2 onto itself would keep close-on-exec set).
bool moveAboveStandard(FileDescriptor& fd) {
  if (fd.get() > STDERR_FILENO) return true;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return false;
  fd.reset(moved);
  return true;
}

// A pipe with both ends close-on-exec; errno is set when it fails.
bool makePipe(FileDescriptor& readEnd, FileDescriptor& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return moveAboveStandard(readEnd) && moveAboveStandard(writeEnd);
}

bool setNonBlocking(const FileDescriptor& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

FileDescriptor openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return FileDescriptor();
#endif
}

std::vector<std::string> childEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides,
                                          bool replace) {
  std::vector<std::string> entries;
  for (char** entry = replace ? nullptr : environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    bool overridden = false;
    for (const auto& [overrideName, value] : overrides) overridden = overridden || overrideName == name;
    if (!overridden) entries.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// What the child needs between fork and exec, all of it made before the fork.
struct ChildSetup {
  char* const* argv;
  char* const* envp;
  const char* folder;  // nullptr: the caller's
  int input;           // -1: /dev/null
  int output;
  int error;
  int failureReport;  // close-on-exec; receives errno when exec fails
  pid_t parent;
};

// In the forked child: its own process group, so that terminate() reaches whatever the tool
// starts in turn; killed when the thread that started it goes, so that no tool outlives a
// preview that was killed; default signal dispositions and mask instead of ours; only 0..2 open.
[[noreturn]] void runChild(const ChildSetup& setup) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have gone before the death signal was asked for.
  if (::getppid() != setup.parent) ::_exit(127);
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  int input = setup.input;
  if (input < 0) input = ::open("/dev/null", O_RDONLY);
  bool ready = input >= 0 && ::dup2(input, STDIN_FILENO) == STDIN_FILENO &&
               ::dup2(setup.output, STDOUT_FILENO) == STDOUT_FILENO &&
               ::dup2(setup.error, STDERR_FILENO) == STDERR_FILENO &&
               (setup.folder == nullptr || ::chdir(setup.folder) == 0);
  if (ready) {
    // Only 0..2 reach the tool, whatever else this process holds open without close-on-exec.
    if (::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = STDERR_FILENO + 1; fd < 65536; ++fd) {
        if (fd != setup.failureReport) ::close(fd);
      }
    }
    ::execve(setup.argv[0], setup.argv, setup.envp);
  }
  const int failure = errno;
  ssize_t ignored = ::write(setup.failureReport, &failure, sizeof failure);
  (void)ignored;
  ::_exit(127);
}

}  // namespace

Subprocess::~Subprocess() {
  if (pid_ < 0) return;
  terminate();
  reap();
}

bool Subprocess::start(const std::vector<std::string>& argv, const SubprocessOptions& options) {
  if (pid_ >= 0) return false;
  try {
    spawnError_ = EINVAL;
    if (argv.empty() || argv[0].empty() || hasNul(options.workingDirectory)) return false;
    for (const std::string& argument : argv) {
      if (hasNul(argument)) return false;
    }
    for (const auto& [name, value] : options.environment) {
      if (name.empty() || name.find('=') != std::string::npos || hasNul(name) || hasNul(value)) return false;
    }

    std::vector<std::string> arguments(argv);
    std::vector<char*> argumentPointers = pointersTo(arguments);
    std::vector<std::string> environment = childEnvironment(options.environment, options.replaceEnvironment);
    std::vector<char*> environmentPointers = pointersTo(environment);

    // A given descriptor is copied above 0..2 for the same reason as our own pipe ends. One of
    // our standard descriptors that is closed (a daemon's) hands the child /dev/null instead.
    const auto given = [](int fd, FileDescriptor& copy) {
      if (fd < 0) return true;
      copy.reset(::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
      if (!copy && errno == EBADF && fd <= STDERR_FILENO) {
        copy.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
        return copy && moveAboveStandard(copy);
      }
      return static_cast<bool>(copy);
    };
    FileDescriptor inputRead, inputWrite, outputRead, outputWrite, errorRead, errorWrite;
    const bool pipeInput = options.inputPipe && options.standardInput < 0;
    const bool pipeOutput = options.standardOutput < 0;
    const bool pipeError = options.separateErrorOutput && options.standardError < 0;
    if (!given(options.standardInput, inputRead) || !given(options.standardOutput, outputWrite) ||
        !given(options.standardError, errorWrite) || (pipeInput && !makePipe(inputRead, inputWrite)) ||
        (pipeOutput && (!makePipe(outputRead, outputWrite) || !setNonBlocking(outputRead))) ||
        (pipeError && (!makePipe(errorRead, errorWrite) || !setNonBlocking(errorRead)))) {
      spawnError_ = errno;
      return false;
    }

    // Everything the child does between fork and exec is prepared here: after fork in a
    // threaded process only async-signal-safe calls are allowed.
    const int inputSource = inputRead ? inputRead.get() : -1;
    const int outputTarget = outputWrite.get();
    const int errorTarget = errorWrite ? errorWrite.get() : outputWrite.get();
    const char* folder = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    FileDescriptor execFailure, execFailureEnd;
    if (!makePipe(execFailure, execFailureEnd)) {
      spawnError_ = errno;
      return false;
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
      spawnError_ = errno;
      return false;
    }
    if (child == 0) {
      runChild(ChildSetup{argumentPointers.data(), environmentPointers.data(), folder, inputSource,
                          outputTarget, errorTarget, execFailureEnd.get(), parent});
    }
    execFailureEnd.reset();
    // Both sides set the group, so that terminate() reaches it whichever runs first.
    ::setpgid(child, child);
    int childErrno = 0;
    ssize_t got;
    do {
      got = ::read(execFailure.get(), &childErrno, sizeof childErrno);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof childErrno)) {
      int ignored;
      while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
      }
      spawnError_ = childErrno;
      return false;
    }
    {
      std::lock_guard lock(mutex_);
      pid_ = child;
    }
    spawnError_ = 0;
    cancelled_ = options.cancelled;
    input_ = std::move(inputWrite);
    output_ = std::move(outputRead);
    errorOutput_ = std::move(errorRead);
    exitNotice_ = openPidfd(child);
    return true;
  } catch (...) {
    // Only allocation can fail here, and only before the child exists.
    spawnError_ = ENOMEM;
    return false;
  }
}

bool Subprocess::writeInput(std::string_view data) {
  if (!input_) return false;
  // A child that stopped reading must not end this process with SIGPIPE: the signal is held back
  // for this thread and, when the write raised it, taken off again.
  sigset_t pipeSignal, previousMask, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
  bool written = true;
  while (!data.empty()) {
    const ssize_t count = ::write(input_.get(), data.data(), data.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      written = false;
      if (errno == EPIPE && !wasPending) {
        const timespec noWait{};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
      }
      break;
    }
    data.remove_prefix(static_cast<size_t>(count));
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  return written;
}

bool Subprocess::running() const {
  std::lock_guard lock(mutex_);
  return pid_ >= 0 && !exitedLocked();
}

bool Subprocess::exitedLocked() const {
  if (reaped_) return true;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    // ECHILD: someone else reaped it (SIGCHLD ignored by the application); it is gone either way.
    return errno != EINTR;
  }
  return info.si_pid != 0;
}

void Subprocess::terminate() {
  const auto signalGroup = [this](int signal) {
    // The group exists from the start (both sides set it before exec); the pid is the fallback.
    if (::kill(-pid_, signal) != 0 && errno == ESRCH) ::kill(pid_, signal);
  };
  {
    std::lock_guard lock(mutex_);
    if (pid_ < 0 || exitedLocked()) return;
    signalGroup(SIGTERM);
  }
  const auto deadline = std::chrono::steady_clock::now() + kTerminateGrace;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
    std::lock_guard lock(mutex_);
    if (exitedLocked()) return;
  }
  std::lock_guard lock(mutex_);
  if (!exitedLocked()) signalGroup(SIGKILL);
}

void Subprocess::reap() {
  // Wait for the exit without the lock, so that terminate() from another thread is not held up.
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (reaped_) return;
    }
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == 0 || errno != EINTR) break;
  }
  std::lock_guard lock(mutex_);
  if (reaped_) return;
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  reaped_ = true;
  statusKnown_ = reaped == pid_;
  status_ = status;
}

SubprocessResult Subprocess::wait(const ChunkHandler& onOutput, const ChunkHandler& onError) {
  SubprocessResult result;
  result.spawnError = spawnError_;
  if (pid_ < 0) return result;
  result.started = true;
  try {
    pump(onOutput, onError, result);
  } catch (...) {
    terminate();
  }
  reap();
  input_.reset();
  output_.reset();
  errorOutput_.reset();
  exitNotice_.reset();
  if (statusKnown_ && WIFEXITED(status_)) result.exitStatus = WEXITSTATUS(status_);
  if (statusKnown_ && WIFSIGNALED(status_)) result.signal = WTERMSIG(status_);
  return result;
}

void Subprocess::pump(const ChunkHandler& onOutput, const ChunkHandler& onError, SubprocessResult& result) {
  std::vector<char> buffer(kChunkSize);
  const auto deliver = [&](bool isError, std::string_view chunk) {
    const ChunkHandler& handler = isError ? onError : onOutput;
    if (handler) {
      handler(chunk);
    } else {
      (isError ? result.errorOutput : result.output).append(chunk);
    }
  };
  // Reads at most `limit` bytes of what is available now; closes the pipe at its end.
  const auto drain = [&](FileDescriptor& pipe, bool isError, size_t limit) {
    size_t taken = 0;
    while (pipe && taken < limit) {
      const ssize_t count = ::read(pipe.get(), buffer.data(), buffer.size());
      if (count > 0) {
        deliver(isError, std::string_view(buffer.data(), static_cast<size_t>(count)));
        taken += static_cast<size_t>(count);
      } else if (count < 0 && errno == EINTR) {
        continue;
      } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
      } else {
        pipe.reset();
      }
    }
  };
  const auto isCancelled = [this] { return cancelled_ != nullptr && cancelled_->load(); };
  const auto childExited = [this] {
    std::lock_guard lock(mutex_);
    return exitedLocked();
  };

  bool exited = false;
  while (output_ || errorOutput_) {
    if (isCancelled()) terminate();
    pollfd fds[3];
    nfds_t count = 0;
    const auto watch = [&](const FileDescriptor& fd) {
      fds[count] = pollfd{fd.get(), POLLIN, 0};
      return fd ? &fds[count++] : nullptr;
    };
    pollfd* outputPoll = watch(output_);
    pollfd* errorPoll = watch(errorOutput_);
    pollfd* exitPoll = watch(exitNotice_);
    const int timeout = (cancelled_ != nullptr || !exitNotice_) ? kPollIntervalMs : -1;
    if (::poll(fds, count, timeout) < 0 && errno != EINTR) {
      // Output that cannot be drained would block the child for ever.
      terminate();
      return;
    }

    if (outputPoll != nullptr && outputPoll->revents != 0) drain(output_, false, kChunkSize);
    if (errorPoll != nullptr && errorPoll->revents != 0) drain(errorOutput_, true, kChunkSize);
    if (exitPoll == nullptr || exitPoll->revents != 0) exited = childExited();
    if (exited) {
      // Everything the child wrote is in the pipes by now, at most a pipe's size each; a
      // descendant holding the pipes open is not waited for.
      for (FileDescriptor* pipe : {&output_, &errorOutput_}) {
        const int pipeSize = *pipe ? ::fcntl(pipe->get(), F_GETPIPE_SZ) : 0;
        drain(*pipe, pipe == &errorOutput_, pipeSize > 0 ? static_cast<size_t>(pipeSize) : kFallbackPipeSize);
      }
      return;
    }
  }

  // The child closed its output but may still run.
  auto pause = 1ms;
  while (!childExited()) {
    if (isCancelled()) terminate();
    if (exitNotice_) {
      pollfd exitPoll{exitNotice_.get(), POLLIN, 0};
      ::poll(&exitPoll, 1, cancelled_ != nullptr ? kPollIntervalMs : -1);
    } else {
      std::this_thread::sleep_for(pause);
      pause = std::min<std::chrono::milliseconds>(pause * 2, std::chrono::milliseconds(kPollIntervalMs));
    }
  }
}

bool createPipe(FileDescriptor& readEnd, FileDescriptor& writeEnd) { return makePipe(readEnd, writeEnd); }

FileDescriptor inputHolding(std::string_view data) {
  FileDescriptor file(::memfd_create("tessaro-input", MFD_CLOEXEC));
  if (!file) return file;
  while (!data.empty()) {
    const ssize_t count = ::write(file.get(), data.data(), data.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      file.reset();
      return file;
    }
    data.remove_prefix(static_cast<size_t>(count));
  }
  if (::lseek(file.get(), 0, SEEK_SET) != 0) file.reset();
  return file;
}

SubprocessResult run(const std::vector<std::string>& argv, const SubprocessOptions& options) {
  Subprocess process;
  if (!process.start(argv, options)) {
    SubprocessResult result;
    result.spawnError = process.spawnError();
    return result;
  }
  process.closeInput();
  return process.wait();
}

std::optional<std::string> programOnPath(std::string_view name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) return std::string(name);
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (dir.empty()) continue;
    std::string candidate = std::string(dir) + "/" + std::string(name);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

}  // namespace tessaro
