// User defaults: the registration domain, added suites and persistent domains, looked up in the
// order the platform uses (application domain, suites in the order added, registration domain).
// Persistent domains are XML property lists in preferencesFolder(), one file per domain.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plist/PropertyList.h"

namespace tessaro {

// The host application's domain (presets, size base, temporary folder, debug level) and the
// configuration application's domain (the preview's display settings).
inline constexpr std::string_view kHostDefaultsDomain = "app.tessaro.Tessaro";
inline constexpr std::string_view kConfigDefaultsDomain = "app.tessaro.TessaroQLConfig";

class UserDefaults {
 public:
  explicit UserDefaults(std::string applicationDomain);

  // The process-wide object; its application domain is the host's.
  static UserDefaults& standard();

  // $XDG_CONFIG_HOME/tessaro/preferences (or ~/.config/tessaro/preferences).
  static std::filesystem::path preferencesFolder();

  // Merges into the registration domain; keys already registered take the new values.
  void registerDefaults(const PlistDictionary& values);
  void addSuiteNamed(std::string_view domain);

  std::optional<PropertyList> objectForKey(std::string_view key) const;
  // A missing value reads as 0, false, or none.
  int64_t integerForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<PlistArray> arrayForKey(std::string_view key) const;
  std::optional<PlistDictionary> dictionaryForKey(std::string_view key) const;

  // Writes go to the application domain and are saved at once.
  bool setObject(std::string_view key, const PropertyList& value);
  bool removeObjectForKey(std::string_view key);

  std::optional<PlistDictionary> persistentDomainForName(std::string_view domain) const;
  bool setPersistentDomain(const PlistDictionary& values, std::string_view domain);
  bool removePersistentDomainForName(std::string_view domain);

  // Forgets cached domains so that the next read sees the files as they are now.
  void synchronize();

  const std::string& applicationDomain() const { return applicationDomain_; }

 private:
  const PlistDictionary& loadedDomain(std::string_view domain) const;

  std::string applicationDomain_;
  std::vector<std::string> suites_;
  PlistDictionary registration_;
  mutable std::map<std::string, PlistDictionary, std::less<>> cache_;
  mutable std::recursive_mutex mutex_;
};

}  // namespace tessaro
