#include "plist/PropertyList.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace tessaro {

namespace {

// Deeper nesting is never written by anyone in good faith, and libplist recurses on it.
constexpr unsigned kMaxNesting = 512;
constexpr size_t kMaxInputBytes = size_t{64} << 20;
// Shared objects in a binary list are expanded into copies; this bounds the "billion laughs" case.
constexpr uint64_t kMaxExpandedObjects = uint64_t{1} << 22;
// 2001-01-01 00:00:00 UTC, the property-list epoch, in Unix seconds.
constexpr double kPlistEpochUnixSeconds = 978307200.0;

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Keyed archives written as XML hold a UID as a dictionary with this single key.
constexpr const char* kUidKey = "CF$UID";

struct NodeDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

struct MallocDeleter {
  void operator()(void* p) const { std::free(p); }
};

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// ---- Checks run before libplist sees hostile bytes ----

uint64_t readBigEndian(const unsigned char* p, unsigned size) {
  uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) v = (v << 8) | p[i];
  return v;
}

// Walks the object graph of a binary list (bplist00: objects, offset table, 32-byte trailer)
// without recursion and checks every reachable object's shape, since libplist asserts, and so
// aborts, on some malformed objects (a dictionary key holding a NUL, for one). Also refuses
// cycles, nesting beyond kMaxNesting and expansions beyond kMaxExpandedObjects.
class BinaryListChecker {
 public:
  explicit BinaryListChecker(std::string_view bytes)
      : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

  bool check() {
    if (size_ < kBinaryMagic.size() + kTrailerSize) return false;
    const unsigned char* trailer = data_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objectCount_ = readBigEndian(trailer + 8, 8);
    const uint64_t topObject = readBigEndian(trailer + 16, 8);
    tableOffset_ = readBigEndian(trailer + 24, 8);
    const uint64_t tableEnd = size_ - kTrailerSize;
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    if (objectCount_ == 0 || topObject >= objectCount_) return false;
    if (tableOffset_ < kBinaryMagic.size() || tableOffset_ > tableEnd) return false;
    if (objectCount_ > (tableEnd - tableOffset_) / offsetSize_) return false;
    return walk(topObject);
  }

 private:
  static constexpr size_t kTrailerSize = 32;

  // What an object refers to: `count` references from `first`, keys before values in a dictionary.
  struct Refs {
    uint64_t first = 0;
    uint64_t count = 0;
    bool container = false;
    bool dictionary = false;
  };

  bool objectStart(uint64_t object, uint64_t& offset) const {
    offset = readBigEndian(data_ + tableOffset_ + object * offsetSize_, offsetSize_);
    return offset >= kBinaryMagic.size() && offset < tableOffset_;
  }

  // The length in the marker's low nibble, or in the integer object after it when that is 0xF.
  bool length(uint64_t& pos, uint64_t& value) const {
    value = data_[pos] & 0xF;
    ++pos;
    if (value != 0xF) return true;
    if (pos >= tableOffset_ || (data_[pos] >> 4) != 0x1) return false;
    const unsigned size = 1u << (data_[pos] & 0xF);
    if (size > 8 || pos + 1 + size > tableOffset_) return false;
    value = readBigEndian(data_ + pos + 1, size);
    pos += 1 + size;
    return true;
  }

  bool fits(uint64_t pos, uint64_t count, uint64_t unit) const {
    return count <= (tableOffset_ - pos) / unit;
  }

