#include "support/TreeDump.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "AZipItem.h"

namespace tessaro::test {

namespace {

void dumpItem(const AZipItem& item, bool withTimes, std::string& out) {
  char buf[160];
  out += item.path();
  if (item.isDir()) out += '/';
  std::snprintf(buf, sizeof buf, " unco=%lld comp=%lld attr=%s perm=%o", static_cast<long long>(item.uncoV()),
                static_cast<long long>(item.compV()), item.attr().empty() ? "-" : item.attr().c_str(),
                static_cast<unsigned>(item.permissions()));
  out += buf;
  if (withTimes) {
    if (auto t = item.timeV()) {
      const time_t secs = t->time_since_epoch().count();
      struct tm tm {};
      gmtime_r(&secs, &tm);
      std::strftime(buf, sizeof buf, " time=%Y-%m-%dT%H:%M:%SZ", &tm);
      out += buf;
    } else {
      out += " time=none";
    }
  }
  if (item.isMacItem()) out += " mac";
  if (item.isSymlink()) out += " link";
  out += '\n';
}

}  // namespace

std::string dumpTree(const AZipItem& root, bool withTimes) {
  std::string out;
  std::vector<const AZipItem*> stack;
  for (auto it = root.children().rbegin(); it != root.children().rend(); ++it) stack.push_back(it->get());
  while (!stack.empty()) {
    const AZipItem* item = stack.back();
    stack.pop_back();
    dumpItem(*item, withTimes, out);
    for (auto it = item->children().rbegin(); it != item->children().rend(); ++it) stack.push_back(it->get());
  }
  return out;
}

}  // namespace tessaro::test
