// How much one listing may collect, in entries and in bytes of names: a small archive can name
// millions of entries, and each costs a record and an item. The preferences HLVListingMaxEntries
// and HLVListingMaxNameBytes raise or lower the defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

struct ListingBound {
  // Large enough that an archive of a million entries is listed whole.
  static constexpr size_t kDefaultMaxEntries = 2'000'000;
  static constexpr size_t kDefaultMaxNameBytes = size_t{512} << 20;

  size_t maxEntries = kDefaultMaxEntries;
  size_t maxNameBytes = kDefaultMaxNameBytes;
};

// The bound the preferences set; a missing, zero or negative value keeps the default.
ListingBound listingBoundFromPreferences();

// The bytes of the path a record names (its "path=" field), else of the whole record.
size_t recordNameBytes(std::string_view record);

// The number of leading records within `bound`, counting from `entries` records and `nameBytes`
// bytes of names already taken (both updated); records.size() when all fit.
size_t recordsWithinBound(const std::vector<std::string>& records, size_t first, const ListingBound& bound,
                          size_t& entries, size_t& nameBytes);

}  // namespace tessaro
