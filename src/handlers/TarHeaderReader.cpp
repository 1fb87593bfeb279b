#include "TarHeaderReader.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "helpers.h"

namespace tessaro {

void tarRecordsFromLatin1(std::vector<std::string>& records, size_t first,
                          std::unordered_map<std::string, std::string>* linkTargets) {
  for (size_t i = first; i < records.size(); ++i) records[i] = utf8FromLatin1(records[i]);
  if (!linkTargets) return;
  std::unordered_map<std::string, std::string> read;
  for (const auto& [path, target] : *linkTargets) read.emplace(utf8FromLatin1(path), utf8FromLatin1(target));
  linkTargets->swap(read);
}

namespace {

constexpr size_t kBlock = 512;

// Header fields: offset and length.
struct Field {
  size_t offset, length;
};
constexpr Field kName{0, 100}, kMode{100, 8}, kSize{124, 12}, kMtime{136, 12}, kChecksum{148, 8},
    kLinkName{157, 100}, kMagic{257, 8}, kPrefix{345, 155};
constexpr size_t kTypeFlag = 156;
// Old GNU sparse entries: the real size, and whether more map blocks follow the header (and,
// at 504, each map block).
constexpr Field kRealSize{483, 12};
constexpr size_t kIsExtended = 482;
constexpr size_t kBlockIsExtended = 504;

std::string_view text(const unsigned char* block, Field field) {
  const char* start = reinterpret_cast<const char*>(block) + field.offset;
  // A field filled to its end has no NUL.
  return std::string_view(start, strnlen(start, field.length));
}

uint64_t roundedToBlocks(uint64_t size) { return (size + kBlock - 1) / kBlock * kBlock; }

// A numeric field: octal digits after optional spaces, ended by a space, a NUL or the field's
// end; or base 256 (first byte 0x80 positive, 0xff negative). None when it is neither or does
// not fit in 63 bits.
std::optional<int64_t> number(const unsigned char* block, Field field) {
  const unsigned char* p = block + field.offset;
  const unsigned char* end = p + field.length;
  if (*p & 0x80) {
    if (*p != 0x80 && *p != 0xff) return std::nullopt;
    const bool negative = *p == 0xff;
    // Sign-extended; the bits each step shifts out must be sign bits.
    uint64_t value = negative ? ~uint64_t{0} : 0;
    for (++p; p < end; ++p) {
      if (value >> 56 != (negative ? 0xffu : 0u)) return std::nullopt;
      value = value << 8 | *p;
    }
    const int64_t result = static_cast<int64_t>(value);
    if (negative != (result < 0)) return std::nullopt;
    return result;
  }
  while (p < end && *p == ' ') ++p;
  uint64_t value = 0;
  bool digits = false;
  for (; p < end && *p >= '0' && *p <= '7'; ++p) {
    if (value >> 60 != 0) return std::nullopt;
    value = value * 8 + (*p - '0');
    digits = true;
  }
  if (p < end && *p != ' ' && *p != '\0') return std::nullopt;
  // An empty field reads as 0, as in archives that leave unused numbers blank.
  if (!digits) return 0;
  return value > uint64_t(INT64_MAX) ? std::nullopt : std::optional<int64_t>(int64_t(value));
}

bool checksumMatches(const unsigned char* block) {
  const std::optional<int64_t> stored = number(block, kChecksum);
  if (!stored) return false;
  // The checksum counts its own field as spaces; some writers summed signed bytes.
  int64_t unsignedSum = 0, signedSum = 0;
  for (size_t i = 0; i < kBlock; ++i) {
    const bool inField = i >= kChecksum.offset && i < kChecksum.offset + kChecksum.length;
    const unsigned char c = inField ? ' ' : block[i];
    unsignedSum += c;
    signedSum += static_cast<signed char>(c);
  }
  return *stored == unsignedSum || *stored == signedSum;
}

bool allZero(const unsigned char* block) {
  for (size_t i = 0; i < kBlock; ++i)
    if (block[i] != 0) return false;
  return true;
}

// A decimal pax number: digits only, no sign.
std::optional<uint64_t> paxUnsigned(std::string_view value) {
  if (value.empty()) return std::nullopt;
  uint64_t result = 0;
  for (const char c : value) {
    if (c < '0' || c > '9' || result > (uint64_t(INT64_MAX) - 9) / 10) return std::nullopt;
    result = result * 10 + uint64_t(c - '0');
  }
  return result;
}

// A pax time: optional sign, seconds, optional fraction; the whole seconds toward the past.
std::optional<int64_t> paxTime(std::string_view value) {
  const bool negative = !value.empty() && value[0] == '-';
  if (negative) value.remove_prefix(1);
  const size_t dot = value.find('.');
  const std::optional<uint64_t> seconds = paxUnsigned(value.substr(0, dot));
  if (!seconds) return std::nullopt;
  bool fraction = false;
  if (dot != std::string_view::npos) {
    for (const char c : value.substr(dot + 1)) {
      if (c < '0' || c > '9') return std::nullopt;
      fraction = fraction || c != '0';
    }
  }
  const int64_t whole = static_cast<int64_t>(*seconds);
  return negative ? -whole - (fraction ? 1 : 0) : whole;
}

// The mode as `ls` shows it after the type character: set-id and sticky bits on the execute
// places, lower case with the execute bit, upper case without.
void appendMode(std::string& out, uint32_t mode) {
  const char* rwx = "rwxrwxrwx";
  char text[9];
  for (int i = 0; i < 9; ++i) text[i] = (mode >> (8 - i)) & 1 ? rwx[i] : '-';
  if (mode & 04000) text[2] = text[2] == 'x' ? 's' : 'S';
  if (mode & 02000) text[5] = text[5] == 'x' ? 's' : 'S';
  if (mode & 01000) text[8] = text[8] == 'x' ? 't' : 'T';
  out.append(text, 9);
}

void appendDigits(std::string& out, int64_t value, int width) {
  char digits[20];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits, static_cast<size_t>(width));
}

// "%Y%m%d.%H%M%S" in local time; nothing for a time outside years 0 to 9999, which the record
// cannot carry.
void appendTime(std::string& out, int64_t seconds) {
  constexpr int64_t kLimit = int64_t{400000} * 366 * 86400;
  if (seconds < -kLimit || seconds > kLimit) return;
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (!localtime_r(&t, &local)) return;
  const int64_t year = int64_t{local.tm_year} + 1900;
  if (year < 0 || year > 9999) return;
  appendDigits(out, year, 4);
  appendDigits(out, local.tm_mon + 1, 2);
  appendDigits(out, local.tm_mday, 2);
  out += '.';
  appendDigits(out, local.tm_hour, 2);
  appendDigits(out, local.tm_min, 2);
  appendDigits(out, local.tm_sec, 2);
}

// A name as a record carries it: a tab would end the field and a line feed the record, so those
// two are written as the escapes GNU tar prints for them; every other byte stays as it is.
std::string recordName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

}  // namespace