  bool inspect(uint64_t object, Refs& refs) const {
    refs = {};
    uint64_t pos;
    if (!objectStart(object, pos)) return false;
    const unsigned marker = data_[pos];
    const unsigned low = marker & 0xF;
    uint64_t count = 0;
    switch (marker >> 4) {
      case 0x0:  // only false (0x08) and true (0x09); null and fill never occur in a property list
        return marker == 0x08 || marker == 0x09;
      case 0x1:  // integer of 2^n bytes
        return low <= 4 && fits(pos + 1, uint64_t{1} << low, 1);
      case 0x2:  // real of 4 or 8 bytes
        return (low == 2 || low == 3) && fits(pos + 1, uint64_t{1} << low, 1);
      case 0x3:  // date, an 8-byte real
        return marker == 0x33 && fits(pos + 1, 8, 1);
      case 0x4:  // data
      case 0x5:  // ASCII string
        return length(pos, count) && fits(pos, count, 1);
      case 0x6:  // UTF-16 string
        return length(pos, count) && fits(pos, count, 2);
      case 0x8:  // UID of n+1 bytes
        return low < 8 && fits(pos + 1, low + 1, 1);
      case 0xA:  // array
      case 0xD:  // dictionary
        if (!length(pos, count)) return false;
        refs.dictionary = (marker >> 4) == 0xD;
        if (refs.dictionary) {
          if (count > std::numeric_limits<uint64_t>::max() / 2) return false;
          count *= 2;
        }
        if (!fits(pos, count, refSize_)) return false;
        refs.first = pos;
        refs.count = count;
        refs.container = true;
        return true;
      default:  // sets and unknown markers
        return false;
    }
  }

  // A dictionary key must be a string without NUL characters.
  bool isKey(uint64_t object) const {
    uint64_t pos;
    if (!objectStart(object, pos)) return false;
    const unsigned kind = data_[pos] >> 4;
    uint64_t count = 0;
    if (kind != 0x5 && kind != 0x6) return false;
    if (!length(pos, count)) return false;
    if (kind == 0x5) return fits(pos, count, 1) && !std::memchr(data_ + pos, 0, count);
    if (!fits(pos, count, 2)) return false;
    for (uint64_t i = 0; i < count; ++i) {
      if (data_[pos + 2 * i] == 0 && data_[pos + 2 * i + 1] == 0) return false;
    }
    return true;
  }

  bool walk(uint64_t top) {
    enum : uint8_t { kUnseen, kOpen, kDone };
    std::vector<uint8_t> state(objectCount_, kUnseen);
    std::vector<uint16_t> depth(objectCount_, 0);
    std::vector<uint32_t> expanded(objectCount_, 0);
    struct Frame {
      uint64_t object;
      Refs refs;
      uint64_t next;
      uint16_t depth;
      uint64_t expanded;
    };
    std::vector<Frame> stack;
    auto open = [&](uint64_t object) -> bool {
      Refs refs;
      if (!inspect(object, refs) || stack.size() > kMaxNesting) return false;
      state[object] = kOpen;
      stack.push_back({object, refs, 0, 0, 1});
      return true;
    };
    if (!open(top)) return false;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next < frame.refs.count) {
        const uint64_t child = readBigEndian(data_ + frame.refs.first + frame.next * refSize_, refSize_);
        const bool key = frame.refs.dictionary && frame.next < frame.refs.count / 2;
        ++frame.next;
        if (child >= objectCount_ || state[child] == kOpen) return false;
        if (key && !isKey(child)) return false;
        if (state[child] == kDone) {
          frame.depth = std::max(frame.depth, depth[child]);
          frame.expanded += expanded[child];
          if (frame.expanded > kMaxExpandedObjects) return false;
        } else if (!open(child)) {
          return false;
        }
        continue;
      }
      const uint64_t object = frame.object;
      const auto ownDepth = static_cast<uint16_t>(frame.depth + (frame.refs.container ? 1 : 0));
      const uint64_t ownExpanded = frame.expanded;
      stack.pop_back();
      if (ownDepth > kMaxNesting || ownExpanded > kMaxExpandedObjects) return false;
      state[object] = kDone;
      depth[object] = ownDepth;
      expanded[object] = static_cast<uint32_t>(ownExpanded);
      if (!stack.empty()) {
        Frame& parent = stack.back();
        parent.depth = std::max(parent.depth, ownDepth);
        parent.expanded += ownExpanded;
        if (parent.expanded > kMaxExpandedObjects) return false;
      }
    }
    return true;
  }

  const unsigned char* data_;
  uint64_t size_;
  unsigned offsetSize_ = 0;
  unsigned refSize_ = 0;
  uint64_t objectCount_ = 0;
  uint64_t tableOffset_ = 0;
};

