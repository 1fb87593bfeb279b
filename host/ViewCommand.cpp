// tessaro view URL: what the links of the preview page ask for. Any web page can make such a
// link, so nothing is done for an archive no preview of this user showed, and nothing changes
// without the token of a page this user's previews made.
//   tssro://view/ARCHIVE;ENTRY    extracts that entry into a folder of its own under
//                                 $XDG_CACHE_HOME/tessaro/view and opens it with the desktop's
//                                 opener (xdg-open, else gio open; TESSARO_OPEN names another).
//                                 ARCHIVE is an absolute path a preview recorded, unchanged since.
//                                 Folders older than a day are removed there on each run, since
//                                 the viewer still reads the file after this program has ended,
//                                 and the oldest go first when the cache would pass its quota.
//   tssro://config?KEY=0|1&...&archive=A&time=T&token=X
//                                 stores the page's display settings as the defaults of the
//                                 next previews (the configuration application's domain).
//   tssro://extract?preset=NAME&archive=A&time=T&token=X
//                                 the preset menu's request: with a valid token, for an archive a
//                                 preview recorded, the archive is extracted as `tessaro extract`
//                                 does into the preset's folder, the desktop is told, and the
//                                 folder the contents went into is opened.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "AZipItem.h"
#include "ArchiveExtraction.h"
#include "ArchiveSession.h"
#include "CommandLine.h"
#include "Commands.h"
#include "DesktopNotification.h"
#include "ExtractionPresets.h"
#include "GrowthLimit.h"
#include "ListingPipeline.h"
#include "PathString.h"
#include "PreviewRecords.h"
#include "SafeExtraction.h"
#include "SafeOpening.h"
#include "StagingFolder.h"
#include "ToolMessagesHidden.h"
#include "defaults/UserDefaults.h"
#include "folders/UserFolders.h"
#include "helpers.h"
#include "process/Subprocess.h"

