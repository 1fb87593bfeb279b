#include "ListingTree.h"

#include <optional>

#include "ArchiveFacts.h"
#include "ListingRecord.h"

namespace tessaro {

ListingTree::ListingTree() : root_(AZipItem::initWithPath("/")) {
  root_->setPath("/");
  root_->setPath("");
  root_->setIsDir(true);
  root_->setAttr("drwxr-xr-x");
  dictionary_.insert(root_.get());
}

namespace {

// Links noted for resolving later; a listing with more has its later ones go unjudged.
constexpr size_t kMaxLinksWithoutTarget = 100000;

// The value of the "link" field, when a record carries one.
std::optional<std::string_view> linkField(std::string_view fields) {
  size_t start = 0;
  while (start < fields.size()) {
    size_t tab = fields.find('\t', start);
    if (tab == std::string_view::npos) tab = fields.size();
    const std::string_view field = fields.substr(start, tab - start);
    if (field.size() >= 5 && field.starts_with("link")) return field.substr(5);
    start = tab + 1;
  }
  return std::nullopt;
}

}  // namespace

void ListingTree::add(std::string_view record) {
  if (!isEntryRecord(record)) return;
  const std::string_view path = recordPath(record);
  const std::string_view fields = recordFields(record);
  // The tree drops "/" and keeps ".." as a plain name, so both are judged on the raw path.
  uint8_t flags = safetyFlagsOfPath(path);
  const size_t known = dictionary_.size();
  AZipItem* item = root_->childAtPath(path, true, dictionary_);
  // No new item, and the one found is no folder: only a record made it, so this is a second.
  if (dictionary_.size() == known && item != root_.get() && !item->isDir()) flags |= kSafetyDuplicatePath;
  const char* const enteredPath = item->path().data();
  item->initWithString(fields);
  // A second "path" field moved the item away from where the dictionary has it.
  if (item->path().data() != enteredPath) dictionary_.forgetRecent();
  flags |= safetyFlagsOfEntry(*item);
  if (item->isSymlink()) {
    if (const std::optional<std::string_view> target = linkField(fields)) {
      if (linkLeavesRoot(path, *target)) flags |= kSafetyOutwardLink;
    } else if (linksWithoutTarget_.size() < kMaxLinksWithoutTarget) {
      linksWithoutTarget_.emplace_back(item, path);
    }
  }
  if (flags) item->addSafetyFlags(flags);
}

void ListingTree::resolveLinks(const std::unordered_map<std::string, std::string>& targets) {
  for (const auto& [item, path] : linksWithoutTarget_) {
    const auto it = targets.find(path);
    if (it != targets.end() && linkLeavesRoot(path, it->second)) item->addSafetyFlags(kSafetyOutwardLink);
  }
  std::vector<std::pair<AZipItem*, std::string>>().swap(linksWithoutTarget_);
}

void ListingTree::addAll(const std::vector<std::string>& records) {
  reserve(records.size());
  for (const auto& record : records) add(record);
}

const AZipItem::Ptr& ListingTree::finish() {
  dictionary_ = ItemDictionary();
  root_->calculateSizes();
  return root_;
}

}  // namespace tessaro
