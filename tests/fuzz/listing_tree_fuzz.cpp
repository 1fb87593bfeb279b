// Feeds arbitrary lines as listing records into the item tree, sums it, runs the visibility pass
// with a filter taken from the input and reads every item's display texts; a crash, a leak or a
// sanitizer report is a finding, and so is a tree whose counts do not add up.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ListingRecord.h"
#include "ListingTree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tessaro;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  appendLines(text, lines);
  if (lines.empty()) return 0;

  // The first line is the filter; every line is also applied whole to a free-standing item.
  const std::string filter = lines.front().substr(0, 8);
  for (const std::string& line : lines) {
    AZipItem::Ptr item = AZipItem::create();
    item->setupWithString(line);
    (void)item->unco();
    (void)item->ratio();
    (void)item->time();
  }

  ListingTree tree;
  tree.addAll(lines);
  const AZipItem::Ptr root = tree.finish();
  root->calcHiddenFlag(data[0] & 1, filter);
  root->calcHiddenFlag(data[0] & 2, "");

  const AZipItem::List all = root->collectDescendants();
  int64_t counted = 1;
  for (const AZipItem::Ptr& item : all) {
    if (!item->isDeleted()) ++counted;
    (void)item->unco();
    (void)item->comp();
    (void)item->total();
    (void)item->ratio();
    (void)item->time();
    (void)item->description();
    (void)item->parentPath();
    (void)item->latestDate();
    (void)item->numberOfChildrenShowHidden(true);
    (void)item->numberOfNotDeletedFiles();
    if (!root->isAncestorOf(item.get())) abort();
  }
  // Nothing is deleted in a listing, so the root counts itself and every descendant.
  if (root->itemCount() != counted && counted < INT32_MAX) abort();
  return 0;
}
