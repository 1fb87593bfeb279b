#include "ExtractionPresets.h"

#include <cstdlib>

#include "HostPaths.h"
#include "PathString.h"
#include "bundle/Bundle.h"
#include "defaults/UserDefaults.h"
#include "plist/PropertyList.h"

namespace tessaro::host {

namespace {

// The user's presets, else those the application ships for its language.
std::optional<PlistArray> presetList() {
  if (std::optional<PlistArray> own = UserDefaults::standard().arrayForKey("HLVExtractPresets")) return own;
  const std::optional<std::string> folder = executableFolder();
  if (!folder) return std::nullopt;
  const Bundle resources(appendingPathComponent(*folder, "../Resources"));
  const std::string file = appendingPathComponent(
      appendingPathComponent(resources.resourcePath().string(), resources.preferredLocalization() + ".lproj"),
      "defaults.plist");
  const std::optional<PropertyList> shipped = PropertyList::fromFile(file);
  const PropertyList* list = shipped ? shipped->find("HLVExtractPresets") : nullptr;
  if (!list || !list->is<PlistArray>()) return std::nullopt;
  return *list->get<PlistArray>();
}

std::string stringIn(const PropertyList& preset, std::string_view key) {
  const PropertyList* value = preset.find(key);
  return value ? value->asString().value_or("") : std::string();
}

}  // namespace

std::optional<ExtractionPreset> extractionPresetNamed(const std::string& name) {
  const std::optional<PlistArray> presets = presetList();
  if (!presets) return std::nullopt;
  for (const PropertyList& entry : *presets) {
    if (!entry.is<PlistDictionary>() || stringIn(entry, "name") != name) continue;
    ExtractionPreset preset;
    preset.name = name;
    preset.destination = stringIn(entry, "destination");
    const PropertyList* createFolder = entry.find("createFolder");
    preset.createFolder = !createFolder || createFolder->asBool().value_or(true);
    preset.existingFiles = stringIn(entry, "existingFiles");
    return preset;
  }
  return std::nullopt;
}

std::optional<ExtractionRequest> presetRequest(const ExtractionPreset& preset, const std::string& archive) {
  const std::string archiveFolder(deletingLastPathComponent(archive));
  std::string destination = preset.destination;
  if (destination == "~" || destination.starts_with("~/")) {
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') return std::nullopt;
    destination = std::string(home) + destination.substr(1);
  } else if (destination.empty()) {
    destination = archiveFolder;
  } else if (destination.front() != '/') {
    destination = appendingPathComponent(archiveFolder, destination);
  }
  ExtractionRequest request;
  request.archive = archive;
  request.destination = destination;
  request.here = !preset.createFolder;
  if (preset.existingFiles == "overwrite") request.placement.existing = ExistingFiles::overwrite;
  if (preset.existingFiles == "keep") request.placement.existing = ExistingFiles::keep;
  return request;
}

}  // namespace tessaro::host
