#include "PreviewPage.h"

#include <sys/stat.h>
#include <syslog.h>

#include <climits>
#include <fstream>
#include <random>
#include <sstream>

#include "AZipItem.h"
#include "ArchiveFacts.h"
#include "DataURIStyle.h"
#include "ListingPipeline.h"
#include "NSString+HTML.h"
#include "PathString.h"
#include "PreviewConfiguration.h"
#include "ProcessGlobals.h"
#include "TableRows.h"
#include "TypeCache.h"
#include "bundle/Bundle.h"
#include "defaults/UserDefaults.h"
#include "helpers.h"
#include "icons/Icons.h"
#include "log/SystemLog.h"

namespace tessaro {

namespace {

constexpr int32_t kEncryptedListing = 100;
constexpr std::string_view kArchiveIconId = "image001";
constexpr std::string_view kScripts[] = {"effects.js", "config.js", "tessaroql.js"};
constexpr std::string_view kReportPlaceholder = "%archive_report%";

std::optional<std::string> readResource(const Bundle& bundle, std::string_view name) {
  const auto path = bundle.pathForResource(name);
  if (!path) return std::nullopt;
  std::ifstream in(*path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int32_t clampedInteger(std::string_view key) {
  const int64_t value = UserDefaults::standard().integerForKey(key);
  return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
}

// ---- The archive report

// Escaped for the page, with "%" written as a character reference so that the text can hold no
// placeholder of the steps that follow.
std::string pageText(std::string_view text) {
  std::string escaped = stringByEncodingHTMLEntities(text);
  replaceAll(escaped, "%", "&#37;");
  return escaped;
}

std::string label(const Bundle& labels, std::string_view key) { return pageText(labels.localizedString(key)); }

void appendRow(std::string& out, std::string_view term, std::string_view id, std::string_view description) {
  out += "<dt>";
  out += term;
  out += "</dt><dd id=\"";
  out += id;
  out += "\">";
  out += description;
  out += "</dd>\n";
}

std::string joinedNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += ", ";
    out += pageText(name);
  }
  return out;
}

// A placeholder for the report that no name in the page can spell, so that the texts filled in
// before it (names, paths, presets) are never taken for it.
std::string reportToken() {
  std::random_device random;
  char token[40];
  std::snprintf(token, sizeof token, "%%archive_report_%08x%08x%%", random(), random());
  return token;
}

}  // namespace

std::string archiveReport(const ArchiveFacts& facts, std::string_view totalSize, const Bundle& labels) {
  try {
    std::string out;
    constexpr std::string_view separator = " \u00B7 ";

    if (facts.topLevelCount > 0) {
      std::string verdict;
      if (facts.singleFolder) {
        verdict = "<span class=\"ok\">" + label(labels, "Extracts into one folder") + " <b>" +
                  pageText(*facts.singleFolder) + "</b></span>";
      } else {
        std::string text = labels.localizedString(facts.topLevelCount == 1
                                                      ? "One loose item would land in the destination"
                                                      : "%d loose items would land in the destination");
        replaceAll(text, "%d", std::to_string(facts.topLevelCount));
        verdict = "<span class=\"warn\">" + pageText(text) + "</span>";
      }
      verdict += ", ";
      verdict += pageText(totalSize);
      appendRow(out, label(labels, "Extraction"), "verdict", verdict);
    }

    if (facts.volumes) {
      const VolumeSet& set = *facts.volumes;
      std::string text = label(labels, "Present") + ": " + joinedNames(set.present);
      if (!set.missing.empty())
        text += std::string(separator) + "<span class=\"warn\">" + label(labels, "Missing") + ": " +
                joinedNames(set.missing) + "</span>";
      if (set.lastMissing)
        text += std::string(separator) + "<span class=\"warn\">" + label(labels, "The last volume is missing") +
                "</span>";
      if (set.openedNotFirst)
        text += std::string(separator) + "<span class=\"warn\">" +
                label(labels, "The opened file is not the first volume") + "</span>";
      appendRow(out, label(labels, "Volumes"), "volumes", text);
    }

    std::string encryption;
    switch (facts.encryption) {
      case EncryptionLevel::none: encryption = label(labels, "None"); break;
      case EncryptionLevel::contents: encryption = label(labels, "Contents only"); break;
      case EncryptionLevel::names: encryption = label(labels, "Contents and names"); break;
    }
    appendRow(out, label(labels, "Archive"), "archive-facts",
              label(labels, facts.solid ? "Solid" : "Not solid") + std::string(separator) +
                  label(labels, "Encryption") + ": " + encryption + std::string(separator) +
                  label(labels, "Volumes") + ": " + std::to_string(facts.volumeCount));

    if (!facts.comment.empty()) appendRow(out, label(labels, "Comment"), "comment", pageText(facts.comment));

    std::string safety;
    for (size_t bit = 0; bit < facts.flagCounts.size(); ++bit) {
      if (facts.flagCounts[bit] == 0) continue;
      if (!safety.empty()) safety += separator;
      safety += "<span class=\"warn\">" + label(labels, kSafetyFlagLabels[bit]) + ": " +
                std::to_string(facts.flagCounts[bit]) + "</span>";
    }
    if (safety.empty()) safety = "<span class=\"ok\">" + label(labels, "No warnings") + "</span>";
    // Nothing listed, nothing judged.
    if (facts.topLevelCount > 0) appendRow(out, label(labels, "Safety"), "safety", safety);
    return out;
  } catch (...) {
    return {};
  }
}

std::optional<std::string> makePreviewPage(std::string_view archivePath) {
  theTypeCache() = std::make_shared<TypeCache>();
  TypeCache& cache = *theTypeCache();

  setUpPreviewDefaults(bundlePath());
  const int32_t simpleThreshold = clampedInteger("simpleThreshold");
  const int32_t cutoffCount = clampedInteger("cutoffCount");

  AZipItem::Ptr root;
  ArchiveFacts facts;
  const int32_t result = getInfo(archivePath, root, facts);
  if (result < 0) {
    systemLog(LOG_ERR, "Couldn't get managed object!");
    return std::nullopt;
  }

  const Bundle labels(bundlePath());
  auto page = readResource(labels, result == kEncryptedListing ? "index_encrypted.html" : "index.html");
  if (!page) {
    HLVLog(kLogError, "The preview template is missing from %s", bundlePath().c_str());
    return std::nullopt;
  }

  const std::string reportPlaceholder = reportToken();
  replaceAll(*page, kReportPlaceholder, reportPlaceholder);

  const bool simple = root->itemCount() >= simpleThreshold;
  // The generic document's icon must be in the cache before the icon styles are made.
  if (simple) cache.iconForType(kDocumentTypeKey);

  replaceAll(*page, "%config%", configurationScript(simple));
  for (const std::string_view key : kPageLabelKeys) replaceWithLocalizedString(labels, *page, key);

  struct stat attributes{};
  const bool haveAttributes = ::lstat(std::string(archivePath).c_str(), &attributes) == 0;
  replaceAll(*page, "%resource_path%", bundlePath());
  replaceAll(*page, "%name%", stringByEncodingHTMLEntities(lastPathComponent(archivePath)));
  replaceAll(*page, "%icon%", kArchiveIconId);
  replaceAll(*page, "%path%", deletingLastPathComponent(archivePath));
  replaceAll(*page, "%kind%", cache.nameForType(pathExtension(archivePath)).value_or(""));
  replaceAll(*page, "%time%",
             formatDate(haveAttributes ? std::optional<Date>(Date(std::chrono::seconds(attributes.st_mtim.tv_sec)))
                                       : std::nullopt));
  replaceAll(*page, "%unco%", root->unco());
  replaceAll(*page, "%comp%", formatSize(haveAttributes ? attributes.st_size : 0));
  replaceAll(*page, "%archive_path%", percentEscaped(archivePath));
  replaceAll(*page, "%presets%", presetsAsOptions());
  replaceAll(*page, "%items%", itemCountText(labels, root->itemCount(), cutoffCount));
  replaceAll(*page, reportPlaceholder, archiveReport(facts, root->unco(), labels));
  for (const std::string_view key : kListingToolLabelKeys) replaceWithLocalizedString(labels, *page, key);

  std::string styles;
  if (result == 0) {
    std::string table;
    table.reserve(static_cast<size_t>(std::min(root->itemCount(), std::max(cutoffCount, 0))) * 800);
    SafetyFlagTitles flagTitles;
    for (size_t bit = 0; bit < flagTitles.flags.size(); ++bit)
      flagTitles.flags[bit] = labels.localizedString(kSafetyFlagLabels[bit]);
    flagTitles.encrypted = labels.localizedString(kEncryptedEntryLabel);
    outputTableRowIntoMutableString(*root, table, 0, 0, simple, archivePath, cutoffCount, flagTitles);
    if (!table.empty()) replaceAll(*page, "%table_data%", table);

    styles.reserve(simple ? 352000 : 350000 + 1000 * cache.dict().size());
    for (const auto& [key, item] : cache.dict()) {
      if (simple && key != kFolderTypeKey && key != kDocumentTypeKey) continue;
      if (item && item->icon())
        styles += makeDataURIStyleForImage(item->icon()->drawnIntoSquare(TypeCacheItem::kIconSize), "b_" + key,
                                           TypeCacheItem::kIconSize);
    }
  }
  if (const auto icon = iconForFile(archivePath, TypeCacheItem::kLargeIconSize))
    styles += makeDataURIStyleForImage(*icon, kArchiveIconId, TypeCacheItem::kLargeIconSize);
  replaceAll(*page, "%image-styles%", styles);

  for (const std::string_view script : kScripts) {
    const auto text = readResource(labels, script);
    std::string placeholder(1, '%');
    placeholder.append(script).push_back('%');
    replaceAll(*page, placeholder, text.value_or(""));
  }
  return page;
}

}  // namespace tessaro
