#include "SltRecords.h"

#include <sys/stat.h>

#include <cstdint>
#include <ctime>

namespace tessaro::sevenzip {

namespace {

// U+FFFD REPLACEMENT CHARACTER.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The upper half of code page 437, which zip tools assume for a name without the UTF-8 flag.
constexpr char16_t kCP437High[] =
    u"\u00C7\u00FC\u00E9\u00E2\u00E4\u00E0\u00E5\u00E7\u00EA\u00EB\u00E8\u00EF\u00EE\u00EC\u00C4\u00C5"
    u"\u00C9\u00E6\u00C6\u00F4\u00F6\u00F2\u00FB\u00F9\u00FF\u00D6\u00DC\u00A2\u00A3\u00A5\u20A7\u0192"
    u"\u00E1\u00ED\u00F3\u00FA\u00F1\u00D1\u00AA\u00BA\u00BF\u2310\u00AC\u00BD\u00BC\u00A1\u00AB\u00BB"
    u"\u2591\u2592\u2593\u2502\u2524\u2561\u2562\u2556\u2555\u2563\u2551\u2557\u255D\u255C\u255B\u2510"
    u"\u2514\u2534\u252C\u251C\u2500\u253C\u255E\u255F\u255A\u2554\u2569\u2566\u2560\u2550\u256C\u2567"
    u"\u2568\u2564\u2565\u2559\u2558\u2552\u2553\u256B\u256A\u2518\u250C\u2588\u2584\u258C\u2590\u2580"
    u"\u03B1\u00DF\u0393\u03C0\u03A3\u03C3\u00B5\u03C4\u03A6\u0398\u03A9\u03B4\u221E\u03C6\u03B5\u2229"
    u"\u2261\u00B1\u2265\u2264\u2320\u2321\u00F7\u2248\u00B0\u2219\u00B7\u221A\u207F\u00B2\u25A0\u00A0";

// Records leave in pieces of about this size, so a long listing is neither held whole nor written
// line by line.
constexpr size_t kFlushSize = 64 * 1024;

// No zip or 7z comment is longer than 64 KiB; anything beyond this is not a real comment.
constexpr size_t kMaxBracedValue = 1024 * 1024;
// 7zz names a few errors and warnings per archive; more is not its doing.
constexpr size_t kMaxArchiveErrorLines = 16;

// 7zz's lines around the archive's own properties: "--" opens them, "----" opens a nested archive
// level (a disk image's file system), ten hyphens end them and start the entries.
constexpr std::string_view kLevelStart = "--";
constexpr std::string_view kNestedLevelStart = "----";
constexpr std::string_view kEntriesStart = "----------";

constexpr std::string_view kWrongPassword = "Wrong password?";
constexpr std::string_view kSubItemsErrors = "Sub items Errors";

// Formats whose "Comment" is the archive's own comment; for the others (a disk image, say) 7zz
// puts its own notes there.
bool hasArchiveComments(std::string_view type) {
  return type == "zip" || type == "7z" || type == "Rar" || type == "Rar5" || type == "Arj";
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!isDigit(c)) return false;
  return true;
}

// "drwxr-xr-x", "-rw-r--r--", "lrwxrwxrwx": a type character and three permission triples.
bool isModeText(std::string_view text) {
  if (text.size() != 10) return false;
  if (std::string_view("-dlcbps").find(text[0]) == std::string_view::npos) return false;
  for (size_t i = 1; i < 10; ++i)
    if (std::string_view("rwxsStT-").find(text[i]) == std::string_view::npos) return false;
  return true;
}

// "2026-12-06 02:31:45" with or without a fraction of seconds becomes "20261206.023145".
void appendTime(std::string& out, std::string_view modified) {
  const bool shaped = modified.size() >= 19 && modified[4] == '-' && modified[7] == '-' &&
                      modified[10] == ' ' && modified[13] == ':' && modified[16] == ':';
  if (!shaped) {
    appendCleanText(out, modified, " ", " ");
    return;
  }
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
    if (!isDigit(modified[i])) {
      appendCleanText(out, modified, " ", " ");
      return;
    }
  }
  out.append(modified.substr(0, 4))
      .append(modified.substr(5, 2))
      .append(modified.substr(8, 2))
      .push_back('.');
  out.append(modified.substr(11, 2)).append(modified.substr(14, 2)).append(modified.substr(17, 2));
}

