// The extraction presets the preview page offers (HLVExtractPresets of the host's preferences,
// else the application's shipped defaults): each names where an archive goes and whether loose
// items get a folder of their own.
#pragma once

#include <optional>
#include <string>

#include "ArchiveExtraction.h"

namespace tessaro::host {

struct ExtractionPreset {
  std::string name;
  // Empty: the archive's own folder. "~" starts at the home folder; another relative path is
  // taken from the archive's folder.
  std::string destination;
  // Loose top-level items get a folder named after the archive (the default); false puts them
  // straight into the destination.
  bool createFolder = true;
  // "overwrite" or "keep" for files already in the destination; otherwise they stop the extraction.
  std::string existingFiles;
};

// The preset called `name`; none when no preset has that name.
std::optional<ExtractionPreset> extractionPresetNamed(const std::string& name);

// What extracting `archive` (an absolute path) with `preset` asks for; none when the destination
// names a home folder there is none of.
std::optional<ExtractionRequest> presetRequest(const ExtractionPreset& preset, const std::string& archive);

}  // namespace tessaro::host
