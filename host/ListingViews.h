// The forms `tessaro list` prints a listing in: aligned columns (short or long), a JSON array, and
// a tree drawn with box-drawing characters.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>

#include "AZipItem.h"

namespace tessaro::host {

// Every entry below the root, depth first in tree order, with an explicit stack: a hostile
// archive's nesting cannot exhaust the call stack. `visit` returns false to stop.
template <typename Visit>
void forEachEntry(const AZipItem& root, Visit&& visit) {
  std::vector<std::pair<const AZipItem*, size_t>> stack;
  for (auto it = root.children().rbegin(); it != root.children().rend(); ++it)
    stack.emplace_back(it->get(), 0);
  while (!stack.empty()) {
    const auto [item, depth] = stack.back();
    stack.pop_back();
    if (!item) continue;
    if (!visit(*item, depth)) return;
    for (auto it = item->children().rbegin(); it != item->children().rend(); ++it)
      stack.emplace_back(it->get(), depth + 1);
  }
}

// `text` with control characters and backslashes escaped (\t, \n, \x01, \\): one entry, one line.
void appendEscaped(std::string& out, std::string_view text);

// The columns: attributes, size in words, "YYYY-MM-DD HH:MM" in local time, path. `longForm`
// adds the packed size, exact byte counts, seconds, method, CRC and the lock of encrypted entries.
bool printColumns(const AZipItem& root, bool longForm, std::FILE* out);

// A JSON array of one object per entry (the schema is in docs/cli.md). `linkTargets` holds the
// targets the format records, by entry path.
bool printJson(const AZipItem& root, const std::unordered_map<std::string, std::string>& linkTargets,
               std::FILE* out);

struct TreeStyle {
  size_t width = 80;    // lines are cut to this many columns
  bool colour = false;  // ANSI colours for folders, archives and links
};
bool printTree(const AZipItem& root, std::string_view archiveName, const TreeStyle& style, std::FILE* out);

// The width of the terminal on standard output, else $COLUMNS, else 80.
size_t terminalWidth();

}  // namespace tessaro::host
