#include "PathSets.h"

#include <algorithm>
#include <unordered_set>

#include "AZipItem.h"
#include "HelperSupport.h"
#include "PathString.h"

namespace tessaro {

using detail::guarded;

namespace {

// The path without repeated or trailing slashes ("/" stays "/").
std::string normalizedPath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

struct PathComponents {
  bool absolute = false;
  std::vector<std::string_view> parts;
};

PathComponents splitPath(std::string_view path) {
  PathComponents result;
  result.absolute = !path.empty() && path.front() == '/';
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > pos) result.parts.push_back(path.substr(pos, slash - pos));
    pos = slash + 1;
  }
  return result;
}

}  // namespace

bool stringArrayContainsString(const std::vector<std::string>& paths, std::string_view path) {
  return std::any_of(paths.begin(), paths.end(), [&](const std::string& element) {
    return element == path || (!element.empty() && element.back() == '/' && path.starts_with(element));
  });
}

std::vector<std::string> reducePaths(const std::vector<std::string>& paths) {
  return guarded(std::vector<std::string>{}, [&] {
    std::vector<std::string> result;
    std::unordered_set<std::string> kept;
    for (const std::string& path : paths) {
      std::string normal = normalizedPath(path);
      bool inside = false;
      // A path equal to a kept one counts as inside it; otherwise look at every folder above it.
      for (std::string_view folder = normal; !folder.empty();) {
        if (kept.count(std::string(folder))) {
          inside = true;
          break;
        }
        std::string_view up = deletingLastPathComponent(folder);
        if (up.size() >= folder.size()) break;
        folder = up;
      }
      if (inside) continue;
      kept.insert(std::move(normal));
      result.push_back(path);
    }
    return result;
  });
}

std::vector<std::shared_ptr<AZipItem>> reduceItems(const std::vector<std::shared_ptr<AZipItem>>& items) {
  using List = std::vector<std::shared_ptr<AZipItem>>;
  return guarded(List{}, [&] {
    // Far deeper than any real tree; only stops a parent cycle that a faulty caller made.
    constexpr int kMaxDepth = 1 << 20;
    List result;
    std::unordered_set<const AZipItem*> kept;
    for (const auto& item : items) {
      if (!item) continue;
      bool inside = kept.count(item.get()) > 0;
      auto ancestor = item->parent();
      for (int depth = 0; !inside && ancestor && depth < kMaxDepth; ++depth) {
        inside = kept.count(ancestor.get()) > 0;
        ancestor = ancestor->parent();
      }
      if (inside) continue;
      kept.insert(item.get());
      result.push_back(item);
    }
    return result;
  });
}

std::optional<std::string> commonParent(const std::optional<std::string>& a,
                                        const std::optional<std::string>& b) {
  if (!a) return b;
  if (!b) return a;
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    PathComponents first = splitPath(*a), second = splitPath(*b);
    if (first.absolute != second.absolute) return "/";
    size_t shared = 0;
    while (shared < first.parts.size() && shared < second.parts.size() &&
           first.parts[shared] == second.parts[shared])
      ++shared;
    std::string parent = first.absolute ? "/" : "";
    for (size_t i = 0; i < shared; ++i) parent = appendingPathComponent(parent, first.parts[i]);
    return parent.empty() ? "/" : parent;
  });
}

}  // namespace tessaro
