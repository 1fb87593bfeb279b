// Extracting an archive into a folder: the one way `tessaro extract` and the preview page's
// preset links unpack, through a staging folder, the archive's checks and a placement that
// follows no link.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SafeExtraction.h"

namespace tessaro::host {

struct ExtractionRequest {
  std::string archive;
  std::vector<std::string> entries;  // none: the whole archive
  std::string destination = ".";
  std::optional<std::string> password;
  bool verbose = false;
  PlacementOptions placement;
  std::optional<int64_t> maxSize;
  bool here = false;  // loose top-level items go straight into the destination
};

// Extracts as `request` asks and returns the exit status. On success `placedIn` (when given)
// receives the folder the archive's contents went into: the destination, or the folder made for
// loose items.
int extractArchive(const ExtractionRequest& request, std::string* placedIn = nullptr);

}  // namespace tessaro::host
