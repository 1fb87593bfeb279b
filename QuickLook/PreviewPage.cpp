#include "PreviewPage.h"

#include <sys/stat.h>
#include <syslog.h>

#include <climits>
#include <fstream>
#include <sstream>

#include "AZipItem.h"
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

}  // namespace

std::optional<std::string> makePreviewPage(std::string_view archivePath) {
  theTypeCache() = std::make_shared<TypeCache>();
  TypeCache& cache = *theTypeCache();

  setUpPreviewDefaults(bundlePath());
  const int32_t simpleThreshold = clampedInteger("simpleThreshold");
  const int32_t cutoffCount = clampedInteger("cutoffCount");

  AZipItem::Ptr root;
  const int32_t result = getInfo(archivePath, root);
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

  std::string styles;
  if (result == 0) {
    std::string table;
    table.reserve(static_cast<size_t>(std::min(root->itemCount(), std::max(cutoffCount, 0))) * 800);
    outputTableRowIntoMutableString(*root, table, 0, 0, simple, archivePath, cutoffCount);
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
