#include "ListingTree.h"

#include "ListingRecord.h"

namespace tessaro {

ListingTree::ListingTree() : root_(AZipItem::initWithPath("/")) {
  root_->setPath("/");
  root_->setPath("");
  root_->setIsDir(true);
  root_->setAttr("drwxr-xr-x");
  dictionary_.insert(root_.get());
}

void ListingTree::add(std::string_view record) {
  if (!isEntryRecord(record)) return;
  AZipItem* item = root_->childAtPath(recordPath(record), true, dictionary_);
  item->initWithString(recordFields(record));
}

void ListingTree::addAll(const std::vector<std::string>& records) {
  for (const auto& record : records) add(record);
}

const AZipItem::Ptr& ListingTree::finish() {
  dictionary_ = ItemDictionary();
  root_->calculateSizes();
  return root_;
}

}  // namespace tessaro
