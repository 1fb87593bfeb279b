// Kind names, icons and package answers per type key, looked up once per key and preview request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ItemTypeSource.h"
#include "icons/Icons.h"

namespace tessaro {

// One cached type.
class TypeCacheItem {
 public:
  static constexpr uint8_t kPackageUnknown = 255;
  // Sides in points of the table's icons and of the header's.
  static constexpr int kIconSize = 16;
  static constexpr int kLargeIconSize = 128;

  // Keeps copies of the icons sized kIconSize and kLargeIconSize; a missing icon stays missing.
  TypeCacheItem(std::optional<std::string> name, const Image* icon, const Image* largeIcon = nullptr);

  // The desktop's kind name; none when it has no name for the type.
  const std::optional<std::string>& name() const { return name_; }
  const std::shared_ptr<Image>& icon() const { return icon_; }
  // Loaded when TypeCache::largeIconForType first asks: the page shows only the small icons, and
  // decoding a large icon costs some thirty times more.
  const std::shared_ptr<Image>& largeIcon() const { return largeIcon_; }
  void setLargeIcon(const Image* icon);
  // kPackageUnknown until asked; then 0 for no package, non-zero for a package.
  uint8_t isPackage() const { return isPackage_; }
  void setIsPackage(uint8_t value) { isPackage_ = value; }

 private:
  std::optional<std::string> name_;
  std::shared_ptr<Image> icon_;
  std::shared_ptr<Image> largeIcon_;
  uint8_t isPackage_ = kPackageUnknown;
};

// Type keys with their items, enumerated in the order the keys were first asked for, so that
// the page's style rules come out in a stable order.
class TypeDictionary {
 public:
  using Entry = std::pair<std::string, std::shared_ptr<TypeCacheItem>>;

  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::shared_ptr<TypeCacheItem> find(std::string_view key) const;
  // Adds `key`, which must not be present yet.
  void insert(std::string key, std::shared_ptr<TypeCacheItem> item);

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t, Hash, std::equal_to<>> index_;
};

class TypeCache : public ItemTypeSource {
 public:
  // The item for `key`, asked of the desktop on the first question for the key; null only
  // when memory runs out.
  std::shared_ptr<TypeCacheItem> getItem(std::string_view key);
  std::shared_ptr<Image> iconForType(std::string_view key) override;
  std::shared_ptr<Image> largeIconForType(std::string_view key) override;
  std::optional<std::string> nameForType(std::string_view key) override;
  // Non-zero when an entry with the extension `key` is a package: only folders can be. The
  // first answer for a key stands for the rest of the request, whatever is asked later.
  uint8_t packageForType(std::string_view key, bool isDir) override;
  const TypeDictionary& dict() const { return dict_; }
  // Translates the kinds the desktop has no name for ("Application", "Document") into the
  // page's language; without one they stay English.
  void setTranslation(std::function<std::string(std::string_view)> translate) {
    translate_ = std::move(translate);
  }

 private:
  TypeDictionary dict_;
  std::function<std::string(std::string_view)> translate_;
};

// The cache of the current preview request, replaced by an empty one when a request starts.
// Made on first use; null only when memory runs out.
std::shared_ptr<TypeCache>& theTypeCache();

}  // namespace tessaro
