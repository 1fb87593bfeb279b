// Builds the item tree of one listing from its records: each entry record finds or creates its
// item by path (missing folders made on the way) and fills it; other lines are skipped.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "AZipItem.h"

namespace tessaro {

class ListingTree {
 public:
  // A root named "/" with the empty path, a folder with attributes "drwxr-xr-x".
  ListingTree();

  // Applies one record; lines that are not entry records change nothing. Marks the item with
  // the safety flags its raw path, its fields and an earlier record for the same path earn.
  void add(std::string_view record);
  void addAll(const std::vector<std::string>& records);
  // Makes room for about `count` records' items at once.
  void reserve(size_t count) { dictionary_.reserve(count); }
  // Sums sizes and counts up the tree and releases the path dictionary.
  const AZipItem::Ptr& finish();

  const AZipItem::Ptr& root() const { return root_; }

  // Symbolic links whose records named no target ("link" field), noted for a later look into
  // the archive itself.
  bool hasLinksWithoutTarget() const { return !linksWithoutTarget_.empty(); }
  // Flags those of them whose target in `targets` (by raw record path) leads out of the root.
  void resolveLinks(const std::unordered_map<std::string, std::string>& targets);

 private:
  AZipItem::Ptr root_;
  ItemDictionary dictionary_;
  // The items stay alive with the tree; the list is bounded for hostile listings.
  std::vector<std::pair<AZipItem*, std::string>> linksWithoutTarget_;
};

}  // namespace tessaro
