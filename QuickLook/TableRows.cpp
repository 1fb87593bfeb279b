#include "TableRows.h"

#include <cstdio>
#include <vector>

#include "AZipItem.h"
#include "NSString+HTML.h"
#include "PathString.h"

namespace tessaro {

namespace {

// A button, so that the keyboard reaches and works it; the page's script names it and keeps
// aria-expanded with the folding. The handler's text is allowed by its hash: keep it exactly.
constexpr std::string_view kFoldToggle =
    "<button type=\"button\" class=\"open\" aria-expanded=\"true\" onClick=\"tggl(this);\">&#x25BC;</button>";
// Class names of the safety flags, in bit order, for the page's style and tests.
constexpr std::array<std::string_view, kSafetyFlagCount> kSafetyFlagClasses = {"abs", "up",    "link", "dup",
                                                                               "dev", "ratio", "ctl"};

SafetyFlagTitles englishTitles() {
  SafetyFlagTitles titles;
  for (size_t i = 0; i < titles.flags.size(); ++i) titles.flags[i] = kSafetyFlagLabels[i];
  titles.encrypted = kEncryptedEntryLabel;
  return titles;
}

// "<span class='sf sf-abs sf-dup' title='Absolute path, Duplicate path'>!</span>"
void appendSafetyMark(std::string& out, uint8_t flags, const SafetyFlagTitles& titles) {
  std::string names;
  out += "<span class='sf";
  for (size_t bit = 0; bit < kSafetyFlagClasses.size(); ++bit) {
    if (!(flags & (1u << bit))) continue;
    out += " sf-";
    out += kSafetyFlagClasses[bit];
    if (!names.empty()) names += ", ";
    names += titles.flags[bit];
  }
  out += "' title='";
  out += stringByEncodingHTMLEntities(names);
  out += "'>!</span>";
}

void appendNumber(std::string& out, int64_t value) { out += std::to_string(value); }

// The name with each direction control or invisible character shown as its code point in a
// mark of its own, so that "invoice<U+202E>fdp.exe" cannot pass for "invoiceexe.pdf".
void appendVisibleName(std::string& out, std::string_view name) {
  size_t start = 0;
  for (size_t pos = 0; pos < name.size(); ++pos) {
    char32_t codePoint = 0;
    const size_t length = hiddenCharacterAt(name, pos, &codePoint);
    if (length == 0) continue;
    out += stringByEncodingHTMLEntities(name.substr(start, pos - start));
    char mark[48];
    std::snprintf(mark, sizeof mark, "<span class='ctl'>U+%04X</span>", static_cast<unsigned>(codePoint));
    out += mark;
    pos += length - 1;
    start = pos + 1;
  }
  out += stringByEncodingHTMLEntities(name.substr(start));
}

// What the page sorts by besides the texts it shows: the sizes in bytes and the date in seconds
// since the epoch (absent when the entry has none).
void appendSortKeys(const AZipItem& item, std::string& out) {
  out += " data-s='";
  appendNumber(out, item.uncoVForDisplay());
  out += "' data-p='";
  appendNumber(out, item.compV());
  out += '\'';
  if (const auto date = item.timeV()) {
    out += " data-t='";
    appendNumber(out, date->time_since_epoch().count());
    out += '\'';
  }
}

void appendRow(AZipItem& item, std::string& out, int32_t lineNumber, int32_t level, bool simple,
               std::string_view escapedArchivePath, const SafetyFlagTitles& flagTitles) {
  const bool hasChildren = !item.children().empty();
  out += "<tr class='";
  if (simple) {
    out += (lineNumber & 1) ? "row1" : "row0";
  } else if (item.isMacItem()) {
    out += 'h';
  } else if (item.isPackage() > 0) {
    out += 'p';
  }
  out += '\'';
  appendSortKeys(item, out);
  // A path that was not UTF-8 carries its bytes (hexadecimal digits only), for the page's other
  // readings of the name.
  if (!item.rawName().empty()) {
    out += " data-raw='";
    out += item.rawName();
    out += '\'';
  }
  out += "><td class='cN' style='padding-left: ";
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
  // A name in a right-to-left script keeps its own direction, and its neighbours theirs.
  out += "'/><div class='n'><a dir='auto' href='tssro://view/";
  out += escapedArchivePath;
  out += ';';
  out += percentEscaped(item.path());
  out += "'>";
  if (item.safetyFlags() & kSafetyHiddenCharacters) {
    appendVisibleName(out, item.name());
  } else {
    out += stringByEncodingHTMLEntities(item.name());
  }
  out += "</a>";
  if (item.safetyFlags()) appendSafetyMark(out, item.safetyFlags(), flagTitles);
  if (item.isEncryptedEntry()) {
    out += "<span class='enc' title='";
    out += stringByEncodingHTMLEntities(flagTitles.encrypted);
    out += "'>&#x1F512;</span>";
  }
  out += "</div></td><td class='cD'>";
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
  static const SafetyFlagTitles english = englishTitles();
  return outputTableRowIntoMutableString(item, out, lineNumber, level, simple, archivePath, cutoffCount,
                                         english);
}

int32_t outputTableRowIntoMutableString(AZipItem& item, std::string& out, int32_t lineNumber, int32_t level,
                                        bool simple, std::string_view archivePath, int32_t cutoffCount,
                                        const SafetyFlagTitles& flagTitles) {
  const std::string escapedArchivePath = percentEscaped(archivePath);
  int32_t n = lineNumber;
  auto visit = [&](AZipItem& current, int32_t depth) {
    if (n >= 1 && n < cutoffCount) appendRow(current, out, n, depth, simple, escapedArchivePath, flagTitles);
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
