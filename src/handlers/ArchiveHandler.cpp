#include "ArchiveHandler.h"

#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <new>

#include "HandlerRegistry.h"
#include "PathString.h"
#include "ProcessGlobals.h"
#include "VolumeNames.h"
#include "helpers.h"

namespace tessaro {

namespace {

// A numbered set has at most 999 volumes: the number is written with three digits.
constexpr int kMaxNumberedVolumes = 999;

bool fileExists(const std::string& path, struct stat* st = nullptr) {
  struct stat local;
  return stat(path.c_str(), st ? st : &local) == 0;
}

}  // namespace

// ---- HandlerClass

bool HandlerClass::isSubclassOf(const HandlerClass& other) const {
  // The chain is as deep as the hierarchy (three levels); the bound only guards a broken one.
  int depth = 0;
  for (const HandlerClass* c = this; c && depth < 64; c = c->superclass(), ++depth) {
    if (c == &other) return true;
  }
  return false;
}

std::shared_ptr<ArchiveHandler> HandlerClass::alloc() const {
  try {
    return std::make_shared<ArchiveHandler>();
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<ArchiveHandler> HandlerClass::initWithURL(std::string_view path) const {
  try {
    std::shared_ptr<ArchiveHandler> handler = alloc();
    if (!handler || !handler->initWithURL(path)) return nullptr;
    return handler;
  } catch (...) {
    return nullptr;
  }
}

// Format names are localisation keys; the English key is also the text shown.
std::string HandlerClass::formatName() const { return std::string(className()); }

MenuArray HandlerClass::compressionFactors() const {
  return menuArrayFromArray(allCompressionFactors(), compressionFactorTags());
}

MenuArray HandlerClass::encryptionMethods() const {
  return menuArrayFromArray(allEncryptionMethods(), encryptionMethodTags());
}

int64_t presetInteger(const Preset& preset, std::string_view key) {
  const auto found = preset.find(key);
  return found == preset.end() ? 0 : found->second.asInteger().value_or(0);
}

// ---- ArchiveHandler: creation and the archive's path

const HandlerClass& ArchiveHandler::metaclass() {
  static const HandlerClass instance;
  return instance;
}

ArchiveHandler::ArchiveHandler() = default;
ArchiveHandler::~ArchiveHandler() = default;

bool ArchiveHandler::initWithURL(std::string_view path) {
  try {
    setUrl(firstPart(path));
    operationCancelled_ = false;
    isListingEncrypted_ = false;
    isSolid_ = false;
    return true;
  } catch (...) {
    return false;
  }
}

void ArchiveHandler::setUrl(std::string_view path) {
  try {
    std::optional<std::string> reference;
    if (!path.empty() && fileExists(std::string(path))) reference = std::string(path);
    if (reference == url_) return;
    url_ = std::move(reference);
    initParts();
  } catch (...) {
    // Swallowed: the handler keeps its former URL and volumes.
    HLVLog(kLogError, "Setting the URL failed");
  }
}

std::string ArchiveHandler::description() const {
  try {
    // Absent values print as the platform prints a missing object.
    const std::optional<std::string> type = isa().baseType();
    return "Filename: " + url_.value_or("(null)") + "\nBasetype = " + type.value_or("(null)");
  } catch (...) {
    return {};
  }
}

void ArchiveHandler::traceOperation(const char* operation) const {
  const std::string_view name = className();
  HLVLog(kLogTrace, "%.*s %s", static_cast<int>(name.size()), name.data(), operation);
}

std::string ArchiveHandler::helperTool(std::string_view name) {
  return appendingPathComponent(helpersPath(), name);
}

// ---- Base answers of the format operations

void ArchiveHandler::runDetectorOn(const char* /*bytes*/) {}

bool ArchiveHandler::canUpdate() const { return false; }

bool ArchiveHandler::isItemEncrypted(const AZipItem& /*item*/) const { return false; }

int32_t ArchiveHandler::itemEncryptionMethod(const AZipItem& item) const {
  return isItemEncrypted(item) ? 1 : 0;
}

template <typename Step>
int32_t ArchiveHandler::runOperation(const char* operation, Step&& step) {
  traceOperation(operation);
  const std::string_view name = className();
  try {
    return step();
  } catch (const std::bad_alloc&) {
    HLVLog(kLogError, "%.*s %s ran out of memory", static_cast<int>(name.size()), name.data(), operation);
    return kStatusOutOfMemory;
  } catch (const std::exception& error) {
    HLVLog(kLogError, "%.*s %s failed: %s", static_cast<int>(name.size()), name.data(), operation,
           error.what());
    return kStatusFailed;
  } catch (...) {
    HLVLog(kLogError, "%.*s %s failed", static_cast<int>(name.size()), name.data(), operation);
    return kStatusFailed;
  }
}

int32_t ArchiveHandler::addFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                                 const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                                 std::vector<std::string>* filesToClean) {
  return runOperation("addFiles", [&] {
    return doAddFiles(files, fromFolder, toArchive, inParentItem, preset, filesToClean);
  });
}

int32_t ArchiveHandler::extract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) {
  return runOperation("extract", [&] { return doExtract(items, toFolder, mode); });
}

int32_t ArchiveHandler::getInfo(std::vector<std::string>& records) {
  return runOperation("getInfo", [&] { return doGetInfo(records); });
}

int32_t ArchiveHandler::updateComment(const std::string& comment) {
  return runOperation("updateComment", [&] { return doUpdateComment(comment); });
}

int32_t ArchiveHandler::moveFiles(const AZipItem::List& items, const std::string& destination) {
  return runOperation("moveFiles", [&] { return doMoveFiles(items, destination); });
}

int32_t ArchiveHandler::moveFiles(const std::vector<std::string>& oldNames,
                                  const std::vector<std::string>& newNames) {
  return runOperation("moveFiles", [&] { return doMoveFiles(oldNames, newNames); });
}

int32_t ArchiveHandler::deleteFiles(const AZipItem::List& items) {
  return runOperation("deleteFiles", [&] { return doDeleteFiles(items); });
}

int32_t ArchiveHandler::repair() {
  return runOperation("repair", [&] { return doRepair(); });
}

int32_t ArchiveHandler::doAddFiles(const std::vector<std::string>& /*files*/,
                                   const std::string& /*fromFolder*/, const std::string& /*toArchive*/,
                                   AZipItem* /*inParentItem*/, const Preset& /*preset*/,
                                   std::vector<std::string>* /*filesToClean*/) {
  return kStatusNotSupported;
}

int32_t ArchiveHandler::doExtract(const AZipItem::List& /*items*/, const std::string& /*toFolder*/,
                                  int32_t /*mode*/) {
  return kStatusNotSupported;
}

int32_t ArchiveHandler::doGetInfo(std::vector<std::string>& /*records*/) { return kStatusOK; }

int32_t ArchiveHandler::doUpdateComment(const std::string& /*comment*/) { return kStatusNotSupported; }

int32_t ArchiveHandler::doMoveFiles(const AZipItem::List& /*items*/, const std::string& /*destination*/) {
  return kStatusNotSupported;
}

int32_t ArchiveHandler::doMoveFiles(const std::vector<std::string>& /*oldNames*/,
                                    const std::vector<std::string>& /*newNames*/) {
  return kStatusNotSupported;
}

int32_t ArchiveHandler::doDeleteFiles(const AZipItem::List& /*items*/) { return kStatusNotSupported; }

int32_t ArchiveHandler::doRepair() { return kStatusNotSupported; }

std::string ArchiveHandler::baseName() const {
  try {
    if (!url_) return {};
    return std::string(deletingPathExtension(lastPathComponent(*url_)));
  } catch (...) {
    return {};
  }
}

bool ArchiveHandler::isFirstFile(std::string_view /*path*/) const { return true; }

std::optional<std::vector<std::string>> ArchiveHandler::possiblyConflictingParts() const {
  return std::nullopt;
}

std::optional<std::string> ArchiveHandler::rsrcFolder() const { return std::nullopt; }

std::unordered_map<std::string, std::string> ArchiveHandler::linkTargets() const { return {}; }

void ArchiveHandler::setListingBound(std::optional<ListingBound> bound) {
  listingBound_ = bound;
  boundCheckedRecords_ = 0;
  boundNameBytes_ = 0;
  listingCutShort_ = false;
}

bool ArchiveHandler::listingBoundReached(const std::vector<std::string>& records) {
  if (!listingBound_ || listingCutShort_) return listingCutShort_;
  size_t entries = boundCheckedRecords_;
  const size_t within = recordsWithinBound(records, std::min(boundCheckedRecords_, records.size()),
                                           *listingBound_, entries, boundNameBytes_);
  boundCheckedRecords_ = entries;
  if (within == records.size()) return false;
  cutListingShort();
  return true;
}

bool ArchiveHandler::listingBoundAdmits(std::string_view record) {
  if (!listingBound_) return true;
  if (listingCutShort_) return false;
  const size_t bytes = recordNameBytes(record);
  if (boundCheckedRecords_ >= listingBound_->maxEntries ||
      bytes > listingBound_->maxNameBytes - std::min(boundNameBytes_, listingBound_->maxNameBytes)) {
    cutListingShort();
    return false;
  }
  ++boundCheckedRecords_;
  boundNameBytes_ += bytes;
  return true;
}

void ArchiveHandler::cutListingShort() {
  if (listingCutShort_) return;
  listingCutShort_ = true;
  HLVLog(kLogTrace, "The listing stops at its bound after %zu entries", boundCheckedRecords_);
  setOperationCancelled(true);
}

void ArchiveHandler::initParts() {
  try {
    if (!url_ || !hasSuffix(*url_, ".001")) return;
    const std::string stem(deletingPathExtension(*url_));
    std::vector<VolumePart> found;
    for (int n = 1; n <= kMaxNumberedVolumes; ++n) {
      char suffix[8];
      std::snprintf(suffix, sizeof suffix, ".%03d", n);
      std::string volume = stem + suffix;
      struct stat st;
      // The first missing number ends the set, even when later numbers exist.
      if (!fileExists(volume, &st)) break;
      std::string name(lastPathComponent(volume));
      found.push_back({std::move(volume), std::move(name), static_cast<int64_t>(st.st_size)});
    }
    parts_ = std::move(found);
  } catch (...) {
    // Swallowed: the volumes stay as they were; extraction finds the missing ones itself.
    HLVLog(kLogError, "Collecting the volumes failed");
  }
}

}  // namespace tessaro
