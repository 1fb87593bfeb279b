// Item trees in tests: flattened into text, one line per item in tree order, so tests compare a
// printed listing instead of asserting field by field:
//   "<path>[/] unco=<uncoV> comp=<compV> attr=<attr> perm=<octal> [time=<UTC>] [mac] [link]"
// and made from paths, as the host names the entries to extract or delete.
#pragma once

#include <string>
#include <vector>

#include "AZipItem.h"

namespace tessaro::test {

std::string dumpTree(const AZipItem& root, bool withTimes = false);

inline AZipItem::List items(const std::vector<std::string>& paths) {
  AZipItem::List list;
  for (const std::string& path : paths) list.push_back(AZipItem::initWithPath(path));
  return list;
}

}  // namespace tessaro::test
