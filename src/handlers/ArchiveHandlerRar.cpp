#include "ArchiveHandlerRar.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>

#include "ArchiveCallbackHandler.h"
#include "FolderWatcher.h"
#include "HostApplication.h"
#include "HostTexts.h"
#include "io/FileDescriptor.h"
#include "io/LibraryOnFirstUse.h"
#include "PathString.h"
#include "RarHeaders.h"
#include "ProcessGlobals.h"
#include "TextNumber.h"
#include "defaults/UserDefaults.h"
#include "helpers.h"
#include "log/SystemLog.h"

// dll.hpp spells its Windows type names (HANDLE, UINT, LPARAM …) only for this platform macro.
#ifndef _UNIX
#define _UNIX
#endif
#include <unrar/dll.hpp>

namespace tessaro {

namespace {

namespace fs = std::filesystem;

// Names are converted into this many bytes: at most 1023 of text and the terminating zero.
constexpr size_t kNameBufferSize = 1024;
// The largest archive comment the listing asks the library for.
constexpr unsigned int kCommentBufferSize = 65536;
// Each volume family gives up after this many missing names, counted over the whole family.
constexpr int kMaxVolumeMisses = 11;
// Volume numbers are written with at most this many digits; more would overflow the bound.
constexpr int kMaxVolumeDigits = 18;
// Redirection types of the extended header: links whose target lies in the file system, and
// links whose target is another entry of the archive.
constexpr unsigned int kRedirUnixSymlink = 1;
constexpr unsigned int kRedirJunction = 3;
constexpr unsigned int kRedirHardLink = 4;
constexpr unsigned int kRedirFileCopy = 5;
// Link targets kept from one listing; a listing with more has its later links go unjudged.
constexpr size_t kMaxLinkTargets = 100000;

// The number of a "partN" extension, 0 when the text is no such extension.
int32_t partExtensionNumber(std::string_view extension) {
  if (!extension.starts_with("part")) return 0;
  return intValue(extension.substr(4));
}

bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool fileSize(const std::string& path, int64_t& size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  size = static_cast<int64_t>(st.st_size);
  return true;
}

// The library turns file names between wide and narrow text with the thread's character type;
// UTF-8 there keeps non-ASCII names whole whatever locale the process runs in.
class Utf8ThreadLocale {
 public:
  Utf8ThreadLocale() {
    utf8_ = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!utf8_) utf8_ = ::newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8_) previous_ = ::uselocale(utf8_);
  }
  ~Utf8ThreadLocale() {
    if (!utf8_) return;
    ::uselocale(previous_);
    ::freelocale(utf8_);
  }
  Utf8ThreadLocale(const Utf8ThreadLocale&) = delete;
  Utf8ThreadLocale& operator=(const Utf8ThreadLocale&) = delete;

 private:
  locale_t utf8_ = nullptr;
  locale_t previous_ = nullptr;
};

// UTF-8 to code points; invalid bytes become U+FFFD.
std::wstring utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    uint32_t c = length == 1   ? lead
                 : length == 2 ? (lead & 0x1F)
                 : length == 3 ? (lead & 0x0F)
                               : (lead & 0x07);
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
    i += length;
  }
  return out;
}

// UnRAR, opened by the first RAR operation: a listing of any other format never needs it.
struct Unrar {
  decltype(&::RARCloseArchive) closeArchive = nullptr;
  decltype(&::RAROpenArchiveEx) openArchiveEx = nullptr;
  decltype(&::RARSetPassword) setPassword = nullptr;
  decltype(&::RARSetCallback) setCallback = nullptr;
  decltype(&::RARReadHeaderEx) readHeaderEx = nullptr;
  decltype(&::RARProcessFile) processFile = nullptr;
  decltype(&::RARProcessFileW) processFileW = nullptr;
};

// Null when the library or one of its functions is missing: RAR operations then fail.
const Unrar* unrar() {
  return libraryOnFirstUse<Unrar>("libunrar.so.5", [](void* library, Unrar& table) {
    return resolveSymbol(library, "RARCloseArchive", table.closeArchive) &&
           resolveSymbol(library, "RAROpenArchiveEx", table.openArchiveEx) &&
           resolveSymbol(library, "RARSetPassword", table.setPassword) &&
           resolveSymbol(library, "RARSetCallback", table.setCallback) &&
           resolveSymbol(library, "RARReadHeaderEx", table.readHeaderEx) &&
           resolveSymbol(library, "RARProcessFile", table.processFile) &&
           resolveSymbol(library, "RARProcessFileW", table.processFileW);
  });
}