void appendSize(std::string& out, std::string_view size, std::string_view whenMissing) {
  out.append(allDigits(size) ? size : whenMissing);
}

// Upper-case hexadecimal without leading zeros; zero stays "0".
void appendCRC(std::string& out, std::string_view crc) {
  size_t i = 0;
  while (i + 1 < crc.size() && crc[i] == '0') ++i;
  appendCleanText(out, crc.substr(i), " ", " ");
}

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when there is none.
size_t sequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
  const uint8_t lead = byte(0);
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2)) return 0;
    // Overlong forms and the surrogate halves are not characters.
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;
    if (lead == 0xED && byte(1) > 0x9F) return 0;
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;
    if (lead == 0xF4 && byte(1) > 0x8F) return 0;
    return 4;
  }
  return 0;
}

bool isWellFormedText(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<uint8_t>(text[i]) < 0x80) {
      ++i;
    } else if (const size_t length = sequenceLength(text.substr(i)); length > 0) {
      i += length;
    } else {
      return false;
    }
  }
  return true;
}

// A name that is not UTF-8 read as code page 437, TAB and line feed becoming U+FFFD as in
// appendCleanText.
void appendCP437Name(std::string& out, std::string_view name) {
  for (const char c : name) {
    const auto byte = static_cast<uint8_t>(c);
    if (c == '\t' || c == '\n') {
      out.append(kReplacement);
    } else if (byte < 0x80) {
      out.push_back(c);
    } else {
      const char16_t unit = kCP437High[byte - 0x80];  // all in the Basic Multilingual Plane
      if (unit < 0x800) {
        out.push_back(static_cast<char>(0xC0 | unit >> 6));
      } else {
        out.push_back(static_cast<char>(0xE0 | unit >> 12));
        out.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
      }
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
}

void appendHex(std::string& out, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const char c : bytes) {
    out.push_back(kDigits[static_cast<uint8_t>(c) >> 4]);
    out.push_back(kDigits[static_cast<uint8_t>(c) & 15]);
  }
}

// The letter 7zz shows for each Windows attribute bit; 0 where it shows the bit in hexadecimal.
constexpr char kAttributeLetters[32] = {'R', 'H', 'S', '8', 'D', 'A', 'd', 'N', 'T', 's', 'L',
                                        'C', 'O', 'I', 'E', 'V', 'v', 'X', 0,   'P', 'U', 0,
                                        'M', 0,   0,   0,   0,   0,   0,   'B', 0,   0};
// The type character 7zz shows for each Unix file type (mode >> 12).
constexpr char kModeTypes[] = "0pc3d5b7-9lBsDEF";
// Bit 15 of an attribute word: the high half holds a Unix mode.
constexpr uint32_t kUnixExtension = 0x8000;

// "-rw-r--r--" for a Unix mode, the type as 7zz names it.
void appendModeText(std::string& out, uint32_t mode) {
  out.push_back(kModeTypes[mode >> 12 & 0xF]);
  const auto triple = [&](unsigned bits, bool special, char setChar, char setNoExec) {
    out.push_back(bits & 4 ? 'r' : '-');
    out.push_back(bits & 2 ? 'w' : '-');
    if (special)
      out.push_back(bits & 1 ? setChar : setNoExec);
    else
      out.push_back(bits & 1 ? 'x' : '-');
  };
  triple(mode >> 6 & 7, mode & S_ISUID, 's', 'S');
  triple(mode >> 3 & 7, mode & S_ISGID, 's', 'S');
  triple(mode & 7, mode & S_ISVTX, 't', 'T');
}

void appendTwoDigits(std::string& out, unsigned value) {
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

void appendAttributeWord(std::string& out, uint32_t attributes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const bool hasMode = attributes & kUnixExtension;
  const uint32_t mode = attributes >> 16;
  if (hasMode && (attributes & 0xF0000000)) attributes &= 0x3FFF;
  for (unsigned bit = 0; bit < 32; ++bit) {
    if ((attributes >> bit & 1) && kAttributeLetters[bit] != 0) {
      out.push_back(kAttributeLetters[bit]);
      attributes &= ~(uint32_t{1} << bit);
    }
  }
  if (attributes != 0) {
    out.push_back(' ');
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[attributes >> shift & 0xF]);
  }
  if (hasMode) {
    out.push_back(' ');
    appendModeText(out, mode);
  }
}

void appendCRCValue(std::string& out, uint32_t crc) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  bool started = false;
  for (int shift = 28; shift >= 0; shift -= 4) {
    const unsigned digit = crc >> shift & 0xF;
    if (digit != 0 || started || shift == 0) {
      out.push_back(kHex[digit]);
      started = true;
    }
  }
}

