// The rows of the preview's listing table: one <tr> per entry in tree order, indented by depth,
// stopping after the configured number of rows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro {

class AZipItem;

// Appends the rows of `item` (line number `lineNumber`, depth `level`) and its descendants to
// `out` and returns the last line number used. Rows are written for line numbers 1 to
// cutoffCount - 1; the root is called with line number 0 and is never written.
int32_t outputTableRowIntoMutableString(AZipItem& item, std::string& out, int32_t lineNumber, int32_t level,
                                        bool simple, std::string_view archivePath, int32_t cutoffCount);

}  // namespace tessaro
