// The tar handler's line rules on arbitrary text in place of Perl's rewrite of tar's listing,
// with the records then built into a tree: every record kept must be one line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveHandlerTar.h"
#include "ListingTree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> records;
  tessaro::appendTarListingRecords(std::string_view(reinterpret_cast<const char*>(data), size), records);
  for (const std::string& record : records)
    if (record.find('\n') != std::string::npos) abort();
  tessaro::ListingTree tree;
  tree.addAll(records);
  (void)tree.finish();
  return 0;
}
