#include "AZipItem.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <random>

#include "ListingRecord.h"
#include "PathString.h"
#include "ItemTypeSource.h"
#include "bundle/Bundle.h"
#include "helpers.h"

namespace tessaro {

namespace {

const std::string kEmpty;
const AZipItem::Ptr kNoItem;

// Sums can meet hostile sizes (many entries claiming INT64_MAX bytes): saturate, never wrap.
int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}
int32_t saturatingAdd(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT32_MAX : INT32_MIN;
  return r;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Case-insensitive containment; Unicode case folding when both texts are valid UTF-8.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  if (g_utf8_validate(haystack.data(), static_cast<gssize>(haystack.size()), nullptr) &&
      g_utf8_validate(needle.data(), static_cast<gssize>(needle.size()), nullptr)) {
    gchar* h = g_utf8_casefold(haystack.data(), static_cast<gssize>(haystack.size()));
    gchar* n = g_utf8_casefold(needle.data(), static_cast<gssize>(needle.size()));
    const bool found = std::string_view(h).find(n) != std::string_view::npos;
    g_free(h);
    g_free(n);
    return found;
  }
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         }) != haystack.end();
}

}  // namespace

// ---- Path dictionary

namespace {
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ULL;

uint64_t processHashSeed() {
  static const uint64_t seed = [] {
    std::random_device device;
    return (uint64_t{device()} << 32) ^ device();
  }();
  return seed;
}
}  // namespace

ItemDictionary::ItemDictionary() : slots_(16), seed_(kFnvBasis ^ processHashSeed()) {}

uint64_t ItemDictionary::hash(std::string_view text) const {
  uint64_t h = seed_;
  for (const char c : text) h = (h ^ static_cast<uint8_t>(c)) * kFnvPrime;
  return h;
}

void ItemDictionary::prefixHashes(std::string_view text, std::vector<uint64_t>& out) const {
  out.resize(text.size() + 1);
  uint64_t h = seed_;
  out[0] = h;
  for (size_t i = 0; i < text.size(); ++i) out[i + 1] = h = (h ^ static_cast<uint8_t>(text[i])) * kFnvPrime;
}

AZipItem* ItemDictionary::find(std::string_view path, uint64_t pathHash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = pathHash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (!slot.item) return nullptr;
    if (slot.hash == pathHash && slot.item->path() == path) return slot.item;
  }
}

void ItemDictionary::insert(AZipItem* item) { insert(item, hash(item->path())); }

void ItemDictionary::insert(AZipItem* item, uint64_t pathHash) {
  if ((count_ + 1) * 4 > slots_.size() * 3) grow();
  const size_t mask = slots_.size() - 1;
  size_t i = pathHash & mask;
  while (slots_[i].item) i = (i + 1) & mask;
  slots_[i] = Slot{pathHash, item};
  ++count_;
}

AZipItem* ItemDictionary::recentFolderFor(std::string_view path) const {
  if (recentParent_ && recentParent_->path() == path) return recentParent_;
  if (recentItem_ && recentItem_->path() == path) return recentItem_;
  return nullptr;
}

void ItemDictionary::reserve(size_t count) {
  size_t slots = slots_.size();
  while (count * 4 > slots * 3 && slots <= SIZE_MAX / 4) slots *= 2;
  if (slots != slots_.size()) rehash(slots);
}

void ItemDictionary::grow() { rehash(slots_.size() * 2); }

