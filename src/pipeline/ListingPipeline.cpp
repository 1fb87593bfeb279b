#include "ListingPipeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "ArchiveFacts.h"
#include "HandlerRegistry.h"
#include "ListingTree.h"
#include "helpers.h"

namespace tessaro {

namespace {

// The one user-interface framework release whose 7-Zip listing is replaced by the XAD one.
constexpr double kXadListingFrameworkVersion = 1265;

// No platform release to emulate by default: the 7-Zip handlers always list.
double& frameworkVersion() {
  static double version = 0;
  return version;
}

HandlerLookup& handlerLookup() {
  static HandlerLookup lookup;
  return lookup;
}

// On that release the 7-Zip-based handlers give way to the XAD-based one for the same file.
std::shared_ptr<ArchiveHandler> substituteForPlatform(std::shared_ptr<ArchiveHandler> handler,
                                                      std::string_view path) {
  if (std::floor(userInterfaceFrameworkVersion()) != kXadListingFrameworkVersion) return handler;
  const HandlerClass* sevenZip = handlerClassNamed("AHandler7ZipBase");
  const HandlerClass* xad = handlerClassNamed("ArchiveHandlerXad");
  if (!sevenZip || !xad || !handler->isa().isSubclassOf(*sevenZip)) return handler;
  std::shared_ptr<ArchiveHandler> replacement = xad->initWithURL(path);
  return replacement ? replacement : handler;
}

// Removes the folder and everything in it when the listing ends, however it ends.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(std::optional<std::string> path) : path_(std::move(path)) {}
  ~TemporaryFolder() {
    if (!path_) return;
    std::error_code ignored;
    std::filesystem::remove_all(*path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::optional<std::string>& path() const { return path_; }

 private:
  std::optional<std::string> path_;
};

}  // namespace

double userInterfaceFrameworkVersion() { return frameworkVersion(); }

void setUserInterfaceFrameworkVersionForTesting(double version) { frameworkVersion() = version; }

void setHandlerLookupForTesting(HandlerLookup lookup) { handlerLookup() = std::move(lookup); }

namespace {

// Whatever the handler knows and the tree shows, taken before the handler goes.
void collectFacts(std::string_view path, const ArchiveHandler& handler, AZipItem& root, ArchiveFacts& facts) {
  facts.solid = handler.isSolid();
  if (handler.isa().hasFormatName()) facts.formatName = handler.isa().formatName();
  // A zip comment comes as its stored bytes, in whatever encoding its writer used.
  facts.comment = isValidUTF8(handler.comment()) ? handler.comment() : utf8FromLatin1(handler.comment());
  facts.volumes = volumeSetOf(path);
  const size_t known = facts.volumes ? facts.volumes->present.size() + facts.volumes->missing.size() : 1;
  facts.volumeCount =
      static_cast<int32_t>(std::min<size_t>(std::max(known, handler.parts().size()), INT32_MAX));
  collectTreeFacts(root, facts);
  if (handler.isListingEncrypted()) {
    facts.encryption = EncryptionLevel::names;
    return;
  }
  // Every encrypted entry is marked for its row; one makes the archive's contents encrypted.
  std::vector<AZipItem*> stack{&root};
  while (!stack.empty()) {
    AZipItem* item = stack.back();
    stack.pop_back();
    if (!item->isDir() && (handler.isItemEncrypted(*item) || handler.itemEncryptionMethod(*item) > 0)) {
      facts.encryption = EncryptionLevel::contents;
      item->setEncryptedEntry(true);
    }
    for (const AZipItem::Ptr& child : item->children()) stack.push_back(child.get());
  }
}

int32_t listArchive(std::string_view path, AZipItem::Ptr& root, ArchiveFacts* facts,
                    const std::string* password = nullptr) {
  root.reset();
  try {
    // The root exists before anything can fail, so the caller always has one.
    ListingTree tree;
    root = tree.root();

    if (!notReadableAsArchive(std::string(path)).empty() || !irregularVolumesOf(path).empty())
      return kStatusNotSupported;
    std::shared_ptr<ArchiveHandler> handler =
        handlerLookup() ? handlerLookup()(path) : handlerWithFilename(path);
    if (!handler) return kStatusNotSupported;
    handler = substituteForPlatform(std::move(handler), path);
    if (password) handler->setPassword(*password);
    const ListingBound bound = listingBoundFromPreferences();
    handler->setListingBound(bound);

    std::vector<std::string> records;
    int32_t status;
    {
      TemporaryFolder folder(createTempFolderInside(userTempPath(), true));
      handler->setDocumentsTempFolder(folder.path());
      status = handler->getInfo(records);
      // The folder goes before any record becomes an item.
    }
    handler->setDocumentsTempFolder(std::nullopt);
    // Handlers that do not watch the bound while they list are held to it here.
    size_t entries = 0, nameBytes = 0;
    const size_t kept = recordsWithinBound(records, 0, bound, entries, nameBytes);
    const bool cutShort = handler->listingCutShort() || kept < records.size();
    records.resize(kept);
    // What was listed up to the bound is a listing, whatever the stopped tool reported; a caller
    // without facts learns from the status that it is not the whole archive.
    if (cutShort) status = facts ? 0 : kStatusListingCutShort;

    // Each record is let go once it is an item, so a large listing never holds both in full.
    tree.reserve(records.size());
    for (std::string& record : records) {
      tree.add(record);
      std::string().swap(record);
    }
    std::vector<std::string>().swap(records);
    // Records carry no link targets; the handler knows them, or reads them from the archive,
    // asked only when there are links to judge.
    if (facts && tree.hasLinksWithoutTarget()) tree.resolveLinks(handler->linkTargets());
    tree.finish();
    if (facts) {
      collectFacts(path, *handler, *root, *facts);
      // An encrypted listing is a state of its own, shown on a page of its own.
      if (status != 0 && status != kStatusListingEncrypted) {
        facts->listing = root->children().empty() ? ListingState::failed : ListingState::incomplete;
        facts->problem = handler->listingProblem() == ListingProblem::none ? ListingProblem::toolErrors
                                                                           : handler->listingProblem();
      }
      if (cutShort) facts->cutShortAt = static_cast<int64_t>(kept);
    }

    // Formats without per-entry packed sizes (0) and single compressed streams (-1) show the
    // archive file's own size instead.
    if (root->compV() < 1) {
      struct stat st;
      const std::optional<std::string>& url = handler->url();
      root->setCompV(url && ::lstat(url->c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0);
    }
    return status;
  } catch (...) {
    return kStatusNotSupported;
  }
}

}  // namespace

int32_t getInfo(std::string_view path, AZipItem::Ptr& root) { return listArchive(path, root, nullptr); }

int32_t getInfo(std::string_view path, AZipItem::Ptr& root, const std::string& password) {
  return listArchive(path, root, nullptr, &password);
}

int32_t getInfo(std::string_view path, AZipItem::Ptr& root, ArchiveFacts& facts) {
  facts = ArchiveFacts();
  return listArchive(path, root, &facts);
}

int32_t getInfo(std::string_view path, AZipItem::Ptr& root, ArchiveFacts& facts,
                const std::string& password) {
  facts = ArchiveFacts();
  return listArchive(path, root, &facts, &password);
}

}  // namespace tessaro
