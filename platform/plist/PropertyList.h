// A property-list value (the platform's NSDictionary/NSArray/NSString/NSNumber/NSDate/NSData
// family) with reading and writing of XML and binary property-list files through libplist.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaro {

class PropertyList;
using PlistArray = std::vector<PropertyList>;
using PlistDictionary = std::map<std::string, PropertyList, std::less<>>;

struct PlistData {
  std::vector<uint8_t> bytes;
  bool operator==(const PlistData&) const = default;
};
// Seconds since 1970-01-01 00:00:00 UTC (property lists store seconds since 2001; converted on I/O).
struct PlistDate {
  double unixSeconds = 0;
  bool operator==(const PlistDate&) const = default;
};
// The UID type that keyed archives use for object references.
struct PlistUid {
  uint64_t value = 0;
  bool operator==(const PlistUid&) const = default;
};

class PropertyList {
 public:
  using Value = std::variant<std::monostate, bool, int64_t, double, std::string, PlistData, PlistDate,
                             PlistUid, PlistArray, PlistDictionary>;

  PropertyList() = default;
  PropertyList(bool b) : value_(b) {}
  PropertyList(int v) : value_(int64_t{v}) {}
  PropertyList(int64_t v) : value_(v) {}
  PropertyList(double v) : value_(v) {}
  PropertyList(const char* s) : value_(std::string(s)) {}
  PropertyList(std::string s) : value_(std::move(s)) {}
  PropertyList(std::string_view s) : value_(std::string(s)) {}
  PropertyList(PlistData d) : value_(std::move(d)) {}
  PropertyList(PlistDate d) : value_(d) {}
  PropertyList(PlistUid u) : value_(u) {}
  PropertyList(PlistArray a) : value_(std::move(a)) {}
  PropertyList(PlistDictionary d) : value_(std::move(d)) {}

  const Value& value() const { return value_; }
  bool isNull() const { return std::holds_alternative<std::monostate>(value_); }

  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(value_);
  }
  template <typename T>
  const T* get() const {
    return std::get_if<T>(&value_);
  }
  template <typename T>
  T* get() {
    return std::get_if<T>(&value_);
  }

  // Lenient readings in the manner of the platform's defaults accessors: numbers, booleans and
  // numeric strings convert; anything else gives the empty answer.
  std::optional<int64_t> asInteger() const;
  std::optional<double> asDouble() const;
  std::optional<bool> asBool() const;
  std::optional<std::string> asString() const;

  // Dictionary member or nullptr.
  const PropertyList* find(std::string_view key) const;

  bool operator==(const PropertyList&) const = default;

  // Parsing accepts XML and binary property lists; an empty answer for anything else.
  static std::optional<PropertyList> fromBytes(std::string_view bytes);
  static std::optional<PropertyList> fromFile(const std::filesystem::path& path);
  std::string toXml() const;
  std::string toBinary() const;
  // Written to a temporary file beside the target, synced, then renamed over it; with the given
  // permission bits, else those of the file it replaces (0644 for a new one).
  bool writeToFile(const std::filesystem::path& path, bool binary = false,
                   std::optional<unsigned> mode = std::nullopt) const;

 private:
  Value value_;
};

}  // namespace tessaro
