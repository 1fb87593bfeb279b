// Resource forks and Finder information, which Linux file systems do not keep.
#pragma once

#include <string_view>

namespace tessaro {

// Linux file systems keep no resource forks or Finder information: these do nothing.
void fixupResourceForks(std::string_view folder);
void splitForksX(std::string_view source, std::string_view destinationFolder);
bool cloneFinderInfo(std::string_view source, std::string_view destination);
bool FSSetHasCustomIcon(std::string_view path);

}  // namespace tessaro
