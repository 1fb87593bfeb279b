#include "ArchiveHandlerSplit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "ListingRecord.h"
#include "ArchiveCallbackHandler.h"
#include "FolderWatcher.h"
#include "PathString.h"
#include "helpers.h"
#include "process/Subprocess.h"

namespace tessaro {

namespace {

// The helper's name in the helper folder.
constexpr std::string_view kSevenZipTool = "7z";

// Volumes are numbered with three digits.
constexpr int kMaxVolumes = 999;
// Names tried for the joined file when the set's name is taken: "a.bin", "a 1.bin", … "a 999.bin".
constexpr int kMaxFreeNameTries = 1000;
// The joined file is written under this hidden name and renamed once complete, so a failed or
// cancelled join never leaves a file that looks finished.
constexpr std::string_view kPartialPrefix = ".TessaroJoin.";

std::string volumePath(const std::string& stem, int number) {
  char suffix[16];  // room for any int, not only the three digits of a volume number
  std::snprintf(suffix, sizeof suffix, ".%03d", number);
  return stem + suffix;
}

// Inside single quotes the shell takes every byte literally except the quote itself.
std::string shellQuoted(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// A name that, put after the destination, stays a file directly inside it.
bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// Removes the partly written file unless it was moved into place.
struct PartialFile {
  std::string path;
  ~PartialFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
};

// A new empty file with a hidden name in `folder`, created by us alone; none when it cannot be.
std::optional<std::string> createPartialFile(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  // Another process's leftover may hold a name; a few tries find a free one.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        std::string(kPartialPrefix) + std::to_string(::getpid()) + "." + std::to_string(counter++);
    std::string path = appendingPathComponent(folder, name);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

// Renames `from` to `name` in `folder`, or to "name 1", "name 2" … when that is taken, never
// replacing a file. The path it now has, or none.
std::optional<std::string> moveIntoPlace(const std::string& from, const std::string& folder,
                                         const std::string& name) {
  const std::string extension(pathExtension(name));
  const std::string stem = extension.empty() ? name : std::string(deletingPathExtension(name));
  for (int i = 0; i < kMaxFreeNameTries; ++i) {
    std::string candidate = name;
    if (i > 0) {
      candidate = stem + " " + std::to_string(i);
      if (!extension.empty()) candidate = appendingPathExtension(candidate, extension);
    }
    std::string to = appendingPathComponent(folder, candidate);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return to;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return std::nullopt;
    // A file system that cannot refuse to replace: look first, then rename.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) continue;
    if (::rename(from.c_str(), to.c_str()) == 0) return to;
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

// Never offered for new archives: every capability keeps its base answer.
class AHandlerSplit::Class : public HandlerClassOf<AHandlerSplit, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "001"; }
  std::optional<std::string> baseType() const override { return "split"; }
};

const HandlerClass& AHandlerSplit::metaclass() {
  static const Class instance;
  return instance;
}

int32_t AHandlerSplit::doGetInfo(std::vector<std::string>& records) {
  if (url()) {
    // Started directly: only standard output is read, the rest is the caller's own.
    const std::string tool = helperTool(kSevenZipTool);
    SubprocessOptions options;
    options.standardInput = STDIN_FILENO;
    options.standardError = STDERR_FILENO;
    Subprocess process;
    if (process.start({tool, "l", "-slt", "-tsplit", *url()}, options)) {
      SubprocessResult result = process.wait();
      uint64_t usedEncoding = encoding();
      const std::optional<std::string> text = decodeString(result.output, &usedEncoding);
      setEncoding(usedEncoding);
      if (text) appendLines(*text, records);
    } else {
      // Nothing to list: the pieces alone are known, and the listing stays empty.
      HLVLog(kLogError, "The helper tool %s could not be started", tool.c_str());
    }
  }
  if (parts_.empty()) initParts();
  return kStatusOK;
}

int32_t AHandlerSplit::doExtract(const AZipItem::List& /*items*/, const std::string& toFolder,
                                 int32_t /*mode*/) {
  const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
  const auto fail = [&](const std::string& message) {
    HLVLog(kLogError, "%s", message.c_str());
    if (host && host->respondsToLogOutput()) host->logOutput(message + "\n");
    return kStatusFailed;
  };

  if (!url()) return fail("No volumes to join");
  // Looked at anew: volumes may have come or gone since the handler was opened.
  initParts();
  if (parts_.empty()) return fail("No volumes to join for " + *url());
  const std::string stem(deletingPathExtension(*url()));
  const std::string name = baseName();
  if (!isPlainName(name)) return fail("The volumes of " + *url() + " name no file that can be written");

  // A later number after the first missing one means the set has a hole, not an end.
  for (int n = static_cast<int>(parts_.size()) + 2; n <= kMaxVolumes; ++n) {
    struct stat st;
    const std::string later = volumePath(stem, n);
    if (::stat(later.c_str(), &st) == 0) {
      return fail("Volume " + volumePath(stem, static_cast<int>(parts_.size()) + 1) + " is missing, but " +
                  later + " exists");
    }
  }
  if (struct stat st; parts_.size() == kMaxVolumes && ::stat((stem + ".1000").c_str(), &st) == 0)
    return fail("The set " + *url() + " has more volumes than can be numbered with three digits");
  int64_t total = 0;
  for (const VolumePart& part : parts_) {
    struct stat st;
    // A pipe or a device among the volumes would never end or never be the size it shows.
    if (::stat(part.url.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return fail("Volume " + part.url + " is not a readable file");
    total = st.st_size > std::numeric_limits<int64_t>::max() - total ? std::numeric_limits<int64_t>::max()
                                                                     : total + st.st_size;
  }
  struct stat folderStat;
  if (toFolder.empty() || ::stat(toFolder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode))
    return fail("The destination " + toFolder + " is not a folder");

  PartialFile partial;
  std::optional<std::string> created = createPartialFile(toFolder);
  if (!created) {
    const int error = errno;
    return fail("Cannot create a file in " + toFolder + ": " + std::strerror(error));
  }
  partial.path = std::move(*created);

  // The joining command prints no progress: the growth of the destination stands for it.
  FolderWatcher watcher;
  std::shared_ptr<FolderGrowthProgress> progress;
  if (host) {
    progress = std::make_shared<FolderGrowthProgress>(host, total);
    watcher.initWithPath(toFolder, 0, progress);
  }
  // One short loop over the numbers instead of every volume's name: the command is a single
  // argument to the shell, which the system limits to 128 KiB.
  const std::string command = "n=1; while [ \"$n\" -le " + std::to_string(parts_.size()) + " ]; do cat -- " +
                              shellQuoted(stem) + ".\"$(printf %03d \"$n\")\" || exit 1; n=$((n + 1)); done";
  const int32_t status = executeTask(command, partial.path, true, std::nullopt);
  if (progress) watcher.stop();

  if (status != 0) return fail("Joining the volumes of " + *url() + " failed");
  // The user's own stop ends quietly, as the copy reports it.
  if (operationCancelled()) return kStatusOK;
  struct stat joined {};
  if (::stat(partial.path.c_str(), &joined) != 0 || joined.st_size != total) {
    return fail("Joining the volumes of " + *url() + " gave " + std::to_string(joined.st_size) +
                " bytes instead of " + std::to_string(total));
  }
  if (!moveIntoPlace(partial.path, toFolder, name)) {
    const int error = errno;
    return fail("Cannot name the joined file " + name + " in " + toFolder + ": " + std::strerror(error));
  }
  partial.path.clear();
  return kStatusOK;
}

}  // namespace tessaro
