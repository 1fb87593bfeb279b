// Item trees made from listing records, as a handler's listing would give them, and items found
// in them by path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ListingTree.h"

namespace tessaro::test {

inline AZipItem::Ptr buildTree(const std::vector<std::string>& records) {
  ListingTree tree;
  tree.addAll(records);
  return tree.finish();
}

// The item at `path` below `root`, or null; walked without recursion.
inline AZipItem* findItem(const AZipItem& root, std::string_view path) {
  std::vector<const AZipItem*> stack{&root};
  while (!stack.empty()) {
    const AZipItem* item = stack.back();
    stack.pop_back();
    if (item->path() == path) return const_cast<AZipItem*>(item);
    for (const auto& child : item->children()) stack.push_back(child.get());
  }
  return nullptr;
}

}  // namespace tessaro::test
