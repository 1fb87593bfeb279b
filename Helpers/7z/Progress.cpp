#include "Progress.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "HelperOutput.h"
#include "process/Subprocess.h"

namespace tessaro::sevenzip {

namespace {

// A line longer than this is passed on in pieces rather than held.
constexpr size_t kMaxSegment = 64 * 1024;

// The percentage a status line begins with ("  5% 3 + name"), or -1.
int leadingPercent(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  int value = 0;
  size_t digits = 0;
  while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
    value = value * 10 + (text[digits++] - '0');
  if (digits == 0 || digits > 3 || digits >= text.size() || text[digits] != '%' || value > 100) return -1;
  return value;
}

}  // namespace

void ProgressFilter::endStatus() {
  const int percent = leadingPercent(segment_);
  if (percent >= 0 && percent != lastPercent_) {
    char chunk[16];
    std::snprintf(chunk, sizeof chunk, "%3d%%", percent);
    sink_(chunk);
    lastPercent_ = percent;
  }
  segment_.clear();
}

void ProgressFilter::feed(std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\b' || c == '\r') {
      // What stood before a redraw was a status line, never a line of the log.
      if (!erasing_) endStatus();
      erasing_ = true;
    } else if (erasing_ && c == ' ') {
      continue;
    } else if (c == '\n') {
      erasing_ = false;
      segment_.push_back('\n');
      sink_(segment_);
      segment_.clear();
    } else {
      erasing_ = false;
      segment_.push_back(c);
      if (segment_.size() >= kMaxSegment) {
        sink_(segment_);
        segment_.clear();
      }
    }
  }
}

void ProgressFilter::finish() {
  if (!segment_.empty()) sink_(segment_);
  segment_.clear();
}

int runWithProgress(const std::vector<std::string>& argv, const std::string& workingDirectory,
                    const std::atomic<bool>* cancelled, int standardInput) {
  SubprocessOptions options;
  options.workingDirectory = workingDirectory;
  options.environment = {{"LC_ALL", "C.UTF-8"}};
  options.standardError = STDERR_FILENO;
  options.cancelled = cancelled;
  options.standardInput = standardInput;
  Subprocess sevenZip;
  if (!sevenZip.start(argv, options)) {
    std::fprintf(stderr, "7z: cannot run %s: %s\n", argv.front().c_str(),
                 std::strerror(sevenZip.spawnError()));
    return kFatalError;
  }
  ProgressFilter filter([](std::string_view chunk) { writeAll(STDOUT_FILENO, chunk); });
  const SubprocessResult result = sevenZip.wait([&](std::string_view chunk) { filter.feed(chunk); });
  filter.finish();
  if (result.exitStatus >= 0) {
    // 7zz's last status is wiped before it ends; the handlers see the work finished.
    if (result.exitStatus == 0) writeAll(STDOUT_FILENO, "100%");
    return result.exitStatus;
  }
  return result.signal > 0 ? kSignalExitBase + result.signal : kFatalError;
}

}  // namespace tessaro::sevenzip
