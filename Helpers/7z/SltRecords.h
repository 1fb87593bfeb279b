// Turns 7zz's technical listing ("l -slt") into the lines the handlers read: the archive comment
// block, "Solid=+", then one listing record per entry. Fed while 7zz runs, so the records leave
// as soon as each entry is complete.
//
// Names: a TAB or line feed inside an entry's path would end the record or the line, so each one
// becomes U+FFFD (7zz itself already prints a stored line feed as "_"); in the other fields they
// become a space. Bytes that are not UTF-8 become U+FFFD, except in a path: a path that is not
// UTF-8 is read as code page 437 and its bytes follow in a "rawn" field, in hexadecimal.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "process/LineAssembler.h"

namespace tessaro::sevenzip {

class SltRecords {
 public:
  // Receives finished output text, in order, in pieces of any size.
  using Sink = std::function<void(std::string_view)>;

  explicit SltRecords(Sink sink) : sink_(std::move(sink)) {}

  // Any split of 7zz's standard output, in order.
  void feed(std::string_view bytes);
  // The end of 7zz's output: completes the last line and entry.
  void finish();

  // True once "Wrong password?" or "Sub items Errors" has been seen in the listing text.
  bool sawWrongPassword() const { return sawWrongPassword_; }
  bool sawSubItemsErrors() const { return sawSubItemsErrors_; }

 private:
  enum class Section { kPreamble, kArchive, kEntries };
  // The properties of one entry that the record carries; each is cleared, not freed, between
  // entries so that a long listing allocates once.
  struct Entry {
    std::string path, folder, size, packedSize, modified, attributes, mode, encrypted, comment, crc, method,
        hostOS, version;
    bool hasPath = false, hasCRC = false, hasEncrypted = false, hasHostOS = false, hasVersion = false,
         hasComment = false;
    void clear();
  };

  void line(std::string_view text);
  void property(std::string_view key, std::string value);
  void beginLevel();
  void writeArchiveLines();
  void writeEntry();
  void passThrough(std::string_view text);

  Sink sink_;
  LineAssembler lines_;
  Section section_ = Section::kPreamble;

  // A value that 7zz writes over several lines, between "{" and "}".
  bool awaitingBrace_ = false;
  bool inBraces_ = false;
  std::string braceKey_;
  std::string braceValue_;

  // The innermost archive level's comment and solid flag (a disk image holds a file system).
  std::string archiveComment_;
  std::string archiveType_;
  bool archiveSolid_ = false;
  // 7zz's words about the archive itself ("ERRORS:", "Unexpected end of archive"), passed on
  // after the entries, where the handler reads why a listing failed.
  std::vector<std::string> archiveErrors_;

  Entry entry_;
  std::string out_;
  bool sawWrongPassword_ = false;
  bool sawSubItemsErrors_ = false;
};

// `text` as valid UTF-8 with every byte that does not belong to a well-formed sequence replaced
// by U+FFFD; TAB becomes `tab` and line feed `lineFeed`.
void appendCleanText(std::string& out, std::string_view text, std::string_view tab,
                     std::string_view lineFeed);

// The record's path for an entry name as 7zz printed it (see above). True when the name is not
// UTF-8 and was read as code page 437: its bytes then follow in a "rawn" field (appendRawName).
bool appendRecordPath(std::string& out, std::string_view path);
void appendRawName(std::string& out, std::string_view path);

// The record's attribute text for 7zz's "Attributes" and "Mode" of an entry. 7zz writes the
// Windows letters, then the Unix mode text when the archive has one ("D drwxr-xr-x",
// " -rw-r--r--", "A", "DA"); the record keeps the mode text when there is one, else the letters.
void appendAttributes(std::string& out, std::string_view attributes, std::string_view mode, bool isFolder);

// 7zz's "Attributes" text for an attribute word: the Windows letters, the bits without a letter
// in hexadecimal, then the Unix mode text when bit 15 says the high half holds a mode. With a
// file type in that mode only the low Windows bits are shown as letters.
void appendAttributeWord(std::string& out, uint32_t attributes);

// A CRC as the record shows it: upper-case hexadecimal without leading zeros.
void appendCRCValue(std::string& out, uint32_t crc);

// Seconds since 1970 of a Windows file time (100 ns ticks since 1601), rounded down.
int64_t unixTimeOfFileTime(uint64_t fileTime);

// A time as the record shows 7zz's "Modified": "20261206.124747" in local time. False for a
// time whose local year lies outside 1601 to 9999, which 7zz would not show this way.
bool appendLocalTime(std::string& out, int64_t unixSeconds);

}  // namespace tessaro::sevenzip
