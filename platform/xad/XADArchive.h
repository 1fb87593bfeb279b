// An archive read through the XAD parsers of Debian's unar package: `lsar` lists it once into
// compact entries, `unar` extracts. cpio archives and Debian packages are listed with libarchive
// instead, to the same values, unless the caller asks for lsar alone. Data and resource forks of
// one file are one entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plist/PropertyList.h"

namespace tessaro {

class XADArchive;

// Keys of attributesOfEntry, named as the platform's file attributes.
inline constexpr const char* kXADFileModificationDate = "NSFileModificationDate";
inline constexpr const char* kXADFilePosixPermissions = "NSFilePosixPermissions";
inline constexpr const char* kXADFileType = "NSFileType";
inline constexpr const char* kXADFileSize = "NSFileSize";

// Error codes handed to archiveExtractionOfEntryDidFail.
enum XADError : int {
  kXADErrorTool = 1,        // lsar or unar could not be run
  kXADErrorUnsafeName = 2,  // absolute name or a ".." component: never written
  kXADErrorFailed = 3,      // unar reported a failure
  kXADErrorBreak = 4,       // stopped on the delegate's request
  // An encrypted archive with a password: unar takes one only on its command line, where every
  // local user can read it, so it is not run.
  kXADErrorPasswordRefused = 5,
};

// Called synchronously, on the extracting thread.
class XADArchiveDelegate {
 public:
  virtual ~XADArchiveDelegate() = default;
  // 0 aborts the extraction; any other answer goes on with the next entry.
  virtual int archiveExtractionOfEntryDidFail(XADArchive& archive, int entry, int error) = 0;
  virtual void archiveExtractionProgressBytes(XADArchive& archive, int64_t bytes, int64_t total) = 0;
  // Asked while unar runs; true terminates it.
  virtual bool archiveExtractionShouldStop(XADArchive& archive) = 0;
};

// How much one listing reads: past either count it stops (lsar is stopped as it writes) and the
// archive says that its listing was cut short.
struct XADListingBound {
  size_t maxEntries = SIZE_MAX;
  size_t maxNameBytes = SIZE_MAX;
};

// Who lists an archive: libarchive for what it reads to the same values (cpio, Debian packages)
// and lsar for the rest, or lsar alone, to compare the two.
enum class XADLister { preferLibarchive, lsarOnly };

class XADArchive {
 public:
  // None when lsar does not recognise or cannot read the file. Wrapped archives (BinHex,
  // MacBinary, gzip) are listed as the wrapper's own single entry.
  static std::unique_ptr<XADArchive> initWithFile(const std::string& path, XADListingBound bound = {},
                                                  XADLister lister = XADLister::preferLibarchive);
  // Like initWithFile, but a wrapper holding one archive lists the archive inside.
  static std::unique_ptr<XADArchive> recursiveArchiveForFile(const std::string& path,
                                                             XADListingBound bound = {},
                                                             XADLister lister = XADLister::preferLibarchive);

  XADArchive(const XADArchive&) = delete;
  XADArchive& operator=(const XADArchive&) = delete;

  void setDelegate(XADArchiveDelegate* delegate) { delegate_ = delegate; }
  XADArchiveDelegate* delegate() const { return delegate_; }
  // Never handed to unar: extraction of an encrypted archive with a password set fails with
  // kXADErrorPasswordRefused instead (an archive with nothing encrypted ignores it).
  void setPassword(std::string password) { password_ = std::move(password); }

  bool isEncrypted() const { return encrypted_; }
  // True when the listing stopped at its bound: the entries are the first ones only.
  bool listingCutShort() const { return cutShort_; }
  int numberOfEntries() const { return static_cast<int>(entries_.size()); }
  // Out-of-range indices give empty answers throughout.
  PlistDictionary attributesOfEntry(int n) const;
  // The data fork's parser keys, or the resource fork's for an entry that has no data fork.
  PlistDictionary combinedParserDictionaryForEntry(int n) const;
  std::string nameOfEntry(int n) const;
  bool entryIsDirectory(int n) const;
  bool entryIsEncrypted(int n) const;
  bool entryHasResourceFork(int n) const;
  // {"XADIndex": the fork's index in lsar's listing, "MacOriginalDictionary": its parser keys}.
  PlistDictionary resourceForkParserDictionaryForEntry(int n) const;

  // Every entry with a safe name into `folder`; false when unar failed or was stopped.
  bool extractTo(const std::string& folder);
  bool extractEntry(int n, const std::string& folder, bool overrideWritePermissions);

  // One fork as lsar reports it.
  struct Fork {
    int64_t index = -1;  // lsar's XADIndex; -1 when the entry has no such fork
    int64_t size = 0;
    int64_t compressedSize = 0;
    int64_t modified = 0;  // seconds since 1970, UTC
    uint32_t permissions = 0;
    bool hasModified = false;
    bool hasPermissions = false;
    bool isDirectory = false;
    bool isEncrypted = false;
  };
  struct Entry {
    std::string name;
    Fork data;
    Fork rsrc;
    // The file that held the resource fork (an AppleDouble "._" file), when lsar names one.
    int32_t original = -1;
  };
  struct Original {
    std::string name;
    Fork fork;
  };
  // Forks in a lister's order, each still an entry of its own: a data fork in `data`, a resource
  // fork in `rsrc` (its AppleDouble file, when there is one, at `original` in `originals`).
  struct Listing {
    std::vector<Entry> forks;
    std::vector<bool> isResourceFork;
    std::vector<Original> originals;
    bool cutShort = false;  // stopped at the bound
  };

 private:
  XADArchive() = default;
  static std::unique_ptr<XADArchive> open(const std::string& path, bool recursive, XADListingBound bound,
                                          XADLister lister);
  // lsar's JSON listing; `truncated` when lsar was stopped at the bound part way through it.
  bool parseListing(const std::string& json, bool truncated);
  // Joins each resource fork to the data fork of the same name and keeps the entries.
  void assemble(Listing listing);
  const Entry* entry(int n) const;
  PlistDictionary forkDictionary(const Entry& e, const Fork& fork, bool resourceFork) const;
  // Runs unar on the given lsar indices (all entries when empty); false on failure or stop.
  bool runUnar(const std::vector<int64_t>& indices, const std::string& folder, int64_t total,
               int entryForErrors);

  std::string path_;
  bool recursive_ = false;
  bool encrypted_ = false;
  bool cutShort_ = false;
  std::string password_;
  XADArchiveDelegate* delegate_ = nullptr;
  std::vector<Entry> entries_;
  std::vector<Original> originals_;
};

// True for a name that stays inside the folder it is extracted into: not absolute, no ".."
// component.
bool isSafeEntryName(const std::string& name);

}  // namespace tessaro
