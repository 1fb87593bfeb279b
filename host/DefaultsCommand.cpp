// tessaro defaults: reads and writes the preference domains the preview and the handlers read,
// in the manner of the platform's defaults tool.
//   tessaro defaults read [DOMAIN] [KEY]
//   tessaro defaults write [DOMAIN] KEY [-int|-bool|-string|-array-add|-plist] VALUE
//   tessaro defaults delete [DOMAIN] [KEY]
// DOMAIN is "host", "config" or a domain identifier; without one, the preview's display keys go
// to the configuration application's domain and every other key to the host's.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "defaults/UserDefaults.h"
#include "plist/PropertyList.h"

namespace tessaro::host {

const char* const kDefaultsUsage =
    "defaults read|write|delete [DOMAIN] [KEY] [-int|-bool|-string|-array-add|-plist VALUE] [--force]\n"
    "                 show or change the preferences the preview and the handlers read; an unknown key\n"
    "                 or a value of the wrong type is refused unless --force\n";

namespace {

constexpr std::string_view kDisplayKeys[] = {"simpleThreshold",
                                             "cutoffCount",
                                             "keepHeaderFixed",
                                             "showHiddenFiles",
                                             "showPackageContents",
                                             "cD",
                                             "cS",
                                             "cP",
                                             "cK",
                                             "cA"};

enum class KeyType { integer, boolean, string, array, store };

struct KnownKey {
  std::string_view name;
  KeyType type;
};

// The keys the preview, the handlers and the commands read, with the type they read them as; a
// value of another type would be ignored or, worse, break the preview.
constexpr KnownKey kKnownKeys[] = {
    {"simpleThreshold", KeyType::integer},
    {"cutoffCount", KeyType::integer},
    {"keepHeaderFixed", KeyType::boolean},
    {"showHiddenFiles", KeyType::boolean},
    {"showPackageContents", KeyType::boolean},
    {"cD", KeyType::boolean},
    {"cS", KeyType::boolean},
    {"cP", KeyType::boolean},
    {"cK", KeyType::boolean},
    {"cA", KeyType::boolean},
    {"HLVSizeBase1024", KeyType::boolean},
    {"HLVDebugLevel", KeyType::integer},
    {"HLVPreviewTimeLimit", KeyType::integer},
    {"HLVViewCacheLimit", KeyType::integer},
    {"HLVListingMaxEntries", KeyType::integer},
    {"HLVListingMaxNameBytes", KeyType::integer},
    {"HLVExtractPresets", KeyType::array},
    {"HLVArchiveExtensionsBlacklist", KeyType::string},
    {"HLVTempFolderName", KeyType::string},
    {"HLVTempFolderPath", KeyType::string},
    {"HLVViewingApplication", KeyType::string},
    {"rar", KeyType::string},
    // The password store's own records: `tessaro passwords` writes them.
    {"HLVPasswords", KeyType::store},
    {"HLVPasswordsMode", KeyType::store},
    {"HLVPasswordsSetAside", KeyType::store},
};

const KnownKey* knownKey(std::string_view name) {
  for (const KnownKey& key : kKnownKeys)
    if (key.name == name) return &key;
  return nullptr;
}

std::string knownKeyList() {
  std::string list;
  for (const KnownKey& key : kKnownKeys) {
    if (key.type == KeyType::store) continue;
    if (!list.empty()) list += ", ";
    list += key.name;
    list += key.type == KeyType::integer   ? " (-int)"
            : key.type == KeyType::boolean ? " (-bool)"
            : key.type == KeyType::array   ? " (-array-add)"
                                           : " (-string)";
  }
  return list;
}

// Why `value` may not go under `key`; empty when it fits.
std::string typeProblem(const KnownKey& key, const PropertyList& value, bool arrayAdd) {
  switch (key.type) {
    case KeyType::integer:
      return value.get<int64_t>() ? "" : std::string(key.name) + " takes an integer (-int)";
    case KeyType::boolean:
      return value.get<bool>() ? "" : std::string(key.name) + " takes a boolean (-bool YES or NO)";
    case KeyType::string: return value.get<std::string>() ? "" : std::string(key.name) + " takes a string";
    case KeyType::array:
      return arrayAdd || value.get<PlistArray>() ? "" : std::string(key.name) + " takes a list (-array-add)";
    case KeyType::store:
      return std::string(key.name) + " belongs to the password store: change it with 'tessaro passwords'";
  }
  return {};
}

std::optional<std::string> domainNamed(std::string_view name) {
  if (name == "host") return std::string(kHostDefaultsDomain);
  if (name == "config") return std::string(kConfigDefaultsDomain);
  if (name == kHostDefaultsDomain || name == kConfigDefaultsDomain) return std::string(name);
  // Any other identifier with a dot names a domain of its own.
  if (name.find('.') != std::string_view::npos && name.find('/') == std::string_view::npos)
    return std::string(name);
  return std::nullopt;
}

std::string domainForKey(std::string_view key) {
  for (const std::string_view display : kDisplayKeys)
    if (display == key) return std::string(kConfigDefaultsDomain);
  return std::string(kHostDefaultsDomain);
}

void printValue(const PropertyList& value) {
  if (const auto* b = value.get<bool>()) {
    std::puts(*b ? "1" : "0");
  } else if (const auto* i = value.get<int64_t>()) {
    std::printf("%lld\n", static_cast<long long>(*i));
  } else if (const auto* s = value.get<std::string>()) {
    std::printf("%s\n", s->c_str());
  } else {
    std::fputs(value.toXml().c_str(), stdout);
  }
}

std::optional<PropertyList> parseValue(std::string_view type, const std::string& text, std::string& error) {
  if (type == "-string") return PropertyList(text);
  if (type == "-int") {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') {
      error = "not an integer: " + text;
      return std::nullopt;
    }
    return PropertyList(int64_t{v});
  }
  if (type == "-bool") {
    if (text == "YES" || text == "yes" || text == "true" || text == "1") return PropertyList(true);
    if (text == "NO" || text == "no" || text == "false" || text == "0") return PropertyList(false);
    error = "not a boolean (YES, NO, true, false, 1, 0): " + text;
    return std::nullopt;
  }
  if (type == "-plist") {
    if (auto v = PropertyList::fromBytes(text)) return v;
    error = "not a property list: " + text;
    return std::nullopt;
  }
  error = "unknown value type " + std::string(type);
  return std::nullopt;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "tessaro defaults: %s\n", message.c_str());
  return kExitUsage;
}

}  // namespace