// Counts the nesting of <array> and <dict> elements, skipping comments, CDATA sections,
// processing instructions and declarations. It may overcount on odd input, which only errs
// on the side of refusing.
bool xmlNestingIsSafe(std::string_view text) {
  unsigned level = 0;
  size_t pos = 0;
  auto skipPast = [&](std::string_view terminator) {
    const size_t end = text.find(terminator, pos);
    pos = end == std::string_view::npos ? text.size() : end + terminator.size();
  };
  while ((pos = text.find('<', pos)) != std::string_view::npos) {
    const std::string_view rest = text.substr(pos);
    if (startsWith(rest, "<!--")) {
      skipPast("-->");
    } else if (startsWith(rest, "<![CDATA[")) {
      skipPast("]]>");
    } else if (startsWith(rest, "<?")) {
      skipPast("?>");
    } else if (startsWith(rest, "<!")) {
      skipPast(">");
    } else {
      const size_t close = text.find('>', pos);
      if (close == std::string_view::npos) return true;  // unterminated: libplist refuses it
      std::string_view tag = text.substr(pos + 1, close - pos - 1);
      const bool closing = startsWith(tag, "/");
      const bool empty = !tag.empty() && tag.back() == '/';
      if (closing) tag.remove_prefix(1);
      const size_t nameEnd = tag.find_first_of(" \t\r\n/");
      const std::string_view name = tag.substr(0, nameEnd);
      if (name == "array" || name == "dict") {
        if (closing) {
          if (level > 0) --level;
        } else if (!empty && ++level > kMaxNesting) {
          return false;
        }
      }
      pos = close + 1;
    }
  }
  return true;
}

// ---- libplist nodes <-> values ----

std::optional<PropertyList> fromNode(plist_t node, unsigned level);

std::optional<PropertyList> fromDictNode(plist_t node, unsigned level) {
  // Iteration only: libplist's size and lookup functions assert on a dictionary with a key but
  // no value, which its XML reader lets through.
  PlistDictionary dict;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  if (!iter) return std::nullopt;
  std::unique_ptr<void, MallocDeleter> iterOwner(iter);
  for (;;) {
    char* rawKey = nullptr;
    plist_t child = nullptr;
    plist_dict_next_item(node, iter, &rawKey, &child);
    std::unique_ptr<char, MallocDeleter> key(rawKey);
    if (!child && !key) break;
    if (!child || !key) return std::nullopt;
    auto value = fromNode(child, level + 1);
    if (!value) return std::nullopt;
    dict.emplace(key.get(), std::move(*value));
  }
  if (dict.size() == 1) {
    if (const auto* uid = dict.begin()->second.get<int64_t>(); uid && dict.begin()->first == kUidKey)
      return PropertyList(PlistUid{static_cast<uint64_t>(*uid)});
  }
  return PropertyList(std::move(dict));
}

std::optional<PropertyList> fromNode(plist_t node, unsigned level) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return PropertyList(value != 0);
    }
    case PLIST_UINT: {
      // libplist keeps every integer as 64 bits; negative ones come back in two's complement.
      uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return PropertyList(static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return PropertyList(value);
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return PropertyList(text ? std::string(text, length) : std::string());
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      PlistData data;
      if (bytes) data.bytes.assign(bytes, bytes + length);
      return PropertyList(std::move(data));
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist hands out the fraction without its sign.
      const double fraction = std::abs(static_cast<double>(usec)) / 1e6;
      const double since2001 = sec < 0 ? sec - fraction : sec + fraction;
      return PropertyList(PlistDate{since2001 + kPlistEpochUnixSeconds});
    }
    case PLIST_UID: {
      uint64_t value = 0;
      plist_get_uid_val(node, &value);
      return PropertyList(PlistUid{value});
    }
    case PLIST_ARRAY: {
      if (level >= kMaxNesting) return std::nullopt;
      const uint32_t count = plist_array_get_size(node);
      PlistArray array;
      array.reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        plist_t child = plist_array_get_item(node, i);
        if (!child) return std::nullopt;
        auto value = fromNode(child, level + 1);
        if (!value) return std::nullopt;
        array.push_back(std::move(*value));
      }
      return PropertyList(std::move(array));
    }
    case PLIST_DICT:
      if (level >= kMaxNesting) return std::nullopt;
      return fromDictNode(node, level);
    case PLIST_KEY:
    case PLIST_NONE: return std::nullopt;
  }
  return std::nullopt;
}

NodePtr toNode(const PropertyList& value, unsigned level);

