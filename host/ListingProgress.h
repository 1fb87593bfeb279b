// The progress line of a listing read in this process: how far into the archive file its reader
// has got, as the kernel tells for our descriptors on it, drawn once the listing takes a while.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "TerminalCallbackHandler.h"

namespace tessaro::host {

class ListingProgress {
 public:
  // Starts watching the reading of `archive` (an absolute path) when standard error is a terminal.
  explicit ListingProgress(const std::string& archive);
  // Stops watching and clears the line.
  ~ListingProgress();
  ListingProgress(const ListingProgress&) = delete;
  ListingProgress& operator=(const ListingProgress&) = delete;

 private:
  void watch();

  std::string archive_;
  TerminalCallbackHandler bar_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tessaro::host
