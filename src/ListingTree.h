// Builds the item tree of one listing from its records: each entry record finds or creates its
// item by path (missing folders made on the way) and fills it; other lines are skipped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"

namespace tessaro {

class ListingTree {
 public:
  // A root named "/" with the empty path, a folder with attributes "drwxr-xr-x".
  ListingTree();

  // Applies one record; lines that are not entry records change nothing.
  void add(std::string_view record);
  void addAll(const std::vector<std::string>& records);
  // Sums sizes and counts up the tree and releases the path dictionary.
  const AZipItem::Ptr& finish();

  const AZipItem::Ptr& root() const { return root_; }

 private:
  AZipItem::Ptr root_;
  ItemDictionary dictionary_;
};

}  // namespace tessaro