int defaultsCommand(const std::vector<std::string>& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::FILE* out = args.empty() ? stderr : stdout;
    std::fprintf(out, "usage: tessaro %s", kDefaultsUsage);
    return args.empty() ? kExitUsage : kExitOK;
  }
  const std::string& verb = args[0];
  std::vector<std::string> rest;
  bool force = false;
  for (auto it = args.begin() + 1; it != args.end(); ++it) {
    if (*it == "--force") {
      force = true;
    } else {
      rest.push_back(*it);
    }
  }
  std::string error;
  // A leading domain is recognised by its name, and only where a key still follows it: "read
  // host" and "read host KEY", "write host KEY [-type] VALUE".
  std::optional<std::string> domain;
  const size_t wordsAfterDomain = verb == "write" ? 2 : 0;
  if (!rest.empty() && rest.size() > wordsAfterDomain) {
    if (auto named = domainNamed(rest[0])) {
      domain = named;
      rest.erase(rest.begin());
    }
  }
  auto& defaults = UserDefaults::standard();

  if (verb == "read") {
    if (rest.size() > 1) return fail("read takes at most a domain and a key");
    if (rest.empty()) {
      for (const std::string& name : domain ? std::vector<std::string>{*domain}
                                            : std::vector<std::string>{std::string(kConfigDefaultsDomain),
                                                                       std::string(kHostDefaultsDomain)}) {
        std::printf("%s:\n", name.c_str());
        std::fputs(
            PropertyList(defaults.persistentDomainForName(name).value_or(PlistDictionary{})).toXml().c_str(),
            stdout);
      }
      return kExitOK;
    }
    const std::string name = domain.value_or(domainForKey(rest[0]));
    const auto values = defaults.persistentDomainForName(name);
    const auto found = values ? values->find(rest[0]) : PlistDictionary::const_iterator{};
    if (!values || found == values->end()) {
      std::fprintf(stderr, "tessaro defaults: %s has no value for %s\n", name.c_str(), rest[0].c_str());
      return kExitFailed;
    }
    printValue(found->second);
    return kExitOK;
  }

  if (verb == "write") {
    if (rest.size() != 2 && rest.size() != 3) return fail("write takes a key and a value");
    const std::string& key = rest[0];
    const std::string name = domain.value_or(domainForKey(key));
    // Only the program's own domains are checked; a domain of another name is the caller's.
    const bool ours = name == kHostDefaultsDomain || name == kConfigDefaultsDomain;
    const KnownKey* known = knownKey(key);
    if (ours && !force && !known)
      return fail("unknown key " + key + " (--force writes it anyway); the keys: " + knownKeyList());
    PlistDictionary values = defaults.persistentDomainForName(name).value_or(PlistDictionary{});
    if (rest.size() == 2) {
      // A value without a type takes the key's own type.
      std::optional<PropertyList> value = PropertyList(rest[1]);
      if (known && known->type == KeyType::integer) value = parseValue("-int", rest[1], error);
      if (known && known->type == KeyType::boolean) value = parseValue("-bool", rest[1], error);
      if (!value) return fail(error);
      if (ours && known && !force) {
        if (const std::string problem = typeProblem(*known, *value, false); !problem.empty())
          return fail(problem);
      }
      values[key] = *value;
    } else if (rest[1] == "-array-add") {
      if (ours && known && !force && known->type != KeyType::array)
        return fail(typeProblem(*known, PropertyList(PlistArray{}), false));
      PlistArray list;
      if (auto it = values.find(key); it != values.end()) {
        if (const auto* existing = it->second.get<PlistArray>()) list = *existing;
      }
      auto element = rest[2].starts_with("<") ? parseValue("-plist", rest[2], error) : PropertyList(rest[2]);
      if (!element) return fail(error);
      list.push_back(*element);
      values[key] = PropertyList(std::move(list));
    } else {
      auto value = parseValue(rest[1], rest[2], error);
      if (!value) return fail(error);
      if (ours && known && !force) {
        if (const std::string problem = typeProblem(*known, *value, false); !problem.empty())
          return fail(problem);
      }
      values[key] = *value;
    }
    if (!defaults.setPersistentDomain(values, name)) return fail("could not write the domain " + name);
    return kExitOK;
  }

  if (verb == "delete") {
    if (rest.size() > 1) return fail("delete takes at most a domain and a key");
    if (rest.empty()) {
      if (!domain) return fail("delete needs a domain or a key");
      return defaults.removePersistentDomainForName(*domain) ? kExitOK : kExitFailed;
    }
    const std::string name = domain.value_or(domainForKey(rest[0]));
    PlistDictionary values = defaults.persistentDomainForName(name).value_or(PlistDictionary{});
    if (values.erase(rest[0]) == 0) {
      std::fprintf(stderr, "tessaro defaults: %s has no value for %s\n", name.c_str(), rest[0].c_str());
      return kExitFailed;
    }
    return defaults.setPersistentDomain(values, name) ? kExitOK : kExitFailed;
  }
  return fail("unknown action '" + verb + "' (read, write or delete)");
}

}  // namespace tessaro::host