void ItemDictionary::rehash(size_t slotCount) {
  std::vector<Slot> old(slotCount);
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (!slot.item) continue;
    size_t i = slot.hash & mask;
    while (slots_[i].item) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

// ---- Construction

AZipItem::AZipItem() = default;

// Children are released iteratively: a 100,000-level chain must not exhaust the stack.
AZipItem::~AZipItem() {
  List pending = std::move(children_);
  if (host_) host_->visibleChildren.clear();
  while (!pending.empty()) {
    Ptr item = std::move(pending.back());
    pending.pop_back();
    if (item && item.use_count() == 1) {
      for (auto& child : item->children_) pending.push_back(std::move(child));
      item->children_.clear();
      if (item->host_) item->host_->visibleChildren.clear();
    }
  }
}

AZipItem::HostState& AZipItem::hostState() {
  if (!host_) host_ = std::make_unique<HostState>();
  return *host_;
}

AZipItem::Ptr AZipItem::initWithPath(std::string_view path) {
  auto item = create();
  item->setPath(path);
  item->setName(lastPathComponent(path));
  return item;
}

// ---- Records

struct AZipItem::RecordDate {
  int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

void AZipItem::setupWithString(std::string_view record) {
  numberOfChildren_ = -1;
  itemCount_ = 1;
  isPackage_ = kPackageUnknown;
  entryIndex_ = -1;
  if (record.size() < 2) return;

  RecordDate date;
  size_t start = 0;
  while (start <= record.size()) {
    size_t tab = record.find('\t', start);
    if (tab == std::string_view::npos) tab = record.size();
    const std::string_view field = record.substr(start, tab - start);
    if (field.size() >= 5) applyField(recordKey(field), field.substr(5), date);
    start = tab + 1;
  }
  if (date.month != 0 && timeV_ == kNoDate)
    timeV_ =
        dateFromGMTParts(date.year, date.month, date.day, date.hour, date.minute).time_since_epoch().count();
}

void AZipItem::applyField(uint32_t key, std::string_view value, RecordDate& date) {
  switch (key) {
    case recordKey("path"): {
      if (value.size() >= 2 && value.back() == '/') value.remove_suffix(1);
      setName(lastPathComponent(value));
      setPath(value);
      break;
    }
    case recordKey("attr"):
      permissions_ = parsePosixPermissionsString(value);
      if (value.find_first_of("dD") != std::string_view::npos)
        makeFolder();
      else if (!value.empty() && (value[0] == 'l' || value[0] == 'L'))
        isSymlink_ = true;
      attr_.assign(value);
      break;
    case recordKey("unco"): uncoV_ = parseRecordSize(value); break;
    case recordKey("comp"): compV_ = parseRecordSize(value); break;
    case recordKey("rsrc"): rsrcV_ = parseRecordSize(value); break;
    case recordKey("time"): {
      const auto t = parseRecordTime(value);
      timeV_ = t ? t->time_since_epoch().count() : kNoDate;
      break;
    }
    case recordKey("year"): date.year = parseRecordInteger(value); break;
    case recordKey("mont"):
      if (const int month = parseRecordMonth(value)) date.month = month;
      break;
    case recordKey("day_"): date.day = parseRecordInteger(value); break;
    case recordKey("hour"): date.hour = parseRecordInteger(value); break;
    case recordKey("minu"): date.minute = parseRecordInteger(value); break;
    case recordKey("num_"): entryIndex_ = parseRecordInteger(value); break;
    case recordKey("type"): setType(value); break;
    case recordKey("meth"): setMeth(value); break;
    case recordKey("vers"): setVers(value); break;
    case recordKey("crc_"): setCrc_(value); break;
    case recordKey("os__"): setOs__(value); break;
    case recordKey("comt"): setComt(value); break;
    case recordKey("kind"): setKind(value); break;
    case recordKey("name"): setName(value); break;
    case recordKey("rawn"): setRawName(value); break;
    default: break;
  }
}

void AZipItem::makeFolder() { isDir_ = true; }

// ---- Tree building

AZipItem* AZipItem::childAtPath(std::string_view path, bool createMissing, ItemDictionary& dictionary) {
  if (path.empty() || path == "/") return this;
  if (path.size() >= 2 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return this;

  // One pass gives the hash of every prefix; the walk up to the nearest existing ancestor then
  // costs a lookup per level, never a rehash of the text. Done without recursion: an entry path
  // may have tens of thousands of components.
  thread_local std::vector<uint64_t> hashes;
  dictionary.prefixHashes(path, hashes);
  if (AZipItem* found = dictionary.find(path, hashes[path.size()])) return found;
  if (!createMissing) return nullptr;

  thread_local std::vector<std::string_view> missing;
  missing.assign(1, path);
  AZipItem* parent = this;
  for (std::string_view current = path;;) {
    const std::string_view up = deletingLastPathComponent(current);
    if (up.empty() || up == "/" || up.size() >= current.size() || up.data() != path.data()) break;
    // Listings mostly come folder by folder: the last new item or its folder is the parent,
    // found without a lookup in the (large, cold) dictionary.
    if (AZipItem* recent = dictionary.recentFolderFor(up)) {
      parent = recent;
      break;
    }
    if (AZipItem* found = dictionary.find(up, hashes[up.size()])) {
      parent = found;
      break;
    }
    missing.push_back(up);
    current = up;
  }
  // The new items of this chain share one copy of the deepest path.
  const SharedText text(path);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    Ptr item = create();
    item->pathText_ = text;
    item->pathLength_ = it->size();
    item->setName(lastPathComponent(item->path()));
    if (parent->host_ && !parent->host_->document.expired()) item->setDocument(parent->host_->document);
    parent->addChild(item);
    dictionary.insert(item.get(), hashes[it->size()]);
    dictionary.noteRecent(parent, item.get());
    parent = item.get();
  }
  return parent;
}

void AZipItem::addChild(const Ptr& child) {
  children_.push_back(child);
  child->parent_ = weak_from_this();
  isDir_ = true;
  numberOfChildren_ = -1;
}

void AZipItem::removeChild(const AZipItem* child) {
  auto it =
      std::find_if(children_.begin(), children_.end(), [child](const Ptr& p) { return p.get() == child; });
  if (it != children_.end()) children_.erase(it);
  numberOfChildren_ = -1;
}

// ---- Sizes and visibility

void AZipItem::calculateSizes() {
  if (!isDir_) return;
  auto reset = [](AZipItem* folder) {
    folder->compV_ = folder->uncoV_ = folder->totalV_ = 0;
    folder->itemCount_ = 1;
  };
  auto addInto = [](AZipItem* folder, const AZipItem* child) {
    folder->compV_ = saturatingAdd(folder->compV_, child->compV_);
    folder->uncoV_ = saturatingAdd(folder->uncoV_, child->uncoVForDisplay());
    folder->totalV_ = saturatingAdd(folder->totalV_, child->totalV_);
    folder->itemCount_ = saturatingAdd(folder->itemCount_, child->itemCount_);
  };
  struct Frame {
    AZipItem* folder;
    size_t next;
  };
  std::vector<Frame> stack{{this, 0}};
  reset(this);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.folder->children_.size()) {
      AZipItem* child = top.folder->children_[top.next++].get();
      if (child->isDeleted_) continue;
      if (child->isDir_) {
        reset(child);
        stack.push_back({child, 0});
      } else {
        addInto(top.folder, child);
      }
      continue;
    }
    AZipItem* done = top.folder;
    stack.pop_back();
    if (!stack.empty()) addInto(stack.back().folder, done);
  }
}

