// The system log (syslog), with one seam for tests to capture what is written.
#pragma once

#include <functional>
#include <string_view>

namespace tessaro {

// Writes one message to the system log at the given syslog priority (LOG_ERR, LOG_NOTICE, ...).
void systemLog(int priority, std::string_view message);

using LogSink = std::function<void(int priority, std::string_view message)>;
// Replaces the system log by `sink` until it is called again with an empty function.
void setLogSinkForTesting(LogSink sink);

}  // namespace tessaro
