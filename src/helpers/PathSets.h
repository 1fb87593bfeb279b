// Sets of paths and items: membership, nesting and their common folder.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

class AZipItem;

// True when `path` is in the list, or lies inside one of its entries that ends in "/".
bool stringArrayContainsString(const std::vector<std::string>& paths, std::string_view path);
// The paths in order, leaving out each path that lies inside a path kept before it.
std::vector<std::string> reducePaths(const std::vector<std::string>& paths);
std::vector<std::shared_ptr<AZipItem>> reduceItems(const std::vector<std::shared_ptr<AZipItem>>& items);
// The longest common leading folder of two paths ("/" when they share nothing).
std::optional<std::string> commonParent(const std::optional<std::string>& a,
                                        const std::optional<std::string>& b);

}  // namespace tessaro
