// The rows of the preview's listing table: one <tr> per entry in tree order, indented by depth,
// stopping after the configured number of rows.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "ArchiveFacts.h"

namespace tessaro {

class AZipItem;

// Labels of the listing's tool bar beside the rows, each placeholder being the key between two
// percent signs. They are filled after every other value and script of the page, so that the
// page's older placeholders keep their order.
inline constexpr std::array<std::string_view, 1> kListingToolLabelKeys = {
    "Names that are not UTF-8 are read as"};

// Appends the rows of `item` (line number `lineNumber`, depth `level`) and its descendants to
// `out` and returns the last line number used. Rows are written for line numbers 1 to
// cutoffCount - 1; the root is called with line number 0 and is never written.
int32_t outputTableRowIntoMutableString(AZipItem& item, std::string& out, int32_t lineNumber, int32_t level,
                                        bool simple, std::string_view archivePath, int32_t cutoffCount);

// The English names of the safety flags, in SafetyFlag bit order; also the localisation keys.
inline constexpr std::array<std::string_view, kSafetyFlagCount> kSafetyFlagLabels = {
    "Absolute path",
    "Parent folder reference (..)",
    "Link pointing outside the archive",
    "Duplicate path",
    "Device file",
    "Extreme compression ratio",
    "Invisible or direction-changing characters"};
// The title of the mark of an entry whose data is encrypted; also the localisation key.
inline constexpr std::string_view kEncryptedEntryLabel = "Encrypted";
// Titles of the marks as the rows show them, not yet escaped: the safety flags in bit order, and
// the encrypted entries' mark.
struct SafetyFlagTitles {
  std::array<std::string, kSafetyFlagCount> flags;
  std::string encrypted;
};

// The same rows; an entry with safety flags gets a mark after its name, titled with the names
// of its flags, and an encrypted entry a lock. The form above titles them in English.
int32_t outputTableRowIntoMutableString(AZipItem& item, std::string& out, int32_t lineNumber, int32_t level,
                                        bool simple, std::string_view archivePath, int32_t cutoffCount,
                                        const SafetyFlagTitles& flagTitles);

}  // namespace tessaro