namespace tessaro::host {

const char* const kViewUsage =
    "view tssro://view/ARCHIVE;ENTRY | tssro://config?KEY=VALUE&...&token=X\n"
    "                 | tssro://extract?preset=NAME&archive=PATH&time=T&token=X\n"
    "                 open one entry of an archive, store the preview's display settings, or extract\n"
    "                 a previewed archive with one of the extraction presets\n";

namespace {

constexpr std::string_view kViewPrefix = "tssro://view/";
constexpr std::string_view kConfigPrefix = "tssro://config";
constexpr std::string_view kExtractPrefix = "tssro://extract";
// The display settings the page's "Save as Default" link carries.
constexpr std::string_view kSettingKeys[] = {
    "keepHeaderFixed", "showHiddenFiles", "showPackageContents", "cD", "cS", "cP", "cK", "cA"};
constexpr auto kKeepViewed = std::chrono::hours(24);
// What the view folders may hold together unless the defaults say otherwise (HLVViewCacheLimit),
// and the room always left free on their file system.
constexpr int64_t kViewCacheLimit = int64_t{1} << 30;
constexpr int64_t kFreeSpaceMargin = int64_t{256} << 20;

std::optional<std::string> viewFolderBase() {
  const std::optional<std::filesystem::path> caches = specialFolder(SpecialFolder::caches);
  if (!caches) return std::nullopt;
  return (*caches / "tessaro" / "view").string();
}

struct View {
  std::string path;
  std::filesystem::file_time_type written;
  int64_t bytes = 0;
};

// The view folders, oldest first; those older than a day are removed on the way.
std::vector<View> currentViews(const std::string& base) {
  std::vector<View> views;
  std::error_code error;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
    std::error_code ignored;
    const auto written = entry.symlink_status(ignored).type() == std::filesystem::file_type::directory
                             ? entry.last_write_time(ignored)
                             : std::filesystem::file_time_type::min();
    if (now - written > kKeepViewed) {
      std::filesystem::remove_all(entry.path(), ignored);
      continue;
    }
    views.push_back({entry.path().string(), written, bytesBelow(entry.path().string())});
  }
  std::sort(views.begin(), views.end(), [](const View& a, const View& b) { return a.written < b.written; });
  return views;
}

int64_t freeBytes(const std::string& folder) {
  struct statvfs fs;
  if (::statvfs(folder.c_str(), &fs) != 0) return INT64_MAX;
  const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
  if (unit != 0 && fs.f_bavail > static_cast<uint64_t>(INT64_MAX) / unit) return INT64_MAX;
  return static_cast<int64_t>(fs.f_bavail * unit);
}

// The bytes a new view may write: what the quota leaves beside the other views and what the
// file system has beyond its margin. The oldest views are removed while that is less than
// `needed` (when known).
int64_t roomForView(const std::string& base, const std::optional<int64_t>& needed) {
  const int64_t configured = UserDefaults::standard().integerForKey("HLVViewCacheLimit");
  const int64_t limit = configured > 0 ? configured : kViewCacheLimit;
  std::vector<View> views = currentViews(base);
  int64_t used = 0;
  for (const View& view : views) used += view.bytes;
  const auto room = [&] {
    return std::max<int64_t>(0, std::min(limit - used, freeBytes(base) - kFreeSpaceMargin));
  };
  for (size_t oldest = 0; needed && *needed > room() && oldest < views.size(); ++oldest) {
    std::error_code ignored;
    std::filesystem::remove_all(views[oldest].path, ignored);
    used -= views[oldest].bytes;
  }
  return room();
}

// The archive is one this user's previews showed, as it is now; otherwise a message and the exit status.
std::optional<int> refusedArchive(const std::string& archive) {
  if (archive.front() != '/') {
    std::fprintf(stderr, "tessaro: the link names the archive by a relative path (%s); it is refused\n",
                 archive.c_str());
    return kExitUsage;
  }
  switch (previewedState(archive)) {
    case PreviewedState::previewed: return std::nullopt;
    case PreviewedState::unknown:
      std::fprintf(stderr, "tessaro: no preview of yours showed %s; the link is refused\n", archive.c_str());
      return kExitUsage;
    case PreviewedState::changed:
      std::fprintf(stderr, "tessaro: %s changed since its preview; preview it again to open its entries\n",
                   archive.c_str());
      return kExitUsage;
    case PreviewedState::unreadable:
      std::fprintf(stderr, "tessaro: %s or the record of previews cannot be read; the link is refused\n",
                   archive.c_str());
      return kExitUsage;
  }
  return kExitUsage;
}

// The view folder with what was extracted into it; removed unless kept.
class ViewFolder {
 public:
  explicit ViewFolder(std::string path) : path_(std::move(path)) {}
  ~ViewFolder() {
    std::error_code ignored;
    if (!kept_) std::filesystem::remove_all(path_, ignored);
  }
  ViewFolder(const ViewFolder&) = delete;
  ViewFolder& operator=(const ViewFolder&) = delete;
  const std::string& path() const { return path_; }
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// Unpacks `items` into a staging folder inside the view folder and moves them into place without
// following links; no more than `budget` bytes are written. Exit status.
int extractForView(ArchiveSession& session, const AZipItem::List& items, const std::string& folder,
                   int64_t budget, bool quietTools) {
  const std::unique_ptr<StagingFolder> staging = StagingFolder::createInside(folder);
  if (!staging) {
    std::fprintf(stderr, "tessaro: cannot write in %s: %s\n", folder.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  int32_t status = 0;
  bool overran = false;
  {
    const ToolMessagesHidden hidden(quietTools);
    const GrowthLimit limit(staging->path(), budget, session.handler());
    status = session.handler().extract(items, staging->path(), kExtractForUser);
    overran = limit.exceeded();
  }
  if (overran || bytesBelow(staging->path()) > budget) {
    std::fprintf(stderr,
                 "tessaro: the entry unpacks to more than the %lld bytes left in the view cache; it is not "
                 "opened\n",
                 static_cast<long long>(budget));
    return kExitFailed;
  }
  if (status != 0) return session.report(status, "extracting");
  SafePlacement placement(staging->path(), folder, PlacementOptions{ExistingFiles::overwrite});
  if (!placement.survey() || !placement.decide([](const std::string&) { return std::nullopt; }) ||
      !placement.place()) {
    for (const std::string& failure : placement.failures())
      std::fprintf(stderr, "tessaro: extracting failed: %s\n", failure.c_str());
    return kExitFailed;
  }
  return kExitOK;
}

int viewEntry(std::string_view rest) {
  const size_t semicolon = rest.find(';');
  if (semicolon == std::string_view::npos) {
    std::fprintf(stderr, "tessaro: the link names no entry (tssro://view/ARCHIVE;ENTRY)\n");
    return kExitUsage;
  }
  const std::optional<std::string> archive = percentDecoded(rest.substr(0, semicolon));
  std::optional<std::string> entry = percentDecoded(rest.substr(semicolon + 1));
  if (!archive || !entry || archive->empty() || entry->empty()) {
    std::fprintf(stderr, "tessaro: the link is malformed\n");
    return kExitUsage;
  }
  while (entry->size() > 1 && entry->back() == '/') entry->pop_back();
  while (!entry->empty() && entry->front() == '/') entry->erase(0, 1);
  if (entry->empty() || *entry == ".." || entry->starts_with("../") ||
      entry->find("/../") != std::string::npos || entry->ends_with("/..")) {
    std::fprintf(stderr, "tessaro: the entry name leaves the archive\n");
    return kExitUsage;
  }
  if (const std::optional<int> refused = refusedArchive(*archive)) return *refused;

  std::unique_ptr<ArchiveSession> session = ArchiveSession::open(*archive, false);
  if (!session) return kExitUsage;
  // The listing tells the entry's size before anything is written; without one the growth limit
  // still stops the extraction at the room there is.
  std::optional<int64_t> needed;
  // A folder is asked for with and without its slash, as archives spell folders either way; a
  // file only by its name, which tools that find no match complain of.
  bool folderEntry = true;
  AZipItem::Ptr root;
  const int32_t listed = getInfo(*archive, root);
  if (listed == 0 && root) {
    const AZipItem* item = findItem(*root, *entry);
    if (!item) {
      std::fprintf(stderr, "tessaro: %s: no such entry in %s\n", entry->c_str(), archive->c_str());
      return kExitFailed;
    }
    needed = item->uncoV();
    folderEntry = item->isDir() || !item->children().empty();
  }

  const std::optional<std::string> base = viewFolderBase();
  std::error_code error;
  if (base) std::filesystem::create_directories(*base, error);
  const int64_t room = base ? roomForView(*base, needed) : 0;
  if (needed && *needed > room) {
    std::fprintf(
        stderr,
        "tessaro: %s unpacks to %lld bytes, more than the %lld bytes left in the view cache; nothing was "
        "extracted\n",
        entry->c_str(), static_cast<long long>(*needed), static_cast<long long>(room));
    return kExitFailed;
  }
  const std::optional<std::string> made = base ? createTempFolderInside(*base, false) : std::nullopt;
  if (!made) {
    std::fprintf(stderr, "tessaro: cannot make a folder for the entry in the cache folder\n");
    return kExitFailed;
  }
  ViewFolder folder(*made);
  AZipItem::List items{AZipItem::initWithPath(*entry)};
  if (folderEntry) items.push_back(AZipItem::initWithPath(*entry + "/"));
  if (const int result = extractForView(*session, items, folder.path(), room, folderEntry); result != kExitOK)
    return result;
  // Whatever the archive said, nothing it holds runs by being opened.
  removeExecBits(folder.path());
  const std::string extracted = appendingPathComponent(folder.path(), *entry);
  struct stat st;
  if (::lstat(extracted.c_str(), &st) != 0) {
    std::fprintf(stderr, "tessaro: %s: no such entry in %s\n", entry->c_str(), archive->c_str());
    return kExitFailed;
  }
  const int result = openExtracted(folder.path(), extracted, *entry);
  // The viewer reads the file after this program has ended.
  if (result == kExitOK) folder.keep();
  return result;
}

// The values of a link's query, percent escapes decoded; none when one is malformed.
std::optional<std::vector<std::pair<std::string, std::string>>> queryPairs(std::string_view rest) {
  if (!rest.empty() && rest.front() == '?') rest.remove_prefix(1);
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    std::optional<std::string> value = percentDecoded(pair.substr(equals + 1));
    if (!value) return std::nullopt;
    pairs.emplace_back(std::string(pair.substr(0, equals)), std::move(*value));
  }
  return pairs;
}

// The link carries the token of a page this user's previews made; otherwise a message.
bool signedByPage(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string archive, time, token;
  for (const auto& [key, value] : pairs) {
    if (key == "archive") archive = value;
    if (key == "time") time = value;
    if (key == "token") token = value;
  }
  if (validPageToken(archive, time, token)) return true;
  std::fprintf(stderr,
               "tessaro: the link carries no valid token of a preview page of yours; nothing was changed\n");
  return false;
}

int storeSettings(std::string_view rest) {
  const auto pairs = queryPairs(rest);
  if (!pairs) {
    std::fprintf(stderr, "tessaro: the link is malformed\n");
    return kExitUsage;
  }
  if (!signedByPage(*pairs)) return kExitUsage;
  PlistDictionary values = UserDefaults::standard()
                               .persistentDomainForName(std::string(kConfigDefaultsDomain))
                               .value_or(PlistDictionary{});
  size_t stored = 0;
  for (const auto& [key, value] : *pairs) {
    if (key == "archive" || key == "time" || key == "token") continue;
    bool known = false;
    for (const std::string_view k : kSettingKeys) known = known || k == key;
    if (!known || (value != "0" && value != "1")) {
      std::fprintf(stderr, "tessaro: ignored setting %s\n", key.c_str());
      continue;
    }
    values[key] = PropertyList(static_cast<int64_t>(value == "1" ? 1 : 0));
    ++stored;
  }
  if (stored == 0) {
    std::fprintf(stderr, "tessaro: the link carries no settings\n");
    return kExitUsage;
  }
  if (!UserDefaults::standard().setPersistentDomain(values, std::string(kConfigDefaultsDomain))) {
    std::fprintf(stderr, "tessaro: the settings could not be stored\n");
    return kExitFailed;
  }
  return kExitOK;
}

// The value of `key` in the link's query; empty when it is not there.
std::string queryValue(const std::vector<std::pair<std::string, std::string>>& pairs, std::string_view key) {
  for (const auto& [name, value] : pairs) {
    if (name == key) return value;
  }
  return {};
}

int extractWithPreset(std::string_view rest) {
  const auto pairs = queryPairs(rest);
  if (!pairs) {
    std::fprintf(stderr, "tessaro: the link is malformed\n");
    return kExitUsage;
  }
  if (!signedByPage(*pairs)) return kExitUsage;
  const std::string archive = queryValue(*pairs, "archive");
  const std::string name = queryValue(*pairs, "preset");
  if (archive.empty() || name.empty()) {
    std::fprintf(stderr, "tessaro: the link names no archive or no preset\n");
    return kExitUsage;
  }
  if (const std::optional<int> refused = refusedArchive(archive)) return *refused;
  const std::optional<ExtractionPreset> preset = extractionPresetNamed(name);
  if (!preset) {
    // The name comes from the link: whatever bytes it holds, the message stays one line.
    std::string shown;
    for (const char c : name) shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    std::fprintf(stderr, "tessaro: there is no extraction preset named %s; nothing was extracted\n",
                 shown.c_str());
    return kExitUsage;
  }
  const std::optional<ExtractionRequest> request = presetRequest(*preset, archive);
  if (!request) {
    std::fprintf(stderr, "tessaro: the preset %s extracts into a home folder, and HOME names none\n",
                 name.c_str());
    return kExitUsage;
  }
  // The preset's folder may not be there yet (a fresh ~/Downloads); what it names is made, no more.
  std::error_code error;
  std::filesystem::create_directories(request->destination, error);
  std::string placedIn;
  const int result = extractArchive(*request, &placedIn);
  const std::string shown(lastPathComponent(archive));
  if (result != kExitOK) {
    notifyDesktop("Extracting " + shown + " failed", "The preset " + name + " could not extract it.");
    return result;
  }
  notifyDesktop("Extracted " + shown, "With the preset " + name + " into " + placedIn);
  return openWithDesktop(placedIn);
}

}  // namespace

int viewCommand(const std::vector<std::string>& args) {
  CommandLine line;
  if (const std::optional<int> ended = parseCommandLine("view", kViewUsage, args, {}, line)) return *ended;
  if (line.operands().size() != 1) return usageError(kViewUsage);
  const std::string_view url = line.operands()[0];
  if (url.starts_with(kViewPrefix)) return viewEntry(url.substr(kViewPrefix.size()));
  if (url.starts_with(kConfigPrefix)) return storeSettings(url.substr(kConfigPrefix.size()));
  if (url.starts_with(kExtractPrefix)) return extractWithPreset(url.substr(kExtractPrefix.size()));
  std::fprintf(stderr, "tessaro: not a tssro link: %.*s\n", static_cast<int>(url.size()), url.data());
  return kExitUsage;
}

}  // namespace tessaro::host
