#include "TerminalCallbackHandler.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <string>

#include "HandlerStatus.h"
#include "StoredPasswords.h"
#include "locale/LocaleFormat.h"

namespace tessaro::host {

namespace {

// Wrong answers the prompt takes before it gives up for the user.
constexpr int kMaxPrompts = 3;
// Width of the progress bar in characters, the percentage not counted.
constexpr int kBarWidth = 40;
// Byte counts come with every chunk a tool writes; the line is redrawn no oftener than this.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
// A line from the terminal is short; one that never ends cannot grow without bound.
constexpr size_t kMaxLine = 4096;

// The terminal's settings while echo is off, restored however the program leaves.
int gTerminal = -1;
struct termios gSavedTerminal;
bool gEchoOff = false;

void restoreEcho() {
  if (gEchoOff) {
    ::tcsetattr(gTerminal, TCSAFLUSH, &gSavedTerminal);
    gEchoOff = false;
  }
}

// What SIGINT and SIGTERM did before the prompt, for the prompt's handler to hand over to: an
// extraction removes its staging folder there.
struct sigaction gOldInt {};
struct sigaction gOldTerm {};

extern "C" void restoreEchoAndDie(int signal) {
  restoreEcho();
  const struct sigaction& before = signal == SIGINT ? gOldInt : gOldTerm;
  // The signal ends the program either way: through the earlier handler, or by default.
  if (before.sa_handler == SIG_IGN) {
    ::signal(signal, SIG_DFL);
  } else {
    ::sigaction(signal, &before, nullptr);
  }
  ::raise(signal);
}

std::optional<std::string> readTerminalLine(const std::string& prompt, bool secret) {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  gTerminal = fd;
  if (::write(fd, prompt.data(), prompt.size()) < 0) {
    ::close(fd);
    return std::nullopt;
  }
  struct sigaction action {};
  action.sa_handler = restoreEchoAndDie;
  ::sigaction(SIGINT, &action, &gOldInt);
  ::sigaction(SIGTERM, &action, &gOldTerm);
  if (secret && ::tcgetattr(fd, &gSavedTerminal) == 0) {
    struct termios quiet = gSavedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    gEchoOff = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
  }
  std::string line;
  bool ended = false;
  char c;
  while (line.size() < kMaxLine) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') {
      ended = n > 0;
      break;
    }
    line += c;
  }
  restoreEcho();
  ::sigaction(SIGINT, &gOldInt, nullptr);
  ::sigaction(SIGTERM, &gOldTerm, nullptr);
  if (secret && ::write(fd, "\n", 1) < 0) {
    // The newline only tidies the terminal.
  }
  ::close(fd);
  gTerminal = -1;
  if (!ended && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> readSecretLine(const std::string& prompt) {
  return readTerminalLine(prompt, true);
}
std::optional<std::string> readLine(const std::string& prompt) { return readTerminalLine(prompt, false); }

TerminalCallbackHandler::TerminalCallbackHandler(std::string archive, Options options)
    : archive_(std::move(archive)), options_(options) {
  // The terminal as it is now: the tools' messages may be sent nowhere while they run, the
  // progress line still goes to the terminal.
  if (::isatty(STDERR_FILENO) == 1) barFd_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
}

TerminalCallbackHandler::~TerminalCallbackHandler() {
  endProgress();
  if (barFd_ >= 0) ::close(barFd_);
}

void TerminalCallbackHandler::writeBarLocked(const std::string& text) {
  // What went to standard error before comes first.
  std::fflush(stderr);
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(barFd_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

std::string TerminalCallbackHandler::passwordWithParams(PlistDictionary& /*params*/) {
  if (!storedPasswords_) storedPasswords_ = storedArchivePasswords();
  if (storedOffered_ < storedPasswords_->size()) return (*storedPasswords_)[storedOffered_++];
  clearBar();
  if (++prompts_ > kMaxPrompts) return {};
  const std::optional<std::string> answer = readSecretLine("Password for " + archive_ + ": ");
  // Without a terminal the failure's one line says the password is missing.
  if (!answer) return {};
  return *answer;
}

int TerminalCallbackHandler::changeVolume(std::string& path, int mode) {
  if (mode == kVolumeCheckOnly) return kVolumeFound;
  clearBar();
  const std::optional<std::string> answer =
      readLine("tessaro: volume missing: " + path + "\nPath of that volume (empty to stop): ");
  if (answer && !answer->empty() && ::access(answer->c_str(), R_OK) == 0) {
    path = *answer;
    return kVolumeFound;
  }
  if (!answer) std::fprintf(stderr, "tessaro: volume missing: %s\n", path.c_str());
  volumeMissing_ = true;
  return kVolumeRefused;
}

int TerminalCallbackHandler::processData(const void* /*data*/, int64_t size, int /*delta*/) {
  if (size <= 0) return 1;
  const std::lock_guard lock(barMutex_);
  bytesDone_ += size;
  // A tool that tells its share done is the better measure; bytes then only count.
  if (percentFromTool_ || barFd_ < 0) return 1;
  const auto now = std::chrono::steady_clock::now();
  if (lastDrawn_ && now - *lastDrawn_ < kRedrawInterval) return 1;
  if (totalBytes_ && *totalBytes_ > 0) {
    drawBarLocked(
        static_cast<int>(std::min<int64_t>(100, bytesDone_ / std::max<int64_t>(1, *totalBytes_ / 100))),
        bytesDone_);
  } else {
    drawBarLocked(std::nullopt, bytesDone_);
  }
  return 1;
}

void TerminalCallbackHandler::processFile(std::string_view name, int /*operation*/) {
  seen_.emplace_back(name);
  if (!options_.printEntries) return;
  const std::lock_guard lock(barMutex_);
  clearBarLocked();
  std::fwrite(name.data(), 1, name.size(), stdout);
  std::fputc('\n', stdout);
}

void TerminalCallbackHandler::setProgress(int percent) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  const std::lock_guard lock(barMutex_);
  percentFromTool_ = true;
  if (percent == lastPercent_ || barFd_ < 0) return;
  std::optional<int64_t> done;
  if (totalBytes_ && *totalBytes_ > 0)
    done = *totalBytes_ / 100 * percent + *totalBytes_ % 100 * percent / 100;
  drawBarLocked(percent, done);
}

void TerminalCallbackHandler::drawBarLocked(std::optional<int> percent, std::optional<int64_t> done) {
  const auto now = std::chrono::steady_clock::now();
  if (!started_) started_ = now;
  lastDrawn_ = now;
  const double seconds = std::chrono::duration<double>(now - *started_).count();
  std::string bar = "\r";
  if (percent) {
    lastPercent_ = *percent;
    const int filled = *percent * kBarWidth / 100;
    bar += "[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    bar += "] " + std::to_string(*percent) + "%";
  }
  // Bytes and rate when they are known; the time left from the share done so far.
  if (done) {
    bar += (percent ? "  " : "") + formatByteCount(*done, false);
    if (totalBytes_ && *totalBytes_ > 0) bar += " of " + formatByteCount(*totalBytes_, false);
    if (seconds >= 1 && *done > 0)
      bar += ", " + formatByteCount(static_cast<int64_t>(*done / seconds), false) + "/s";
  }
  if (percent && seconds >= 1 && *percent > 0 && *percent < 100) {
    const auto left = static_cast<long long>(seconds * (100 - *percent) / *percent + 0.5);
    bar += ", " + (left >= 60 ? std::to_string(left / 60) + " min " : std::string()) +
           std::to_string(left % 60) + " s left";
  }
  bar += "\033[K";
  writeBarLocked(bar);
  barShown_ = true;
}

void TerminalCallbackHandler::logOutput(std::string_view text) {
  // What a failure's report needs is at the end: the tools say what went wrong last.
  constexpr size_t kKeep = 2048;
  recentLog_.append(text);
  if (recentLog_.size() > 2 * kKeep) recentLog_.erase(0, recentLog_.size() - kKeep);
  if (!options_.verbose) return;
  clearBar();
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (!text.empty() && text.back() != '\n') std::fputc('\n', stderr);
}

void TerminalCallbackHandler::endProgress() {
  const std::lock_guard lock(barMutex_);
  clearBarLocked();
  bytesDone_ = 0;
  percentFromTool_ = false;
  started_.reset();
  lastDrawn_.reset();
}

void TerminalCallbackHandler::clearBar() {
  const std::lock_guard lock(barMutex_);
  clearBarLocked();
}

void TerminalCallbackHandler::clearBarLocked() {
  if (!barShown_) return;
  // Back to the line's start and erase it.
  writeBarLocked("\r\033[K");
  barShown_ = false;
  lastPercent_ = -1;
}

}  // namespace tessaro::host
