#include "ExtractionCheck.h"

#include <sys/stat.h>

#include <string_view>

#include "ArchiveFacts.h"
#include "ArchiveHandler7z.h"
#include "ArchiveHandlerRar.h"
#include "ArchiveHandlerStream.h"
#include "ArchiveHandlerStreamFilter.h"
#include "ArchiveHandlerTar.h"
#include "ArchiveHandlerXad.h"
#include "ArchiveHandlerXar.h"
#include "ArchiveSession.h"
#include "PathString.h"

namespace tessaro::host {

namespace {

// The listing's attribute text starts with the type letter ls prints.
bool isSpecial(const AZipItem& item) {
  const std::string& attr = item.attr();
  return !attr.empty() && (attr[0] == 'c' || attr[0] == 'b' || attr[0] == 'p' || attr[0] == 's');
}

void compareItem(const AZipItem& item, const std::string& folder, bool compareSizes, ListingComparison& out) {
  for (const AZipItem::Ptr& child : item.children())
    if (child) compareItem(*child, folder, compareSizes, out);
  if (item.isDir() || item.path().empty()) return;
  std::string path(item.path());
  if (hasParentComponent(path)) {  // tools leave such entries out or cut the name down
    out.problems.push_back(path + ": its name leads out of the destination");
    return;
  }
  // A name the listing could only show converted is not looked for under that name, and a Mac
  // resource fork comes out in a form of the tool's choosing (NAME.rsrc, an AppleDouble file).
  if (!item.rawName().empty() || (item.safetyFlags() & kSafetyDuplicatePath) || item.rsrcV() > 0) return;
  // Tools take a leading "/" off.
  while (path.starts_with("/")) path.erase(0, 1);
  struct stat st;
  if (::lstat(appendingPathComponent(folder, path).c_str(), &st) != 0) {
    if (isSpecial(item)) {
      out.specialFiles.push_back(path);
    } else {
      out.problems.push_back(path + ": missing after extraction");
    }
    return;
  }
  if (!compareSizes || item.isSymlink() || !S_ISREG(st.st_mode) || item.uncoV() <= 0) return;
  if (st.st_size < item.uncoV()) {
    out.problems.push_back(path + ": data is truncated");
  } else if (st.st_size > item.uncoV()) {
    out.problems.push_back(path + ": larger than the archive says");
  }
}

}  // namespace

bool handlerReportsFailures(const HandlerClass& c) {
  return c.isSubclassOf(AHandler7ZipBase::metaclass()) || c.isSubclassOf(AHandlerRar::metaclass());
}

bool isLoneStream(const HandlerClass& c) {
  return c.isSubclassOf(AHandlerGZip::metaclass()) || c.isSubclassOf(AHandlerBZip::metaclass()) ||
         c.isSubclassOf(AHandlerXz::metaclass()) || c.isSubclassOf(AHandlerStreamFilter::metaclass());
}

bool libarchiveReads(const HandlerClass& c) {
  return isLoneStream(c) || c.isSubclassOf(AHandlerTar::metaclass()) ||
         c.isSubclassOf(AHandlerXar::metaclass()) || c.isSubclassOf(AHandlerCpio::metaclass()) ||
         c.isSubclassOf(AHandlerDeb::metaclass()) || c.isSubclassOf(AHandlerAr::metaclass()) ||
         c.isSubclassOf(AHandlerLzh::metaclass());
}

ListingComparison compareWithListing(const AZipItem& root, const std::vector<std::string>& entries,
                                     const std::string& folder, bool compareSizes) {
  ListingComparison out;
  if (entries.empty()) {
    compareItem(root, folder, compareSizes, out);
    return out;
  }
  for (const std::string& entry : entries) {
    if (const AZipItem* item = findItem(root, entry)) compareItem(*item, folder, compareSizes, out);
  }
  return out;
}

}  // namespace tessaro::host
