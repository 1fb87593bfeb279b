// Keyed archives as the platform's keyed archiver (NSKeyedArchiver) writes them, as binary
// property lists: dictionaries, arrays, dates, strings, numbers and data.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "plist/PropertyList.h"

namespace tessaro {

class KeyedArchiver {
 public:
  // The archive of `root` ($archiver, $version, $objects with "$null" first, $top {"root"}):
  // strings, numbers and data inline, dictionaries as NSDictionary, arrays as NSArray, dates as
  // NSDate. A dictionary whose keys all spell canonical decimal integers gets number keys, as
  // the platform keys preset passwords by their tags. Empty when the tree holds a UID or the writer fails.
  static std::optional<std::string> archivedData(const PropertyList& root);
  // Reads what the platform's archiver produces, mutable classes and NS.string/NS.data objects
  // included; number keys read as their decimal text; empty for anything that is not such an archive.
  static std::optional<PropertyList> unarchive(std::string_view bytes);
};

}  // namespace tessaro
