#include "PreviewPage.h"

#include <sys/stat.h>
#include <syslog.h>

#include <chrono>
#include <climits>
#include <deque>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "AZipItem.h"
#include "ArchiveFacts.h"
#include "DataURIStyle.h"
#include "ListingPipeline.h"
#include "NSString+HTML.h"
#include "PathString.h"
#include "PreviewConfiguration.h"
#include "PreviewRecords.h"
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

constexpr std::string_view kArchiveIconId = "image001";
// After the packed size of a set of volumes: how many pieces it counts.
constexpr std::string_view kPackedPiecesFormat = "in %d pieces";
constexpr std::string_view kScripts[] = {"effects.js", "config.js", "tessaroql.js"};

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

std::string pageText(std::string_view text) { return stringByEncodingHTMLEntities(text); }

std::string label(const Bundle& labels, std::string_view key) {
  return pageText(labels.localizedString(key));
}

void appendRow(std::string& out, std::string_view term, std::string_view id, std::string_view description) {
  out += "<dt>";
  out += term;
  out += "</dt><dd id=\"";
  out += id;
  out += "\">";
  out += description;
  out += "</dd>\n";
}

// The header's words for why a listing stopped; every problem has its own.
std::string_view problemLabel(ListingProblem problem) {
  switch (problem) {
    case ListingProblem::endsEarly:
      return "The file ends before the archive does: it is cut short or still being written";
    case ListingProblem::notReadable: return "The file cannot be read as an archive of its kind";
    case ListingProblem::damagedHeaders: return "The archive's headers are damaged";
    case ListingProblem::none:
    case ListingProblem::toolErrors: break;
  }
  return "The listing tool reported errors";
}

std::string joinedNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += ", ";
    out += pageText(name);
  }
  return out;
}

