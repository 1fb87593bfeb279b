// One archive entry and one node of the archive item tree. Listing records fill items; the
// pipeline places them by path, creating missing folders, and sums sizes up the tree.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Date.h"
#include "SharedText.h"

namespace tessaro {

class AZipItem;
class Bundle;
class Image;        // an icon bitmap (kinds and icons)
class ZipDocument;  // the host application's document; opaque here

// The path dictionary of a listing: items by their path, without owning them (the tree does).
// Hashes are kept per slot and computed for every prefix of a path in one pass, so finding the
// nearest existing ancestor of a deep path costs one walk over its text.
class ItemDictionary {
 public:
  ItemDictionary();
  AZipItem* find(std::string_view path) const { return find(path, hash(path)); }
  AZipItem* find(std::string_view path, uint64_t pathHash) const;
  // Adds `item` under its current path; a path is entered once.
  void insert(AZipItem* item);
  void insert(AZipItem* item, uint64_t pathHash);
  size_t size() const { return count_; }
  // Room for `count` paths without growing on the way.
  void reserve(size_t count);

  // The last item entered and its parent: the likely folders of the next path. An item whose
  // path changes after it was entered must be forgotten here.
  void noteRecent(AZipItem* parent, AZipItem* item) {
    recentParent_ = parent;
    recentItem_ = item;
  }
  void forgetRecent() { recentParent_ = recentItem_ = nullptr; }
  // Whichever of the two has exactly `path`.
  AZipItem* recentFolderFor(std::string_view path) const;

  // Seeded per process so that crafted names cannot pile up in one chain.
  uint64_t hash(std::string_view text) const;
  // prefixHashes[i] is the hash of text[0, i).
  void prefixHashes(std::string_view text, std::vector<uint64_t>& out) const;

 private:
  struct Slot {
    uint64_t hash = 0;
    AZipItem* item = nullptr;
  };
  void grow();
  // Moves every entry into a table of `slotCount` slots (a power of two).
  void rehash(size_t slotCount);

  std::vector<Slot> slots_;
  size_t count_ = 0;
  uint64_t seed_;
  AZipItem* recentParent_ = nullptr;
  AZipItem* recentItem_ = nullptr;
};

// Where an object specifier points: index `index` of the container's `key` collection.
struct ObjectSpecifier {
  std::string key;  // "children" of the parent, or "rootItem" of the document
  int32_t index = 0;
};

class AZipItem : public std::enable_shared_from_this<AZipItem> {
 public:
  using Ptr = std::shared_ptr<AZipItem>;
  using List = std::vector<Ptr>;

  static constexpr int8_t kPackageUnknown = -1;
  static constexpr int64_t kNoDate = INT64_MIN;

  AZipItem();
  ~AZipItem();
  AZipItem(const AZipItem&) = delete;
  AZipItem& operator=(const AZipItem&) = delete;

  // ---- Construction and tree building

  static Ptr create() { return std::make_shared<AZipItem>(); }
  // Sets path, then name (classifying Mac items), child count -1, package -1, itemCount 1, num_ -1.
  static Ptr initWithPath(std::string_view path);
  // Applies a listing record: "path=…" fields are honoured, every other key as its table says.
  void initWithString(std::string_view record) { setupWithString(record); }
  void setupWithString(std::string_view record);

  // The item for `path` below this one, created with its missing parents when `createMissing`
  // is set. "" and "/" name the receiver.
  AZipItem* childAtPath(std::string_view path, bool createMissing, ItemDictionary& dictionary);
  void addChild(const Ptr& child);
  void removeChild(const AZipItem* child);

  // ---- Sizes and visibility

  void calculateSizes();
  bool calcHiddenFlag(bool showMacItems, std::string_view filter);

  int64_t uncoVForDisplay() const;
  std::string unco() const;
  std::string comp() const;
  std::string total() const;
  float ratioV() const;
  std::string ratio() const;
  // formatDate of timeV, made on the first read and kept.
  const std::string& time();

  // ---- Counting and access

  int32_t numberOfChildrenShowHidden(bool showHidden);
  const Ptr& childAtIndex(size_t index, bool showHidden) const;
  int32_t numberOfChildren() const { return numberOfChildren_; }
  void setNumberOfChildren(int32_t n) { numberOfChildren_ = n; }
  int32_t numberOfNotDeletedChildren() const;
  int32_t numberOfNotDeletedFiles() const;
  List nonMacChildren() const;
  List collectDescendants() const;
  bool isAncestorOf(const AZipItem* item) const;
  std::optional<Date> latestDate() const;
  const std::string& displayName() const;
  std::string parentPath() const;
  std::string description() const;

  // ---- Editing state

