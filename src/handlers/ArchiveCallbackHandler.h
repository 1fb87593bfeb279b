// What the host application answers while a handler works: passwords, volume changes, progress
// and log output. The preview never attaches one, so every request takes its default answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plist/PropertyList.h"

namespace tessaro {

class ArchiveCallbackHandler {
 public:
  virtual ~ArchiveCallbackHandler() = default;

  // The password to try; "" means the user cancelled. `params` carries "mode" and, for RAR, "isRar".
  virtual std::string passwordWithParams(PlistDictionary& params) = 0;
  // The next volume of a set: the library's answer (1 go on, -1 stop); `path` may be rewritten.
  virtual int changeVolume(std::string& path, int mode) = 0;
  // Progress by bytes; -1 asks to cancel. `data` may be null.
  virtual int processData(const void* data, int64_t size, int delta) = 0;
  virtual void processFile(std::string_view name, int operation) = 0;
  virtual void setProgress(int percent) = 0;

  // Optional operations: a handler calls them only when the host answers to them.
  virtual bool respondsToLogOutput() const { return false; }
  virtual void logOutput(std::string_view /*text*/) {}
  virtual bool respondsToProcessData() const { return true; }
};

}  // namespace tessaro
