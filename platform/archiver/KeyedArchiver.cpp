#include "archiver/KeyedArchiver.h"

#include <algorithm>
#include <map>
#include <new>
#include <utility>
#include <vector>

namespace tessaro {

namespace {

// The platform's reference date, 2001-01-01 00:00:00 UTC, in Unix seconds.
constexpr double kReferenceDate = 978307200.0;
constexpr int64_t kArchiverVersion = 100000;
// Far deeper than any archive this program writes; stops a hostile one from exhausting the stack.
constexpr int kMaxDepth = 64;

// The integer a key spells in canonical decimal ("7", "-12", not "07" or "+7").
std::optional<int64_t> decimalInteger(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 18 || (digits.front() == '0' && digits.size() > 1) ||
      (negative && digits == "0"))
    return std::nullopt;
  int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

class Writer {
 public:
  Writer() { objects_.emplace_back("$null"); }

  std::optional<PlistUid> encode(const PropertyList& value) {
    struct Visitor {
      Writer& w;
      std::optional<PlistUid> operator()(std::monostate) const { return PlistUid{0}; }
      std::optional<PlistUid> operator()(bool b) const { return w.add(PropertyList(b)); }
      std::optional<PlistUid> operator()(int64_t v) const { return w.add(PropertyList(v)); }
      std::optional<PlistUid> operator()(double v) const { return w.add(PropertyList(v)); }
      std::optional<PlistUid> operator()(const std::string& s) const { return w.string(s); }
      std::optional<PlistUid> operator()(const PlistData& d) const { return w.add(PropertyList(d)); }
      std::optional<PlistUid> operator()(const PlistDate& d) const {
        const PlistUid self = w.reserve();
        PlistDictionary object{{"NS.time", PropertyList(d.unixSeconds - kReferenceDate)},
                               {"$class", w.classRef("NSDate")}};
        w.objects_[self.value] = PropertyList(std::move(object));
        return self;
      }
      std::optional<PlistUid> operator()(const PlistUid&) const { return std::nullopt; }
      std::optional<PlistUid> operator()(const PlistArray& a) const {
        const PlistUid self = w.reserve();
        PlistArray refs;
        for (const auto& item : a) {
          auto ref = w.encode(item);
          if (!ref) return std::nullopt;
          refs.emplace_back(*ref);
        }
        PlistDictionary object{{"NS.objects", PropertyList(std::move(refs))},
                               {"$class", w.classRef("NSArray")}};
        w.objects_[self.value] = PropertyList(std::move(object));
        return self;
      }
      std::optional<PlistUid> operator()(const PlistDictionary& d) const {
        const PlistUid self = w.reserve();
        PlistArray keys, values;
        const bool numberKeys = !d.empty() && std::all_of(d.begin(), d.end(), [](const auto& entry) {
          return decimalInteger(entry.first).has_value();
        });
        for (const auto& [key, item] : d)
          keys.emplace_back(numberKeys ? w.add(PropertyList(*decimalInteger(key))) : w.string(key));
        for (const auto& [key, item] : d) {
          auto ref = w.encode(item);
          if (!ref) return std::nullopt;
          values.emplace_back(*ref);
        }
        PlistDictionary object{{"NS.keys", PropertyList(std::move(keys))},
                               {"NS.objects", PropertyList(std::move(values))},
                               {"$class", w.classRef("NSDictionary")}};
        w.objects_[self.value] = PropertyList(std::move(object));
        return self;
      }
    };
    return std::visit(Visitor{*this}, value.value());
  }

  PlistArray take() { return std::move(objects_); }

 private:
  PlistUid add(PropertyList value) {
    objects_.push_back(std::move(value));
    return PlistUid{objects_.size() - 1};
  }
  PlistUid reserve() { return add(PropertyList()); }
  // Equal strings share one object, as the platform's constant strings do.
  PlistUid string(const std::string& s) {
    if (auto it = strings_.find(s); it != strings_.end()) return it->second;
    return strings_[s] = add(PropertyList(s));
  }
  PlistUid classRef(const std::string& name) {
    if (auto it = classes_.find(name); it != classes_.end()) return it->second;
    PlistDictionary description{
        {"$classname", PropertyList(name)},
        {"$classes", PropertyList(PlistArray{PropertyList(name), PropertyList("NSObject")})}};
    return classes_[name] = add(PropertyList(std::move(description)));
  }

  PlistArray objects_;
  std::map<std::string, PlistUid> strings_;
  std::map<std::string, PlistUid> classes_;
};

class Reader {
 public:
  Reader(const PlistArray& objects, size_t budget) : objects_(objects), budget_(budget) {}