bool AZipItem::calcHiddenFlag(bool showMacItems, std::string_view filter) {
  // Counts that stay zero make no host state: a leaf that is shown needs none.
  auto enter = [showMacItems](AZipItem* item) {
    item->isHidden_ = item->isDeleted_;
    if (HostState* host = item->host_.get()) {
      host->hiddenItemCount = 0;
      host->numberOfVisibleChildren = 0;
      host->visibleChildren.clear();
      // A leaf keeps the visible size its owner gave it; a folder's is the sum of its children's.
      if (!item->children_.empty()) host->uncoVvisible = 0;
    }
    if (!showMacItems && item->isMacItem_) {
      item->isHidden_ = true;
      item->hostState().hiddenItemCount = 1;
    }
  };
  auto leave = [filter](AZipItem* item) {
    if (!filter.empty() && item->numberOfVisibleChildren() == 0 &&
        !containsIgnoringCase(item->name_, filter)) {
      item->isHidden_ = true;
      HostState& host = item->hostState();
      host.hiddenItemCount = saturatingAdd(host.hiddenItemCount, 1);
    }
  };
  auto account = [](AZipItem* parent, const Ptr& child) {
    if (!child->isHidden_) {
      HostState& host = parent->hostState();
      ++host.numberOfVisibleChildren;
      host.uncoVvisible = saturatingAdd(host.uncoVvisible, child->uncoVvisible());
      host.visibleChildren.push_back(child);
    }
    if (const int32_t hidden = child->hiddenItemCount()) {
      HostState& host = parent->hostState();
      host.hiddenItemCount = saturatingAdd(host.hiddenItemCount, hidden);
    }
  };
  struct Frame {
    AZipItem* item;
    size_t next;
  };
  std::vector<Frame> stack{{this, 0}};
  enter(this);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.item->children_.size()) {
      AZipItem* child = top.item->children_[top.next++].get();
      enter(child);
      stack.push_back({child, 0});
      continue;
    }
    AZipItem* done = top.item;
    stack.pop_back();
    leave(done);
    if (!stack.empty()) {
      AZipItem* parent = stack.back().item;
      account(parent, parent->children_[stack.back().next - 1]);
    }
  }
  return isHidden_;
}

