// Stops a handler whose tool writes more into a folder than may be written there: the folder is
// measured every tenth of a second while the tool runs, and the handler is cancelled as soon as
// the folder holds more than the limit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "ArchiveHandler.h"

namespace tessaro::host {

class GrowthLimit {
 public:
  // Starts watching `folder` for `handler`.
  GrowthLimit(std::string folder, int64_t limit, ArchiveHandler& handler);
  // Stops watching.
  ~GrowthLimit();
  GrowthLimit(const GrowthLimit&) = delete;
  GrowthLimit& operator=(const GrowthLimit&) = delete;

  // The folder held more than the limit at some measurement.
  bool exceeded() const { return exceeded_; }

 private:
  void watch();

  std::string folder_;
  int64_t limit_;
  ArchiveHandler& handler_;
  std::atomic<bool> exceeded_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// The bytes of the regular files below `folder` (links not followed, a sparse file at its full size).
int64_t bytesBelow(const std::string& folder);

}  // namespace tessaro::host