  std::optional<PropertyList> decode(const PlistUid& uid, int depth) {
    if (depth > kMaxDepth || budget_ == 0 || uid.value >= objects_.size()) return std::nullopt;
    --budget_;
    if (uid.value == 0) return PropertyList();
    const PropertyList& object = objects_[uid.value];
    const auto* dict = object.get<PlistDictionary>();
    if (!dict) {
      if (object.is<PlistArray>() || object.is<PlistUid>()) return std::nullopt;
      return object;
    }
    const std::string className = classNameOf(*dict);
    if (const auto* time = member(*dict, "NS.time")) {
      auto seconds = time->asDouble();
      if (!seconds) return std::nullopt;
      return PropertyList(PlistDate{*seconds + kReferenceDate});
    }
    if (const auto* s = member(*dict, "NS.string")) {
      if (!s->is<std::string>()) return std::nullopt;
      return *s;
    }
    for (const char* key : {"NS.bytes", "NS.data"}) {
      if (const auto* d = member(*dict, key)) {
        if (!d->is<PlistData>()) return std::nullopt;
        return *d;
      }
    }
    const auto* keys = member(*dict, "NS.keys");
    const auto* values = member(*dict, "NS.objects");
    if (keys) return decodeDictionary(keys, values, depth);
    if (values) return decodeArray(values, depth);
    // An empty array or dictionary may leave out its members.
    if (className.find("Dictionary") != std::string::npos) return PropertyList(PlistDictionary{});
    if (className.find("Array") != std::string::npos) return PropertyList(PlistArray{});
    return std::nullopt;
  }

 private:
  static const PropertyList* member(const PlistDictionary& dict, std::string_view key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : &it->second;
  }

  std::string classNameOf(const PlistDictionary& dict) const {
    const auto* ref = member(dict, "$class");
    const auto* uid = ref ? ref->get<PlistUid>() : nullptr;
    if (!uid || uid->value >= objects_.size()) return {};
    const auto* description = objects_[uid->value].get<PlistDictionary>();
    const auto* name = description ? member(*description, "$classname") : nullptr;
    const auto* text = name ? name->get<std::string>() : nullptr;
    return text ? *text : std::string();
  }

  std::optional<PlistArray> decodeList(const PropertyList& list, int depth) {
    const auto* refs = list.get<PlistArray>();
    if (!refs) return std::nullopt;
    PlistArray out;
    out.reserve(refs->size());
    for (const auto& ref : *refs) {
      const auto* uid = ref.get<PlistUid>();
      if (!uid) return std::nullopt;
      auto item = decode(*uid, depth + 1);
      if (!item) return std::nullopt;
      out.push_back(std::move(*item));
    }
    return out;
  }

  std::optional<PropertyList> decodeArray(const PropertyList* values, int depth) {
    auto items = decodeList(*values, depth);
    if (!items) return std::nullopt;
    return PropertyList(std::move(*items));
  }

  std::optional<PropertyList> decodeDictionary(const PropertyList* keys, const PropertyList* values,
                                               int depth) {
    if (!values) return std::nullopt;
    auto k = decodeList(*keys, depth);
    auto v = decodeList(*values, depth);
    if (!k || !v || k->size() != v->size()) return std::nullopt;
    PlistDictionary out;
    for (size_t i = 0; i < k->size(); ++i) {
      // Number keys (the platform's preset tags) read as their decimal text.
      std::string name;
      if (const auto* text = (*k)[i].get<std::string>())
        name = *text;
      else if (const auto* number = (*k)[i].get<int64_t>())
        name = std::to_string(*number);
      else
        return std::nullopt;
      out.insert_or_assign(std::move(name), std::move((*v)[i]));
    }
    return PropertyList(std::move(out));
  }

  const PlistArray& objects_;
  size_t budget_;
};

// Every reference in the archive once, plus the objects: enough for any tree the archiver
// writes, and a bound on what shared references in a hostile archive can multiply into.
size_t referenceCount(const PropertyList& value, int depth) {
  if (depth > 4) return 0;
  if (value.is<PlistUid>()) return 1;
  size_t n = 0;
  if (const auto* a = value.get<PlistArray>())
    for (const auto& item : *a) n += 1 + referenceCount(item, depth + 1);
  if (const auto* d = value.get<PlistDictionary>())
    for (const auto& [key, item] : *d) n += 1 + referenceCount(item, depth + 1);
  return n;
}

}  // namespace

std::optional<std::string> KeyedArchiver::archivedData(const PropertyList& root) {
  try {
    Writer writer;
    auto top = writer.encode(root);
    if (!top) return std::nullopt;
    PlistDictionary archive{{"$archiver", PropertyList("NSKeyedArchiver")},
                            {"$version", PropertyList(kArchiverVersion)},
                            {"$objects", PropertyList(writer.take())},
                            {"$top", PropertyList(PlistDictionary{{"root", PropertyList(*top)}})}};
    std::string bytes = PropertyList(std::move(archive)).toBinary();
    if (bytes.empty()) return std::nullopt;
    return bytes;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<PropertyList> KeyedArchiver::unarchive(std::string_view bytes) {
  try {
    auto archive = PropertyList::fromBytes(bytes);
    if (!archive) return std::nullopt;
    const auto* archiver = archive->find("$archiver");
    const auto* objects = archive->find("$objects");
    const auto* top = archive->find("$top");
    if (!archiver || archiver->asString() != "NSKeyedArchiver" || !objects || !top) return std::nullopt;
    const auto* list = objects->get<PlistArray>();
    const auto* root = top->find("root");
    const auto* uid = root ? root->get<PlistUid>() : nullptr;
    if (!list || !uid) return std::nullopt;
    Reader reader(*list, 2 * referenceCount(*objects, 0) + 16);
    return reader.decode(*uid, 0);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tessaro