  std::string srcArchivePathWithEndSlash() const;
  // "Modified", "Moved", "Added" or "", translated through the host bundle.
  std::string status(const Bundle& hostBundle) const;
  void commitChanges();
  // "file://…" of cachePath, or none.
  std::optional<std::string> previewItemURL() const;
  std::optional<ObjectSpecifier> objectSpecifier() const;

  // ---- Fields

  const std::string& name() const { return name_; }
  void setName(std::string_view name);
  std::string_view path() const { return {pathText_.data(), pathLength_}; }
  void setPath(std::string_view path);
  const std::string& attr() const { return attr_; }
  void setAttr(std::string_view attr) { attr_.assign(attr); }

  // The type key: "fold" for a folder that is not a package, else the name's extension ("" for
  // none). Made on the first read and kept; setFiletype also forgets the small icon.
  const std::string& filetype();
  void setFiletype(std::string_view v);
  // The desktop's kind name for filetype, "–" when it has none; made on the first read and kept.
  const std::string& kind();
  void setKind(std::string_view v) { setText(Text::kind, v); }
  const std::string& crc_() const { return text(Text::crc); }
  void setCrc_(std::string_view v) { setText(Text::crc, v == "0" ? std::string_view{} : v); }
  const std::string& type() const { return text(Text::type); }
  void setType(std::string_view v) { setText(Text::type, v); }
  const std::string& meth() const { return text(Text::meth); }
  void setMeth(std::string_view v) { setText(Text::meth, v); }
  void setDisplayName(std::string_view v) { setText(Text::displayName, v); }
  const std::string& password() const { return text(Text::password); }
  void setPassword(std::string_view v) { setText(Text::password, v); }
  const std::string& vers() const { return text(Text::vers); }
  void setVers(std::string_view v) { setText(Text::vers, v); }
  const std::string& os__() const { return text(Text::os); }
  void setOs__(std::string_view v) { setText(Text::os, v); }
  const std::string& comt() const { return text(Text::comt); }
  void setComt(std::string_view v) { setText(Text::comt, v); }
  const std::string& srcFilesystemPath() const { return text(Text::srcFilesystemPath); }
  void setSrcFilesystemPath(std::string_view v) { setText(Text::srcFilesystemPath, v); }
  const std::string& srcArchivePath() const { return text(Text::srcArchivePath); }
  void setSrcArchivePath(std::string_view v) { setText(Text::srcArchivePath, v); }
  const std::string& cachePath() const { return text(Text::cachePath); }
  void setCachePath(std::string_view v) { setText(Text::cachePath, v); }
  // The bytes of a path that was not UTF-8, in lower-case hexadecimal (record key "rawn"); empty
  // for every other entry. Anything but an even number of hexadecimal digits is not taken.
  const std::string& rawName() const { return text(Text::rawName); }
  void setRawName(std::string_view hex);

  // The icons of filetype (16 and 128 points) from the type cache, taken on the first read.
  const std::shared_ptr<Image>& imgIcon();
  void setImgIcon(std::shared_ptr<Image> icon) { hostState().imgIcon = std::move(icon); }
  const std::shared_ptr<Image>& imgLargeIcon();
  void setImgLargeIcon(std::shared_ptr<Image> icon) { hostState().imgLargeIcon = std::move(icon); }

  // 1 for a package, else 0: asked of the type cache on the first read, which decides per
  // extension by the first entry asked about (only a folder can make it a package).
  int8_t isPackage();
  void setIsPackage(int8_t v) { isPackage_ = v; }
  int32_t numberOfVisibleChildren() const { return host_ ? host_->numberOfVisibleChildren : 0; }
  const List& children() const { return children_; }
  const List& visibleChildren() const;
  int32_t permissions() const { return permissions_; }
  void setPermissions(int32_t p) { permissions_ = p; }
  int32_t previewType() const { return host_ ? host_->previewType : 0; }
  void setPreviewType(int32_t v) { hostState().previewType = v; }

  bool isDeleted() const { return isDeleted_; }
  void setIsDeleted(bool v) { isDeleted_ = v; }
  bool isMacItem() const { return isMacItem_; }
  void setIsMacItem(bool v) { isMacItem_ = v; }
  bool isNewFolder() const { return isNewFolder_; }
  void setIsNewFolder(bool v) { isNewFolder_ = v; }
  bool isDir() const { return isDir_; }
  void setIsDir(bool v) { isDir_ = v; }
  bool isSymlink() const { return isSymlink_; }
  void setIsSymlink(bool v) { isSymlink_ = v; }
  bool isHidden() const { return isHidden_; }
  void setIsHidden(bool v) { isHidden_ = v; }