int64_t AZipItem::uncoVForDisplay() const {
  if (uncoV_ >= 0) return uncoV_;
  if (compV_ >= 0) return compV_;
  return 0;
}

std::string AZipItem::unco() const { return formatSize(uncoV_ < 0 ? compV_ : uncoV_); }
std::string AZipItem::comp() const { return compV_ < 1 ? "\u2013" : formatSize(compV_); }
std::string AZipItem::total() const { return totalV_ < 1 ? "\u2013" : formatSize(totalV_); }

float AZipItem::ratioV() const {
  if (uncoV_ < 2) return 1.0f;
  return static_cast<float>(compV_) / static_cast<float>(uncoV_);
}

std::string AZipItem::ratio() const {
  char buf[32];
  const float percent = ratioV() * 100.0f;
  // Clamp before the conversion: a float beyond int's range has no defined integer value.
  const int value = percent >= 2147483647.0f    ? INT32_MAX
                    : percent <= -2147483648.0f ? INT32_MIN
                                                : int(percent);
  std::snprintf(buf, sizeof buf, "%d%%", value);
  return buf;
}

const std::string& AZipItem::time() {
  if (!hasText(Text::time) && timeV_ != kNoDate) setText(Text::time, formatDate(timeV()));
  return text(Text::time);
}

// ---- Counting and access

int32_t AZipItem::numberOfChildrenShowHidden(bool showHidden) {
  if (numberOfChildren_ == -1) {
    numberOfChildren_ = static_cast<int32_t>(std::min<size_t>(children_.size(), INT32_MAX));
    if (host_)
      host_->numberOfVisibleChildren =
          static_cast<int32_t>(std::min<size_t>(host_->visibleChildren.size(), INT32_MAX));
  }
  return showHidden ? numberOfChildren_ : numberOfVisibleChildren();
}

const AZipItem::List& AZipItem::visibleChildren() const {
  static const List kNone;
  return host_ ? host_->visibleChildren : kNone;
}

const AZipItem::Ptr& AZipItem::childAtIndex(size_t index, bool showHidden) const {
  const List& list = showHidden ? children_ : visibleChildren();
  return index < list.size() ? list[index] : kNoItem;
}

int32_t AZipItem::numberOfNotDeletedChildren() const {
  return static_cast<int32_t>(
      std::count_if(children_.begin(), children_.end(), [](const Ptr& c) { return !c->isDeleted_; }));
}

