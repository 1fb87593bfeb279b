#include "ArchiveTransaction.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "ArchiveCheck.h"
#include "ArchiveFacts.h"
#include "ArchiveHandler.h"
#include "ArchiveSession.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "ListingPipeline.h"
#include "PathString.h"
#include "TarRewrite.h"
#include "ToolMessagesHidden.h"
#include "VolumeNames.h"

namespace tessaro::host {

namespace fs = std::filesystem;

namespace {

// How long a command waits for another one that changes the same archive.
constexpr std::chrono::seconds kLockPatience{30};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The suffix of a freshly renamed original kept until the new set is durable.
constexpr std::string_view kKeptSuffix = ".tessaro-old";

// The work folder a signal handler removes: a fixed buffer, since the handler may not allocate.
char gWorkFolder[PATH_MAX];
volatile sig_atomic_t gArmed = 0;
struct sigaction gPrevious[std::size(kSignals)];

void removeWorkFolderOnSignal(int signal) {
  if (gArmed) {
    // A tool still running may add a file while the folder goes: a few more tries.
    for (int attempt = 0; attempt < 50 && removeTree(gWorkFolder) != 0; ++attempt) {
      const struct timespec pause = {0, 20 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
    gArmed = 0;
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kSignals) sigaddset(&set, signal);
  return set;
}

// Holds SIGINT, SIGTERM and SIGHUP back while it lives: what happens meanwhile is not cut short.
class SignalsHeld {
 public:
  SignalsHeld() {
    const sigset_t set = handledSignals();
    ::sigprocmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

std::string resolvedPath(const std::string& path) {
  std::error_code error;
  if (!fs::is_symlink(path, error)) return path;
  const fs::path resolved = fs::canonical(path, error);
  return error ? path : resolved.string();
}

// The formats whose tools give no trustworthy status: the new file is read to its end.
bool needsWholeRead(const ArchiveHandler& handler) { return handler.isa().writtenArchiveNeedsWholeRead(); }

std::string errorWords(int error) {
  if (error == ENOSPC || error == EDQUOT) return "not enough space";
  return std::strerror(error);
}

// The items the tool warned about, in its own words: 7-Zip sums them up after its work, one
// line each ("PATH : errno=2 : No such file or directory") between a heading and a rule.
std::vector<std::string> warningLines(const std::string& log) {
  std::vector<std::string> lines;
  bool inSummary = false;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.find("WARNINGS for files") != std::string::npos) {
      inSummary = true;
      lines.clear();
    } else if (inSummary && line.starts_with("----")) {
      inSummary = false;
    } else if (inSummary && !line.empty()) {
      lines.push_back(std::move(line));
    }
  }
  return lines;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::set<std::string> filePaths(const AZipItem& item) {
  std::set<std::string> paths;
  // Without recursion: the depth of a tree is the archive's to choose.
  std::vector<const AZipItem*> stack{&item};
  while (!stack.empty()) {
    const AZipItem* next = stack.back();
    stack.pop_back();
    if (!next->isDir()) paths.emplace(next->path());
    for (const AZipItem::Ptr& child : next->children())
      if (child) stack.push_back(child.get());
  }
  return paths;
}

int64_t countFiles(const AZipItem& root) { return static_cast<int64_t>(filePaths(root).size()); }

void expectTree(const std::string& source, const std::string& name, bool excludeDsStore,
                Expectation& expected) {
  expected.present.push_back({name, source});
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(source, error))) return;
  for (auto it = fs::recursive_directory_iterator(source, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::file_status status = it->symlink_status(error);
    if (error) break;
    // Sockets, pipes and devices are no archive entries.
    if (!fs::is_regular_file(status) && !fs::is_directory(status) && !fs::is_symlink(status)) continue;
    const fs::path& path = it->path();
    if (excludeDsStore && path.filename() == ".DS_Store") continue;
    expected.present.push_back({name + "/" + path.lexically_relative(source).string(), path.string()});
  }
}

std::unique_ptr<ArchiveTransaction> ArchiveTransaction::begin(Kind kind, const std::string& archive,
                                                              std::string operation) {
  std::unique_ptr<ArchiveTransaction> tx(new ArchiveTransaction);
  tx->kind_ = kind;
  tx->operation_ = std::move(operation);
  tx->shown_ = archive;
  tx->target_ = kind == Kind::change ? resolvedPath(absolutePath(archive)) : absolutePath(archive);
  tx->directory_ = std::string(deletingLastPathComponent(tx->target_));
  if (tx->directory_.empty()) tx->directory_ = "/";
  const std::string name(lastPathComponent(tx->target_));

  if (kind == Kind::change) {
    // A set is locked on its first volume, whichever volume was named.
    const std::optional<VolumeSet> named = volumeSetOf(tx->target_);
    const std::string first = named && !named->present.empty()
                                  ? appendingPathComponent(tx->directory_, named->present.front())
                                  : tx->target_;
    const int locked = tx->lock_.lock(first, kLockPatience);
    if (locked == EWOULDBLOCK) {
      std::fprintf(stderr, "tessaro: another program is changing %s; try again later\n", archive.c_str());
      return nullptr;
    }
    if (locked != 0) {
      tx->fail(std::string("cannot open it: ") + std::strerror(locked));
      return nullptr;
    }
    struct stat st;
    if (::fstat(tx->lock_.fd(), &st) == 0) {
      tx->mode_ = st.st_mode & 07777;
      tx->owner_ = st.st_uid;
      tx->group_ = st.st_gid;
    }
    // Looked at again: the editor before us may have changed the set.
    const std::optional<VolumeSet> set = volumeSetOf(tx->target_);
    if (set && !set->present.empty()) {
      // The volume named first, so that the handler opens the copy of the one the user named.
      tx->volumes_.push_back(name);
      for (const std::string& volume : set->present)
        if (volume != name) tx->volumes_.push_back(volume);
    } else {
      tx->volumes_.push_back(name);
    }
  }
  if (!tx->makeWorkFolder()) return nullptr;
  tx->workPath_ = appendingPathComponent(tx->folder_, name);
  if (kind == Kind::change && !tx->copyVolumes()) return nullptr;
  return tx;
}

bool ArchiveTransaction::makeWorkFolder() {
  std::string pattern = appendingPathComponent(directory_, ".tessaro-XXXXXX");
  if (pattern.size() >= sizeof gWorkFolder) {
    fail("its folder's name is too long");
    return false;
  }
  {
    // Made and armed at once, so that no signal comes between and leaves the folder behind.
    const SignalsHeld held;
    if (!::mkdtemp(pattern.data())) {
      const int error = errno;
      fail("cannot make a work folder in " + directory_ + ": " + errorWords(error));
      return false;
    }
    folder_ = pattern;
    std::memcpy(gWorkFolder, folder_.c_str(), folder_.size() + 1);
    struct sigaction action {};
    action.sa_handler = removeWorkFolderOnSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &gPrevious[i]);
    gArmed = 1;
  }
  // Everything temporary, ours and the tools', goes into the work folder: on the archive's disk,
  // and gone with it.
  if (const char* tmpdir = std::getenv("TMPDIR")) {
    hadTmpdir_ = true;
    savedTmpdir_ = tmpdir;
  }
  ::setenv("TMPDIR", folder_.c_str(), 1);
  return true;
}

bool ArchiveTransaction::copyVolumes() {
  for (const std::string& volume : volumes_) {
    const std::string from = appendingPathComponent(directory_, volume);
    struct stat st;
    const mode_t mode = ::stat(from.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode_;
    // The copy stays writable for the tools; the original's mode comes back when it is committed.
    if (const int error = copyFile(from, appendingPathComponent(folder_, volume), mode | S_IRUSR | S_IWUSR)) {
      fail("cannot copy " + from + ": " + errorWords(error));
      return false;
    }
  }
  return true;
}

ArchiveTransaction::~ArchiveTransaction() {
  if (folder_.empty()) return;
  {
    const SignalsHeld held;
    removeTree(folder_.c_str());
    gArmed = 0;
    for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
  }
  if (hadTmpdir_) {
    ::setenv("TMPDIR", savedTmpdir_->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

int ArchiveTransaction::fail(std::string_view why) const {
  std::fprintf(stderr, "tessaro: %s %s failed: %.*s; %s\n", operation_.c_str(), shown_.c_str(),
               static_cast<int>(why.size()), why.data(),
               kind_ == Kind::change ? "the archive is unchanged" : "nothing was written");
  return kExitFailed;
}

std::string ArchiveTransaction::firstNewVolume(const ArchiveSession& session) const {
  if (isRegularFile(workPath_)) return workPath_;
  // A new set of volumes: the handler knows its first one.
  const std::optional<std::string>& url = session.handler().url();
  if (url && url->starts_with(folder_ + "/") && isRegularFile(*url)) return *url;
  std::string first;
  int64_t lowest = INT64_MAX;
  for (const std::string& file : newVolumes()) {
    const int64_t number = partNumber(file);
    if (number < lowest) {
      lowest = number;
      first = appendingPathComponent(folder_, file);
    }
  }
  return first;
}

std::optional<std::string> ArchiveTransaction::check(ArchiveSession& session, const Expectation& expected,
                                                     const std::string& warnings) const {
  const std::string first = firstNewVolume(session);
  if (first.empty()) return std::string("the tool wrote no archive");
  if (!expected.lists) return std::nullopt;
  // What the listing and testing tools say about the new archive is the check's to judge.
  const ToolMessagesHidden hidden(!session.verbose());
  const std::string& password = session.handler().password();
  const std::shared_ptr<ArchiveHandler> tester = handlerWithFilename(first);
  if (!tester) return std::string("the new archive is not recognised");
  // Read whole first: a cut stream is said in libarchive's words, not in a listing tool's.
  if (needsWholeRead(*tester)) {
    const ArchiveCheck read =
        checkWholeArchive(first, password.empty() ? std::nullopt : std::optional<std::string>(password));
    if (!read.ok)
      return "the new archive is damaged" + (read.entry.empty() ? std::string() : " at " + read.entry) +
             (read.problem.empty() ? std::string() : ": " + read.problem);
  }

  AZipItem::Ptr root;
  const int32_t listed = password.empty() ? getInfo(first, root) : getInfo(first, root, password);
  if (listed == kStatusListingEncrypted)
    return std::string("the new archive cannot be read with the password");
  if (listed != 0 || !root) return std::string("the new archive cannot be read back");
  for (const ExpectedEntry& entry : expected.present) {
    if (findItem(*root, entry.name)) continue;
    // An item the tool skipped with a warning is told about as a warning.
    if (!warnings.empty() && warnings.find(lastPathComponent(entry.name)) != std::string::npos) continue;
    return entry.name + " is missing from the new archive";
  }
  for (const std::string& name : expected.absent)
    if (findItem(*root, name)) return name + " is still in the new archive";
  const std::set<std::string> files = filePaths(*root);
  for (const std::string& name : expected.kept)
    if (!files.contains(name)) return name + " is missing from the new archive";
  if (expected.files && static_cast<int64_t>(files.size()) < *expected.files)
    return "the new archive lists " + std::to_string(files.size()) + " files instead of " +
           std::to_string(*expected.files);

  if (tester->isa().canTest()) {
    tester->setPassword(password);
    tester->setDocumentsTempFolder(folder_);
    AZipItem::List all{AZipItem::initWithPath("*")};
    if (!all.front() || tester->extract(all, folder_, kExtractTestOnly) != kStatusOK)
      return std::string("the new archive does not test sound");
  }
  return std::nullopt;
}

int ArchiveTransaction::finish(ArchiveSession& session, int32_t status, const Expectation& expected) {
  ArchiveHandler& handler = session.handler();
  if (status == kStatusNotSupported) return session.report(status, operation_);
  const bool warned = status == kStatusCancelled && !handler.operationCancelled() &&
                      handler.isa().cancelledStatusCanBeWarning();
  if (status != kStatusOK && !warned) return fail(session.statusInWords(status, folder_));
  if (handler.operationCancelled()) return fail("cancelled");
  const std::vector<std::string> warnings =
      warned ? warningLines(session.callback().recentLog()) : std::vector<std::string>{};
  std::string warningText;
  for (const std::string& line : warnings) warningText += line + "\n";
  if (warned && warnings.empty()) warningText = "\n";
  if (const std::optional<std::string> why = check(session, expected, warningText))
    return fail(lowOnSpace(folder_) ? "not enough space" : *why);
  if (const int committed = commit(); committed != kExitOK) return committed;
  if (!warned) return kExitOK;
  for (const std::string& line : warnings) std::fprintf(stderr, "tessaro: warning: %s\n", line.c_str());
  if (warnings.empty())
    std::fprintf(stderr, "tessaro: warning: the tool skipped an item of %s\n", shown_.c_str());
  return kExitFailed;
}

std::vector<std::string> ArchiveTransaction::newVolumes() const {
  const std::string name(lastPathComponent(target_));
  const std::string stem = pathExtension(name).empty() ? name : std::string(deletingPathExtension(name));
  const std::string firstOfSet = firstPart(name);
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder_, error)) {
    const std::string file = entry.path().filename().string();
    if (!isRegularFile(entry.path().string())) continue;
    const std::optional<std::string> base = basePath(file);
    const bool ours =
        file == name || firstPart(file) == firstOfSet || (base && (*base == name || *base == stem));
    if (ours) names.push_back(file);
  }
  return names;
}

int ArchiveTransaction::commit() {
  const std::vector<std::string> names = newVolumes();
  if (names.empty()) return fail("the tool wrote no archive");
  for (const std::string& file : names) {
    const std::string path = appendingPathComponent(folder_, file);
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int error = fd ? 0 : errno;
    // The file keeps the original's mode; a new one the one the tool gave it.
    if (error == 0 && kind_ == Kind::change && ::fchmod(fd.get(), mode_) != 0) error = errno;
    // Someone else's archive stays theirs where we may give it back; elsewhere it becomes ours.
    if (error == 0 && kind_ == Kind::change && owner_ != ::geteuid())
      (void)::fchown(fd.get(), owner_, group_);
    if (error == 0) error = syncFile(fd.get());
    if (error != 0) return fail("cannot write " + file + ": " + errorWords(error));
  }
  // A signal now would leave half a set: it waits until the set is whole.
  const SignalsHeld held;
  return kind_ == Kind::change ? commitChange(names) : commitCreate(names);
}

int ArchiveTransaction::commitChange(const std::vector<std::string>& names) {
  // Each original is first linked to a name in the work folder, so that every step can be
  // undone until the folder holding the new set is durable.
  std::vector<std::string> kept;
  std::vector<std::string> placed;
  const auto undo = [&] {
    for (const std::string& file : placed) {
      const std::string old = appendingPathComponent(folder_, file + std::string(kKeptSuffix));
      const std::string at = appendingPathComponent(directory_, file);
      if (::access(old.c_str(), F_OK) == 0) {
        ::rename(old.c_str(), at.c_str());
      } else {
        ::unlink(at.c_str());
      }
    }
    for (const std::string& file : kept) {
      const std::string old = appendingPathComponent(folder_, file + std::string(kKeptSuffix));
      const std::string at = appendingPathComponent(directory_, file);
      if (::access(at.c_str(), F_OK) != 0) ::rename(old.c_str(), at.c_str());
    }
  };
  std::vector<std::string> originals = volumes_;
  for (const std::string& file : originals) {
    const std::string at = appendingPathComponent(directory_, file);
    const std::string old = appendingPathComponent(folder_, file + std::string(kKeptSuffix));
    if (::link(at.c_str(), old.c_str()) != 0) {
      const int error = errno;
      // A file system without hard links: one file replaced by one rename needs no undoing.
      const bool noLinks = error == EPERM || error == EOPNOTSUPP || error == EMLINK;
      if (noLinks && originals.size() == 1 && names.size() == 1 && names.front() == file) continue;
      undo();
      return fail("cannot keep " + file + " until the change is made: " + errorWords(error));
    }
    kept.push_back(file);
  }
  for (const std::string& file : names) {
    const std::string from = appendingPathComponent(folder_, file);
    const std::string to = appendingPathComponent(directory_, file);
    if (::rename(from.c_str(), to.c_str()) != 0) {
      const int error = errno;
      undo();
      return fail("cannot replace " + to + ": " + errorWords(error));
    }
    placed.push_back(file);
  }
  // Volumes the new set no longer has.
  for (const std::string& file : originals) {
    if (std::find(names.begin(), names.end(), file) != names.end()) continue;
    const std::string at = appendingPathComponent(directory_, file);
    if (::unlink(at.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      undo();
      return fail("cannot remove " + at + ": " + errorWords(error));
    }
  }
  if (const int error = syncFolder(directory_)) {
    undo();
    syncFolder(directory_);
    return fail("cannot make the change durable: " + errorWords(error));
  }
  lock_.unlock();
  return kExitOK;
}

int ArchiveTransaction::commitCreate(const std::vector<std::string>& names) {
  std::vector<std::string> placed;
  const auto undo = [&] {
    for (const std::string& path : placed) ::unlink(path.c_str());
  };
  const std::string name(lastPathComponent(target_));
  for (const std::string& file : names) {
    const std::string from = appendingPathComponent(folder_, file);
    std::string to = appendingPathComponent(directory_, file);
    int error = renameNoReplace(from, to);
    // Only a lone new file takes a free name: the names of a set belong together.
    for (int n = 1; error == EEXIST && freeName_ && names.size() == 1 && n < 1000; ++n) {
      const std::string extension(pathExtension(name));
      std::string candidate =
          (extension.empty() ? name : std::string(deletingPathExtension(name))) + " " + std::to_string(n);
      if (!extension.empty()) candidate = appendingPathExtension(candidate, extension);
      to = appendingPathComponent(directory_, candidate);
      error = renameNoReplace(from, to);
    }
    if (error != 0) {
      undo();
      return fail(error == EEXIST ? to + " exists already" : "cannot make " + to + ": " + errorWords(error));
    }
    placed.push_back(to);
  }
  if (const int error = syncFolder(directory_)) {
    undo();
    return fail("cannot make the new file durable: " + errorWords(error));
  }
  return kExitOK;
}

}  // namespace tessaro::host
