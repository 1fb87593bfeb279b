#include "HostTexts.h"

#include <memory>
#include <mutex>
#include <vector>

#include "PathString.h"
#include "ProcessGlobals.h"
#include "bundle/Bundle.h"

namespace tessaro {

const Bundle& hostBundle() {
  // Reopened when the helper folder or the language changes; bundles handed out before stay alive
  // for the process, so a reference never dangles.
  static std::mutex mutex;
  static std::string openedFor;
  static std::vector<std::unique_ptr<Bundle>> opened;
  std::string wanted = helpersPath();
  for (const std::string& language : Bundle::preferredLanguages()) wanted += "\n" + language;
  std::lock_guard lock(mutex);
  if (opened.empty() || openedFor != wanted) {
    openedFor = std::move(wanted);
    opened.push_back(std::make_unique<Bundle>(appendingPathComponent(helpersPath(), "../Resources")));
  }
  return *opened.back();
}

std::string hostText(std::string_view key) { return hostBundle().localizedString(key); }

std::string hostText(std::string_view key, std::string_view value) {
  std::string text = hostText(key);
  size_t at = text.find("%@");
  if (at == std::string::npos) at = text.find("%d");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace tessaro
