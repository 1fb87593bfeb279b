#include "PreviewConfiguration.h"

#include "NSString+HTML.h"
#include "PathString.h"
#include "bundle/Bundle.h"
#include "defaults/UserDefaults.h"
#include "plist/PropertyList.h"

namespace tessaro {

namespace {

constexpr std::array<std::string_view, 8> kDisplayKeys = {
    "keepHeaderFixed", "showHiddenFiles", "showPackageContents", "cD", "cS", "cP", "cK", "cA"};

void registerDefaultsFile(const std::string& path) {
  if (auto plist = PropertyList::fromFile(path)) {
    if (const auto* values = plist->get<PlistDictionary>())
      UserDefaults::standard().registerDefaults(*values);
  }
}

}  // namespace

void setUpPreviewDefaults(std::string_view bundlePath) {
  auto& defaults = UserDefaults::standard();
  registerDefaultsFile(appendingPathComponent(bundlePath, "defaults.plist"));
  defaults.addSuiteNamed(kConfigDefaultsDomain);
  defaults.addSuiteNamed(kHostDefaultsDomain);
  // The host's own defaults, in its language's folder, win over the plug-in's.
  const Bundle hostResources(appendingPathComponent(bundlePath, "../../../../../Resources"));
  const std::string language = hostResources.preferredLocalization() + ".lproj";
  registerDefaultsFile(appendingPathComponent(
      appendingPathComponent(hostResources.resourcePath().string(), language), "defaults.plist"));
}

std::string configurationScript(bool simple) {
  auto& defaults = UserDefaults::standard();
  std::string text = simple ? "var simple = 1;" : "var simple = 0;";
  for (const std::string_view key : kDisplayKeys) {
    text += '\n';
    text += key;
    text += defaults.boolForKey(key) ? "=1;" : "=0;";
  }
  return text;
}

std::string presetsAsOptions() {
  const auto presets = UserDefaults::standard().objectForKey("HLVExtractPresets");
  if (!presets) return "no presets found";
  std::string options;
  if (const auto* list = presets->get<PlistArray>()) {
    for (const PropertyList& preset : *list) {
      const PropertyList* name = preset.find("name");
      const std::string text = name && name->is<std::string>() ? *name->get<std::string>() : std::string();
      options += "<option value='" + percentEscaped(text) + "'>" + stringByEncodingHTMLEntities(text) +
                 "</option>\n";
    }
  }
  return options;
}

std::string itemCountText(const Bundle& labels, int32_t itemCount, int32_t cutoffCount) {
  if (itemCount < cutoffCount) return std::to_string(itemCount);
  // The translation is used as a format with two %d; it is filled here rather than handed to
  // printf, so a translation with other conversions cannot read what is not there.
  const std::string format = labels.localizedString(kItemCountFormat);
  const int32_t values[2] = {itemCount, cutoffCount};
  size_t used = 0;
  std::string text;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == 'd' && used < 2) {
        text += std::to_string(values[used++]);
        ++i;
        continue;
      }
      if (format[i + 1] == '%') {
        text += '%';
        ++i;
        continue;
      }
    }
    text += format[i];
  }
  return text;
}

}  // namespace tessaro
