#include "alert/AlertPanel.h"

#include <syslog.h>

#include <mutex>
#include <string>
#include <utility>

#include "log/SystemLog.h"

namespace tessaro {

namespace {

std::mutex& responderMutex() {
  static std::mutex mutex;
  return mutex;
}

AlertResponder& responder() {
  static AlertResponder installed;
  return installed;
}

}  // namespace

int runAlertPanel(std::string_view title, std::string_view message, std::string_view /*defaultButton*/,
                  std::string_view /*alternateButton*/, std::string_view /*otherButton*/) {
  try {
    AlertResponder current;
    {
      std::lock_guard lock(responderMutex());
      current = responder();
    }
    if (current) return current(title, message);
    std::string line;
    line.reserve(title.size() + 2 + message.size());
    line.append(title).append(": ").append(message);
    systemLog(LOG_WARNING, line);
  } catch (...) {
  }
  return kAlertDefaultReturn;
}

void setAlertResponderForTesting(AlertResponder newResponder) {
  try {
    std::lock_guard lock(responderMutex());
    responder() = std::move(newResponder);
  } catch (...) {
  }
}

}  // namespace tessaro
