// What the item model asks about an entry's type: the desktop's kind name, whether a folder is a
// package, and the type's icons. The preview supplies the answers from its type cache, so the
// model itself needs neither the desktop's type database nor the icon library.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

class Image;

// Type keys with a meaning of their own; every other key is a file-name extension as written
// in the entry's name, case kept, "" for a name without one.
inline constexpr std::string_view kFolderTypeKey = "fold";
inline constexpr std::string_view kApplicationTypeKey = "app";
inline constexpr std::string_view kDocumentTypeKey = "____";

class ItemTypeSource {
 public:
  virtual ~ItemTypeSource() = default;
  // `key` is a type key (above).
  virtual std::optional<std::string> nameForType(std::string_view key) = 0;
  // Non-zero when an entry with the extension `key` is a package.
  virtual uint8_t packageForType(std::string_view key, bool isDir) = 0;
  virtual std::shared_ptr<Image> iconForType(std::string_view key) = 0;
  virtual std::shared_ptr<Image> largeIconForType(std::string_view key) = 0;
};

// The source of the current preview request; none outside a preview, where items have no kind
// name or icons and no folder is a package.
std::shared_ptr<ItemTypeSource>& theItemTypeSource();

}  // namespace tessaro
