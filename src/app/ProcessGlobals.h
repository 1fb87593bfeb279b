// Values shared by the whole process: where the plug-in's resources and the host's helper tools
// are. The preview sets them at the start of every request; the host sets them once at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tessaro {

class ArchiveHandler;
class HostApplication;

// The plug-in bundle's resources folder.
std::string& bundlePath();
// The host application's helper-tool folder (".../Contents/Helpers"), ending without "/".
std::string& helpersPath();
// The mode of the host's open password store (kStoreModeAsksForEntries among them), asked each
// time a handler needs it; empty while no store is open (always in a preview). The handlers need
// nothing else of the store, so they do not depend on it.
std::function<int32_t()>& passwordStoreMode();
// The host's application object, which makes temporary folders; none until the host sets one
// (never in a preview).
HostApplication*& theApp();

// The handlers inside a library call, kept alive for its span. Handlers on any thread add and
// remove themselves, so every access holds the lock.
class RunningHandlers {
 public:
  void add(std::shared_ptr<ArchiveHandler> handler);
  // Removes one entry of `handler`, if it has one.
  void remove(const std::shared_ptr<ArchiveHandler>& handler);
  size_t size() const;
  bool empty() const { return size() == 0; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ArchiveHandler>> handlers_;
};
RunningHandlers& runningHandlers();

}  // namespace tessaro
