#include "TypeCache.h"

#include "helpers.h"

namespace tessaro {

namespace {

FileTypeClass classOfKey(std::string_view key) {
  if (key == kFolderTypeKey) return FileTypeClass::folder;
  if (key == kApplicationTypeKey) return FileTypeClass::application;
  if (key == kDocumentTypeKey) return FileTypeClass::document;
  return FileTypeClass::extension;
}

std::shared_ptr<Image> sizedCopy(const Image* icon, int side) {
  if (!icon) return nullptr;
  Image copy = icon->copyWithSize(side, side);
  if (copy.empty()) return nullptr;
  return std::make_shared<Image>(std::move(copy));
}

}  // namespace

TypeCacheItem::TypeCacheItem(std::optional<std::string> name, const Image* icon, const Image* largeIcon)
    : name_(std::move(name)),
      icon_(sizedCopy(icon, kIconSize)),
      largeIcon_(sizedCopy(largeIcon, kLargeIconSize)) {}

void TypeCacheItem::setLargeIcon(const Image* icon) { largeIcon_ = sizedCopy(icon, kLargeIconSize); }

std::shared_ptr<TypeCacheItem> TypeDictionary::find(std::string_view key) const {
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : entries_[it->second].second;
}

void TypeDictionary::insert(std::string key, std::shared_ptr<TypeCacheItem> item) {
  if (index_.contains(key)) return;
  entries_.emplace_back(key, std::move(item));
  try {
    index_.emplace(std::move(key), entries_.size() - 1);
  } catch (...) {
    entries_.pop_back();  // keep the two views of the keys in step
    throw;
  }
}

std::shared_ptr<TypeCacheItem> TypeCache::getItem(std::string_view key) {
  try {
    if (auto item = dict_.find(key)) return item;
    const FileTypeClass type = classOfKey(key);
    const std::string_view extension = type == FileTypeClass::extension ? key : std::string_view();
    const auto icon = tessaro::iconForType(type, extension, TypeCacheItem::kIconSize);
    std::optional<std::string> name = kindNameForType(type, extension);
    if (name && translate_ && (type == FileTypeClass::application || type == FileTypeClass::document))
      name = translate_(*name);
    auto item = std::make_shared<TypeCacheItem>(std::move(name), icon.get());
    dict_.insert(std::string(key), item);
    return item;
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<Image> TypeCache::iconForType(std::string_view key) {
  auto item = getItem(key);
  return item ? item->icon() : nullptr;
}

std::shared_ptr<Image> TypeCache::largeIconForType(std::string_view key) {
  try {
    auto item = getItem(key);
    if (!item) return nullptr;
    if (!item->largeIcon()) {
      // Taken from the themes at this size rather than scaled up from the small icon, which
      // the themes draw for small sizes.
      const FileTypeClass type = classOfKey(key);
      const auto icon = tessaro::iconForType(
          type, type == FileTypeClass::extension ? key : std::string_view(), TypeCacheItem::kLargeIconSize);
      item->setLargeIcon(icon.get());
    }
    return item->largeIcon();
  } catch (...) {
    return nullptr;
  }
}

std::optional<std::string> TypeCache::nameForType(std::string_view key) {
  try {
    auto item = getItem(key);
    return item ? item->name() : std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

uint8_t TypeCache::packageForType(std::string_view key, bool isDir) {
  auto item = getItem(key);
  if (!item) return 0;
  if (item->isPackage() != TypeCacheItem::kPackageUnknown) return item->isPackage();
  const uint8_t answer = isDir && isPackageExtension(key) ? 1 : 0;
  item->setIsPackage(answer);
  return answer;
}

std::shared_ptr<TypeCache>& theTypeCache() {
  static std::shared_ptr<TypeCache> cache;
  if (!cache) {
    try {
      cache = std::make_shared<TypeCache>();
    } catch (...) {
      // Swallowed: without a cache every type is looked up anew.
      HLVLog(kLogError, "No type cache: types are looked up each time");
    }
  }
  return cache;
}

}  // namespace tessaro
