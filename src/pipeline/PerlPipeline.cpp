#include "PerlPipeline.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "helpers.h"

namespace tessaro {

namespace {

// GNU tar writes every listing line with a write of its own. Piped straight into Perl, every
// line would wake Perl (and Perl's every block would wake us): for 100,000 entries that is most
// of the listing's cost. So both tools write into pipes that nobody waits on, and this process
// moves the text on after short naps, in large pieces.
constexpr int kPipeCapacity = 1 << 20;
constexpr auto kNap = std::chrono::milliseconds(1);
constexpr size_t kReadSize = 256 * 1024;
// Tool output read ahead of Perl: beyond this the tool waits on its full pipe.
constexpr size_t kMaxBacklog = 1 << 20;

// Holds SIGPIPE back from this thread while it writes to Perl, which may be gone, and takes
// back a SIGPIPE those writes raised.
class PipeSignalGuard {
 public:
  PipeSignalGuard() {
    sigemptyset(&pipeSignal_);
    sigaddset(&pipeSignal_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSignal_, &previous_);
  }
  ~PipeSignalGuard() {
    if (!wasPending_) {
      const timespec noWait{};
      while (sigtimedwait(&pipeSignal_, nullptr, &noWait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  PipeSignalGuard(const PipeSignalGuard&) = delete;
  PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

 private:
  sigset_t pipeSignal_;
  sigset_t previous_;
  bool wasPending_ = false;
};

bool makeRelayPipe(FileDescriptor& readEnd, FileDescriptor& writeEnd, const FileDescriptor& ours) {
  if (!createPipe(readEnd, writeEnd)) return false;
  // A smaller pipe only means more naps; the failure is not an error.
  ::fcntl(writeEnd.get(), F_SETPIPE_SZ, kPipeCapacity);
  const int flags = ::fcntl(ours.get(), F_GETFL);
  return flags >= 0 && ::fcntl(ours.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// Reads what `pipe` holds now, handing each piece to `take` while `wanted()` says so; closes the
// pipe at its end. True when anything happened.
template <typename Wanted, typename Take>
bool drainAvailable(FileDescriptor& pipe, std::vector<char>& buffer, Wanted&& wanted, Take&& take) {
  bool moved = false;
  while (pipe && wanted()) {
    const ssize_t count = ::read(pipe.get(), buffer.data(), buffer.size());
    if (count > 0) {
      take(std::string_view(buffer.data(), static_cast<size_t>(count)));
      moved = true;
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      pipe.reset();
      moved = true;
    }
  }
  return moved;
}

// What `pipe` holds now, into `out` up to `limit` bytes.
bool takeAvailable(FileDescriptor& pipe, std::string& out, size_t limit, std::vector<char>& buffer) {
  return drainAvailable(
      pipe, buffer, [&out, limit] { return out.size() < limit; },
      [&out](std::string_view piece) { out.append(piece); });
}

}  // namespace

std::optional<std::string> pipeThroughPerl(const std::vector<std::string>& argv,
                                           SubprocessOptions toolOptions, const std::string& expression) {
  try {
    std::string text;
    if (!pipeThroughPerl(argv, std::move(toolOptions), expression,
                         [&text](std::string_view piece) { text.append(piece); }))
      return std::nullopt;
    return text;
  } catch (...) {
    return std::nullopt;
  }
}

bool pipeThroughPerl(const std::vector<std::string>& argv, SubprocessOptions toolOptions,
                     const std::string& expression, const std::function<void(std::string_view)>& take,
                     int* toolStatus) {
  try {
    if (argv.empty()) return false;
    FileDescriptor toolOutput, toolEnd, perlInputEnd, perlInput, perlOutput, perlEnd;
    if (!makeRelayPipe(toolOutput, toolEnd, toolOutput) ||
        !makeRelayPipe(perlInputEnd, perlInput, perlInput) || !makeRelayPipe(perlOutput, perlEnd, perlOutput))
      return false;

    toolOptions.standardOutput = toolEnd.get();
    toolOptions.standardError = STDERR_FILENO;
    Subprocess tool;
    if (!tool.start(argv, toolOptions)) {
      HLVLog(kLogError, "%s could not be started: %s", argv[0].c_str(), std::strerror(tool.spawnError()));
      return false;
    }
    toolEnd.reset();

    SubprocessOptions perlOptions;
    perlOptions.standardInput = perlInputEnd.get();
    perlOptions.standardOutput = perlEnd.get();
    perlOptions.standardError = STDERR_FILENO;
    Subprocess perl;
    const bool perlStarted = perl.start({"/usr/bin/perl", "-pe", expression}, perlOptions);
    perlInputEnd.reset();
    perlEnd.reset();
    if (!perlStarted) {
      HLVLog(kLogError, "/usr/bin/perl could not be started: %s", std::strerror(perl.spawnError()));
      // Without a reader the tool's next write fails and it ends instead of waiting for ever.
      toolOutput.reset();
      tool.wait();
      return false;
    }

    std::string text;
    {
      PipeSignalGuard holdBackPipeSignal;
      std::vector<char> buffer(kReadSize);
      std::string backlog;
      size_t sent = 0;
      // Until Perl's output ends: tool output into the backlog, the backlog into Perl, Perl's
      // output into the text.
      while (perlOutput) {
        if (toolOptions.cancelled != nullptr && toolOptions.cancelled->load()) {
          tool.terminate();
          perl.terminate();
          break;
        }
        bool moved = takeAvailable(toolOutput, backlog, sent + kMaxBacklog, buffer);
        while (perlInput && sent < backlog.size()) {
          const ssize_t count = ::write(perlInput.get(), backlog.data() + sent, backlog.size() - sent);
          if (count > 0) {
            sent += static_cast<size_t>(count);
            moved = true;
          } else if (count < 0 && errno == EINTR) {
            continue;
          } else {
            // A full pipe waits for the next round; Perl gone drops what it would have read.
            if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) perlInput.reset();
            break;
          }
        }
        if (sent >= kMaxBacklog) {
          backlog.erase(0, sent);
          sent = 0;
        }
        if (sent == backlog.size()) {
          backlog.clear();
          sent = 0;
          // All of the tool's output has gone to Perl: Perl sees the end of its input.
          if (!toolOutput && perlInput) {
            perlInput.reset();
            moved = true;
          }
        }
        moved = drainAvailable(
                    perlOutput, buffer, [] { return true; }, take) ||
                moved;
        if (!moved) std::this_thread::sleep_for(kNap);
      }
    }
    // A tool still writing finds its reader gone and ends.
    toolOutput.reset();
    perlInput.reset();
    perl.wait();
    const SubprocessResult ended = tool.wait();
    if (toolStatus) *toolStatus = ended.exitStatus;
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace tessaro