TarHeaderReader::TarHeaderReader(std::vector<std::string>& records,
                                 std::unordered_map<std::string, std::string>* linkTargets)
    : records_(records), linkTargets_(linkTargets), first_(records.size()) {}

void TarHeaderReader::fail(ListingProblem problem) {
  problem_ = problem;
  state_ = State::ended;
}

void TarHeaderReader::skipped(uint64_t count) {
  if (state_ == State::data) pending_ -= std::min(pending_, count);
  if (state_ == State::data && pending_ == 0) state_ = State::header;
}

bool TarHeaderReader::take(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0 && state_ != State::ended) {
    switch (state_) {
      case State::data: {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(pending_, left));
        pending_ -= step;
        p += step;
        left -= step;
        if (pending_ == 0) state_ = State::header;
        break;
      }
      case State::extension: {
        // The text, then the padding to the block's end.
        if (pending_ > 0) {
          const size_t step = static_cast<size_t>(std::min<uint64_t>(pending_, left));
          extension_.append(reinterpret_cast<const char*>(p), step);
          pending_ -= step;
          p += step;
          left -= step;
          if (pending_ > 0) break;
        }
        const size_t step = static_cast<size_t>(std::min<uint64_t>(padding_, left));
        padding_ -= step;
        p += step;
        left -= step;
        if (padding_ == 0) extensionDone();
        break;
      }
      case State::header:
      case State::sparseBlocks: {
        const unsigned char* block;
        if (have_ == 0 && left >= kBlock) {
          block = p;
          p += kBlock;
          left -= kBlock;
        } else {
          const size_t step = std::min(kBlock - have_, left);
          std::memcpy(block_ + have_, p, step);
          have_ += step;
          p += step;
          left -= step;
          if (have_ < kBlock) break;
          have_ = 0;
          block = block_;
        }
        if (state_ == State::header) {
          header(block);
        } else if (block[kBlockIsExtended] == 0) {
          pending_ = roundedToBlocks(sparseDataSize_);
          state_ = pending_ > 0 ? State::data : State::header;
        }
        break;
      }
      case State::ended: break;
    }
  }
  return state_ != State::ended;
}