int32_t AZipItem::numberOfNotDeletedFiles() const {
  return static_cast<int32_t>(std::count_if(children_.begin(), children_.end(),
                                            [](const Ptr& c) { return !c->isDeleted_ && !c->isDir_; }));
}

AZipItem::List AZipItem::nonMacChildren() const {
  List result;
  for (const auto& c : children_)
    if (!c->isDeleted_ && !c->isMacItem_) result.push_back(c);
  return result;
}

AZipItem::List AZipItem::collectDescendants() const {
  List result;
  std::vector<const AZipItem*> stack{this};
  std::vector<size_t> next{0};
  while (!stack.empty()) {
    const AZipItem* item = stack.back();
    size_t& i = next.back();
    if (i < item->children_.size()) {
      const Ptr& child = item->children_[i++];
      result.push_back(child);
      stack.push_back(child.get());
      next.push_back(0);
    } else {
      stack.pop_back();
      next.pop_back();
    }
  }
  return result;
}

bool AZipItem::isAncestorOf(const AZipItem* item) const {
  std::shared_ptr<const AZipItem> keep;
  for (const AZipItem* current = item; current;) {
    if (current == this) return true;
    keep = current->parent_.lock();
    current = keep.get();
  }
  return false;
}

std::optional<Date> AZipItem::latestDate() const {
  // The latest date of the subtree, leaving out deleted and Mac items with everything below them.
  int64_t best = timeV_;
  std::vector<const AZipItem*> stack{this};
  while (!stack.empty()) {
    const AZipItem* item = stack.back();
    stack.pop_back();
    for (const auto& child : item->children_) {
      if (child->isDeleted_ || child->isMacItem_) continue;
      if (child->timeV_ != kNoDate && (best == kNoDate || best <= child->timeV_)) best = child->timeV_;
      stack.push_back(child.get());
    }
  }
  if (best == kNoDate) return std::nullopt;
  return Date(std::chrono::seconds(best));
}

const std::string& AZipItem::displayName() const {
  return hasText(Text::displayName) ? text(Text::displayName) : name_;
}

std::string AZipItem::parentPath() const { return std::string(deletingLastPathComponent(path())); }

std::string AZipItem::description() const { return name_ + " (" + std::string(path()) + ")"; }

// ---- Editing state

std::string AZipItem::srcArchivePathWithEndSlash() const {
  std::string result(hasText(Text::srcArchivePath) ? std::string_view(srcArchivePath()) : path());
  if (isDir_ && (result.empty() || result.back() != '/')) result.push_back('/');
  return result;
}

std::string AZipItem::status(const Bundle& hostBundle) const {
  if (hasText(Text::cachePath) && acceptChanges() != 0) return hostBundle.localizedString("Modified");
  if (hasText(Text::srcArchivePath)) return hostBundle.localizedString("Moved");
  if (hasText(Text::srcFilesystemPath)) return hostBundle.localizedString("Added");
  return {};
}

void AZipItem::commitChanges() {
  std::vector<AZipItem*> stack{this};
  while (!stack.empty()) {
    AZipItem* item = stack.back();
    stack.pop_back();
    for (size_t i = item->children_.size(); i-- > 0;) {
      if (item->children_[i]->isDeleted_) {
        item->children_.erase(item->children_.begin() + static_cast<ptrdiff_t>(i));
        item->numberOfChildren_ = -1;
      } else {
        stack.push_back(item->children_[i].get());
      }
    }
    item->setText(Text::srcArchivePath, {});
    item->setText(Text::srcFilesystemPath, {});
    item->isNewFolder_ = false;
    if (item->host_) item->host_->acceptChanges = 0;
  }
}

std::optional<std::string> AZipItem::previewItemURL() const {
  if (!hasText(Text::cachePath)) return std::nullopt;
  return "file://" + percentEscaped(cachePath());
}

