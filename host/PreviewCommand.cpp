// tessaro preview ARCHIVE [-o PAGE] [--open]: the archive's preview page, written by qlhost (the
// program beside this one), so that the page is the one the desktop's preview shows. Without -o
// the page goes into $XDG_CACHE_HOME/tessaro/previews, one page per archive path; pages there
// older than a week go, and beyond the newest 50 the oldest go too. The page's path is printed;
// --open hands it to the desktop's opener as `view` does with entries.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "HostPaths.h"
#include "SafeOpening.h"
#include "TerminationCleanup.h"
#include "folders/UserFolders.h"
#include "process/Subprocess.h"

namespace tessaro::host {

const char* const kPreviewUsage =
    "preview ARCHIVE [-o PAGE] [--open]\n"
    "                 write the archive's preview page and print its path; --open shows it\n";

namespace {

constexpr auto kKeepPages = std::chrono::hours(24 * 7);
constexpr size_t kMaxPages = 50;
// Room for the hash and ".html" within a file name's 255 bytes, with plenty to spare.
constexpr size_t kMaxNameBytes = 100;

// qlhost's exit statuses.
constexpr int kQlhostNoPreview = 1;
constexpr int kQlhostUsage = 2;

struct PreviewOptions {
  std::string archive;
  std::string page;
  bool open = false;
};

int usage(const char* complaint) {
  std::fprintf(stderr, "tessaro preview: %s\nusage: tessaro %s", complaint, kPreviewUsage);
  return kExitUsage;
}

constexpr OptionSpec kOptions[] = {{"--output", 'o', true}, {"--open", 0, false}};

std::optional<int> parse(const std::vector<std::string>& args, PreviewOptions& options) {
  CommandLine line;
  if (const std::optional<int> ended = parseCommandLine("preview", kPreviewUsage, args, kOptions, line))
    return *ended;
  if (line.operands().empty()) return usage("no archive given");
  if (line.operands().size() > 1) return usage("only one archive at a time");
  options.archive = line.operands().front();
  if (options.archive.empty()) return usage("the archive's name is empty");
  if (const std::optional<std::string> page = line.value("--output")) {
    if (page->empty()) return usage("-o needs a file name");
    options.page = *page;
  }
  options.open = line.has("--open");
  return std::nullopt;
}

// FNV-1a: a stable short name for a path, the same on every run.
std::string pathHash(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

// The page's file name: the archive's name in harmless characters, and the hash of its path so
// that archives of one name in different folders keep pages of their own.
std::string pageName(const std::filesystem::path& archive) {
  std::string name;
  for (const char c : archive.filename().string()) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
    if (name.size() >= kMaxNameBytes) break;
  }
  // No hidden file: qlhost's half-written pages are the dot files.
  if (name.empty() || name.front() == '.') name.insert(0, "archive");
  return name + "-" + pathHash(archive.string()) + ".html";
}

// The private folder of the cached pages, made when missing; none when it cannot be made or is
// not a folder of this user's (a link planted there is not followed).
std::optional<std::filesystem::path> pageFolder() {
  const std::optional<std::filesystem::path> caches = specialFolder(SpecialFolder::caches);
  if (!caches) {
    std::fputs("tessaro: no cache folder (set HOME or XDG_CACHE_HOME)\n", stderr);
    return std::nullopt;
  }
  const std::filesystem::path folder = *caches / "tessaro" / "previews";
  std::error_code error;
  std::filesystem::create_directories(folder.parent_path(), error);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "tessaro: cannot make %s: %s\n", folder.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0)) {
    std::fprintf(stderr, "tessaro: %s is not a private folder of yours; no page is written there\n",
                 folder.c_str());
    return std::nullopt;
  }
  return folder;
}

