#include "ArchiveSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ArchiveHandler7z.h"
#include "ArchiveHandlerRar.h"
#include "ArchiveHandlerTar.h"
#include "ArchiveHandlerXar.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "HostApplication.h"
#include "HostPaths.h"
#include "ListingPipeline.h"
#include "ProcessGlobals.h"
#include "PathString.h"
#include "helpers.h"
#include "io/FileIO.h"

namespace tessaro::host {

const char* const kCreateFormats = "zip, 7z, tar, tar.gz (tgz), tar.bz2 (tbz), tar.xz (txz), xar, rar";

namespace {

struct FormatName {
  std::string_view extension;
  const HandlerClass& (*handlerClass)();
};

// The writable formats by the name endings people use; the classes state their format tags.
constexpr FormatName kFormats[] = {
    {"tar.gz", &AHandlerTGz::metaclass},  {"tgz", &AHandlerTGz::metaclass},
    {"tar.bz2", &AHandlerTBz::metaclass}, {"tbz", &AHandlerTBz::metaclass},
    {"tbz2", &AHandlerTBz::metaclass},    {"tar.xz", &AHandlerTXz::metaclass},
    {"txz", &AHandlerTXz::metaclass},     {"tar", &AHandlerTar::metaclass},
    {"zip", &AHandlerZip::metaclass},     {"7z", &AHandler7zip::metaclass},
    {"xar", &AHandlerXar::metaclass},     {"rar", &AHandlerRar::metaclass},
};

std::string lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<int32_t> formatTagFor(const std::string& archive, const std::string& format) {
  if (!format.empty()) {
    const std::string wanted = lowercase(format);
    for (const FormatName& f : kFormats)
      if (f.extension == wanted) return f.handlerClass().formatTag();
    return std::nullopt;
  }
  const std::string name = lowercase(lastPathComponent(archive));
  for (const FormatName& f : kFormats) {
    if (name.size() > f.extension.size() + 1 && name.ends_with(f.extension) &&
        name[name.size() - f.extension.size() - 1] == '.')
      return f.handlerClass().formatTag();
  }
  // Other names of a writable class (cbz, jar, ...).
  const std::string extension = lowercase(pathExtension(name));
  for (const HandlerClass* c : allHandlerClasses()) {
    if (c->canSave() <= 0) continue;
    const auto allowed = c->allowedExtensions();
    if (!allowed) continue;
    for (const std::string& e : *allowed)
      if (e == extension) return c->formatTag();
  }
  return std::nullopt;
}

}  // namespace

bool isFolderOrSay(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      std::fprintf(stderr, "tessaro: %s: no such folder\n", path.c_str());
    else
      std::fprintf(stderr, "tessaro: %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) std::fprintf(stderr, "tessaro: %s is not a folder\n", path.c_str());
  return S_ISDIR(st.st_mode);
}

std::string noHandlerInWords(const std::string& file) {
  const std::string extension = lowercase(pathExtension(lastPathComponent(file)));
  if (!extension.empty()) {
    for (const HandlerClass* c : allHandlerClasses()) {
      const auto allowed = c->allowedExtensions();
      if (!allowed) continue;
      for (const std::string& e : *allowed) {
        if (e == extension)
          return file + " is not a readable " + extension + " archive: it is damaged or of another kind";
      }
    }
  }
  return "no handler for " + file + ": it is not an archive tessaro reads";
}

std::string listingProblemInWords(const std::string& file, int32_t status, const ArchiveFacts& facts,
                                  bool verbose) {
  std::string words;
  if (const std::optional<VolumeSet> set = facts.volumes ? facts.volumes : volumeSetOf(file);
      set && !set->missing.empty()) {
    words = "the volume " + std::string(lastPathComponent(set->missing.front())) + " is missing";
  } else if (status == 100 || status == 11) {
    words = "the names are encrypted: the password is missing or wrong";
  } else if (facts.problem == ListingProblem::endsEarly) {
    words = "the file ends before the archive does (cut short or still being written)";
  } else if (facts.problem == ListingProblem::notReadable ||
             facts.problem == ListingProblem::damagedHeaders) {
    words = "the archive is damaged";
  } else {
    words = handlerStatusInWords(status);
  }
  if (verbose) words += " (status " + std::to_string(status) + ")";
  return words;
}

const AZipItem* findItem(const AZipItem& root, std::string_view path) {
  const AZipItem* item = &root;
  bool any = false;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (name.empty()) continue;
    const AZipItem* next = nullptr;
    for (const AZipItem::Ptr& child : item->children()) {
      if (child && child->name() == name) {
        next = child.get();
        break;
      }
    }
    if (!next) return nullptr;
    item = next;
    any = true;
  }
  return any ? item : nullptr;
}

std::string absolutePath(const std::string& path) {
  if (path.starts_with("/")) return path;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  return appendingPathComponent(cwd, path);
}

std::unique_ptr<ArchiveSession> ArchiveSession::open(const std::string& archive, bool verbose,
                                                     const std::string& shownAs, bool printEntries) {
  const std::string& shown = shownAs.empty() ? archive : shownAs;
  if (const std::string complaint = notReadableAsArchive(archive); !complaint.empty()) {
    std::fprintf(stderr, "tessaro: %s: %s\n", shown.c_str(), complaint.c_str());
    return nullptr;
  }
  locateHelpers();
  std::unique_ptr<ArchiveSession> session(new ArchiveSession);
  session->archive_ = absolutePath(archive);
  session->shown_ = shownAs.empty() ? session->archive_ : shownAs;
  session->handler_ = handlerWithFilename(session->archive_);
  if (!session->handler_) {
    std::fprintf(stderr, "tessaro: %s\n", noHandlerInWords(shown).c_str());
    return nullptr;
  }
  session->printEntries_ = printEntries;
  if (!session->prepare(verbose)) return nullptr;
  return session;
}

std::unique_ptr<ArchiveSession> ArchiveSession::create(const std::string& archive, const std::string& format,
                                                       bool verbose, const std::string& shownAs) {
  const std::optional<int32_t> tag = formatTagFor(archive, format);
  if (!tag) {
    std::fprintf(stderr, "tessaro: cannot tell the format of %s: name it with --format (%s)\n",
                 (shownAs.empty() ? archive : shownAs).c_str(), kCreateFormats);
    return nullptr;
  }
  locateHelpers();
  std::unique_ptr<ArchiveSession> session(new ArchiveSession);
  session->archive_ = absolutePath(archive);
  session->shown_ = shownAs.empty() ? session->archive_ : shownAs;
  session->handler_ = handlerWithFormat(*tag);
  if (!session->handler_ || session->handler_->isa().canSave() <= 0) {
    std::fprintf(stderr, "tessaro: %s archives cannot be written here%s\n",
                 session->handler_ ? session->handler_->isa().formatName().c_str() : format.c_str(),
                 *tag == 6 ? " (no rar tool on PATH: name it with 'tessaro defaults write rar PATH')" : "");
    return nullptr;
  }
  if (!session->prepare(verbose)) return nullptr;
  return session;
}

bool ArchiveSession::prepare(bool verbose) {
  verbose_ = verbose;
  callback_ = std::make_shared<TerminalCallbackHandler>(
      shown_, TerminalCallbackHandler::Options{verbose, printEntries_});
  handler_->setCallbackHandler(callback_);
  tempFolder_ = theApp() ? theApp()->createTempFolderInside(userTempPath(), true)
                         : createTempFolderInside(userTempPath(), true);
  if (!tempFolder_) {
    std::fprintf(stderr, "tessaro: cannot make a temporary folder in %s\n", userTempPath().c_str());
    return false;
  }
  handler_->setDocumentsTempFolder(tempFolder_);
  return true;
}

ArchiveSession::~ArchiveSession() {
  if (callback_) callback_->endProgress();
  if (!tempFolder_) return;
  // A tool may have left read-only files and folders there: removeTree makes them writable first.
  removeTree(tempFolder_->c_str());
  if (theApp()) theApp()->removeTempFolder(*tempFolder_);
}

std::string handlerStatusInWords(int32_t status) {
  switch (status) {
    case kStatusOK: return "done";
    case kStatusNotSupported: return "the operation is not supported for this archive";
    case kStatusCancelled: return "cancelled";
    case kStatusToolFatal: return "the tool stopped with a fatal error";
    case kStatusFailed: return "the archive cannot be opened or is damaged, or the tool reported errors";
    case kStatusNoArchivePath: return "the archive has no path";
    case kStatusNoFileURL: return "the archive has no file";
    case kStatusRarBadPassword:
    case kStatusListingEncrypted: return "the password is missing or wrong";
    case kStatusListingCutShort:
      return "the listing stopped at its bound (raise HLVListingMaxEntries or HLVListingMaxNameBytes)";
    case kStatusXarCannotOpen: return "the XAR archive cannot be opened or written";
    case kStatusOutOfMemory: return "not enough memory";
    case kStatusPasswordNotPrivate:
      return "this format's tool can only take a password on its command line, where other users could read "
             "it";
    default: return "the tool reported errors";
  }
}

const ArchiveSession::Listing& ArchiveSession::listing() {
  if (listing_) return *listing_;
  Listing& made = listing_.emplace();
  made.status = getInfo(archive_, made.root, made.facts);
  // Enciphered names open with the password the user gave.
  if (made.status == 100 && passwordGiven_) {
    AZipItem::Ptr opened;
    if (getInfo(archive_, opened, handler_->password()) == 0) {
      made.root = std::move(opened);
      made.status = 0;
    }
  }
  return made;
}

void ArchiveSession::setPassword(const std::string& password) {
  handler_->setPassword(password);
  passwordGiven_ = true;
}

std::string ArchiveSession::statusInWords(int32_t status, const std::string& written) const {
  bool noSpace = !written.empty() && lowOnSpace(written);
  if (callback_) {
    const std::string& log = callback_->recentLog();
    for (const char* words :
         {"No space left", "not enough space", "Not enough space", "Disk full", "disk is full"})
      noSpace = noSpace || log.find(words) != std::string::npos;
  }
  std::string words;
  const std::optional<VolumeSet> set = volumeSetOf(archive_);
  if (noSpace) {
    words = "not enough space";
  } else if (set && !set->missing.empty()) {
    // A tool that cannot find the next volume says many things, a wrong password among them.
    words = "the volume " + std::string(lastPathComponent(set->missing.front())) + " is missing";
  } else if (passwordGiven_ &&
             (status == kStatusListingEncrypted || (callback_ && callback_->passwordAsked()))) {
    // Asked again after the given one: the tool refused it, whatever status it ends with.
    words = "the password is wrong";
  } else if (status == kStatusListingEncrypted &&
             (handler_->isListingEncrypted() || (callback_ && callback_->passwordAsked()))) {
    words = "the archive needs a password: give it with --password";
  } else if ((status == kStatusCancelled && !handler_->operationCancelled()) ||
             (status == kStatusListingEncrypted && handler_->password().empty() &&
              !handler_->isListingEncrypted())) {
    // 1 is also a tool's own exit status, and some tools' statuses are taken for a password
    // problem whatever went wrong: only an archive that needs a password can have one.
    words = handlerStatusInWords(kStatusFailed);
  } else {
    words = handlerStatusInWords(status);
  }
  if (verbose_) words += " (status " + std::to_string(status) + ")";
  return words;
}

int ArchiveSession::report(int32_t status, std::string_view operation) const {
  if (callback_) callback_->endProgress();
  const std::string op(operation);
  if (status == kStatusOK) return kExitOK;
  if (status == kStatusNotSupported) {
    std::fprintf(stderr, "tessaro: %s is not supported for %s\n", op.c_str(),
                 handler_->isa().formatName().c_str());
    return kExitUsage;
  }
  std::fprintf(stderr, "tessaro: %s %s failed: %s\n", op.c_str(), shown_.c_str(),
               statusInWords(status, std::string(deletingLastPathComponent(archive_))).c_str());
  return kExitFailed;
}

}  // namespace tessaro::host