// The library handle, closed however the operation ends.
class ArchiveHandle {
 public:
  explicit ArchiveHandle(HANDLE handle) : handle_(handle) {}
  ~ArchiveHandle() {
    if (handle_) unrar()->closeArchive(handle_);
  }
  ArchiveHandle(const ArchiveHandle&) = delete;
  ArchiveHandle& operator=(const ArchiveHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

int CALLBACK handleRARCallBack(UINT msg, LPARAM userData, LPARAM p1, LPARAM p2) {
  auto* handler = reinterpret_cast<AHandlerRar*>(userData);
  return handler ? handler->handleRARCallBack(msg, p1, p2) : -1;
}

// The handler stays in runningHandlers, and `flag` stays set, while the library may call back.
class RunningScope {
 public:
  RunningScope(ArchiveHandler& handler, bool* flag) : flag_(flag) {
    self_ = handler.weak_from_this().lock();
    if (self_) runningHandlers().add(self_);
    if (flag_) *flag_ = true;
  }
  ~RunningScope() {
    if (flag_) *flag_ = false;
    if (self_) runningHandlers().remove(self_);
  }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  std::shared_ptr<ArchiveHandler> self_;
  bool* flag_;
};

std::string entryName(RARHeaderDataEx& header) {
  header.FileNameW[kNameBufferSize - 1] = 0;
  char name[kNameBufferSize];
  WideToUtf(header.FileNameW, name, sizeof name);
  std::string text(name);
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Written field by field: printf's format parsing was a tenth of a large listing's time.
std::string listingRecord(RARHeaderDataEx& header) {
  const auto unco = static_cast<int64_t>((uint64_t{header.UnpSizeHigh} << 32) | header.UnpSize);
  const auto comp = static_cast<int64_t>((uint64_t{header.PackSizeHigh} << 32) | header.PackSize);
  header.FileNameW[kNameBufferSize - 1] = 0;
  char name[kNameBufferSize];
  WideToUtf(header.FileNameW, name, sizeof name);
  return rarListingRecord(name, header.FileAttr, header.HostOS, unco, comp,
                          (header.Flags & RHDF_ENCRYPTED) != 0, header.FileCRC, header.FileTime);
}

// The comment the library read on opening, when it is UTF-8 text.
std::optional<std::string> openedComment(const RAROpenArchiveDataEx& openData) {
  if (openData.CmtState != 1) return std::nullopt;
  const size_t length = std::min<size_t>(openData.CmtSize, openData.CmtBufSize);
  std::string_view text(openData.CmtBuf, length);
  text = text.substr(0, text.find('\0'));
  uint64_t encoding = 0;
  std::optional<std::string> decoded = decodeString(text, &encoding);
  if (decoded && (encoding == kUTF8StringEncoding || encoding == kASCIIStringEncoding)) return decoded;
  return std::nullopt;
}

// An archive opened by the library for listing, with the comment it read on opening.
class ListingOpen {
 public:
  // The names live as long as the handle: nothing promises that the library copied them.
  explicit ListingOpen(const std::string& path) : wideName_(utf8ToWide(path)), narrowName_(path) {
    std::vector<char> commentBuffer(kCommentBufferSize);
    RAROpenArchiveDataEx openData{};
    openData.ArcName = narrowName_.data();
    openData.ArcNameW = wideName_.data();
    openData.OpenMode = RAR_OM_LIST;
    openData.CmtBuf = commentBuffer.data();
    openData.CmtBufSize = kCommentBufferSize;
    if (const Unrar* rar = unrar()) handle_ = rar->openArchiveEx(&openData);
    if (handle_) comment_ = openedComment(openData);
  }
  ~ListingOpen() {
    if (handle_) unrar()->closeArchive(handle_);
  }
  ListingOpen(const ListingOpen&) = delete;
  ListingOpen& operator=(const ListingOpen&) = delete;
  HANDLE get() const { return handle_; }
  const std::optional<std::string>& comment() const { return comment_; }

 private:
  std::wstring wideName_;
  std::string narrowName_;
  HANDLE handle_ = nullptr;
  std::optional<std::string> comment_;
};

// True when `path` (normalised) lies in `root` or is `root`.
bool isInside(const fs::path& root, const fs::path& path) {
  return std::mismatch(root.begin(), root.end(), path.begin(), path.end()).first == root.end();
}

// A name that could place a file outside the destination: absolute, or with a ".." component.
bool isUnsafeName(std::string_view name) {
  if (name.empty() || name.front() == '/') return true;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

// Where the entry would land once the links already on disk are followed; none when outside.
bool landsInside(const fs::path& root, std::string_view name) {
  std::error_code error;
  const fs::path target = fs::weakly_canonical(root / fs::path(name), error);
  return !error && isInside(root, target);
}

// A link at `name` to `target` that would lead out of the destination; an unknown target (RAR 4
// keeps it in the entry's data) is checked once the link exists.
bool linkTargetEscapes(const fs::path& root, std::string_view name, std::string_view target) {
  if (target.empty()) return false;
  if (target.front() == '/') return true;
  std::error_code error;
  const fs::path folder = fs::weakly_canonical((root / fs::path(name)).parent_path(), error);
  if (error) return true;
  const fs::path resolved = fs::weakly_canonical(folder / fs::path(target), error);
  return error || !isInside(root, resolved);
}

// A symbolic link that the library just created and that points out of the destination.
bool isEscapingLink(const fs::path& root, const fs::path& created) {
  std::error_code error;
  if (!fs::is_symlink(fs::symlink_status(created, error))) return false;
  const fs::path target = fs::read_symlink(created, error);
  if (error || target.is_absolute()) return true;
  const fs::path resolved = fs::weakly_canonical(created.parent_path() / target, error);
  return error || !isInside(root, resolved);
}

void reportSkipped(ArchiveCallbackHandler* host, const std::string& name, const char* why) {
  HLVLog(kLogError, "Skipped %s: %s", name.c_str(), why);
  if (host && host->respondsToLogOutput()) host->logOutput("Skipped " + name + ": " + why + "\n");
}

}  // namespace

// ---- Class properties

class AHandlerRar::Class : public HandlerClassOf<AHandlerRar, ArchiveHandler::Class> {
 public:
  std::string formatName() const override { return hostText("RAR Format"); }
  int32_t formatTag() const override { return 6; }
  std::optional<std::string> defaultExtension() const override { return "rar"; }
  std::optional<std::string> baseType() const override { return "rar"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"rar", "cbr"};
  }
  // Creating and repairing need the `rar` tool; listing and extraction do not.
  int32_t canSave() const override { return AHandlerRar::rarPath() ? 2 : 0; }
  bool canRepair() const override { return AHandlerRar::rarPath().has_value(); }
  bool hasCompressionFactor() const override { return true; }
  bool canSplit() const override { return true; }
  bool canDelete() const override { return true; }
  bool canWriteComments() const override { return true; }
  bool canEncrypt() const override { return true; }
  bool canTest() const override { return true; }
  bool hasMacMode() const override { return true; }
  bool canMoveItems() const override { return true; }
  std::vector<int32_t> compressionFactorTags() const override { return {0, 1, 2, 4, 5}; }
  // RAR ciphers with AES only, optionally hiding the names too.
  std::vector<int32_t> encryptionMethodTags() const override { return {0, 2, 3}; }
};

const HandlerClass& AHandlerRar::metaclass() {
  static const Class instance;
  return instance;
}

// ---- Texts of the library's header fields

std::string rarListFileAttr(uint32_t attr, uint32_t hostOS) {
  switch (hostOS) {
    case 0:  // MS-DOS
    case 1:  // OS/2
    case 2:  // Windows
    case 4:  // Mac OS
    {
      const char text[] = {' ',
                           (attr & 0x08) ? 'V' : '.',
                           (attr & 0x10) ? 'D' : '.',
                           (attr & 0x01) ? 'R' : '.',
                           (attr & 0x02) ? 'H' : '.',
                           (attr & 0x04) ? 'S' : '.',
                           (attr & 0x20) ? 'A' : '.',
                           (attr & 0x800) ? 'C' : '.',
                           ' ',
                           ' '};
      return std::string(text, sizeof text);
    }
    case 3:  // Unix
    case 5:  // BeOS
    {
      const uint32_t type = attr & 0xF000;
      const char ownerExecute = (attr & 0x800) ? ((attr & 0x40) ? 's' : 'S') : ((attr & 0x40) ? 'x' : '-');
      const char groupExecute = (attr & 0x400) ? ((attr & 0x08) ? 's' : 'S') : ((attr & 0x08) ? 'x' : '-');
      const char text[] = {type == 0x4000   ? 'd'
                           : type == 0xA000 ? 'l'
                                            : '-',
                           (attr & 0x100) ? 'r' : '-',
                           (attr & 0x80) ? 'w' : '-',
                           ownerExecute,
                           (attr & 0x20) ? 'r' : '-',
                           (attr & 0x10) ? 'w' : '-',
                           groupExecute,
                           (attr & 0x04) ? 'r' : '-',
                           (attr & 0x02) ? 'w' : '-',
                           (attr & 0x01) ? 'x' : '-'};
      return std::string(text, sizeof text);
    }
    default: return "-";
  }
}

void WideToUtf(const wchar_t* source, char* destination, size_t size) {
  if (!destination || size == 0) return;
  const size_t room = size - 1;
  size_t used = 0;
  for (const wchar_t* p = source; p && *p != 0; ++p) {
    const auto c = static_cast<uint32_t>(*p);
    unsigned char bytes[4];
    size_t length;
    if (c < 0x80) {
      bytes[0] = static_cast<unsigned char>(c);
      length = 1;
    } else if (c < 0x800) {
      bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      length = 2;
    } else if (c < 0x10000) {
      bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      length = 3;
    } else if (c < 0x200000) {
      bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      length = 4;
    } else {
      continue;
    }
    if (used + length > room) break;
    std::memcpy(destination + used, bytes, length);
    used += length;
  }
  destination[used] = 0;
}

// ---- Opening and volumes

bool AHandlerRar::initWithURL(std::string_view path) {
  try {
    traceOperation("initWithURL");
    return Super::initWithURL(path);
  } catch (...) {
    return false;
  }
}

void AHandlerRar::initParts() {
  try {
    if (!url()) return;
    const std::string& first = *url();
    const std::string_view lastExtension = pathExtension(first);
    const std::string_view secondExtension = pathExtension(deletingPathExtension(first));

    // Each family: the text before the number and the text after it.
    std::vector<std::pair<std::string, std::string>> formats;
    int digits = 0;
    int64_t start = 0;
    std::string base;
    std::vector<VolumePart> found;
    if (secondExtension.size() >= 5 && partExtensionNumber(secondExtension) > 0) {
      formats = {{".part", ".rar"}, {".part", ".rev"}};
      digits = static_cast<int>(secondExtension.size() - 4);
      start = 1;
      base = deletingPathExtension(deletingPathExtension(first));
    } else if (allDigits(lastExtension)) {
      formats = {{".", ""}};
      digits = 3;
      start = 1;
      base = deletingPathExtension(first);
    } else {
      formats = {{".r", ""}, {".s", ""}};
      digits = 2;
      base = deletingPathExtension(first);
      int64_t size = 0;
      fileSize(first, size);
      found.push_back({first, std::string(lastPathComponent(first)), size});
    }
    digits = std::min(digits, kMaxVolumeDigits);
    int64_t limit = 1;
    for (int i = 0; i < digits; ++i) limit *= 10;
    limit -= 1;

    for (const auto& [before, after] : formats) {
      int misses = 0;
      for (int64_t index = start; index < limit; ++index) {
        char number[24];
        std::snprintf(number, sizeof number, "%0*lld", digits, static_cast<long long>(index));
        std::string volume = base + before + number + after;
        int64_t size = 0;
        if (fileSize(volume, size)) {
          std::string name(lastPathComponent(volume));
          found.push_back({std::move(volume), std::move(name), size});
          if (misses > 0) HLVLog(kLogError, "Parts seem to be missing.");
        } else {
          if (misses >= kMaxVolumeMisses) break;
          ++misses;
        }
      }
    }
    parts_ = std::move(found);
  } catch (...) {
    // Swallowed: the volumes stay as they were; extraction asks for the missing ones.
    HLVLog(kLogError, "Collecting the RAR volumes failed");
  }
}

std::optional<std::vector<std::string>> AHandlerRar::possiblyConflictingParts() const {
  try {
    if (!url()) return std::nullopt;
    const std::string folder(deletingLastPathComponent(*url()));
    const std::string_view own = lastPathComponent(*url());
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      const std::string_view withoutOne = deletingPathExtension(name);
      if (deletingPathExtension(withoutOne) == own && partExtensionNumber(pathExtension(withoutOne)) > 0)
        names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  } catch (...) {
    return std::nullopt;
  }
}

// ---- Listing

int32_t AHandlerRar::doGetInfo(std::vector<std::string>& records) {
  setOperationCancelled(false);
  if (!url()) return kStatusNoFileURL;
  if (headerSource_ != HeaderSource::kLibrary) {
    const size_t before = records.size();
    if (const std::optional<int32_t> status = listInProcess(records)) return *status;
    // Given up: the library lists from the start, with the bound counted anew.
    records.erase(records.begin() + static_cast<std::ptrdiff_t>(before), records.end());
    linkTargets_.clear();
    setListingBound(std::optional<ListingBound>(listingBound()));
    if (headerSource_ == HeaderSource::kInProcess) return kStatusNotSupported;
  }
  return listThroughLibrary(records);
}

std::optional<int32_t> AHandlerRar::listInProcess(std::vector<std::string>& records) {
  const FileDescriptor file(::open(url()->c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  const RarReadAt readAt = [&file](uint64_t offset, uint8_t* into, size_t length) {
    size_t done = 0;
    while (done < length) {
      const ssize_t got = ::pread(file.get(), into + done, length - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    return done;
  };
  linkTargets_.clear();
  RarHeaderFacts facts;
  const auto takeEntry = [&](const RarEntry& entry) {
    records.push_back(
        rarListingRecord(entry.name, entry.attributes, entry.hostOS, static_cast<int64_t>(entry.unpackedSize),
                         static_cast<int64_t>(entry.packedSize), entry.encrypted, entry.crc, entry.dosTime));
    if (listingBoundReached(records)) return false;
    if (entry.redirectionType >= kRedirUnixSymlink && entry.redirectionType <= kRedirJunction &&
        linkTargets_.size() < kMaxLinkTargets) {
      std::string_view name = entry.name;
      while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
      linkTargets_.insert_or_assign(std::string(name), std::string(entry.redirectionTarget));
    }
    return !operationCancelled();
  };
  if (readRarHeaders(readAt, takeEntry, facts) == RarHeadersResult::kUnplaced) return std::nullopt;
  if (facts.hasComment) readCommentThroughLibrary();
  return kStatusOK;
}

void AHandlerRar::readCommentThroughLibrary() {
  const Utf8ThreadLocale utf8;
  const ListingOpen archive(*url());
  if (archive.comment()) setComment(*archive.comment());
}

int32_t AHandlerRar::listThroughLibrary(std::vector<std::string>& records) {
  const Utf8ThreadLocale utf8;
  const ListingOpen archive(*url());
  if (!archive.get()) return kStatusFailed;
  if (archive.comment()) setComment(*archive.comment());
  const Unrar* rar = unrar();  // loaded: the archive is open

  std::string secret = password();
  if (!secret.empty()) rar->setPassword(archive.get(), secret.data());
  rar->setCallback(archive.get(), tessaro::handleRARCallBack, reinterpret_cast<LPARAM>(this));

  int code = 0;
  linkTargets_.clear();
  {
    const RunningScope running(*this, &bGetInfo_);
    // About 14 KB, reused for every entry.
    auto header = std::make_unique<RARHeaderDataEx>();
    std::memset(header.get(), 0, sizeof *header);
    std::vector<wchar_t> redirName(kNameBufferSize);
    while (!operationCancelled()) {
      header->RedirName = redirName.data();
      header->RedirNameSize = static_cast<unsigned int>(redirName.size());
      code = rar->readHeaderEx(archive.get(), header.get());
      if (code != 0) break;
      records.push_back(listingRecord(*header));
      if (listingBoundReached(records)) break;
      if (header->RedirType >= kRedirUnixSymlink && header->RedirType <= kRedirJunction &&
          linkTargets_.size() < kMaxLinkTargets) {
        redirName.back() = 0;
        char target[kNameBufferSize];
        WideToUtf(redirName.data(), target, sizeof target);
        linkTargets_.insert_or_assign(entryName(*header), target);
      }
      // A volume that cannot be opened ends the listing here: what the library reads next
      // after such a failure varies from run to run (end of archive or bad data).
      if (const int skipped = rar->processFile(archive.get(), RAR_SKIP, nullptr, nullptr);
          skipped == ERAR_EOPEN) {
        code = skipped;
        break;
      }
      std::memset(header.get(), 0, sizeof *header);
      if (operationCancelled()) code = 0;
    }
  }

  switch (code) {
    case ERAR_MISSING_PASSWORD:
    case ERAR_BAD_PASSWORD: setIsListingEncrypted(true); return kStatusListingEncrypted;
    case ERAR_BAD_DATA: return isListingEncrypted() ? 100 : 4;
    case ERAR_SUCCESS:
    case ERAR_END_ARCHIVE: return kStatusOK;
    default: return kStatusFailed;
  }
}

// ---- Extraction and testing

int32_t AHandlerRar::doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) {
  if (!url()) return kStatusFailed;
  const Unrar* rar = unrar();
  if (!rar) return kStatusFailed;
  const Utf8ThreadLocale utf8;
  const bool testing = mode == kExtractTestOnly;
  std::vector<std::string> names;
  names.reserve(items.size());
  for (const AZipItem::Ptr& item : items) {
    if (item) names.emplace_back(item->path());
  }
  const bool wholeArchive = names.size() == 1 && names.front() == "*";

  fs::path root;
  std::wstring destination;
  if (!testing) {
    std::error_code error;
    root = fs::canonical(fs::path(toFolder), error);
    if (error || !fs::is_directory(root, error)) return kStatusFailed;
    destination = utf8ToWide(root.string());
  }

  for (;;) {
    volumeRefused_ = false;
    const std::wstring archiveName = utf8ToWide(*url());
    std::string narrowName = *url();
    RAROpenArchiveDataEx openData{};
    openData.ArcName = narrowName.data();
    openData.ArcNameW = const_cast<wchar_t*>(archiveName.c_str());
    openData.OpenMode = RAR_OM_EXTRACT;
    const ArchiveHandle archive(rar->openArchiveEx(&openData));
    if (!archive.get()) return kStatusFailed;

    auto header = std::make_unique<RARHeaderDataEx>();
    std::memset(header.get(), 0, sizeof *header);
    std::vector<wchar_t> redirName(kNameBufferSize);
    std::string secret = password();
    if (!secret.empty()) rar->setPassword(archive.get(), secret.data());
    rar->setCallback(archive.get(), tessaro::handleRARCallBack, reinterpret_cast<LPARAM>(this));
    std::vector<std::string> remaining = names;
    const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();

    int code = 0;
    bool headerFailed = false;
    bool wrongPassword = false;
    {
      const RunningScope running(*this, nullptr);
      bool processedOne = false;
      while (!operationCancelled() && !remaining.empty()) {
        header->RedirName = redirName.data();
        header->RedirNameSize = static_cast<unsigned int>(redirName.size());
        code = rar->readHeaderEx(archive.get(), header.get());
        if (code != 0) {
          headerFailed = true;
          break;
        }
        const std::string name = entryName(*header);
        int operation = RAR_SKIP;
        if (testing) {
          operation = RAR_TEST;
          if (host) host->processFile(name, kExtractTestOnly);
        } else if (wholeArchive || stringArrayContainsString(remaining, name)) {
          const auto exact = std::find(remaining.begin(), remaining.end(), name);
          if (exact != remaining.end()) remaining.erase(exact);
          const bool fileSystemLink =
              header->RedirType >= kRedirUnixSymlink && header->RedirType <= kRedirJunction;
          const bool entryLink = header->RedirType == kRedirHardLink || header->RedirType == kRedirFileCopy;
          char target[kNameBufferSize] = {};
          if (fileSystemLink || entryLink) {
            redirName.back() = 0;
            WideToUtf(redirName.data(), target, sizeof target);
          }
          if (isUnsafeName(name) || !landsInside(root, name)) {
            reportSkipped(host.get(), name, "it would be written outside the destination");
          } else if (fileSystemLink && linkTargetEscapes(root, name, target)) {
            reportSkipped(host.get(), name, "its link points outside the destination");
          } else if (entryLink && (isUnsafeName(target) || !landsInside(root, target))) {
            reportSkipped(host.get(), name, "it links to a file outside the destination");
          } else {
            if (host) host->processFile(name, mode);
            operation = RAR_EXTRACT;
          }
        }
        const int result = rar->processFileW(
            archive.get(), operation, operation == RAR_EXTRACT ? destination.data() : nullptr, nullptr);
        if (result != 0) {
          if (!processedOne && (header->Flags & RHDF_ENCRYPTED) && !isListingEncrypted())
            wrongPassword = true;
          code = result;
          break;
        }
        if (operation == RAR_EXTRACT) {
          const bool link = header->RedirType >= kRedirUnixSymlink && header->RedirType <= kRedirJunction;
          const bool unixLink =
              (header->HostOS == 3 || header->HostOS == 5) && (header->FileAttr & 0xF000) == 0xA000;
          const fs::path created = (root / fs::path(name)).lexically_normal();
          if ((link || unixLink) && isEscapingLink(root, created)) {
            std::error_code ignored;
            fs::remove(created, ignored);
            reportSkipped(host.get(), name, "its link points outside the destination");
          }
        }
        if (operation != RAR_SKIP) processedOne = true;
        std::memset(header.get(), 0, sizeof *header);
      }
      if (operationCancelled()) code = 0;
    }

    // Names hidden by encryption: a wrong password shows while reading headers, as a bad
    // password (RAR 5) or as damaged data (RAR 4, which keeps no check value).
    const bool namesEncrypted = (openData.Flags & ROADF_ENCHEADERS) != 0;
    if (headerFailed && (code == ERAR_BAD_PASSWORD || (namesEncrypted && code == ERAR_BAD_DATA)))
      wrongPassword = true;
    if (headerFailed && code == ERAR_MISSING_PASSWORD) return host ? 1 : 100;

    if (!wrongPassword) {
      if (code == ERAR_SUCCESS || code == ERAR_END_ARCHIVE) return kStatusOK;
      // The user's own stop (a refused volume) ends quietly; a missing volume, a file that
      // could not be written or damaged data is a failure the caller has to see.
      if (volumeRefused_ || operationCancelled()) return kStatusOK;
      return kStatusFailed;
    }
    if (!host) return kStatusListingEncrypted;
    PlistDictionary params{{"mode", PropertyList(promptModeForExtraction(mode))},
                           {"isRar", PropertyList(true)}};
    std::string answer = host->passwordWithParams(params);
    if (answer.empty()) return kStatusCancelled;
    setPassword(std::move(answer));
  }
}

// ---- The library's callback

int AHandlerRar::handleRARCallBack(unsigned int msg, long p1, long p2) {
  try {
    if (operationCancelled()) return -1;
    const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
    const auto changeVolume = [&](std::string path) {
      if (!host) return p2 == RAR_VOL_NOTIFY ? 1 : -1;
      const int answer = host->changeVolume(path, static_cast<int>(p2));
      if (answer == kVolumeRefused) volumeRefused_ = true;
      return answer;
    };
    switch (msg) {
      case UCM_CHANGEVOLUME: {
        const char* path = reinterpret_cast<const char*>(p1);
        return changeVolume(path ? std::string(path) : std::string());
      }
      case UCM_PROCESSDATA:
        if (!host || !host->respondsToProcessData()) return 1;
        return host->processData(reinterpret_cast<const void*>(p1), p2, 1);
      case UCM_NEEDPASSWORD: {
        if (bGetInfo_) setIsListingEncrypted(true);
        if (!host) return -1;
        const std::function<int32_t()>& storeMode = passwordStoreMode();
        const int32_t promptMode =
            storeMode && storeMode() == kStoreModeAsksForEntries ? kPromptForEntries : kPromptForRarListing;
        PlistDictionary params{{"mode", PropertyList(promptMode)}, {"isRar", PropertyList(true)}};
        const std::string answer = host->passwordWithParams(params);
        auto* buffer = reinterpret_cast<char*>(p1);
        if (answer.empty() || !buffer || p2 <= 0) return -1;
        const size_t length = std::min(answer.size(), static_cast<size_t>(p2) - 1);
        std::memcpy(buffer, answer.data(), length);
        buffer[length] = 0;
        setPassword(answer);
        return 1;
      }
      case UCM_CHANGEVOLUMEW: {
        char path[kNameBufferSize];
        WideToUtf(reinterpret_cast<const wchar_t*>(p1), path, sizeof path);
        return changeVolume(path);
      }
      default:
        // The wide password request among them: the library asks again with the narrow one.
        systemLog(LOG_NOTICE, "Unknown message passed to RAR callback function.");
        return -1;
    }
  } catch (...) {
    return -1;
  }
}

// ---- Changes through the `rar` tool

namespace {

// The folder of resource-fork files; names to clean inside it lose "__MACOSX/".
constexpr std::string_view kRsrcFolder = "__MACOSX";
constexpr size_t kRsrcPrefixLength = kRsrcFolder.size() + 1;
// Presets far beyond any disk: a volume size that does not fit 64 bits means no volumes.
constexpr double kMaxVolumeSize = 9.0e18;

bool writeText(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out);
}

// The preset's volume size as rar's -v number. rar reads a bare number in kB, so unit 0 gives kB,
// 1 MB and 2 GB volumes.
int64_t volumeSizeOf(const Preset& preset) {
  const auto size = preset.find("volumeSize");
  if (size == preset.end()) return 0;
  const double value = size->second.asDouble().value_or(0) *
                       std::pow(10.0, 3.0 * static_cast<double>(presetInteger(preset, "volumeUnit")));
  if (!std::isfinite(value) || value <= 0 || value > kMaxVolumeSize) return 0;
  return static_cast<int64_t>(value);
}

// rar's exit statuses for a wrong password: older releases end with a fatal error, RAR 5 and
// later with their own status.
bool isWrongPassword(int32_t status) { return status == kStatusToolFatal || status == kStatusRarBadPassword; }

// The folder base for list and comment files: the handler's documents folder when it has one.
std::string scratchBase(const ArchiveHandler& handler) {
  return handler.documentsTempFolder().value_or(userTempPath());
}

// Watches `folder` while rar writes the new archive into it: a host that is a folder-watcher
// delegate itself gets the changes, any other host a percentage of the archive's size.
class WorkFolderWatch {
 public:
  WorkFolderWatch(const std::shared_ptr<ArchiveCallbackHandler>& host, const std::string& folder,
                  const std::string& archive) {
    if (!host) return;
    std::shared_ptr<FolderWatcherDelegate> delegate = std::dynamic_pointer_cast<FolderWatcherDelegate>(host);
    if (!delegate) {
      int64_t total = 0;
      fileSize(archive, total);
      progress_ = std::make_shared<FolderGrowthProgress>(host, total);
      delegate = progress_;
    }
    watcher_.initWithPath(folder, 0, delegate);
  }
  ~WorkFolderWatch() { watcher_.stop(); }
  WorkFolderWatch(const WorkFolderWatch&) = delete;
  WorkFolderWatch& operator=(const WorkFolderWatch&) = delete;

 private:
  std::shared_ptr<FolderGrowthProgress> progress_;
  FolderWatcher watcher_;
};

// Collects rar's output and passes the percentages in it on to the host.
ArchiveHandler::OutputCallback progressReader(const std::shared_ptr<ArchiveCallbackHandler>& host,
                                              std::string& output) {
  return [host, &output](std::string_view chunk) {
    output.append(chunk);
    if (!host) return;
    if (const std::optional<int> percent = rarProgress(chunk)) host->setProgress(*percent);
  };
}

bool moveFile(const std::string& from, const std::string& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (error) HLVLog(kLogError, "Cannot move %s to %s: %s", from.c_str(), to.c_str(), error.message().c_str());
  return !error;
}

}  // namespace

std::optional<int> rarProgress(std::string_view chunk) {
  // Other text (a file name, "OK") would read as 0 and throw the bar back.
  if (chunk.size() < 4 || chunk.back() != '%') return std::nullopt;
  return intValue(chunk.substr(chunk.size() - 4, 3));
}

std::string rarNameList(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    std::string_view trimmed = name;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
    if (!text.empty()) text += '\n';
    text += trimmed;
  }
  return text;
}

std::string rarRenameList(const std::vector<std::string>& oldNames,
                          const std::vector<std::string>& newNames) {
  std::string text;
  const size_t pairs = std::min(oldNames.size(), newNames.size());
  for (size_t i = 0; i < pairs; ++i) {
    std::string_view from = oldNames[i];
    while (from.size() > 1 && from.back() == '/') from.remove_suffix(1);
    text.append(from);
    text += '\n';
    text += newNames[i];
    text += '\n';
  }
  return text;
}

std::string rarPasswordInput(const std::string& password) {
  return password.empty() ? std::string() : password + "\n" + password + "\n";
}

std::string rarPasswordSwitch(const std::string& password) { return password.empty() ? "-p-" : "-p"; }

std::vector<std::string> rarEditArguments(std::string_view command, const std::string& password,
                                          const std::string& workFolder, const std::string& archive,
                                          const std::string& listFile) {
  return {std::string(command), rarPasswordSwitch(password), "-w" + workFolder, archive, "@" + listFile};
}

RarAddCommand rarAddCommand(const std::vector<std::string>& files, const std::string& toArchive,
                            std::string_view parentPath, const Preset& preset, const std::string& password,
                            const std::vector<std::string>& filesToClean, const std::string& scratch) {
  RarAddCommand command;
  std::vector<std::string>& arguments = command.arguments;
  arguments = {"u", "-r", "-ol", "-ep1"};
  const int64_t encryption = presetInteger(preset, "encryption");
  if (!password.empty() && (encryption == 2 || encryption == 3)) {
    arguments.emplace_back(encryption == 3 ? "-hp" : "-p");
    command.input = rarPasswordInput(password);
  }
  arguments.push_back("-z" + scratch + "/comment");

  command.archivePath = toArchive;
  command.volumeSize = volumeSizeOf(preset);
  if (command.volumeSize > 0) {
    arguments.push_back("-v" + std::to_string(command.volumeSize));
    // rar names the volumes itself (x.part1.rar …) from the bare name.
    const std::string_view extension = pathExtension(command.archivePath);
    if (extension == "rar" || extension == "001")
      command.archivePath = deletingPathExtension(command.archivePath);
    if (partExtensionNumber(pathExtension(command.archivePath)) > 0) {
      command.archivePath = deletingPathExtension(command.archivePath);
      command.partDropped = true;
    }
  }

  switch (presetInteger(preset, "compression")) {
    case 0: arguments.emplace_back("-m0"); break;
    case 1: arguments.emplace_back("-m1"); break;
    case 2: arguments.emplace_back("-m3"); break;
    case 3:
    case 4: arguments.emplace_back("-m5"); break;
    case 5:
      arguments.emplace_back("-m5");
      arguments.emplace_back("-s");
      break;
    default: break;
  }
  if (!parentPath.empty() && parentPath != "/") arguments.push_back("-ap" + std::string(parentPath));
  if (const auto extra = preset.find("additionalParams"); extra != preset.end()) {
    const std::string text = extra->second.asString().value_or("");
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find(' ', start);
      if (end == std::string::npos) end = text.size();
      // Doubled blanks would give empty arguments, which rar takes for file names.
      if (end > start) arguments.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  const int64_t mode = presetInteger(preset, "mode");
  if (mode == 1) arguments.emplace_back("-x*/.DS_Store");
  arguments.push_back(command.archivePath);

  if (files.empty()) {
    arguments.emplace_back("*");
  } else {
    std::vector<std::string> names = files;
    if (mode == 0 && names.size() > 1) {
      // The resource forks of the added files lie in __MACOSX under the folder they go to.
      const auto rsrc = std::find_if(names.begin(), names.end(),
                                     [](const std::string& name) { return hasSuffix(name, kRsrcFolder); });
      if (rsrc != names.end()) {
        const std::string folder = appendingPathComponent(*rsrc, parentPath);
        names.erase(rsrc);
        names.push_back(appendingPathComponent(folder, "*"));
      }
    }
    command.listFile = rarNameList(names);
    arguments.push_back("@" + scratch + "/listfile");
  }
  if (!filesToClean.empty()) {
    std::vector<std::string> clean = filesToClean;
    if (mode == 0) {
      for (std::string& name : clean) {
        if (name.starts_with(kRsrcFolder)) name.erase(0, std::min(name.size(), kRsrcPrefixLength));
      }
    }
    for (const std::string& name : clean) {
      if (!command.cleanFile.empty()) command.cleanFile += '\n';
      command.cleanFile += name;
    }
    arguments.push_back("-x@" + scratch + "/listfileClean");
  }
  return command;
}

std::optional<std::string> AHandlerRar::rarPath() {
  try {
    const auto runnable = [](const std::string& candidate) {
      struct stat st;
      return ::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
             ::access(candidate.c_str(), X_OK) == 0;
    };
    const std::optional<std::string> path = UserDefaults::standard().stringForKey("rar");
    if (path && !path->empty()) return runnable(*path) ? path : std::nullopt;
    // Without a preference, the rar found first on PATH (absolute folders only).
    const char* search = std::getenv("PATH");
    std::string_view folders = search ? search : "";
    while (!folders.empty()) {
      const size_t colon = folders.find(':');
      const std::string_view folder = folders.substr(0, colon);
      folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
      if (!folder.starts_with("/")) continue;
      std::string candidate(folder);
      candidate += "/rar";
      if (runnable(candidate)) return candidate;
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> AHandlerRar::findFirstPart(std::string_view path) {
  try {
    const std::string folder(deletingLastPathComponent(path));
    const std::string_view own = lastPathComponent(path);
    std::vector<std::string> found;
    // Only names directly in the folder can match: a name in a subfolder carries its folder too.
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return std::nullopt;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      const std::string_view withoutOne = deletingPathExtension(name);
      if (deletingPathExtension(withoutOne) == own && partExtensionNumber(pathExtension(withoutOne)) == 1)
        found.emplace_back(name);
    }
    ::closedir(dir);
    if (found.empty()) return std::nullopt;
    std::sort(found.begin(), found.end());
    return appendingPathComponent(folder, found.front());
  } catch (...) {
    return std::nullopt;
  }
}

// The volumes are collected again even when the archive keeps its path: their sizes changed.
void AHandlerRar::setUrlAnew(const std::string& path) {
  if (url() == path) {
    initParts();
  } else {
    setUrl(path);
  }
}

int32_t AHandlerRar::doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                                const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                                std::vector<std::string>* filesToClean) {
  const std::optional<std::string> rar = rarPath();
  if (!rar) return kStatusNotSupported;
  const AppTempFolder scratch(scratchBase(*this), true);
  if (!scratch.path()) return kStatusNotSupported;
  const std::string parent = inParentItem ? std::string(inParentItem->path()) : std::string();
  const RarAddCommand command =
      rarAddCommand(files, toArchive, parent, preset, password(),
                    filesToClean ? *filesToClean : std::vector<std::string>{}, *scratch.path());
  if (!writeText(*scratch.path() + "/comment", comment())) return kStatusNotSupported;
  if (!files.empty() && !writeText(*scratch.path() + "/listfile", command.listFile))
    return kStatusNotSupported;
  if (!command.cleanFile.empty() && !writeText(*scratch.path() + "/listfileClean", command.cleanFile))
    return kStatusNotSupported;
  if (!password().empty() && presetInteger(preset, "encryption") == 3) setIsListingEncrypted(true);
  if (command.partDropped) setUrl(command.archivePath);

  std::string output;
  const OutputCallback reader = progressReader(callbackHandler(), output);
  const std::optional<std::string> workingDir =
      fromFolder.empty() ? std::nullopt : std::optional<std::string>(fromFolder);
  const int32_t status = executeTask(*rar, command.arguments, workingDir, &reader, nullptr, command.input);
  HLVLog(kLogTrace, "rar output: %s", output.c_str());

  if (command.volumeSize <= 0) {
    if (status == 0) setUrlAnew(toArchive);
    return status;
  }
  if (const std::optional<std::string> first = findFirstPart(command.archivePath)) {
    setUrlAnew(*first);
  } else if (const std::string single = command.archivePath + ".rar"; ::access(single.c_str(), F_OK) == 0) {
    // The whole set fitted in one volume, which rar then names plainly.
    setUrlAnew(single);
  } else {
    HLVLog(kLogError, "The first part couldn't be found for: %s", command.archivePath.c_str());
    return kStatusNotSupported;
  }
  return status;
}

int32_t AHandlerRar::doUpdateComment(const std::string& newComment) {
  const std::optional<std::string> rar = rarPath();
  if (!rar || !url()) return kStatusNotSupported;
  setComment(newComment);
  const AppTempFolder scratch(scratchBase(*this), true);
  if (!scratch.path()) return kStatusNotSupported;
  const std::string commentFile = *scratch.path() + "/comment";
  if (!writeText(commentFile, newComment)) return kStatusNotSupported;
  const std::string archive = *url();
  // An archive with enciphered names opens only with the password.
  const int32_t status = executeTask(*rar, {"c", rarPasswordSwitch(password()), "-z" + commentFile, archive},
                                     std::nullopt, nullptr, nullptr, rarPasswordInput(password()));
  if (status == 0) initParts();
  return status;
}

// Deletion and renaming: rar rebuilds the archive in a work folder beside it, on the same file
// system, while the growth of that folder stands for progress.
int32_t AHandlerRar::editArchive(std::string_view command, const std::string& listText) {
  const std::optional<std::string> rar = rarPath();
  if (!rar || !url()) return kStatusNotSupported;
  const std::string archive = *url();
  const AppTempFolder work(deletingLastPathComponent(archive), false);
  const AppTempFolder lists(scratchBase(*this), true);
  if (!work.path() || !lists.path()) return kStatusNotSupported;
  const std::string listFile = *lists.path() + "/listfile";
  if (!writeText(listFile, listText)) return kStatusNotSupported;
  std::optional<std::string> output;
  int32_t status = 0;
  {
    const WorkFolderWatch watch(callbackHandler(), *work.path(), archive);
    status = executeTask(*rar, rarEditArguments(command, password(), *work.path(), archive, listFile),
                         std::nullopt, nullptr, &output, rarPasswordInput(password()));
  }
  HLVLog(kLogTrace, "out: %s", output ? output->c_str() : "(null)");
  if (isWrongPassword(status)) return kStatusListingEncrypted;
  if (status == 0) initParts();
  return kStatusOK;
}

int32_t AHandlerRar::doDeleteFiles(const AZipItem::List& items) {
  std::vector<std::string> names;
  for (const AZipItem::Ptr& item : items) {
    if (item) names.emplace_back(item->path());
  }
  return editArchive("d", rarNameList(names));
}

int32_t AHandlerRar::doMoveFiles(const std::vector<std::string>& oldNames,
                                 const std::vector<std::string>& newNames) {
  // Nothing to rename is the caller's mistake; rar would only complain about an empty list.
  if (oldNames.empty() || newNames.empty()) return rarPath() ? 4 : -1;
  return editArchive("rn", rarRenameList(oldNames, newNames));
}

int32_t AHandlerRar::doMoveFiles(const AZipItem::List& items, const std::string& destination) {
  std::vector<std::string> oldNames;
  std::vector<std::string> newNames;
  const std::string_view folder = destination == "/" ? std::string_view() : std::string_view(destination);
  for (const AZipItem::Ptr& item : items) {
    if (!item) continue;
    oldNames.emplace_back(item->path());
    newNames.push_back(appendingPathComponent(folder, lastPathComponent(item->path())));
  }
  return doMoveFiles(oldNames, newNames);
}

int32_t AHandlerRar::doRepair() {
  const std::optional<std::string> rar = rarPath();
  if (!rar || !url()) return kStatusNotSupported;
  const std::string archive = *url();
  const std::string folder(deletingLastPathComponent(archive));
  // "%@ (damaged)" in the host's language: the folder is the user's to see.
  const std::string damaged = hostText("%@ (damaged)", lastPathComponent(archive));
  const std::optional<std::string> work = findFreeName(folder, damaged);
  std::error_code error;
  if (!work || !fs::create_directory(*work, error)) return kStatusNotSupported;
  const std::string secret = rarPasswordSwitch(password());
  const std::string input = rarPasswordInput(password());

  std::string output;
  const OutputCallback reader = progressReader(callbackHandler(), output);
  // Missing volumes first, from the recovery volumes; then the set is collected anew.
  int32_t status = executeTask(*rar, {"rc", secret, archive}, folder, &reader, nullptr, input);
  initParts();
  const std::vector<VolumePart> volumes = parts();
  bool anyFixed = false;
  for (const VolumePart& volume : volumes) {
    status = executeTask(*rar, {"r", secret, volume.url}, *work, &reader, nullptr, input);
    // rar names the result "rebuilt." when the archive has no recovery record to fix it from.
    // It rebuilds every volume so, sound ones too: only a lone archive's is taken.
    std::string fixed = appendingPathComponent(*work, "fixed." + volume.name);
    if (::access(fixed.c_str(), F_OK) != 0 && volumes.size() == 1)
      fixed = appendingPathComponent(*work, "rebuilt." + volume.name);
    if (::access(fixed.c_str(), F_OK) != 0) continue;
    if (moveFile(volume.url, appendingPathComponent(*work, volume.name))) {
      moveFile(fixed, volume.url);
      anyFixed = true;
    }
  }
  HLVLog(kLogTrace, "out: %s", output.c_str());
  // Nothing was fixed: no folder of damaged originals, nor what the tool left there, stays behind.
  if (anyFixed) {
    fs::remove(*work, error);
  } else {
    fs::remove_all(*work, error);
  }
  initParts();
  return isWrongPassword(status) ? kStatusListingEncrypted : kStatusOK;
}

// ---- Pure rules of entries and names

bool AHandlerRar::isItemEncrypted(const AZipItem& item) const { return item.type() == "*"; }

int32_t AHandlerRar::itemEncryptionMethod(const AZipItem& item) const {
  if (isListingEncrypted()) return 3;
  return isItemEncrypted(item) ? 2 : 0;
}

std::string AHandlerRar::baseName() const {
  try {
    std::string base = Super::baseName();
    if (partExtensionNumber(pathExtension(base)) > 0) return std::string(deletingPathExtension(base));
    return base;
  } catch (...) {
    return {};
  }
}

bool AHandlerRar::isFirstFile(std::string_view path) const {
  const std::string_view extension = pathExtension(path);
  if (extension == "rar") {
    const int32_t part = partExtensionNumber(pathExtension(deletingPathExtension(path)));
    if (part > 0) return part == 1;
  }
  return extension == "rar" || extension == "001";
}

std::optional<std::string> AHandlerRar::rsrcFolder() const { return std::string("__MACOSX"); }

bool AHandlerRar::canUpdate() const { return isa().canSave() != 0 && parts().size() < 2; }

}  // namespace tessaro
