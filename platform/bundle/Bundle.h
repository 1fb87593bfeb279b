// A bundle's resources folder: resource lookup and localised strings from
// <lang>.lproj/Localizable.strings, with the key as the fallback.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

class Bundle {
 public:
  // resourcesPath is the folder that holds the resources and the <lang>.lproj folders.
  explicit Bundle(std::filesystem::path resourcesPath);

  const std::filesystem::path& resourcePath() const { return resourcesPath_; }

  // The file named `name` in the preferred localisation's folder, else in the resources folder.
  std::optional<std::filesystem::path> pathForResource(std::string_view name) const;

  // The translation of `key` in the preferred localisation's Localizable.strings, else `key`.
  std::string localizedString(std::string_view key) const;

  // The bundle's localisations (names of its .lproj folders without the extension), sorted.
  std::vector<std::string> localizations() const;
  // The first of preferredLanguages() that the bundle has, else "en", else the first it has.
  std::string preferredLocalization() const;

  // Languages of the process locale in order of preference ("de_DE.UTF-8" gives "de_DE", "de"),
  // always ending with "en".
  static std::vector<std::string> preferredLanguages();

 private:
  std::filesystem::path resourcesPath_;
  mutable std::optional<std::map<std::string, std::string, std::less<>>> strings_;
};

// Parses the text of a .strings file ("key" = "value"; with C and C++ comments and backslash
// escapes). Malformed text yields the pairs read before the fault.
std::map<std::string, std::string, std::less<>> parseStringsFile(std::string_view text);

}  // namespace tessaro