std::optional<ObjectSpecifier> AZipItem::objectSpecifier() const {
  if (auto parent = parent_.lock()) {
    const auto& siblings = parent->children_;
    for (size_t i = 0; i < siblings.size(); ++i)
      if (siblings[i].get() == this) return ObjectSpecifier{"children", static_cast<int32_t>(i)};
    return std::nullopt;
  }
  if (path() == "/") return ObjectSpecifier{"rootItem", 0};
  return std::nullopt;
}

// ---- Fields

void AZipItem::setPath(std::string_view path) {
  pathText_ = SharedText(path);
  pathLength_ = path.size();
}

void AZipItem::setRawName(std::string_view hex) {
  const bool digits = std::all_of(hex.begin(), hex.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
  if (!digits || hex.size() % 2 != 0) return;
  std::string lower(hex);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  setText(Text::rawName, lower);
}

void AZipItem::setName(std::string_view name) {
  name_.assign(name);
  classifyMacItem();
}

void AZipItem::classifyMacItem() {
  if (isMacItem_) return;
  const std::string_view n = name_;
  isMacItem_ = n.starts_with("._") || equalsIgnoringAsciiCase(n, "icon\r") ||
               path().starts_with("__MACOSX") || n == ".DS_Store";
}

const std::string& AZipItem::filetype() {
  if (!hasFiletype_) {
    try {
      setText(Text::filetype, isDir_ && isPackage() == 0 ? kFolderTypeKey : pathExtension(name_));
      hasFiletype_ = true;
    } catch (...) {
      return kEmpty;
    }
  }
  return text(Text::filetype);
}

void AZipItem::setFiletype(std::string_view v) {
  setText(Text::filetype, v);
  hasFiletype_ = true;
  if (host_) host_->imgIcon.reset();
}

const std::string& AZipItem::kind() {
  if (!hasText(Text::kind)) {
    try {
      const auto& cache = theItemTypeSource();
      std::optional<std::string> name = cache ? cache->nameForType(filetype()) : std::nullopt;
      setKind(name && !name->empty() ? std::string_view(*name) : std::string_view("\u2013"));
    } catch (...) {
      return kEmpty;
    }
  }
  return text(Text::kind);
}

int8_t AZipItem::isPackage() {
  if (isPackage_ == kPackageUnknown) {
    const auto& cache = theItemTypeSource();
    isPackage_ = cache && cache->packageForType(pathExtension(name_), isDir_) != 0 ? 1 : 0;
  }
  return isPackage_;
}

const std::shared_ptr<Image>& AZipItem::imgIcon() {
  HostState& host = hostState();
  if (!host.imgIcon)
    if (const auto& cache = theItemTypeSource()) host.imgIcon = cache->iconForType(filetype());
  return host.imgIcon;
}

const std::shared_ptr<Image>& AZipItem::imgLargeIcon() {
  HostState& host = hostState();
  if (!host.imgLargeIcon)
    if (const auto& cache = theItemTypeSource()) host.imgLargeIcon = cache->largeIconForType(filetype());
  return host.imgLargeIcon;
}

std::optional<Date> AZipItem::timeV() const {
  if (timeV_ == kNoDate) return std::nullopt;
  return Date(std::chrono::seconds(timeV_));
}

void AZipItem::setTimeV(std::optional<Date> date) {
  timeV_ = date ? date->time_since_epoch().count() : kNoDate;
}

const std::string& AZipItem::text(Text key) const {
  for (const auto& [k, v] : texts_)
    if (k == key) return v;
  return kEmpty;
}

bool AZipItem::hasText(Text key) const {
  return std::any_of(texts_.begin(), texts_.end(), [key](const auto& e) { return e.first == key; });
}

void AZipItem::setText(Text key, std::string_view value) {
  auto it = std::find_if(texts_.begin(), texts_.end(), [key](const auto& e) { return e.first == key; });
  if (value.empty()) {
    if (it != texts_.end()) texts_.erase(it);
    return;
  }
  if (it != texts_.end())
    it->second.assign(value);
  else
    texts_.emplace_back(key, std::string(value));
}

}  // namespace tessaro