struct NodeMaker {
  unsigned level;

  NodePtr operator()(std::monostate) const { return nullptr; }
  NodePtr operator()(bool b) const { return NodePtr(plist_new_bool(b ? 1 : 0)); }
  NodePtr operator()(int64_t v) const { return NodePtr(plist_new_uint(static_cast<uint64_t>(v))); }
  NodePtr operator()(double v) const { return NodePtr(plist_new_real(v)); }
  NodePtr operator()(const std::string& s) const { return NodePtr(plist_new_string(s.c_str())); }
  NodePtr operator()(const PlistData& d) const {
    return NodePtr(plist_new_data(reinterpret_cast<const char*>(d.bytes.data()), d.bytes.size()));
  }
  NodePtr operator()(const PlistDate& d) const {
    double since2001 = d.unixSeconds - kPlistEpochUnixSeconds;
    if (!std::isfinite(since2001)) since2001 = 0;
    // libplist stores 32-bit seconds: about 1933 to 2069.
    constexpr double kLow = std::numeric_limits<int32_t>::min();
    constexpr double kHigh = std::numeric_limits<int32_t>::max();
    since2001 = std::clamp(since2001, kLow, kHigh);
    double whole = std::trunc(since2001);
    auto usec = static_cast<int32_t>(std::lround((since2001 - whole) * 1e6));
    if (usec >= 1000000 || usec <= -1000000) {
      whole += usec > 0 ? 1 : -1;
      usec = 0;
    }
    return NodePtr(plist_new_date(static_cast<int32_t>(std::clamp(whole, kLow, kHigh)), usec));
  }
  NodePtr operator()(const PlistUid& u) const { return NodePtr(plist_new_uid(u.value)); }
  NodePtr operator()(const PlistArray& array) const {
    if (level >= kMaxNesting) return nullptr;
    NodePtr node(plist_new_array());
    for (const auto& member : array) {
      NodePtr child = toNode(member, level + 1);
      if (!child) return nullptr;
      plist_array_append_item(node.get(), child.release());
    }
    return node;
  }
  NodePtr operator()(const PlistDictionary& dict) const {
    if (level >= kMaxNesting) return nullptr;
    NodePtr node(plist_new_dict());
    for (const auto& [key, member] : dict) {
      NodePtr child = toNode(member, level + 1);
      if (!child) return nullptr;
      plist_dict_set_item(node.get(), key.c_str(), child.release());
    }
    return node;
  }
};

NodePtr toNode(const PropertyList& value, unsigned level) {
  return std::visit(NodeMaker{level}, value.value());
}

// ---- Lenient readings of text ----

std::string_view trimmed(std::string_view s) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  const size_t first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<bool> wordAsBool(std::string_view s) {
  if (equalsIgnoringCase(s, "yes") || equalsIgnoringCase(s, "true")) return true;
  if (equalsIgnoringCase(s, "no") || equalsIgnoringCase(s, "false")) return false;
  return std::nullopt;
}

// Plain decimal notation only: no hexadecimal, "inf" or "nan", which the platform reads as 0.
std::optional<double> textAsDouble(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int64_t> textAsInteger(std::string_view s) {
  std::string_view digits = s;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc() && end == digits.data() + digits.size() && !digits.empty()) return value;
  return std::nullopt;
}

std::optional<int64_t> doubleAsInteger(double d) {
  // 2^63 exactly is the first double past int64_t.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(d) || d >= kLimit || d < -kLimit) return std::nullopt;
  return static_cast<int64_t>(d);
}

}  // namespace

std::optional<int64_t> PropertyList::asInteger() const {
  if (const auto* b = get<bool>()) return *b ? 1 : 0;
  if (const auto* i = get<int64_t>()) return *i;
  if (const auto* d = get<double>()) return doubleAsInteger(*d);
  if (const auto* s = get<std::string>()) {
    const std::string_view text = trimmed(*s);
    if (auto b = wordAsBool(text)) return *b ? 1 : 0;
    if (auto i = textAsInteger(text)) return i;
    if (auto d = textAsDouble(text)) return doubleAsInteger(*d);
  }
  return std::nullopt;
}

