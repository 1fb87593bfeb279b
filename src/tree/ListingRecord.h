// The pieces of a listing record: one line per entry, "path=" and the entry's path, then
// TAB-separated fields of a four-character key, one separator character and a value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Date.h"

namespace tessaro {

// A four-character record key packed into one integer, so that keys compare in one step.
constexpr uint32_t recordKey(const char (&k)[5]) {
  return uint32_t(uint8_t(k[0])) | uint32_t(uint8_t(k[1])) << 8 | uint32_t(uint8_t(k[2])) << 16 |
         uint32_t(uint8_t(k[3])) << 24;
}
inline uint32_t recordKey(std::string_view field) {
  return uint32_t(uint8_t(field[0])) | uint32_t(uint8_t(field[1])) << 8 | uint32_t(uint8_t(field[2])) << 16 |
         uint32_t(uint8_t(field[3])) << 24;
}

// True when `line` is an entry record: it begins with "path=" and has a TAB.
bool isEntryRecord(std::string_view line);
// The entry path of a record (between "path=" and the first TAB) and everything after that TAB.
std::string_view recordPath(std::string_view line);
std::string_view recordFields(std::string_view line);

// Appends every line of a tool's output, unchanged and in order ("\n" separates; the text after
// the last one is a line too), as the list handlers hand to the pipeline.
void appendLines(std::string_view text, std::vector<std::string>& lines);

// A size: a leading decimal number (optional sign, digits, optional fraction) truncated toward
// zero, saturating at the 64-bit limits; 0 when there is no number.
int64_t parseRecordSize(std::string_view value);
// A leading decimal integer, saturating at the 32-bit limits; 0 when there is none.
int32_t parseRecordInteger(std::string_view value);
// 1 for "Jan" … 12 for "Dec" (exact case), 0 for anything else.
int parseRecordMonth(std::string_view value);

// A `time` value in local time: 15 characters "%Y%m%d.%H%M%S", 13 characters "%Y%m%d.%H%M",
// otherwise "%Y-%m-%d %H:%M:%S" whose numbers may be padded with spaces. None when it does not fit.
std::optional<Date> parseRecordTime(std::string_view value);

// A date from parts in GMT, in the lenient manner of a calendar (day 0 is the last day of the
// month before, minutes past 59 carry into the hour). Year 0 means the current year.
Date dateFromGMTParts(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute);

}  // namespace tessaro
