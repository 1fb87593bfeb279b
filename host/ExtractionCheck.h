// What shows that an extraction is whole before anything of it reaches the destination. The 7-Zip
// family and RAR report their tools' failures; for every other format the archive is read through
// libarchive where it can be, and the unpacked tree is compared with the archive's listing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "AZipItem.h"
#include "ArchiveHandler.h"

namespace tessaro::host {

// True for the handlers whose status says when their tool failed or the data was damaged.
bool handlerReportsFailures(const HandlerClass& handlerClass);
// True for the formats libarchive reads entry by entry (the others it would take as raw data).
bool libarchiveReads(const HandlerClass& handlerClass);
// True for a lone compressed stream: one file, listed with its packed size.
bool isLoneStream(const HandlerClass& handlerClass);

struct ListingComparison {
  // "NAME: why" for every listed entry missing from the tree or of another size, or left out
  // because its name leads out of the destination.
  std::vector<std::string> problems;
  // Devices, FIFOs and sockets the tool did not make (it may not, without privileges).
  std::vector<std::string> specialFiles;
};

// Compares the tree unpacked into `folder` with the listing below `root`: the whole listing, or the
// subtrees of `entries` when they are named. Sizes are compared only where the listing has them.
ListingComparison compareWithListing(const AZipItem& root, const std::vector<std::string>& entries,
                                     const std::string& folder, bool compareSizes);

}  // namespace tessaro::host
