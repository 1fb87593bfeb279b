#include "log/SystemLog.h"

#include <syslog.h>

#include <climits>
#include <mutex>
#include <utility>

namespace tessaro {

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

LogSink& sink() {
  static LogSink installed;
  return installed;
}

}  // namespace

void systemLog(int priority, std::string_view message) {
  try {
    LogSink current;
    {
      std::lock_guard lock(sinkMutex());
      current = sink();
    }
    // Called outside the lock so that a sink may log in turn.
    if (current) {
      current(priority, message);
      return;
    }
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("tessaro", LOG_PID, LOG_USER); });
    const int length = message.size() > INT_MAX ? INT_MAX : static_cast<int>(message.size());
    syslog(priority, "%.*s", length, message.data());
  } catch (...) {
  }
}

void setLogSinkForTesting(LogSink newSink) {
  try {
    std::lock_guard lock(sinkMutex());
    sink() = std::move(newSink);
  } catch (...) {
  }
}

}  // namespace tessaro