int64_t unixTimeOfFileTime(uint64_t fileTime) {
  constexpr int64_t kTicksPerSecond = 10000000;
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  return static_cast<int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
}

bool appendLocalTime(std::string& out, int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  if (!localtime_r(&t, &local) || local.tm_year + 1900 < 1601 || local.tm_year + 1900 > 9999) return false;
  const auto year = static_cast<unsigned>(local.tm_year + 1900);
  appendTwoDigits(out, year / 100);
  appendTwoDigits(out, year % 100);
  appendTwoDigits(out, static_cast<unsigned>(local.tm_mon + 1));
  appendTwoDigits(out, static_cast<unsigned>(local.tm_mday));
  out.push_back('.');
  appendTwoDigits(out, static_cast<unsigned>(local.tm_hour));
  appendTwoDigits(out, static_cast<unsigned>(local.tm_min));
  appendTwoDigits(out, static_cast<unsigned>(local.tm_sec));
  return true;
}

void appendCleanText(std::string& out, std::string_view text, std::string_view tab,
                     std::string_view lineFeed) {
  size_t i = 0;
  while (i < text.size()) {
    // Plain ASCII runs are copied whole.
    size_t run = i;
    while (run < text.size() && static_cast<uint8_t>(text[run]) < 0x80 && text[run] != '\t' &&
           text[run] != '\n')
      ++run;
    out.append(text.substr(i, run - i));
    i = run;
    if (i >= text.size()) break;
    if (text[i] == '\t') {
      out.append(tab);
      ++i;
    } else if (text[i] == '\n') {
      out.append(lineFeed);
      ++i;
    } else if (const size_t length = sequenceLength(text.substr(i)); length > 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append(kReplacement);
      ++i;
    }
  }
}

void appendAttributes(std::string& out, std::string_view attributes, std::string_view mode, bool isFolder) {
  std::string_view letters;
  bool first = true;
  size_t start = 0;
  while (start <= attributes.size()) {
    size_t end = attributes.find(' ', start);
    if (end == std::string_view::npos) end = attributes.size();
    const std::string_view token = attributes.substr(start, end - start);
    if (isModeText(token)) {
      out.append(token);
      return;
    }
    if (first) letters = token;
    first = false;
    start = end + 1;
  }
  if (isModeText(mode)) {
    out.append(mode);
    return;
  }
  // Some formats (ISO, CAB) mark folders only by the Folder property.
  if (isFolder && letters.find('D') == std::string_view::npos) out.push_back('D');
  if (letters.empty() && !isFolder) {
    out.push_back('-');
    return;
  }
  appendCleanText(out, letters, " ", " ");
}

