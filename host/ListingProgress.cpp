#include "ListingProgress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

namespace tessaro::host {

namespace {

// Small archives are listed before a line would help.
constexpr auto kQuietStart = std::chrono::milliseconds(700);
constexpr auto kPollInterval = std::chrono::milliseconds(200);

// The furthest offset of our descriptors open on the file `archive` names; -1 for none.
int64_t readOffset(const std::string& archive) {
  struct stat wanted;
  if (::stat(archive.c_str(), &wanted) != 0) return -1;
  int64_t furthest = -1;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    struct stat st;
    if (::stat(entry.path().c_str(), &st) != 0 || st.st_dev != wanted.st_dev || st.st_ino != wanted.st_ino)
      continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    long long pos = -1;
    if (info >> key >> pos && key == "pos:" && pos > furthest) furthest = pos;
  }
  return furthest;
}

}  // namespace

ListingProgress::ListingProgress(const std::string& archive)
    : archive_(archive), bar_(archive, TerminalCallbackHandler::Options{false, false}) {
  if (::isatty(STDERR_FILENO) != 1) return;
  struct stat st;
  if (::stat(archive_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return;
  bar_.setTotalBytes(static_cast<int64_t>(st.st_size));
  thread_ = std::thread([this] { watch(); });
}

ListingProgress::~ListingProgress() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  bar_.endProgress();
}

void ListingProgress::watch() {
  std::unique_lock lock(mutex_);
  if (wake_.wait_for(lock, kQuietStart, [this] { return stopping_; })) return;
  int64_t reported = 0;
  while (!stopping_) {
    // A reader that seeks back (a second pass) moves no bar backwards.
    const int64_t offset = readOffset(archive_);
    if (offset > reported) {
      bar_.processData(nullptr, offset - reported, 1);
      reported = offset;
    }
    wake_.wait_for(lock, kPollInterval, [this] { return stopping_; });
  }
}

}  // namespace tessaro::host