// The page from its template in one pass: each "%key%" the template spells is replaced by its
// value, once, and a value is never searched for placeholders itself, so that nothing an archive
// names (a file called "%path%.zip", a folder named like markup) can pull other text into the page.
// A "%" that starts no known placeholder stays as it is.
std::string filledTemplate(std::string_view text,
                           const std::unordered_map<std::string_view, std::string_view>& values) {
  std::string out;
  size_t reserve = text.size();
  for (const auto& [key, value] : values) reserve += value.size();
  out.reserve(reserve);
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open = text.find('%', pos);
    if (open == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    const size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) {
      pos = open;
      break;
    }
    const auto found = values.find(text.substr(open + 1, close - open - 1));
    if (found == values.end()) {
      // The closing "%" may open the next placeholder.
      out += '%';
      pos = open + 1;
      continue;
    }
    out.append(found->second);
    pos = close + 1;
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace

std::string archiveReport(const ArchiveFacts& facts, std::string_view totalSize, const Bundle& labels) {
  try {
    std::string out;
    constexpr std::string_view separator = " \u00B7 ";

    // What was not read is not judged: no verdict and no safety line then, and no claim that
    // nothing is encrypted. A listing stopped at its bound says so too; the verdict would speak for
    // entries nobody has seen.
    const bool complete = facts.listing == ListingState::complete;
    if (!complete)
      appendRow(
          out, label(labels, "Listing"), "listing-state",
          "<span class=\"warn\">" +
              label(labels, facts.listing == ListingState::failed ? "Listing failed" : "Listing incomplete") +
              ": " + label(labels, problemLabel(facts.problem)) + "</span>");
    if (facts.cutShortAt) {
      std::string text = labels.localizedString("Listing cut short at %d entries");
      replaceAll(text, "%d", std::to_string(*facts.cutShortAt));
      appendRow(out, label(labels, "Listing"), "cut-short",
                "<span class=\"warn\">" + pageText(text) + "</span>");
    }

    if (complete && facts.topLevelCount > 0 && !facts.cutShortAt) {
      std::string verdict;
      if (facts.singleFolder) {
        verdict = "<span class=\"ok\">" + label(labels, "Extracts into one folder") + " <b>" +
                  pageText(*facts.singleFolder) + "</b></span>";
      } else {
        std::string text =
            labels.localizedString(facts.topLevelCount == 1 ? "One loose item would land in the destination"
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
        text += std::string(separator) + "<span class=\"warn\">" +
                label(labels, "The last volume is missing") + "</span>";
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
    std::string archive = label(labels, facts.solid ? "Solid" : "Not solid") + std::string(separator);
    if (complete || facts.encryption != EncryptionLevel::none)
      archive += label(labels, "Encryption") + ": " + encryption + std::string(separator);
    archive += label(labels, "Volumes") + ": " + std::to_string(facts.volumeCount);
    appendRow(out, label(labels, "Archive"), "archive-facts", archive);

    if (!facts.comment.empty()) appendRow(out, label(labels, "Comment"), "comment", pageText(facts.comment));

    std::string safety;
    for (size_t bit = 0; bit < facts.flagCounts.size(); ++bit) {
      if (facts.flagCounts[bit] == 0) continue;
      if (!safety.empty()) safety += separator;
      safety += "<span class=\"warn\">" + label(labels, kSafetyFlagLabels[bit]) + ": " +
                std::to_string(facts.flagCounts[bit]) + "</span>";
    }
    if (facts.cutShortAt) {
      if (!safety.empty()) safety = label(labels, "Warnings among the listed entries") + ": " + safety;
    } else if (safety.empty()) {
      safety = "<span class=\"ok\">" + label(labels, "No warnings") + "</span>";
    }
    // Nothing listed, nothing judged.
    if (complete && facts.topLevelCount > 0 && !safety.empty())
      appendRow(out, label(labels, "Safety"), "safety", safety);
    return out;
  } catch (...) {
    return {};
  }
}

std::optional<std::string> makePreviewPage(std::string_view archivePath,
                                           const PasswordSource& storedPasswords) {
  theTypeCache() = std::make_shared<TypeCache>();
  theItemTypeSource() = theTypeCache();
  TypeCache& cache = *theTypeCache();
  // Kinds are asked for while the tree is built: the page's language must be known before.
  cache.setTranslation([bundle = std::make_shared<Bundle>(bundlePath())](std::string_view key) {
    return bundle->localizedString(key);
  });

  setUpPreviewDefaults(bundlePath());
  const int32_t simpleThreshold = clampedInteger("simpleThreshold");
  const int32_t cutoffCount = clampedInteger("cutoffCount");

  AZipItem::Ptr root;
  ArchiveFacts facts;
  int32_t result = getInfo(archivePath, root, facts);
  // The store is asked only for an archive that needs it; a locked store has nothing to offer.
  if (result == kStatusListingEncrypted && storedPasswords) {
    for (const std::string& password : storedPasswords()) {
      AZipItem::Ptr opened;
      ArchiveFacts openedFacts;
      const int32_t status = getInfo(archivePath, opened, openedFacts, password);
      if (status == kStatusListingEncrypted || status < 0) continue;
      root = std::move(opened);
      facts = std::move(openedFacts);
      result = status;
      break;
    }
  }
  if (result < 0) {
    systemLog(LOG_ERR, "Couldn't get managed object!");
    return std::nullopt;
  }

  const Bundle labels(bundlePath());
  auto page = readResource(labels, result == kStatusListingEncrypted ? "index_encrypted.html" : "index.html");
  if (!page) {
    HLVLog(kLogError, "The preview template is missing from %s", bundlePath().c_str());
    return std::nullopt;
  }

  const bool simple = root->itemCount() >= simpleThreshold;
  // The generic document's icon must be in the cache before the icon styles are made.
  if (simple) cache.iconForType(kDocumentTypeKey);

  // Every value is made first; the template is then filled in one pass.
  std::unordered_map<std::string_view, std::string_view> values;
  std::deque<std::string> texts;  // stays where it is while it grows: the map views into it
  const auto set = [&](std::string_view key, std::string value) {
    texts.push_back(std::move(value));
    values[key] = texts.back();
  };
  set("config", configurationScript(simple));
  for (const std::string_view key : kPageLabelKeys) set(key, labels.localizedString(key));
  for (const std::string_view key : kListingToolLabelKeys) set(key, labels.localizedString(key));

  struct stat attributes {};
  const bool haveAttributes = ::lstat(std::string(archivePath).c_str(), &attributes) == 0;
  set("resource_path", bundlePath());
  set("name", stringByEncodingHTMLEntities(lastPathComponent(archivePath)));
  set("icon", std::string(kArchiveIconId));
  // The folder path ends the page inside <plaintext>, where no markup is read.
  set("path", std::string(deletingLastPathComponent(archivePath)));
  // The system's name for the file's type (by its whole name: winmail.dat has one), else the
  // format's own name where it has one rather than its class's.
  std::string kind = kindNameForFileName(lastPathComponent(archivePath))
                         .value_or(cache.nameForType(pathExtension(archivePath)).value_or(""));
  if (kind.empty() && !facts.formatName.empty()) kind = labels.localizedString(facts.formatName);
  set("kind", stringByEncodingHTMLEntities(kind));
  set("time",
      formatDate(haveAttributes ? std::optional<Date>(Date(std::chrono::seconds(attributes.st_mtim.tv_sec)))
                                : std::nullopt));
  set("unco", root->unco());
  // A set of volumes is packed into all of its pieces, not the one opened: the volumes row names them.
  if (facts.volumes && facts.volumes->present.size() > 1) {
    std::string pieces = labels.localizedString(kPackedPiecesFormat);
    replaceAll(pieces, "%d", std::to_string(facts.volumes->present.size()));
    set("comp", stringByEncodingHTMLEntities(formatSize(facts.volumes->presentBytes) + " " + pieces));
  } else {
    set("comp", formatSize(haveAttributes ? attributes.st_size : 0));
  }
  set("archive_path", percentEscaped(archivePath));
  // The links the page's script builds carry these two; the link handler acts on no other.
  const std::string pageTime = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  set("page_token", pageToken(archivePath, pageTime).value_or(""));
  set("page_time", pageTime);
  set("presets", presetsAsOptions());
  set("items", itemCountText(labels, root->itemCount(), cutoffCount));
  set("archive_report", archiveReport(facts, root->unco(), labels));

  std::string table;
  std::string styles;
  // A listing that stopped early still shows the entries read before it stopped.
  if (result != kStatusListingEncrypted) {
    table.reserve(static_cast<size_t>(std::min(root->itemCount(), std::max(cutoffCount, 0))) * 800);
    SafetyFlagTitles flagTitles;
    for (size_t bit = 0; bit < flagTitles.flags.size(); ++bit)
      flagTitles.flags[bit] = labels.localizedString(kSafetyFlagLabels[bit]);
    flagTitles.encrypted = labels.localizedString(kEncryptedEntryLabel);
    outputTableRowIntoMutableString(*root, table, 0, 0, simple, archivePath, cutoffCount, flagTitles);

    styles.reserve(simple ? 352000 : 350000 + 1000 * cache.dict().size());
    for (const auto& [key, item] : cache.dict()) {
      if (simple && key != kFolderTypeKey && key != kDocumentTypeKey) continue;
      if (item && item->icon())
        styles += makeDataURIStyleForImage(item->icon()->drawnIntoSquare(TypeCacheItem::kIconSize),
                                           "b_" + key, TypeCacheItem::kIconSize);
    }
  }
  if (const auto icon = iconForFile(archivePath, TypeCacheItem::kLargeIconSize))
    styles += makeDataURIStyleForImage(*icon, kArchiveIconId, TypeCacheItem::kLargeIconSize);
  // Past the cutoff the filter can find only the rows on the page; it says so beside the field.
  if (root->itemCount() >= cutoffCount) {
    int64_t rows = 0;
    for (size_t at = table.find("<tr "); at != std::string::npos; at = table.find("<tr ", at + 4)) ++rows;
    std::string note = labels.localizedString("Searches the %d rows shown");
    replaceAll(note, "%d", std::to_string(rows));
    set("filter_note", pageText(note));
  } else {
    set("filter_note", "");
  }
  values["table_data"] = table;
  values["image-styles"] = styles;

  std::vector<std::string> scripts;
  scripts.reserve(std::size(kScripts));
  for (const std::string_view script : kScripts) {
    scripts.push_back(readResource(labels, script).value_or(""));
    values[script] = scripts.back();
  }
  return filledTemplate(*page, values);
}

}  // namespace tessaro