bool appendRecordPath(std::string& out, std::string_view path) {
  if (isWellFormedText(path)) {
    appendCleanText(out, path, kReplacement, kReplacement);
    return false;
  }
  appendCP437Name(out, path);
  return true;
}

void appendRawName(std::string& out, std::string_view path) {
  out.append("\trawn=");
  appendHex(out, path);
}

void SltRecords::Entry::clear() {
  for (std::string* field : {&path, &folder, &size, &packedSize, &modified, &attributes, &mode, &encrypted,
                             &comment, &crc, &method, &hostOS, &version})
    field->clear();
  hasPath = hasCRC = hasEncrypted = hasHostOS = hasVersion = hasComment = false;
}

void SltRecords::feed(std::string_view bytes) {
  lines_.feed(bytes, [this](std::string_view text) { line(text); });
}

void SltRecords::finish() {
  lines_.finish([this](std::string_view text) { line(text); });
  if (inBraces_) {
    inBraces_ = false;
    property(braceKey_, std::move(braceValue_));
  }
  if (section_ == Section::kEntries && entry_.hasPath) writeEntry();
  for (const std::string& text : archiveErrors_) passThrough(text);
  archiveErrors_.clear();
  if (!out_.empty()) sink_(out_);
  out_.clear();
}

void SltRecords::line(std::string_view text) {
  if (text.find(kWrongPassword) != std::string_view::npos) sawWrongPassword_ = true;
  if (text.find(kSubItemsErrors) != std::string_view::npos) sawSubItemsErrors_ = true;

  if (inBraces_) {
    if (text == "}") {
      inBraces_ = false;
      property(braceKey_, std::move(braceValue_));
      braceValue_.clear();
    } else if (braceValue_.size() + text.size() < kMaxBracedValue) {
      if (!braceValue_.empty()) braceValue_.push_back('\n');
      braceValue_.append(text);
    }
    return;
  }
  if (awaitingBrace_) {
    awaitingBrace_ = false;
    if (text == "{") {
      inBraces_ = true;
      braceValue_.clear();
      return;
    }
  }

  switch (section_) {
    case Section::kPreamble:
      if (text == kLevelStart) {
        section_ = Section::kArchive;
        beginLevel();
      } else if (sawWrongPassword_ || sawSubItemsErrors_) {
        passThrough(text);
      }
      return;
    case Section::kArchive:
      if (text == kLevelStart || text == kNestedLevelStart) {
        beginLevel();
        return;
      }
      if (text == kEntriesStart) {
        section_ = Section::kEntries;
        writeArchiveLines();
        return;
      }
      break;
    case Section::kEntries:
      if (text.empty()) {
        if (entry_.hasPath) writeEntry();
        return;
      }
      break;
  }

  const size_t equals = text.find(" = ");
  if (equals == std::string_view::npos) {
    // 7zz writes an empty value as "Key = " and a missing one as "Key =" at the end of a line.
    if (text.size() >= 2 && text.ends_with(" =")) {
      property(text.substr(0, text.size() - 2), std::string());
      return;
    }
    if (section_ == Section::kEntries)
      passThrough(text);
    else if (section_ == Section::kArchive && !text.empty() && archiveErrors_.size() < kMaxArchiveErrorLines)
      archiveErrors_.emplace_back(text);
    return;
  }
  const std::string_view key = text.substr(0, equals);
  const std::string_view value = text.substr(equals + 3);
  if (value.empty()) {
    awaitingBrace_ = true;
    braceKey_.assign(key);
  }
  property(key, std::string(value));
}