std::optional<double> PropertyList::asDouble() const {
  if (const auto* b = get<bool>()) return *b ? 1.0 : 0.0;
  if (const auto* i = get<int64_t>()) return static_cast<double>(*i);
  if (const auto* d = get<double>()) return *d;
  if (const auto* s = get<std::string>()) {
    const std::string_view text = trimmed(*s);
    if (auto b = wordAsBool(text)) return *b ? 1.0 : 0.0;
    return textAsDouble(text);
  }
  return std::nullopt;
}

std::optional<bool> PropertyList::asBool() const {
  if (const auto* b = get<bool>()) return *b;
  if (const auto* i = get<int64_t>()) return *i != 0;
  if (const auto* d = get<double>()) {
    if (std::isnan(*d)) return std::nullopt;
    return *d != 0;
  }
  if (const auto* s = get<std::string>()) {
    const std::string_view text = trimmed(*s);
    if (auto b = wordAsBool(text)) return b;
    if (auto d = textAsDouble(text)) return *d != 0;
  }
  return std::nullopt;
}

std::optional<std::string> PropertyList::asString() const {
  if (const auto* s = get<std::string>()) return *s;
  // Numbers read as their own text, booleans as "1" and "0" like the platform's numbers.
  if (const auto* b = get<bool>()) return std::string(*b ? "1" : "0");
  if (const auto* i = get<int64_t>()) return std::to_string(*i);
  if (const auto* d = get<double>()) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *d);
    if (ec != std::errc()) return std::nullopt;
    return std::string(buffer, end);
  }
  return std::nullopt;
}

const PropertyList* PropertyList::find(std::string_view key) const {
  const auto* dict = get<PlistDictionary>();
  if (!dict) return nullptr;
  const auto it = dict->find(key);
  return it == dict->end() ? nullptr : &it->second;
}

std::optional<PropertyList> PropertyList::fromBytes(std::string_view bytes) {
  try {
    if (bytes.size() > kMaxInputBytes) return std::nullopt;
    plist_t raw = nullptr;
    if (startsWith(bytes, kBinaryMagic)) {
      if (!BinaryListChecker(bytes).check()) return std::nullopt;
      plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    } else {
      if (startsWith(bytes, kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
      if (trimmed(bytes).substr(0, 1) != "<" || !xmlNestingIsSafe(bytes)) return std::nullopt;
      plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    }
    NodePtr root(raw);
    if (!root) return std::nullopt;
    return fromNode(root.get(), 0);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<PropertyList> PropertyList::fromFile(const std::filesystem::path& path) {
  try {
    // Non-blocking so that a FIFO planted at the path cannot hang the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > kMaxInputBytes) return std::nullopt;
    std::string bytes;
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) break;  // the file shrank meanwhile
      filled += static_cast<size_t>(n);
    }
    bytes.resize(filled);
    return fromBytes(bytes);
  } catch (...) {
    return std::nullopt;
  }
}

std::string PropertyList::toXml() const {
  try {
    NodePtr node = toNode(*this, 0);
    if (!node) return {};
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.get(), &raw, &length);
    if (!raw) return {};
    std::string xml(raw, length);
    plist_to_xml_free(raw);
    return xml;
  } catch (...) {
    return {};
  }
}

std::string PropertyList::toBinary() const {
  try {
    NodePtr node = toNode(*this, 0);
    if (!node) return {};
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(node.get(), &raw, &length);
    if (!raw) return {};
    std::string bin(raw, length);
    plist_to_bin_free(raw);
    return bin;
  } catch (...) {
    return {};
  }
}

bool PropertyList::writeToFile(const std::filesystem::path& path, bool binary,
                               std::optional<unsigned> wanted) const {
  try {
    const std::string bytes = binary ? toBinary() : toXml();
    if (bytes.empty() || path.filename().empty()) return false;
    std::string temporary = path.string() + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    size_t written = 0;
    while (ok && written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        ok = false;
      else
        written += static_cast<size_t>(n);
    }
    // mkstemp makes the file private; keep the mode of the file being replaced, else the usual one.
    struct stat old {};
    const mode_t mode = wanted                            ? static_cast<mode_t>(*wanted & 07777)
                        : ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777)
                                                          : 0644;
    ok = ok && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
  } catch (...) {
    return false;
  }
}

}  // namespace tessaro