// Removes the pages older than a week, then the oldest beyond the newest `keep`.
void prunePages(const std::filesystem::path& folder, size_t keep) {
  struct Page {
    std::filesystem::path path;
    std::filesystem::file_time_type written;
  };
  std::vector<Page> pages;
  std::error_code error;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::error_code ignored;
    const std::filesystem::file_type type = entry.symlink_status(ignored).type();
    // Nothing here is written as a link; one found is not followed but removed.
    if (type == std::filesystem::file_type::symlink) std::filesystem::remove(entry.path(), ignored);
    if (type != std::filesystem::file_type::regular) continue;
    const auto written = entry.last_write_time(ignored);
    if (ignored || now - written > kKeepPages) {
      std::filesystem::remove(entry.path(), ignored);
      continue;
    }
    pages.push_back({entry.path(), written});
  }
  if (pages.size() <= keep) return;
  std::sort(pages.begin(), pages.end(), [](const Page& a, const Page& b) { return a.written > b.written; });
  for (size_t i = keep; i < pages.size(); ++i) {
    std::error_code ignored;
    std::filesystem::remove(pages[i].path, ignored);
  }
}

// Runs qlhost on the archive; its messages go to our standard error. The exit status.
int writePage(const std::string& archive, const std::string& page) {
  const std::optional<std::string> folder = executableFolder();
  if (!folder) {
    std::fputs("tessaro: cannot tell where this program lies, nor so where qlhost is\n", stderr);
    return kExitFailed;
  }
  SubprocessOptions options;
  options.standardError = STDERR_FILENO;
  const SubprocessResult result = run({*folder + "/qlhost", "-o", page, "--", archive}, options);
  if (!result.started) {
    std::fprintf(stderr, "tessaro: cannot run %s/qlhost: %s\n", folder->c_str(),
                 std::strerror(result.spawnError));
    return kExitFailed;
  }
  if (result.exitStatus == 0) return kExitOK;
  if (result.exitStatus == kQlhostUsage) return kExitUsage;
  if (result.exitStatus != kQlhostNoPreview)
    std::fprintf(stderr, "tessaro: no page was written for %s\n", archive.c_str());
  return kExitFailed;
}

}  // namespace

int previewCommand(const std::vector<std::string>& args) {
  PreviewOptions options;
  if (const std::optional<int> done = parse(args, options)) return *done;
  std::error_code error;
  const std::filesystem::path archive = std::filesystem::absolute(options.archive, error);
  struct stat st;
  if (error || ::stat(archive.c_str(), &st) != 0) {
    std::fprintf(stderr, "tessaro: %s: %s\n", options.archive.c_str(),
                 error ? error.message().c_str() : std::strerror(errno));
    return kExitUsage;
  }

  std::filesystem::path page;
  std::optional<std::filesystem::path> cache;
  if (!options.page.empty()) {
    page = std::filesystem::absolute(options.page, error);
    if (error) return usage("the page's path cannot be made absolute");
  } else {
    cache = pageFolder();
    if (!cache) return kExitFailed;
    page = *cache / pageName(archive.lexically_normal());
  }

  // qlhost's temporary folders go into this run's private one, removed should we be killed. The
  // browser opened afterwards gets the caller's TMPDIR back.
  const char* const givenTemporary = std::getenv("TMPDIR");
  const std::optional<std::string> callersTemporary =
      givenTemporary ? std::optional<std::string>(givenTemporary) : std::nullopt;
  if (usePrivateTemporaryFolder()) cleanUpOnTerminationSignals();
  const int status = writePage(archive.string(), page.string());
  removePrivateTemporaryFolder();
  if (callersTemporary)
    ::setenv("TMPDIR", callersTemporary->c_str(), 1);
  else
    ::unsetenv("TMPDIR");
  if (status != kExitOK) return status;
  if (cache) prunePages(*cache, kMaxPages);

  std::printf("%s\n", page.c_str());
  std::fflush(stdout);
  return options.open ? openWithDesktop(page.string()) : kExitOK;
}

}  // namespace tessaro::host