void SltRecords::property(std::string_view key, std::string value) {
  if (section_ == Section::kArchive) {
    if (key == "Comment")
      archiveComment_ = std::move(value);
    else if (key == "Solid")
      archiveSolid_ = value == "+";
    else if (key == "Type")
      archiveType_ = std::move(value);
    return;
  }
  if (section_ != Section::kEntries) return;
  Entry& e = entry_;
  if (key == "Path") {
    if (e.hasPath) writeEntry();
    e.path = std::move(value);
    e.hasPath = true;
  } else if (key == "Folder") {
    e.folder = std::move(value);
  } else if (key == "Size") {
    e.size = std::move(value);
  } else if (key == "Packed Size") {
    e.packedSize = std::move(value);
  } else if (key == "Modified") {
    e.modified = std::move(value);
  } else if (key == "Attributes") {
    e.attributes = std::move(value);
  } else if (key == "Mode") {
    e.mode = std::move(value);
  } else if (key == "Encrypted") {
    e.encrypted = std::move(value);
    e.hasEncrypted = true;
  } else if (key == "Comment") {
    e.comment = std::move(value);
    e.hasComment = !e.comment.empty();
  } else if (key == "CRC") {
    e.crc = std::move(value);
    e.hasCRC = !e.crc.empty();
  } else if (key == "Method") {
    e.method = std::move(value);
  } else if (key == "Host OS") {
    e.hostOS = std::move(value);
    e.hasHostOS = true;
  } else if (key == "Version") {
    e.version = std::move(value);
    e.hasVersion = true;
  }
}

void SltRecords::beginLevel() {
  archiveComment_.clear();
  archiveType_.clear();
  archiveSolid_ = false;
}

// The comment as its first line after "comt=", its further lines, an empty line and the
// separator; the reader drops the last two line feeds again.
void SltRecords::writeArchiveLines() {
  if (!archiveComment_.empty() && hasArchiveComments(archiveType_)) {
    out_.append("comt=");
    appendCleanText(out_, archiveComment_, "\t", "\n");
    out_.append("\n\n");
    out_.append(kEntriesStart);
    out_.push_back('\n');
  }
  if (archiveSolid_) out_.append("Solid=+\n");
  archiveComment_.clear();
}

void SltRecords::writeEntry() {
  Entry& e = entry_;
  const bool isFolder = e.folder == "+";
  out_.append("path=");
  // A name that is not UTF-8 (a zip entry without the UTF-8 flag) is read as code page 437, and
  // its bytes go along ("rawn", hexadecimal) so that the page can offer other readings.
  const bool legacyName = appendRecordPath(out_, e.path);
  out_.append("\tmeth=");
  appendCleanText(out_, e.method, " ", " ");
  out_.append("\ttime=");
  appendTime(out_, e.modified);
  out_.append("\tunco=");
  appendSize(out_, e.size, isFolder ? "0" : "-1");
  // A solid block's packed size belongs to its first entry; the others have none of their own.
  out_.append("\tcomp=");
  appendSize(out_, e.packedSize, "0");
  out_.append("\tattr=");
  appendAttributes(out_, e.attributes, e.mode, isFolder);
  if (e.hasCRC) {
    out_.append("\tcrc_=");
    appendCRC(out_, e.crc);
  }
  // "1" is the encryption mark that both the zip and the arj readers take.
  if (e.hasEncrypted) out_.append(e.encrypted == "+" ? "\ttype=1" : "\ttype=0");
  if (e.hasHostOS) {
    out_.append("\tos__=");
    appendCleanText(out_, e.hostOS, " ", " ");
  }
  if (e.hasVersion) {
    out_.append("\tvers=");
    appendCleanText(out_, e.version, " ", " ");
  }
  if (e.hasComment) {
    out_.append("\tcomt=");
    appendCleanText(out_, e.comment, " ", " ");
  }
  if (legacyName) appendRawName(out_, e.path);
  out_.push_back('\n');
  e.clear();
  if (out_.size() >= kFlushSize) {
    sink_(out_);
    out_.clear();
  }
}

// 7zz's own summary and error lines after the entries ("Errors: 1", "Sub items Errors: 2").
void SltRecords::passThrough(std::string_view text) {
  appendCleanText(out_, text, " ", " ");
  out_.push_back('\n');
}

}  // namespace tessaro::sevenzip
