#include "ListingBound.h"

#include <algorithm>

#include "defaults/UserDefaults.h"

namespace tessaro {

namespace {

size_t preferredSize(std::string_view key, size_t fallback) {
  const int64_t value = UserDefaults::standard().integerForKey(key);
  return value > 0 ? static_cast<size_t>(value) : fallback;
}

}  // namespace

ListingBound listingBoundFromPreferences() {
  ListingBound bound;
  bound.maxEntries = preferredSize("HLVListingMaxEntries", ListingBound::kDefaultMaxEntries);
  bound.maxNameBytes = preferredSize("HLVListingMaxNameBytes", ListingBound::kDefaultMaxNameBytes);
  return bound;
}

size_t recordNameBytes(std::string_view record) {
  constexpr std::string_view kPathField = "path=";
  if (!record.starts_with(kPathField)) return record.size();
  const size_t end = record.find('\t');
  return (end == std::string_view::npos ? record.size() : end) - kPathField.size();
}

size_t recordsWithinBound(const std::vector<std::string>& records, size_t first, const ListingBound& bound,
                          size_t& entries, size_t& nameBytes) {
  for (size_t i = first; i < records.size(); ++i) {
    const size_t bytes = recordNameBytes(records[i]);
    if (entries >= bound.maxEntries || bytes > bound.maxNameBytes - std::min(nameBytes, bound.maxNameBytes))
      return i;
    ++entries;
    nameBytes += bytes;
  }
  return records.size();
}

}  // namespace tessaro
