#include "MacMetadata.h"

namespace tessaro {

// Linux file systems keep no "._" companions to merge: extracted ones stay ordinary files.
void fixupResourceForks(std::string_view) {}

// No entry carries resource forks or Finder information here, so there is nothing to split out.
void splitForksX(std::string_view, std::string_view) {}

// There is no Finder information on Linux file systems to copy.
bool cloneFinderInfo(std::string_view, std::string_view) { return true; }

// Custom icons are a Finder flag that Linux file systems do not have.
bool FSSetHasCustomIcon(std::string_view) { return true; }

}  // namespace tessaro
