// The folder growth watcher on a real folder: one call per half-second tick with the change in
// bytes, none after stop() and none to a delegate that is gone.
#include "FolderWatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Call {
  Clock::time_point when;
  double delta;
};

class Recorder : public FolderWatcherDelegate {
 public:
  // How long each call takes, to stand for a slow delegate.
  explicit Recorder(std::chrono::milliseconds busy = 0ms) : busy_(busy) {}

  void watchedFolderChangedBy(double delta) override {
    {
      std::lock_guard lock(mutex_);
      ++started_;
    }
    changed_.notify_all();
    std::this_thread::sleep_for(busy_);
    {
      std::lock_guard lock(mutex_);
      calls_.push_back({Clock::now(), delta});
    }
    changed_.notify_all();
  }

  // The calls so far, once there are `count` of them or two seconds have passed.
  std::vector<Call> waitFor(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 2s, [&] { return calls_.size() >= count; });
    return calls_;
  }
  // Waits until a call has begun (two seconds at most).
  bool waitForStart() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 2s, [&] { return started_ > 0; });
  }

 private:
  std::chrono::milliseconds busy_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  size_t started_ = 0;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(FolderWatcherTest, EveryTickReportsTheChangeSinceTheLast) {
  test::TempDir dir;
  dir.write("sub/a.bin", std::string(100, 'a'));
  auto recorder = std::make_shared<Recorder>();
  FolderWatcher watcher;
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(watcher.initWithPath(dir.str(), 0, recorder));
  // Measured at once, below subfolders too.
  EXPECT_EQ(watcher.watchedFolderSize(), 100);

  // Nothing changed: the tick still comes, half a second in, with 0.
  std::vector<Call> calls = recorder->waitFor(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].delta, 0);
  EXPECT_GT(seconds(calls[0].when - start), 0.4);
  EXPECT_LT(seconds(calls[0].when - start), 0.95);

  dir.write("sub/b.bin", std::string(1000, 'b'));
  calls = recorder->waitFor(2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].delta, 1000);
  EXPECT_GT(seconds(calls[1].when - calls[0].when), 0.3);

  fs::remove_all(dir.path() / "sub");
  calls = recorder->waitFor(3);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].delta, -1100);
  EXPECT_EQ(watcher.watchedFolderSize(), 0);
  watcher.stop();
}

TEST(FolderWatcherTest, NoCallAfterStopOrOnceTheDelegateIsGone) {
  test::TempDir dir;
  // Its call takes a while, so stop() comes while it runs.
  auto slow = std::make_shared<Recorder>(200ms);
  FolderWatcher watcher;
  ASSERT_TRUE(watcher.initWithPath(dir.str(), 0, slow));

  // Held weakly: dropping the delegate ends its calls, and the ticks go on without it.
  auto gone = std::make_shared<Recorder>();
  const std::weak_ptr<Recorder> goneRef = gone;
  FolderWatcher orphaned;
  ASSERT_TRUE(orphaned.initWithPath(dir.str(), 0, gone));
  EXPECT_FALSE(orphaned.delegate().expired());
  gone.reset();
  EXPECT_TRUE(orphaned.delegate().expired());
  dir.write("a.bin", std::string(10, 'a'));

  ASSERT_TRUE(slow->waitForStart());
  watcher.stop();
  // stop() waited for the running call; the thread has ended, so no later one can come.
  EXPECT_EQ(slow->waitFor(0).size(), 1u);
  const Clock::time_point deadline = Clock::now() + 2s;
  while (orphaned.watchedFolderSize() != 10 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(orphaned.watchedFolderSize(), 10);
  EXPECT_TRUE(goneRef.expired());
  // A second start on a stopped watcher is allowed; the destructor stops it.
  EXPECT_TRUE(watcher.initWithPath(dir.str(), 0, slow));
  EXPECT_FALSE(watcher.initWithPath(dir.str(), 0, slow));
}

}  // namespace
}  // namespace tessaro
