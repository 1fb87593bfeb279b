#include "defaults/UserDefaults.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace tessaro {

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::filesystem::path homeFolder() {
  std::string home = environment("HOME");
  if (!home.empty()) return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return {};
}

// A domain names one file inside the preferences folder, never a path out of it.
bool isValidDomain(std::string_view domain) {
  return !domain.empty() && domain != "." && domain != ".." &&
         domain.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<std::filesystem::path> domainFile(std::string_view domain) {
  if (!isValidDomain(domain)) return std::nullopt;
  const auto folder = UserDefaults::preferencesFolder();
  if (folder.empty()) return std::nullopt;
  return folder / (std::string(domain) + ".plist");
}

}  // namespace

UserDefaults::UserDefaults(std::string applicationDomain)
    : applicationDomain_(std::move(applicationDomain)) {}

UserDefaults& UserDefaults::standard() {
  static UserDefaults defaults{std::string(kHostDefaultsDomain)};
  return defaults;
}

std::filesystem::path UserDefaults::preferencesFolder() {
  try {
    std::filesystem::path config = environment("XDG_CONFIG_HOME");
    // The XDG rules ignore relative values.
    if (config.empty() || config.is_relative()) {
      const auto home = homeFolder();
      if (home.empty()) return {};
      config = home / ".config";
    }
    return config / "tessaro" / "preferences";
  } catch (...) {
    return {};
  }
}

const PlistDictionary& UserDefaults::loadedDomain(std::string_view domain) const {
  if (const auto it = cache_.find(domain); it != cache_.end()) return it->second;
  PlistDictionary values;
  if (const auto file = domainFile(domain)) {
    // A missing, unreadable or corrupt file is an empty domain.
    if (auto plist = PropertyList::fromFile(*file)) {
      if (auto* dict = plist->get<PlistDictionary>()) values = std::move(*dict);
    }
  }
  return cache_.emplace(std::string(domain), std::move(values)).first->second;
}

void UserDefaults::registerDefaults(const PlistDictionary& values) {
  try {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : values) registration_.insert_or_assign(key, value);
  } catch (...) {
  }
}

void UserDefaults::addSuiteNamed(std::string_view domain) {
  try {
    std::lock_guard lock(mutex_);
    if (domain == applicationDomain_) return;
    for (const auto& suite : suites_) {
      if (suite == domain) return;
    }
    suites_.emplace_back(domain);
  } catch (...) {
  }
}

std::optional<PropertyList> UserDefaults::objectForKey(std::string_view key) const {
  try {
    std::lock_guard lock(mutex_);
    auto lookIn = [&](const PlistDictionary& dict) -> const PropertyList* {
      const auto it = dict.find(key);
      return it == dict.end() ? nullptr : &it->second;
    };
    if (const auto* value = lookIn(loadedDomain(applicationDomain_))) return *value;
    for (const auto& suite : suites_) {
      if (const auto* value = lookIn(loadedDomain(suite))) return *value;
    }
    if (const auto* value = lookIn(registration_)) return *value;
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

int64_t UserDefaults::integerForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value ? value->asInteger().value_or(0) : 0;
}

bool UserDefaults::boolForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value ? value->asBool().value_or(false) : false;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  const auto value = objectForKey(key);
  return value ? value->asString() : std::nullopt;
}

std::optional<PlistArray> UserDefaults::arrayForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return std::nullopt;
  if (auto* array = value->get<PlistArray>()) return std::move(*array);
  return std::nullopt;
}

std::optional<PlistDictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return std::nullopt;
  if (auto* dict = value->get<PlistDictionary>()) return std::move(*dict);
  return std::nullopt;
}

bool UserDefaults::setObject(std::string_view key, const PropertyList& value) {
  try {
    // Setting nothing removes the key, as setting nil does on the platform.
    if (value.isNull()) return removeObjectForKey(key);
    std::lock_guard lock(mutex_);
    PlistDictionary values = loadedDomain(applicationDomain_);
    values.insert_or_assign(std::string(key), value);
    return setPersistentDomain(values, applicationDomain_);
  } catch (...) {
    return false;
  }
}

bool UserDefaults::removeObjectForKey(std::string_view key) {
  try {
    std::lock_guard lock(mutex_);
    PlistDictionary values = loadedDomain(applicationDomain_);
    const auto it = values.find(key);
    if (it == values.end()) return true;
    values.erase(it);
    return setPersistentDomain(values, applicationDomain_);
  } catch (...) {
    return false;
  }
}

std::optional<PlistDictionary> UserDefaults::persistentDomainForName(std::string_view domain) const {
  try {
    std::lock_guard lock(mutex_);
    const auto& values = loadedDomain(domain);
    if (!values.empty()) return values;
    // An empty domain is either an empty file or none at all.
    const auto file = domainFile(domain);
    std::error_code ec;
    if (file && std::filesystem::exists(*file, ec)) return values;
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

bool UserDefaults::setPersistentDomain(const PlistDictionary& values, std::string_view domain) {
  try {
    std::lock_guard lock(mutex_);
    const auto file = domainFile(domain);
    if (!file) return false;
    std::error_code ec;
    std::filesystem::create_directories(file->parent_path(), ec);
    if (ec) return false;
    // The domains hold the enciphered password record among other things: only their owner may
    // read them, or copy the record to attack its master password elsewhere.
    for (const auto& folder : {file->parent_path().parent_path(), file->parent_path()})
      std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
    if (!PropertyList(values).writeToFile(*file, false, 0600)) return false;
    cache_.insert_or_assign(std::string(domain), values);
    return true;
  } catch (...) {
    return false;
  }
}

bool UserDefaults::removePersistentDomainForName(std::string_view domain) {
  try {
    std::lock_guard lock(mutex_);
    const auto file = domainFile(domain);
    if (!file) return false;
    std::error_code ec;
    std::filesystem::remove(*file, ec);
    if (ec) return false;
    cache_.insert_or_assign(std::string(domain), PlistDictionary());
    return true;
  } catch (...) {
    return false;
  }
}

void UserDefaults::synchronize() {
  try {
    std::lock_guard lock(mutex_);
    cache_.clear();
  } catch (...) {
  }
}

}  // namespace tessaro