void TarHeaderReader::header(const unsigned char* block) {
  if (allZero(block)) {
    // The end of the archive; an archive that is nothing but that is not one.
    if (!sawHeader_) problem_ = ListingProblem::notReadable;
    state_ = State::ended;
    return;
  }
  if (!checksumMatches(block))
    return fail(sawHeader_ ? ListingProblem::damagedHeaders : ListingProblem::notReadable);
  sawHeader_ = true;
  const char type = static_cast<char>(block[kTypeFlag]);
  const std::optional<int64_t> size = number(block, kSize);
  if (!size || *size < 0) return fail(ListingProblem::damagedHeaders);
  const uint64_t dataSize = static_cast<uint64_t>(*size);

  switch (type) {
    case 'L':
    case 'K':
    case 'x':
    case 'g':
    case 'X':  // Solaris' extended header, read as pax
      if (dataSize > kMaxExtensionSize) return fail(ListingProblem::damagedHeaders);
      extensionType_ = type;
      extension_.clear();
      pending_ = dataSize;
      padding_ = roundedToBlocks(dataSize) - dataSize;
      state_ = State::extension;
      if (dataSize == 0) extensionDone();
      return;
    default: break;
  }

  // A GNU sparse entry stores less than it unpacks to; a pax one says both in its header.
  uint64_t stored = next_.size.value_or(global_.size.value_or(dataSize));
  uint64_t real = stored;
  bool moreSparseBlocks = false;
  if (type == 'S') {
    const std::optional<int64_t> realSize = number(block, kRealSize);
    if (!realSize || *realSize < 0) return fail(ListingProblem::damagedHeaders);
    real = static_cast<uint64_t>(*realSize);
    moreSparseBlocks = block[kIsExtended] != 0;
  }
  if (next_.sparseSize) real = *next_.sparseSize;
  entry(block, type, real);
  next_ = PaxValues();
  longName_.reset();
  longLink_.reset();

  // A folder's size field counts nothing that follows it (as GNU tar reads it); every other
  // entry's data is what its size says, however odd for a link.
  const uint64_t data = type == '5' ? 0 : roundedToBlocks(stored);
  if (moreSparseBlocks) {
    sparseDataSize_ = stored;
    state_ = State::sparseBlocks;
  } else {
    pending_ = data;
    state_ = data > 0 ? State::data : State::header;
  }
}

void TarHeaderReader::extensionDone() {
  state_ = State::header;
  switch (extensionType_) {
    case 'L': longName_ = extension_.substr(0, strnlen(extension_.data(), extension_.size())); break;
    case 'K': longLink_ = extension_.substr(0, strnlen(extension_.data(), extension_.size())); break;
    case 'g':
      if (!readPax(extension_, global_)) fail(ListingProblem::damagedHeaders);
      break;
    default:
      if (!readPax(extension_, next_)) fail(ListingProblem::damagedHeaders);
      break;
  }
  std::string().swap(extension_);
}

