// Builds the item tree of a synthetic listing (default 1,000,000 records, five levels, folders
// mixed with files) and reports records per second and memory per item.
//   listing_tree_bench [RECORDS]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ListingTree.h"

namespace {

long currentRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

long peakRssKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Records shaped like a tar listing: dir0/dir1/dir2/dir3/file with every fifth entry a folder record.
std::vector<std::string> makeRecords(size_t count) {
  std::vector<std::string> records;
  records.reserve(count);
  char buf[256];
  for (size_t i = 0; i < count; ++i) {
    const bool folder = i % 5 == 0;
    std::snprintf(buf, sizeof buf,
                  "path=project-%zu/module-%zu/src-%zu/part-%zu/"
                  "%s-%zu%s\tattr=%s\tunco=%zu\tcomp=0\ttime=2024%02zu%02zu.%02zu%02zu%02zu",
                  i / 200000, i / 20000 % 10, i / 1000 % 20, i / 50 % 20, folder ? "dir" : "file", i,
                  folder ? "/" : ".txt", folder ? "drwxr-xr-x" : "-rw-r--r--", folder ? 0 : i * 37 % 100000,
                  i % 12 + 1, i % 28 + 1, i % 24, i % 60, i * 7 % 60);
    records.emplace_back(buf);
  }
  return records;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  auto records = makeRecords(count);
  const long rssBefore = currentRssKiB();

  const auto start = std::chrono::steady_clock::now();
  tessaro::ListingTree tree;
  tree.addAll(records);
  const auto& root = tree.finish();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const long rssAfter = currentRssKiB();
  const int items = root->itemCount();
  std::printf("records            %zu\n", count);
  std::printf("items              %d\n", items);
  std::printf("build time         %.3f s\n", seconds);
  std::printf("records per second %.0f\n", static_cast<double>(count) / seconds);
  std::printf("tree memory        %.0f bytes per item (resident growth %ld KiB)\n",
              static_cast<double>(rssAfter - rssBefore) * 1024.0 / items, rssAfter - rssBefore);
  std::printf("peak resident      %ld KiB (records themselves included)\n", peakRssKiB());
  return 0;
}
