#include "ProcessGlobals.h"

#include <algorithm>
#include <utility>

namespace tessaro {

// Function-local statics: made on first use, so no order of static initialisation between
// translation units can catch them unmade.
std::string& bundlePath() {
  static std::string path;
  return path;
}

std::string& helpersPath() {
  static std::string path;
  return path;
}

std::function<int32_t()>& passwordStoreMode() {
  static std::function<int32_t()> mode;
  return mode;
}

HostApplication*& theApp() {
  static HostApplication* application = nullptr;
  return application;
}

void RunningHandlers::add(std::shared_ptr<ArchiveHandler> handler) {
  std::lock_guard lock(mutex_);
  handlers_.push_back(std::move(handler));
}

void RunningHandlers::remove(const std::shared_ptr<ArchiveHandler>& handler) {
  std::shared_ptr<ArchiveHandler> removed;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find(handlers_.begin(), handlers_.end(), handler);
    if (it == handlers_.end()) return;
    removed = std::move(*it);
    handlers_.erase(it);
  }
  // `removed` lets go of the handler only here, outside the lock.
}

size_t RunningHandlers::size() const {
  std::lock_guard lock(mutex_);
  return handlers_.size();
}

RunningHandlers& runningHandlers() {
  static RunningHandlers handlers;
  return handlers;
}

}  // namespace tessaro
