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
    "defaults read|write|delete [DOMAIN] [KEY] [-int|-bool|-string|-array-add|-plist VALUE]\n"
    "                 show or change the preferences the preview and the handlers read\n";

namespace {

constexpr std::string_view kDisplayKeys[] = {"simpleThreshold", "cutoffCount", "keepHeaderFixed",
                                             "showHiddenFiles", "showPackageContents", "cD", "cS", "cP", "cK", "cA"};

std::optional<std::string> domainNamed(std::string_view name) {
  if (name == "host") return std::string(kHostDefaultsDomain);
  if (name == "config") return std::string(kConfigDefaultsDomain);
  if (name == kHostDefaultsDomain || name == kConfigDefaultsDomain) return std::string(name);
  // Any other identifier with a dot names a domain of its own.
  if (name.find('.') != std::string_view::npos && name.find('/') == std::string_view::npos) return std::string(name);
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
  std::vector<std::string> rest(args.begin() + 1, args.end());
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
        std::fputs(PropertyList(defaults.persistentDomainForName(name).value_or(PlistDictionary{})).toXml().c_str(),
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
    PlistDictionary values = defaults.persistentDomainForName(name).value_or(PlistDictionary{});
    if (rest.size() == 2) {
      values[key] = PropertyList(rest[1]);
    } else if (rest[1] == "-array-add") {
      PlistArray list;
      if (auto it = values.find(key); it != values.end()) {
        if (const auto* existing = it->second.get<PlistArray>()) list = *existing;
      }
      std::string error;
      auto element = rest[2].starts_with("<") ? parseValue("-plist", rest[2], error) : PropertyList(rest[2]);
      if (!element) return fail(error);
      list.push_back(*element);
      values[key] = PropertyList(std::move(list));
    } else {
      std::string error;
      auto value = parseValue(rest[1], rest[2], error);
      if (!value) return fail(error);
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
