#include "GrowthLimit.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace tessaro::host {

namespace {

constexpr std::chrono::milliseconds kInterval{100};

}  // namespace

int64_t bytesBelow(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  int64_t total = 0;
  // A tree the tool is still changing: names may vanish under the walk, which then goes on.
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
  for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
    const fs::file_status status = it->symlink_status(error);
    if (error) {
      error.clear();
      continue;
    }
    if (!fs::is_regular_file(status)) continue;
    const auto size = it->file_size(error);
    if (error) {
      error.clear();
      continue;
    }
    total += static_cast<int64_t>(size);
  }
  return total;
}

GrowthLimit::GrowthLimit(std::string folder, int64_t limit, ArchiveHandler& handler)
    : folder_(std::move(folder)), limit_(limit), handler_(handler), thread_([this] { watch(); }) {}

GrowthLimit::~GrowthLimit() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void GrowthLimit::watch() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    // Cancelled again at every tick: a handler clears the flag when it starts its tool.
    if (exceeded_ || bytesBelow(folder_) > limit_) {
      exceeded_ = true;
      handler_.setOperationCancelled(true);
    }
    lock.lock();
    wake_.wait_for(lock, kInterval, [this] { return stopping_; });
  }
}

}  // namespace tessaro::host
