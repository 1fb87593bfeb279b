#include "FolderWatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "ArchiveCallbackHandler.h"
#include "helpers.h"

namespace tessaro {

FolderGrowthProgress::FolderGrowthProgress(std::weak_ptr<ArchiveCallbackHandler> host, int64_t total)
    : host_(std::move(host)), total_(static_cast<double>(total)) {}

void FolderGrowthProgress::watchedFolderChangedBy(double delta) {
  grown_ += delta;
  const std::shared_ptr<ArchiveCallbackHandler> host = host_.lock();
  if (!host) return;
  const double share = total_ > 0 ? std::clamp(grown_ / total_, 0.0, 1.0) : 1.0;
  host->setProgress(static_cast<int>(share * 100));
}

namespace {

constexpr std::string_view kClassName = "FolderWatcher";

// Twice a second: often enough for a progress bar, rare enough that measuring a large folder
// does not slow the tool that writes into it.
constexpr std::chrono::milliseconds kTickInterval{500};

void trace(const char* operation) {
  HLVLog(kLogTrace, "%.*s %s", static_cast<int>(kClassName.size()), kClassName.data(), operation);
}

}  // namespace

struct FolderWatcher::State {
  std::string path;
  double maxSize = 0;
  std::atomic<int64_t> watchedFolderSize{0};

  std::mutex mutex;  // guards what follows
  std::condition_variable wake;
  bool stopping = false;
  std::weak_ptr<FolderWatcherDelegate> delegate;
};

FolderWatcher::FolderWatcher() {
  try {
    state_ = std::make_shared<State>();
  } catch (...) {
    // Without its state the watcher never starts.
  }
}

FolderWatcher::~FolderWatcher() { halt(); }

bool FolderWatcher::initWithPath(const std::string& path, double maxSize,
                                 std::weak_ptr<FolderWatcherDelegate> delegate) {
  try {
    if (thread_.joinable()) return false;
    // A fresh state each time: a thread let go by an earlier stop may still hold the old one.
    auto state = std::make_shared<State>();
    state->path = path;
    state->maxSize = maxSize;
    state->delegate = std::move(delegate);
    watchFolderSize(*state);
    state_ = std::move(state);
    thread_ = std::thread(run, state_);
    return true;
  } catch (...) {
    return false;
  }
}

void FolderWatcher::stop() {
  trace("stop");
  halt();
}

void FolderWatcher::halt() {
  try {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
    }
    state_->wake.notify_all();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Joining itself would never return; the thread ends once the delegate call returns.
      thread_.detach();
    } else {
      thread_.join();
    }
  } catch (...) {
    // Swallowed: the watcher must stop even when its thread cannot be joined.
    HLVLog(kLogError, "Stopping the folder watcher failed");
  }
}

std::weak_ptr<FolderWatcherDelegate> FolderWatcher::delegate() const {
  if (!state_) return {};
  std::lock_guard lock(state_->mutex);
  return state_->delegate;
}

void FolderWatcher::setDelegate(std::weak_ptr<FolderWatcherDelegate> delegate) {
  if (!state_) return;
  std::lock_guard lock(state_->mutex);
  state_->delegate = std::move(delegate);
}

const std::string& FolderWatcher::path() const {
  static const std::string none;
  return state_ ? state_->path : none;
}

double FolderWatcher::maxSize() const { return state_ ? state_->maxSize : 0; }

int64_t FolderWatcher::watchedFolderSize() const { return state_ ? state_->watchedFolderSize.load() : 0; }

void FolderWatcher::watchFolderSize(State& state) {
  trace("watchFolderSize");
  state.watchedFolderSize = filesizeFromArray(state.path, nullptr);
}

void FolderWatcher::watchTimerFired(State& state) {
  // Both sizes lie between 0 and the largest 64-bit value (the measurement saturates), so the
  // difference cannot overflow.
  const int64_t size = filesizeFromArray(state.path, nullptr);
  const double delta = static_cast<double>(size - state.watchedFolderSize.load());
  state.watchedFolderSize = size;
  std::shared_ptr<FolderWatcherDelegate> delegate;
  {
    std::lock_guard lock(state.mutex);
    if (state.stopping) return;
    delegate = state.delegate.lock();
  }
  // stop() waits for this call, so none is still running when it returns.
  if (delegate) delegate->watchedFolderChangedBy(delta);
}

void FolderWatcher::run(std::shared_ptr<State> state) {
  try {
    auto next = std::chrono::steady_clock::now() + kTickInterval;
    for (;;) {
      {
        std::unique_lock lock(state->mutex);
        if (state->wake.wait_until(lock, next, [&] { return state->stopping; })) return;
      }
      try {
        watchTimerFired(*state);
      } catch (...) {
        // A delegate that throws loses its tick, not the watcher.
      }
      // Ticks missed while measuring or in the delegate are dropped rather than fired in a burst.
      next += kTickInterval;
      const auto now = std::chrono::steady_clock::now();
      if (next <= now) next = now + kTickInterval;
    }
  } catch (...) {
    // Swallowed: an exception may not leave the watching thread.
    HLVLog(kLogError, "The folder watcher stopped early");
  }
}

}  // namespace tessaro
