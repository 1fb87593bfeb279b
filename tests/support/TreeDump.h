// Flattens an item tree into text, one line per item in tree order, so tests compare a printed
// listing instead of asserting field by field:
//   "<path>[/] unco=<uncoV> comp=<compV> attr=<attr> perm=<octal> [time=<UTC>] [mac] [link]"
#pragma once

#include <string>

namespace tessaro {
class AZipItem;
}

namespace tessaro::test {

std::string dumpTree(const AZipItem& root, bool withTimes = false);

}  // namespace tessaro::test