// Records "LENGTH KEY=VALUE\n", LENGTH counting the whole record. False when one lies about its
// length or has no key.
bool TarHeaderReader::readPax(std::string_view text, PaxValues& values) {
  while (!text.empty()) {
    // A block of NULs may pad the text.
    if (text[0] == '\0') return true;
    size_t length = 0, i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (length > text.size()) return false;
      length = length * 10 + size_t(text[i] - '0');
    }
    if (i == 0 || i >= text.size() || text[i] != ' ' || length <= i + 1 || length > text.size() ||
        text[length - 1] != '\n')
      return false;
    const std::string_view record = text.substr(i + 1, length - i - 2);
    text.remove_prefix(length);
    const size_t equals = record.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string_view key = record.substr(0, equals);
    const std::string_view value = record.substr(equals + 1);
    // An empty value takes back what a global header said.
    if (key == "path") {
      values.path = value.empty() ? std::nullopt : std::optional<std::string>(value);
    } else if (key == "linkpath") {
      values.linkPath = value.empty() ? std::nullopt : std::optional<std::string>(value);
    } else if (key == "GNU.sparse.name") {
      values.sparseName = std::string(value);
    } else if (key == "size") {
      if (!value.empty() && !(values.size = paxUnsigned(value))) return false;
    } else if (key == "GNU.sparse.size" || key == "GNU.sparse.realsize") {
      if (!(values.sparseSize = paxUnsigned(value))) return false;
    } else if (key == "mtime") {
      if (!value.empty() && !(values.mtime = paxTime(value))) return false;
    } else if (key == "uid" || key == "gid") {
      if (!value.empty() && !paxUnsigned(value)) return false;
    }
  }
  return true;
}

void TarHeaderReader::noteName(std::string_view name) {
  if (utf8_ && !isValidUTF8(name)) utf8_ = false;
}

void TarHeaderReader::entry(const unsigned char* block, char type, uint64_t realSize) {
  // The name: pax, then GNU's long name, then ustar's prefix and name.
  std::string name;
  if (next_.sparseName)
    name = *next_.sparseName;
  else if (next_.path)
    name = *next_.path;
  else if (longName_)
    name = *longName_;
  else if (global_.path)
    name = *global_.path;
  else {
    const std::string_view prefix = text(block, kPrefix);
    // Only POSIX ustar has a prefix; old GNU headers keep other things there.
    if (std::memcmp(block + kMagic.offset,
                    "ustar\0"
                    "00",
                    8) == 0 &&
        !prefix.empty()) {
      name.assign(prefix);
      name += '/';
    }
    name.append(text(block, kName));
  }
  noteName(name);

  char kind;
  switch (type) {
    case '0':
    case '\0':
    case '7':
    case 'S': kind = !name.empty() && name.back() == '/' ? 'd' : '-'; break;
    case '5':
    case 'D': kind = 'd'; break;
    case '2': kind = 'l'; break;
    default: kind = 0; break;  // hard links, devices, FIFOs and the like are not listed
  }
  std::string target;
  if (type == '1' || type == '2') {
    target = next_.linkPath ? *next_.linkPath : longLink_ ? *longLink_ : std::string(text(block, kLinkName));
    noteName(target);
  }
  if (kind == 0) return;

  const std::optional<int64_t> mode = number(block, kMode);
  const int64_t mtime = next_.mtime     ? *next_.mtime
                        : global_.mtime ? *global_.mtime
                                        : number(block, kMtime).value_or(0);
  std::string record = "path=";
  record += recordName(name);
  if (kind == 'l' && linkTargets_ && linkTargets_->size() < kMaxLinkTargets)
    linkTargets_->insert_or_assign(record.substr(5), recordName(target));
  record += "\tattr=";
  record += kind;
  appendMode(record, static_cast<uint32_t>(mode.value_or(0)) & 07777);
  record += "\tunco=";
  record += std::to_string(realSize);
  record += "\tcomp=0\ttime=";
  // Entries written together share their time: it is worked out once for them.
  if (!lastTime_ || *lastTime_ != mtime) {
    lastTimeText_.clear();
    appendTime(lastTimeText_, mtime);
    lastTime_ = mtime;
  }
  record += lastTimeText_;
  records_.push_back(std::move(record));
}

ListingProblem TarHeaderReader::finish() {
  if (state_ != State::ended) {
    // An archive may stop after a whole entry without its end blocks; anything else is cut off.
    if (!sawHeader_)
      problem_ = ListingProblem::notReadable;
    else if (state_ != State::header || have_ != 0)
      problem_ = ListingProblem::endsEarly;
    state_ = State::ended;
  }
  if (!utf8_) {
    tarRecordsFromLatin1(records_, first_, linkTargets_);
    utf8_ = true;
    latin1_ = true;
  }
  return problem_;
}

uint64_t TarHeaderReader::encoding() const {
  return latin1_ ? kISOLatin1StringEncoding : kUTF8StringEncoding;
}

}  // namespace tessaro
