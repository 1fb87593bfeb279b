#include "TableRows.h"

#include <vector>

#include "AZipItem.h"
#include "NSString+HTML.h"
#include "PathString.h"

namespace tessaro {

namespace {

constexpr std::string_view kFoldToggle = "<div class=\"open\" onClick=\"tggl(this);\">&#x25BC;</div>";

void appendNumber(std::string& out, int64_t value) { out += std::to_string(value); }

void appendRow(AZipItem& item, std::string& out, int32_t lineNumber, int32_t level, bool simple,
               std::string_view escapedArchivePath) {
  const bool hasChildren = !item.children().empty();
  out += "<tr class='";
  if (simple) {
    out += (lineNumber & 1) ? "row1" : "row0";
  } else if (item.isMacItem()) {
    out += 'h';
  } else if (item.isPackage() > 0) {
    out += 'p';
  }
  out += "'><td class='cN' style='padding-left: ";
  appendNumber(out, int64_t{18} * level);
  out += "px;'>";
  if (!simple && hasChildren) out += kFoldToggle;
  out += "<img class='i' id='";
  if (simple) {
    out += hasChildren ? "b_fold" : "b_____";
  } else {
    // The type key comes from an entry's name; escaped, the element's id is still exactly
    // "b_" + key, and no name can end the attribute.
    out += "b_";
    out += stringByEncodingHTMLEntities(item.filetype());
  }
  out += "'/><div class='n'><a href='tssro://view/";
  out += escapedArchivePath;
  out += ';';
  out += percentEscaped(item.path());
  out += "'>";
  out += stringByEncodingHTMLEntities(item.name());
  out += "</a></div></td><td class='cD'>";
  out += item.time();
  out += "</td><td class='cS'>";
  out += item.unco();
  out += "</td><td class='cP'>";
  out += item.comp();
  out += "</td><td class='cK'>";
  out += item.kind();
  out += "</td><td class='cA'>";
  // Attribute texts come from the archive too; escaping leaves ordinary ones unchanged.
  out += stringByEncodingHTMLEntities(item.attr());
  out += "</td></tr>";
}

}  // namespace

int32_t outputTableRowIntoMutableString(AZipItem& item, std::string& out, int32_t lineNumber, int32_t level,
                                        bool simple, std::string_view archivePath, int32_t cutoffCount) {
  const std::string escapedArchivePath = percentEscaped(archivePath);
  int32_t n = lineNumber;
  auto visit = [&](AZipItem& current, int32_t depth) {
    if (n >= 1 && n < cutoffCount) appendRow(current, out, n, depth, simple, escapedArchivePath);
  };

  // Depth-first pre-order without recursion (a listing may nest tens of thousands of levels).
  // A folder stops after the child whose walk reached the cutoff, and so does every ancestor:
  // past the limit the walk only runs down the first-child chain of the first item beyond it.
  struct Frame {
    AZipItem* item;
    int32_t level;
    size_t next;
  };
  visit(item, level);
  std::vector<Frame> stack{{&item, level, 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.item->children().size()) {
      AZipItem* child = top.item->children()[top.next++].get();
      const int32_t childLevel = top.level + 1;
      if (n < INT32_MAX) ++n;
      visit(*child, childLevel);
      stack.push_back({child, childLevel, 0});
      continue;
    }
    stack.pop_back();
    if (!stack.empty() && n >= cutoffCount) break;
  }
  return n;
}

}  // namespace tessaro