  int32_t acceptChanges() const { return host_ ? host_->acceptChanges : 0; }
  void setAcceptChanges(int32_t v) { hostState().acceptChanges = v; }
  int32_t compressionLevel() const { return host_ ? host_->compressionLevel : 0; }
  void setCompressionLevel(int32_t v) { hostState().compressionLevel = v; }

  int64_t rsrcV() const { return rsrcV_; }
  void setRsrcV(int64_t v) { rsrcV_ = v; }
  int64_t uncoV() const { return uncoV_; }
  void setUncoV(int64_t v) { uncoV_ = v; }
  int64_t uncoVvisible() const { return host_ ? host_->uncoVvisible : 0; }
  void setUncoVvisible(int64_t v) { hostState().uncoVvisible = v; }
  int64_t compV() const { return compV_; }
  void setCompV(int64_t v) { compV_ = v; }
  int64_t totalV() const { return totalV_; }
  void setTotalV(int64_t v) { totalV_ = v; }
  int32_t itemCount() const { return itemCount_; }
  void setItemCount(int32_t v) { itemCount_ = v; }
  int32_t hiddenItemCount() const { return host_ ? host_->hiddenItemCount : 0; }
  int32_t num_() const { return entryIndex_; }
  void setNum_(int32_t v) { entryIndex_ = v; }
  // Warnings the listing found about this entry (SafetyFlag bits); only ever added to.
  uint8_t safetyFlags() const { return safetyFlags_; }
  void addSafetyFlags(uint8_t flags) { safetyFlags_ |= flags; }
  // The handler said this entry's data is encrypted (set by the listing for the page).
  bool isEncryptedEntry() const { return isEncryptedEntry_; }
  void setEncryptedEntry(bool v) { isEncryptedEntry_ = v; }

  std::optional<Date> timeV() const;
  void setTimeV(std::optional<Date> date);

  std::shared_ptr<AZipItem> parent() const { return parent_.lock(); }
  void setParent(const Ptr& parent) { parent_ = parent; }
  std::shared_ptr<ZipDocument> document() const { return host_ ? host_->document.lock() : nullptr; }
  void setDocument(std::weak_ptr<ZipDocument> document) { hostState().document = std::move(document); }

 private:
  // Texts that most entries never carry live in a small side list instead of a field each,
  // which keeps an item of a million-entry listing small.
  enum class Text : uint8_t {
    filetype,
    kind,
    crc,
    type,
    meth,
    time,
    displayName,
    password,
    vers,
    os,
    comt,
    srcFilesystemPath,
    srcArchivePath,
    cachePath,
    rawName
  };
  const std::string& text(Text key) const;
  void setText(Text key, std::string_view value);
  bool hasText(Text key) const;

  // What only the host application's views and editing keep per item: visibility, icons, the
  // document, editing state. A listing for the preview never needs it, so it lives outside the
  // item, made on the first write, which keeps each of a million items a quarter smaller.
  struct HostState {
    List visibleChildren;
    std::weak_ptr<ZipDocument> document;
    std::shared_ptr<Image> imgIcon;
    std::shared_ptr<Image> imgLargeIcon;
    int64_t uncoVvisible = 0;
    int32_t numberOfVisibleChildren = 0;
    int32_t hiddenItemCount = 0;
    int32_t previewType = 0;
    int32_t acceptChanges = 0;
    int32_t compressionLevel = 0;
  };
  HostState& hostState();

  void makeFolder();
  void classifyMacItem();
  struct RecordDate;
  void applyField(uint32_t key, std::string_view value, RecordDate& date);

  std::string name_;
  SharedText pathText_;  // this item's path is its first pathLength_ bytes
  size_t pathLength_ = 0;
  std::string attr_;
  std::vector<std::pair<Text, std::string>> texts_;
  List children_;
  std::weak_ptr<AZipItem> parent_;
  std::unique_ptr<HostState> host_;

  int64_t rsrcV_ = 0;
  int64_t uncoV_ = 0;
  int64_t compV_ = 0;
  int64_t totalV_ = 0;
  int64_t timeV_ = kNoDate;  // seconds since the epoch

  int32_t numberOfChildren_ = -1;
  int32_t permissions_ = 0;
  int32_t itemCount_ = 1;
  int32_t entryIndex_ = -1;  // num_
  int8_t isPackage_ = kPackageUnknown;
  uint8_t safetyFlags_ = 0;  // sits in the item's tail padding, so it costs no memory

  bool isDeleted_ : 1 = false;
  bool isEncryptedEntry_ : 1 = false;
  bool isMacItem_ : 1 = false;
  bool isNewFolder_ : 1 = false;
  bool isDir_ : 1 = false;
  bool isSymlink_ : 1 = false;
  bool isHidden_ : 1 = false;
  bool hasFiletype_ : 1 = false;  // the side list drops empty texts, and "" is a valid type key
};

}  // namespace tessaro
