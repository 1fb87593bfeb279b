// Reports how the total size of a folder changes while a tool that prints no progress writes into
// it: the folder is measured every half second and each change goes to a delegate.
//
// A plug-in host has no main run loop to put a timer on, so the watcher ticks on a thread of its
// own. The delegate is called on that thread; a delegate that must act on another thread hands
// the value over itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace tessaro {

class FolderWatcherDelegate {
 public:
  virtual ~FolderWatcherDelegate() = default;
  // The change in bytes since the last tick: 0 when nothing changed, negative when it shrank.
  virtual void watchedFolderChangedBy(double delta) = 0;
};

class ArchiveCallbackHandler;

// Turns a folder's growth into a share of the size it will reach, as percentages for the host.
class FolderGrowthProgress : public FolderWatcherDelegate {
 public:
  FolderGrowthProgress(std::weak_ptr<ArchiveCallbackHandler> host, int64_t total);
  void watchedFolderChangedBy(double delta) override;

 private:
  std::weak_ptr<ArchiveCallbackHandler> host_;
  double total_;
  double grown_ = 0;
};

class FolderWatcher {
 public:
  FolderWatcher();
  // Stops the watcher.
  ~FolderWatcher();
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Measures `path` at once and starts ticking. `maxSize` is kept for the caller and read by
  // nothing. False when the watcher already runs or its thread could not be started.
  bool initWithPath(const std::string& path, double maxSize, std::weak_ptr<FolderWatcherDelegate> delegate);
  // Ends the ticks and waits for a delegate call in progress: none arrives after it returns.
  // Called from the delegate itself, it lets the current call finish on its own.
  void stop();

  std::weak_ptr<FolderWatcherDelegate> delegate() const;
  void setDelegate(std::weak_ptr<FolderWatcherDelegate> delegate);
  const std::string& path() const;
  double maxSize() const;
  // The folder's size in bytes at the last measurement.
  int64_t watchedFolderSize() const;

 private:
  struct State;

  void halt();
  static void watchFolderSize(State& state);
  static void watchTimerFired(State& state);
  static void run(std::shared_ptr<State> state);

  // Shared with the thread, so a watcher destroyed from its own delegate leaves the thread valid
  // data to finish with.
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace tessaro
