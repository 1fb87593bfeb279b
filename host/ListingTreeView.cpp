// `tessaro list --tree`: the entries drawn as a tree, each line cut to the width given, names
// shortened in the middle of the line with an ellipsis.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ListingViews.h"
#include "PathString.h"

namespace tessaro::host {

namespace {

constexpr std::string_view kBranch = "├── ";
constexpr std::string_view kLastBranch = "└── ";
constexpr std::string_view kStem = "│   ";
constexpr std::string_view kGap = "    ";
constexpr size_t kIndentColumns = 4;
// Deeper levels are drawn at this depth: a hostile nesting cannot push names off every line.
constexpr size_t kMaxDrawnDepth = 64;

constexpr std::string_view kFolderColour = "\033[1;34m";
constexpr std::string_view kArchiveColour = "\033[1;31m";
constexpr std::string_view kLinkColour = "\033[1;36m";
constexpr std::string_view kPlain = "\033[0m";

constexpr std::string_view kArchiveExtensions[] = {
    "zip", "7z",   "rar", "tar", "gz",  "tgz", "bz2", "tbz", "xz",  "txz", "zst", "xar", "cpio",
    "sit", "sitx", "lzh", "cab", "jar", "deb", "rpm", "iso", "wim", "dmg", "lha", "arj", "z"};

bool looksLikeArchive(std::string_view name) {
  std::string extension(pathExtension(name));
  for (char& c : extension) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  for (const std::string_view known : kArchiveExtensions)
    if (extension == known) return true;
  return false;
}

// The name shown on one line: control characters escaped, then cut to `columns` code points with an
// ellipsis at the end. Counting code points is exact for most scripts; wide characters overrun.
std::string fitted(std::string_view name, size_t columns) {
  std::string escaped;
  appendEscaped(escaped, name);
  size_t count = 0;
  for (const char c : escaped) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  if (count <= columns) return escaped;
  if (columns == 0) return {};
  std::string out;
  size_t kept = 0;
  for (size_t i = 0; i < escaped.size(); ++i) {
    const bool starts = (static_cast<unsigned char>(escaped[i]) & 0xC0) != 0x80;
    if (starts && ++kept > columns - 1) break;
    out += escaped[i];
  }
  return out + "…";
}

}  // namespace

size_t terminalWidth() {
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(columns, &end, 10);
    if (end != columns && *end == '\0' && value > 0 && value < 10000) return value;
  }
  return 80;
}

bool printTree(const AZipItem& root, std::string_view archiveName, const TreeStyle& style, std::FILE* file) {
  std::string out;
  const size_t width = std::max<size_t>(style.width, 8);
  out += fitted(archiveName, width);
  out += '\n';
  // Per drawn depth: whether the entry there is its folder's last, so deeper lines leave a gap.
  std::vector<bool> lastAt;
  bool written = true;
  forEachEntry(root, [&](const AZipItem& item, size_t depth) {
    const AZipItem::Ptr parent = item.parent();
    const auto& siblings = parent ? parent->children() : root.children();
    const bool last = !siblings.empty() && siblings.back().get() == &item;
    const size_t drawn = std::min(depth, kMaxDrawnDepth);
    lastAt.resize(drawn + 1);
    lastAt[drawn] = last;
    for (size_t level = 0; level < drawn; ++level) out += lastAt[level] ? kGap : kStem;
    out += last ? kLastBranch : kBranch;
    const size_t used = (drawn + 1) * kIndentColumns;
    const size_t room = width > used ? width - used : 0;
    std::string name = item.name().empty() ? std::string(lastPathComponent(item.path())) : item.name();
    if (item.isDir()) name += '/';
    const std::string shown = fitted(name, room);
    std::string_view colour;
    if (style.colour) {
      colour = item.isDir()             ? kFolderColour
               : item.isSymlink()       ? kLinkColour
               : looksLikeArchive(name) ? kArchiveColour
                                        : "";
    }
    out += colour;
    out += shown;
    if (!colour.empty()) out += kPlain;
    out += '\n';
    if (out.size() >= 64 * 1024) {
      written = std::fwrite(out.data(), 1, out.size(), file) == out.size() && written;
      out.clear();
    }
    return true;
  });
  written = std::fwrite(out.data(), 1, out.size(), file) == out.size() && written;
  return std::fflush(file) == 0 && written;
}

}  // namespace tessaro::host
