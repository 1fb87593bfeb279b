#include "SafeOpening.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "PathString.h"
#include "process/Subprocess.h"

namespace tessaro::host {

namespace {

// Names the desktop or its helpers run rather than show: launchers, scripts, installers and
// programs of other systems that Wine or an interpreter would start.
constexpr std::string_view kLauncherExtensions[] = {
    "desktop", "kdelnk", "directory", "appimage",   "run",  "sh",     "bash",    "zsh", "csh",
    "ksh",     "fish",   "command",   "py",         "pyw",  "pl",     "rb",      "php", "lua",
    "tcl",     "jar",    "jnlp",      "exe",        "com",  "bat",    "cmd",     "msi", "scr",
    "pif",     "vbs",    "vbe",       "wsf",        "ps1",  "lnk",    "url",     "reg", "hta",
    "cpl",     "deb",    "rpm",       "flatpakref", "snap", "action", "workflow"};

bool startsWith(const std::string& bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() && std::string_view(bytes).substr(0, prefix.size()) == prefix;
}

std::string firstBytes(const std::string& path, size_t count) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  std::string bytes(count, '\0');
  ssize_t got = -1;
  do {
    got = ::read(fd, bytes.data(), count);
  } while (got < 0 && errno == EINTR);
  ::close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

int stripOne(const char* path, const struct stat* st, int type, struct FTW*) {
  if (type != FTW_F || !S_ISREG(st->st_mode)) return 0;
  const mode_t kept = st->st_mode & 0666;
  if ((st->st_mode & 07777) == kept) return 0;
  return ::chmod(path, kept) == 0 ? 0 : 1;
}

// The real path of `path`; none when it cannot be resolved.
std::optional<std::string> realPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return std::nullopt;
  return std::string(buffer);
}

}  // namespace

int openWithDesktop(const std::string& path) {
  std::vector<std::vector<std::string>> openers;
  if (const char* own = std::getenv("TESSARO_OPEN"); own && *own) openers.push_back({own, path});
  openers.push_back({"xdg-open", path});
  openers.push_back({"gio", "open", path});
  for (auto argv : openers) {
    const std::optional<std::string> program = programOnPath(argv.front());
    if (!program) continue;
    argv.front() = *program;
    const SubprocessResult result = run(argv);
    if (!result.started) continue;
    if (result.exitStatus == 0) return kExitOK;
    // The opener is there and failed: say so with its status, not that it is missing.
    if (result.signal != 0)
      std::fprintf(stderr, "tessaro: %s failed to open %s: it was ended by signal %d\n", argv.front().c_str(),
                   path.c_str(), result.signal);
    else
      std::fprintf(stderr, "tessaro: %s failed to open %s: it ended with status %d\n", argv.front().c_str(),
                   path.c_str(), result.exitStatus);
    return kExitFailed;
  }
  std::fprintf(stderr, "tessaro: no program to open files with (install xdg-utils); it is at %s\n",
               path.c_str());
  return kExitFailed;
}

std::optional<std::string> launcherReason(const std::string& path) {
  const std::string bytes = firstBytes(path, 4);
  if (startsWith(bytes, "#!")) return "a script (it starts with a #! line)";
  if (startsWith(bytes,
                 "\x7f"
                 "ELF"))
    return "a program (an ELF file)";
  if (startsWith(bytes, "MZ")) return "a Windows program (an MZ/PE file)";
  const std::string extension = asciiLowercase(pathExtension(path));
  for (const std::string_view launcher : kLauncherExtensions) {
    if (extension == launcher) return "a launcher or program (a ." + extension + " file)";
  }
  return std::nullopt;
}

bool removeExecBits(const std::string& folder) { return ::nftw(folder.c_str(), stripOne, 16, FTW_PHYS) == 0; }

int openExtracted(const std::string& folder, const std::string& entry, const std::string& shownName) {
  const std::optional<std::string> root = realPath(folder);
  // A link is resolved here, once, and the opener gets the resolved path, so nothing it does with
  // the link afterwards can lead elsewhere.
  const std::optional<std::string> target = realPath(entry);
  if (!root || !target || (*target != *root && !target->starts_with(*root + "/"))) {
    std::fprintf(stderr, "tessaro: %s is a link to %s outside what was extracted; it is not followed\n",
                 shownName.c_str(), target ? target->c_str() : "something");
    return kExitFailed;
  }
  struct stat st;
  if (::lstat(target->c_str(), &st) != 0) {
    std::fprintf(stderr, "tessaro: %s: %s\n", shownName.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  if (S_ISDIR(st.st_mode)) return openWithDesktop(*target);
  if (!S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "tessaro: %s is not a file or folder; it is not opened\n", shownName.c_str());
    return kExitFailed;
  }
  if (const std::optional<std::string> reason = launcherReason(*target)) {
    const std::string holder(deletingLastPathComponent(*target));
    std::fprintf(stderr, "tessaro: %s is %s; its folder is opened instead of running it\n", shownName.c_str(),
                 reason->c_str());
    return openWithDesktop(holder);
  }
  return openWithDesktop(*target);
}

}  // namespace tessaro::host
