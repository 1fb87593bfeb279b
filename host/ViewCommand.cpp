// tessaro view URL: what the links of the preview page ask for.
//   tssro://view/ARCHIVE;ENTRY    extracts that entry into a folder of its own under
//                                 $XDG_CACHE_HOME/tessaro/view and opens it with the desktop's
//                                 opener (xdg-open, else gio open; TESSARO_OPEN names another).
//                                 Folders older than a day are removed there on each run, since
//                                 the viewer still reads the file after this program has ended.
//   tssro://config?KEY=0|1&...    stores the page's display settings as the defaults of the
//                                 next previews (the configuration application's domain).
#include <sys/stat.h>
#include <unistd.h>

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
#include "ArchiveSession.h"
#include "Commands.h"
#include "PathString.h"
#include "defaults/UserDefaults.h"
#include "folders/UserFolders.h"
#include "helpers.h"
#include "process/Subprocess.h"

namespace tessaro::host {

const char* const kViewUsage = "view tssro://view/ARCHIVE;ENTRY | tssro://config?KEY=VALUE&...\n"
                               "                 open one entry of an archive, or store the preview's display settings\n";

namespace {

constexpr std::string_view kViewPrefix = "tssro://view/";
constexpr std::string_view kConfigPrefix = "tssro://config";
// The display settings the page's "Save as Default" link carries.
constexpr std::string_view kSettingKeys[] = {"keepHeaderFixed", "showHiddenFiles", "showPackageContents",
                                             "cD", "cS", "cP", "cK", "cA"};
constexpr auto kKeepViewed = std::chrono::hours(24);

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent escapes decoded; none when one is malformed or decodes to a zero byte.
std::optional<std::string> percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::optional<std::string> viewFolderBase() {
  const std::optional<std::filesystem::path> caches = specialFolder(SpecialFolder::caches);
  if (!caches) return std::nullopt;
  return (*caches / "tessaro" / "view").string();
}

void removeOldViews(const std::string& base) {
  std::error_code error;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
    std::error_code ignored;
    const auto written = entry.last_write_time(ignored);
    if (!ignored && now - written > kKeepViewed) std::filesystem::remove_all(entry.path(), ignored);
  }
}

int openWithDesktop(const std::string& path) {
  std::vector<std::vector<std::string>> openers;
  if (const char* own = std::getenv("TESSARO_OPEN"); own && *own) openers.push_back({own, path});
  openers.push_back({"xdg-open", path});
  openers.push_back({"gio", "open", path});
  for (const auto& argv : openers) {
    const SubprocessResult result = run(argv);
    if (!result.started) continue;
    if (result.exitStatus == 0) return kExitOK;
    std::fprintf(stderr, "tessaro: %s could not open %s\n", argv.front().c_str(), path.c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "tessaro: no program to open files with (install xdg-utils); the entry is at %s\n",
               path.c_str());
  return kExitFailed;
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
  if (entry->empty() || *entry == ".." || entry->starts_with("../") || entry->find("/../") != std::string::npos ||
      entry->ends_with("/..")) {
    std::fprintf(stderr, "tessaro: the entry name leaves the archive\n");
    return kExitUsage;
  }

  std::unique_ptr<ArchiveSession> session = ArchiveSession::open(*archive, false);
  if (!session) return kExitUsage;
  const std::optional<std::string> base = viewFolderBase();
  std::error_code error;
  if (base) {
    std::filesystem::create_directories(*base, error);
    removeOldViews(*base);
  }
  const std::optional<std::string> folder = base ? createTempFolderInside(*base, false) : std::nullopt;
  if (!folder) {
    std::fprintf(stderr, "tessaro: cannot make a folder for the entry in the cache folder\n");
    return kExitFailed;
  }
  AZipItem::List items{AZipItem::initWithPath(*entry), AZipItem::initWithPath(*entry + "/")};
  const int32_t status = session->handler().extract(items, *folder, 1);
  const std::string extracted = appendingPathComponent(*folder, *entry);
  struct stat st;
  if (status != 0 || ::lstat(extracted.c_str(), &st) != 0) {
    std::filesystem::remove_all(*folder, error);
    if (status != 0) return session->report(status, "extracting");
    std::fprintf(stderr, "tessaro: %s: no such entry in %s\n", entry->c_str(), archive->c_str());
    return kExitFailed;
  }
  return openWithDesktop(extracted);
}

int storeSettings(std::string_view rest) {
  if (!rest.empty() && rest.front() == '?') rest.remove_prefix(1);
  PlistDictionary values = UserDefaults::standard().persistentDomainForName(std::string(kConfigDefaultsDomain))
                               .value_or(PlistDictionary{});
  size_t stored = 0;
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = pair.substr(0, equals);
    const std::string_view value = pair.substr(equals + 1);
    bool known = false;
    for (const std::string_view k : kSettingKeys) known = known || k == key;
    if (!known || (value != "0" && value != "1")) {
      std::fprintf(stderr, "tessaro: ignored setting %.*s\n", static_cast<int>(pair.size()), pair.data());
      continue;
    }
    values[std::string(key)] = PropertyList(static_cast<int64_t>(value == "1" ? 1 : 0));
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

}  // namespace

int viewCommand(const std::vector<std::string>& args) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("usage: tessaro %s", kViewUsage);
    return kExitOK;
  }
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: tessaro %s", kViewUsage);
    return kExitUsage;
  }
  const std::string_view url = args[0];
  if (url.starts_with(kViewPrefix)) return viewEntry(url.substr(kViewPrefix.size()));
  if (url.starts_with(kConfigPrefix)) return storeSettings(url.substr(kConfigPrefix.size()));
  std::fprintf(stderr, "tessaro: not a tssro link: %s\n", args[0].c_str());
  return kExitUsage;
}

}  // namespace tessaro::host
