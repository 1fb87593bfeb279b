#include "ArchiveHandler7z.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unordered_set>

#include "ArchiveCallbackHandler.h"
#include "ArchiveFacts.h"
#include "ArchiveHandlerStream.h"
#include "FolderWatcher.h"
#include "HostApplication.h"
#include "HostTexts.h"
#include "ListingRecord.h"
#include "PathString.h"
#include "TextNumber.h"
#include "defaults/UserDefaults.h"
#include "helpers.h"
#include "zip/ZipEndRecord.h"

namespace tessaro {

namespace {

// Folder in which zip tools keep the resource forks and Finder information of Mac files.
constexpr std::string_view kMacOSXFolder = "__MACOSX";

// The base name, without the volume number of a numbered set: set.zip.001 gives "set"; empty
// when it cannot be worked out.
std::string volumeBaseName(std::string inherited, const std::optional<std::string>& url) noexcept {
  try {
    if (url && pathExtension(*url) == "001") return std::string(deletingPathExtension(inherited));
    return inherited;
  } catch (...) {
    return {};
  }
}

bool isNumberedOne(std::string_view path) { return intValue(pathExtension(path)) == 1; }

// The helper's name in the helper folder.
constexpr std::string_view kSevenZipTool = "7z";
// More than a record needs beside its name: the fields after "path=".
constexpr size_t kLongestRecordFields = 64 * 1024;

// What the 7-Zip helper writes around the archive comment and for a solid archive.
constexpr std::string_view kCommentStart = "comt=";
constexpr std::string_view kCommentEnd = "----------";
constexpr std::string_view kSolidLine = "Solid=+";

struct ListingHeader {
  bool entryFound = false;
  bool solid = false;
  bool absolutePaths = false;
  std::optional<std::string> comment;
};

// Reads the lines up to the first entry: the archive comment, the solid flag and whether the
// first entry's path is absolute. A comment that never closes takes every later line with it.
ListingHeader scanListingHeader(const std::vector<std::string>& lines) {
  ListingHeader header;
  bool inComment = false;
  std::string comment;
  for (const std::string& line : lines) {
    if (inComment) {
      if (line.starts_with(kCommentEnd)) {
        // The line feeds of the last comment line and of the empty line before the separator.
        comment.erase(comment.size() < 2 ? 0 : comment.size() - 2);
        header.comment = comment;
        inComment = false;
      } else {
        comment.append(line).push_back('\n');
      }
      continue;
    }
    if (line.starts_with(kCommentStart)) {
      comment.assign(line, kCommentStart.size()).push_back('\n');
      inComment = true;
      continue;
    }
    if (line.starts_with(kSolidLine)) {
      header.solid = true;
      header.entryFound = true;
      break;
    }
    if (line.starts_with("path=/")) header.absolutePaths = true;
    if (line.find("\tmeth=") != std::string::npos || line.find("\ttime=") != std::string::npos) {
      header.entryFound = true;
      break;
    }
  }
  // A comment still open at the end was collected all the same.
  if (inComment) header.comment = comment;
  return header;
}

// Splitting writes new volumes; only a single file can be changed in place.
bool isSingleVolume(const std::vector<VolumePart>& parts) { return parts.size() < 2; }

// ---- Modifying commands

// The helper's fatal-error exit status (kStatusToolFatal) means a wrong password for deletion
// and renaming.

// Add new files, update changed ones, keep the rest: the archive is updated, never rebuilt.
constexpr std::string_view kUpdateSwitch = "-up1q1r2x1y2z1w2";
// The file that carries a new zip comment into the archive and is deleted again at once; a
// number follows when an entry has that name already.
constexpr std::string_view kCommentHelperName = "Tessaro-comment-helper";
constexpr int kMaxCommentHelperNumber = 1000;

// What the helper writes when it gives up.
constexpr std::string_view kWrongPasswordText = "Wrong password?";
constexpr std::string_view kSubItemsErrorsText = "Sub items Errors";
constexpr std::string_view kUnconfirmedStartText = "Unconfirmed start of archive";

// What a failed listing says about the archive itself; none when it names no known damage.
ListingProblem listingProblemIn(std::string_view text) {
  if (text.find("Unexpected end of archive") != std::string_view::npos) return ListingProblem::endsEarly;
  if (text.find("Headers Error") != std::string_view::npos) return ListingProblem::damagedHeaders;
  if (text.find("Is not archive") != std::string_view::npos ||
      text.find("Cannot open the file as") != std::string_view::npos)
    return ListingProblem::notReadable;
  return ListingProblem::none;
}

// The helper's output kept for the log: its end, where the failures are.
constexpr size_t kKeptOutput = 64 * 1024;

// Units past this overflow the volume size; such a preset asks for no volumes.
constexpr int64_t kMaxVolumeUnit = 6;

std::string presetString(const Preset& preset, std::string_view key) {
  const auto it = preset.find(key);
  return it == preset.end() ? std::string() : it->second.asString().value_or(std::string());
}

// volumeSize × 10^(3 × volumeUnit), or 0 when either makes no sense.
int64_t volumeBytesOf(const Preset& preset) {
  int64_t bytes = presetInteger(preset, "volumeSize");
  const int64_t unit = presetInteger(preset, "volumeUnit");
  if (bytes <= 0 || unit < 0 || unit > kMaxVolumeUnit) return 0;
  for (int64_t i = 0; i < 3 * unit; ++i) {
    if (__builtin_mul_overflow(bytes, int64_t{10}, &bytes)) return 0;
  }
  return bytes;
}

// "-p-" tells the helper there is no password, so it never waits for one; a bare "-p" that the
// password follows on its standard input, as one line, so that no process list ever shows it.
std::string passwordSwitch(const std::string& password) { return password.empty() ? "-p-" : "-p"; }
std::string passwordInput(const std::string& password) {
  return password.empty() ? std::string() : password + "\n";
}

// An entry name as the helper matches it: without the slash that marks a folder.
std::string_view entryName(std::string_view name) {
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  return name;
}

// The helper reads a list file line by line and trims every line, so a name with a line break or
// with white space at either end would arrive changed: such names go on the command line instead.
bool listable(std::string_view name) {
  constexpr std::string_view kTrimmed = " \t\r\n";
  return name.find_first_of("\r\n") == std::string_view::npos &&
         (name.empty() || (kTrimmed.find(name.front()) == std::string_view::npos &&
                           kTrimmed.find(name.back()) == std::string_view::npos));
}

struct NameList {
  std::string text;                   // the list file: one name a line
  std::vector<std::string> unlisted;  // the names it cannot carry
};

NameList nameList(const std::vector<std::string>& names, bool asEntries) {
  NameList list;
  for (const std::string& name : names) {
    const std::string_view written = asEntries ? entryName(name) : std::string_view(name);
    if (written.empty()) continue;
    if (!listable(written)) {
      list.unlisted.emplace_back(written);
      continue;
    }
    if (!list.text.empty()) list.text += '\n';
    list.text += written;
  }
  return list;
}

// Names after "--" are names, whatever they begin with.
void appendLiteralNames(std::vector<std::string>& arguments, const std::vector<std::string>& names) {
  if (names.empty()) return;
  arguments.emplace_back("--");
  arguments.insert(arguments.end(), names.begin(), names.end());
}

std::vector<std::string> itemPaths(const AZipItem::List& items) {
  std::vector<std::string> names;
  names.reserve(items.size());
  for (const AZipItem::Ptr& item : items) {
    if (item) names.emplace_back(item->path());
  }
  return names;
}

std::string scratchFile(const std::string& scratch, std::string_view name) {
  return appendingPathComponent(scratch, name);
}

bool writeCommandFiles(const SevenZipCommand& command, const std::string& scratch) {
  const std::pair<const std::optional<std::string>*, std::string_view> files[] = {
      {&command.listFile, "listfile"},
      {&command.cleanFile, "listfileClean"},
      {&command.commentFile, "comment"}};
  for (const auto& [text, name] : files) {
    if (*text && !writeFileAtomically(scratchFile(scratch, name), **text)) {
      HLVLog(kLogError, "7z: cannot write %s into %s", std::string(name).c_str(), scratch.c_str());
      return false;
    }
  }
  return true;
}

// Makes the command for its scratch folder, which is created (visible, inside the handler's
// documents folder) only when the command names a file in it; none when that fails.
template <typename Make>
std::optional<SevenZipCommand> prepareCommand(const ArchiveHandler& handler,
                                              std::unique_ptr<AppTempFolder>& scratch, const Make& make) {
  SevenZipCommand command = make(std::string());
  if (!command.listFile && !command.cleanFile && !command.commentFile) return command;
  scratch = std::make_unique<AppTempFolder>(handler.documentsTempFolder().value_or(userTempPath()), true);
  if (!scratch->path()) {
    HLVLog(kLogError, "7z: cannot make a temporary folder for the list files");
    return std::nullopt;
  }
  command = make(*scratch->path());
  if (!writeCommandFiles(command, *scratch->path())) return std::nullopt;
  return command;
}

void keepTail(std::string& kept, std::string_view chunk) {
  kept.append(chunk);
  if (kept.size() > kKeptOutput) kept.erase(0, kept.size() - kKeptOutput);
}

// Looks for the helper's failure texts in output that comes in chunks, keeping only the tail a
// text could straddle instead of the whole output.
class FailureTexts {
 public:
  void feed(std::string_view chunk) {
    window_.append(chunk);
    wrongPassword_ = wrongPassword_ || window_.find(kWrongPasswordText) != std::string::npos;
    subItemsErrors_ = subItemsErrors_ || window_.find(kSubItemsErrorsText) != std::string::npos;
    unconfirmedStart_ = unconfirmedStart_ || window_.find(kUnconfirmedStartText) != std::string::npos;
    const size_t keep = kUnconfirmedStartText.size() - 1;
    if (window_.size() > keep) window_.erase(0, window_.size() - keep);
  }
  bool wrongPassword() const { return wrongPassword_; }
  bool archiveErrors() const { return subItemsErrors_ || unconfirmedStart_; }

 private:
  std::string window_;
  bool wrongPassword_ = false;
  bool subItemsErrors_ = false;
  bool unconfirmedStart_ = false;
};

// The length of `bytes` without a UTF-8 sequence that the next chunk will finish.
size_t completeUtf8Length(std::string_view bytes) {
  for (size_t back = 1; back <= 4 && back <= bytes.size(); ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? bytes.size() - back : bytes.size();
  }
  return bytes.size();
}

// Turns output chunks into UTF-8 text: a character split between chunks waits for its end, and
// text that is not UTF-8 is dropped.
class Utf8Pieces {
 public:
  std::optional<std::string> take(std::string_view chunk) {
    pending_.append(chunk);
    const size_t end = completeUtf8Length(pending_);
    std::string bytes = pending_.substr(0, end);
    pending_.erase(0, end);
    if (bytes.empty()) return std::nullopt;
    uint64_t encoding = 0;
    std::optional<std::string> text = decodeString(bytes, &encoding);
    if (encoding != kUTF8StringEncoding) return std::nullopt;
    return text;
  }

 private:
  std::string pending_;
};

// Gives the growth of the extraction's destination to the host: to a host that watches folders
// itself as it comes, to any other as bytes processed (whose answer -1 cancels). Runs on the
// watcher's thread.
class DestinationProgress : public FolderWatcherDelegate {
 public:
  DestinationProgress(std::weak_ptr<ArchiveCallbackHandler> host, ArchiveHandler& handler)
      : host_(std::move(host)), handler_(handler) {}

  void watchedFolderChangedBy(double delta) override {
    const std::shared_ptr<ArchiveCallbackHandler> host = host_.lock();
    if (!host || delta <= 0 || !host->respondsToProcessData()) return;
    if (host->processData(nullptr, static_cast<int64_t>(delta), 1) == -1)
      handler_.setOperationCancelled(true);
  }

 private:
  std::weak_ptr<ArchiveCallbackHandler> host_;
  ArchiveHandler& handler_;
};

// Watches the destination for the life of the object; nothing is watched without a host.
class DestinationWatch {
 public:
  DestinationWatch(const std::shared_ptr<ArchiveCallbackHandler>& host, const std::string& folder,
                   ArchiveHandler& handler) {
    if (!host) return;
    std::shared_ptr<FolderWatcherDelegate> delegate = std::dynamic_pointer_cast<FolderWatcherDelegate>(host);
    if (!delegate) {
      progress_ = std::make_shared<DestinationProgress>(host, handler);
      delegate = progress_;
    }
    watcher_.initWithPath(folder, 0, delegate);
  }
  ~DestinationWatch() { watcher_.stop(); }
  DestinationWatch(const DestinationWatch&) = delete;
  DestinationWatch& operator=(const DestinationWatch&) = delete;

 private:
  std::shared_ptr<DestinationProgress> progress_;
  FolderWatcher watcher_;
};

}  // namespace

// ---- Class properties

class AHandler7ZipBase::Class : public HandlerClassOf<AHandler7ZipBase, ArchiveHandler::Class> {
 public:
  bool canTest() const override { return true; }
  // 7-Zip's exit status 1: an item was skipped, the archive was still written.
  bool cancelledStatusCanBeWarning() const override { return true; }
};

class AHandlerZip::Class : public HandlerClassOf<AHandlerZip, AHandler7ZipBase::Class> {
 public:
  std::string formatName() const override { return hostText("Zip Format (recommended)"); }
  int32_t formatTag() const override { return 0; }
  std::optional<std::string> defaultExtension() const override { return "zip"; }
  std::optional<std::string> baseType() const override { return "zip"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"zip", "jar", "war", "cbz", "pk3", "pk4"};
  }
  int32_t canSave() const override { return 2; }
  bool hasMacMode() const override { return true; }
  bool hasCompressionFactor() const override { return true; }
  bool canSplit() const override { return true; }
  bool canDelete() const override { return true; }
  bool canEncrypt() const override { return true; }
  bool canWriteComments() const override { return true; }
  // No "High" and no solid mode in zip.
  std::vector<int32_t> compressionFactorTags() const override { return {0, 1, 2, 3}; }
  // Zip cannot hide its names.
  std::vector<int32_t> encryptionMethodTags() const override { return {0, 1, 2}; }
};

class AHandler7zip::Class : public HandlerClassOf<AHandler7zip, AHandler7ZipBase::Class> {
 public:
  std::string formatName() const override { return hostText("7-Zip Format (best compression)"); }
  int32_t formatTag() const override { return 4; }
  std::optional<std::string> defaultExtension() const override { return "7z"; }
  std::optional<std::string> baseType() const override { return "7z"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"7z"};
  }
  int32_t canSave() const override { return 2; }
  bool hasMacMode() const override { return true; }
  bool hasCompressionFactor() const override { return true; }
  bool canSplit() const override { return true; }
  bool canDelete() const override { return true; }
  bool canEncrypt() const override { return true; }
  bool canMoveItems() const override { return true; }
  std::vector<int32_t> compressionFactorTags() const override { return {0, 1, 2, 4, 5}; }
  // 7z has no weak cipher.
  std::vector<int32_t> encryptionMethodTags() const override { return {0, 2, 3}; }
};

class AHandlerArj::Class : public HandlerClassOf<AHandlerArj, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "arj"; }
  std::optional<std::string> baseType() const override { return "arj"; }
};

class AHandlerCab::Class : public HandlerClassOf<AHandlerCab, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "cab"; }
  std::optional<std::string> baseType() const override { return "cab"; }
};

class AHandlerChm::Class : public HandlerClassOf<AHandlerChm, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "chm"; }
  std::optional<std::string> baseType() const override { return "chm"; }
};

class AHandlerIso::Class : public HandlerClassOf<AHandlerIso, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "iso"; }
  std::optional<std::string> baseType() const override { return "iso"; }
};

class AHandlerWim::Class : public HandlerClassOf<AHandlerWim, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "wim"; }
  std::optional<std::string> baseType() const override { return "wim"; }
};

class AHandlerRpm::Class : public HandlerClassOf<AHandlerRpm, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "rpm"; }
  std::optional<std::string> baseType() const override { return "rpm"; }
};

class AHandlerNsis::Class : public HandlerClassOf<AHandlerNsis, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "nsis"; }
  std::optional<std::string> baseType() const override { return "nsis"; }
};

class AHandlerDmg::Class : public HandlerClassOf<AHandlerDmg, AHandler7ZipBase::Class> {
 public:
  std::string formatName() const override { return hostText("Apple Disk Image"); }
  int32_t formatTag() const override { return 99; }
  std::optional<std::string> defaultExtension() const override { return "dmg"; }
  // Empty: the 7-Zip helper recognises the image kind by itself.
  std::optional<std::string> baseType() const override { return ""; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"dmg"};
  }
};

const HandlerClass& AHandler7ZipBase::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerZip::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandler7zip::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerArj::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerCab::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerChm::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerIso::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerWim::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerRpm::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerNsis::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerDmg::metaclass() { return theInstance<Class>(); }

// ---- Listing

int32_t AHandler7ZipBase::doGetInfo(std::vector<std::string>& records) {
  if (!url()) return kStatusFailed;
  const std::string& path = *url();

  std::string type = isa().baseType().value_or(std::string());
  if (hasSuffix(path, ".001")) type += ".split";
  std::vector<std::string> params{"l", "-slt", passwordSwitch(password())};
  if (!type.empty()) params.push_back("-t" + type);
  params.push_back(path);

  // Each line is a record: counted against the listing bound as it arrives, so that a listing
  // past the bound stops the helper and never grows beyond it.
  std::string bytes;
  size_t uncounted = 0;  // where the first line not yet counted starts
  const OutputCallback collect = [&](std::string_view chunk) {
    if (listingCutShort()) return;
    bytes.append(chunk);
    for (size_t end; (end = bytes.find('\n', uncounted)) != std::string::npos; uncounted = end + 1) {
      if (!listingBoundAdmits(std::string_view(bytes).substr(uncounted, end - uncounted))) {
        bytes.resize(uncounted);
        return;
      }
    }
    // A line that never ends is a name longer than any bound lets through.
    const std::optional<ListingBound>& bound = listingBound();
    if (bound && bytes.size() - uncounted > bound->maxNameBytes + kLongestRecordFields) {
      bytes.resize(uncounted);
      cutListingShort();
    }
  };
  const int32_t toolStatus = executeTask(helperTool(kSevenZipTool), params, std::nullopt, &collect, nullptr,
                                         passwordInput(password()));
  // A helper stopped at the bound ends with a failure; what it wrote up to there is the listing.
  const int32_t status = listingCutShort() ? 0 : toolStatus;

  uint64_t usedEncoding = 0;
  std::optional<std::string> text = decodeString(bytes, &usedEncoding);
  std::string().swap(bytes);
  if (!text || usedEncoding != kUTF8StringEncoding) {
    setIsListingEncrypted(true);
    return kStatusListingEncrypted;
  }
  setListingProblem(ListingProblem::none);
  if (status != 0) {
    if (text->find("Wrong password?") != std::string::npos) {
      setIsListingEncrypted(true);
      return kStatusListingEncrypted;
    }
    if (text->find("Sub items Errors") != std::string::npos) return kStatusFailed;
    setListingProblem(listingProblemIn(*text));
  }
  appendLines(*text, records);
  text.reset();

  const ListingHeader header = scanListingHeader(records);
  setContainsAbsolutePaths(header.absolutePaths);
  if (header.solid) setIsSolid(true);
  if (header.comment) setComment(*header.comment);
  if (!header.entryFound) {
    // A file the tool could not open at all is damaged, not enciphered.
    if (listingProblem() != ListingProblem::none) return status;
    setIsListingEncrypted(true);
    return kStatusListingEncrypted;
  }
  return status;
}

std::optional<std::vector<std::string>> AHandler7ZipBase::possiblyConflictingParts() const {
  std::vector<std::string> names;
  try {
    if (!url()) return names;
    const std::string_view archiveName = lastPathComponent(*url());
    std::error_code error;
    for (std::filesystem::directory_iterator it(std::string(deletingLastPathComponent(*url())), error), end;
         !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (deletingPathExtension(name) == archiveName && intValue(pathExtension(name)) > 0)
        names.push_back(name);
    }
  } catch (...) {
    // Swallowed: names found so far are the answer.
    HLVLog(kLogError, "Looking for conflicting parts failed");
  }
  return names;
}

int32_t AHandlerRpm::doGetInfo(std::vector<std::string>& records) {
  if (!url()) return kStatusNoFileURL;
  const std::string& path = *url();
  // The file's own size and mode stand for the payload's, as for a bzip2 stream.
  records.push_back(
      attributeRecord(path, std::string(deletingPathExtension(lastPathComponent(path))) + ".cpio.gz"));
  return 0;
}

// ---- Commands

SevenZipCommand AHandler7ZipBase::extractCommand(const std::vector<std::string>& names, int32_t mode,
                                                 const std::string& scratch) const {
  SevenZipCommand command;
  std::vector<std::string>& arguments = command.arguments;
  const bool testing = mode == kExtractTestOnly;
  arguments.emplace_back(testing ? "t" : "x");
  std::string type = isa().baseType().value_or(std::string());
  if (!type.empty()) {
    if (!isSingleVolume(parts())) type += ".split";
    arguments.push_back("-t" + type);
  }
  if (!password().empty()) {
    arguments.push_back(passwordSwitch(password()));
    command.password = password();
  }
  arguments.emplace_back("-y");
  arguments.emplace_back("-spd");
  arguments.push_back(url().value_or(std::string()));
  // Absolute entry paths do not match the names the host passes, so such an archive is unpacked whole.
  const bool everything = names.size() == 1 && names.front() == "*";
  if (!testing && !containsAbsolutePaths() && !everything) {
    NameList list = nameList(names, true);
    command.listFile = std::move(list.text);
    arguments.push_back("@" + scratchFile(scratch, "listfile"));
    appendLiteralNames(arguments, list.unlisted);
  }
  return command;
}

SevenZipCommand AHandler7ZipBase::addCommand(const std::vector<std::string>& files,
                                             const std::string& fromFolder, const std::string& toArchive,
                                             std::string_view parentPath, const Preset& preset,
                                             const std::vector<std::string>* filesToClean,
                                             const std::string& scratch) const {
  SevenZipCommand command;
  std::vector<std::string>& arguments = command.arguments;
  arguments = {"u", std::string(kUpdateSwitch), "-spd"};
  if (const std::string type = isa().baseType().value_or(std::string()); !type.empty())
    arguments.push_back("-t" + type);

  const int64_t encryption = presetInteger(preset, "encryption");
  if (!password().empty()) {
    command.password = password();
    if (isa().isSubclassOf(AHandlerZip::metaclass())) {
      // The cipher switch must come before the password, or zip falls back to ZipCrypto.
      if (encryption == 2) arguments.emplace_back("-mem=AES256");
      arguments.push_back(passwordSwitch(password()));
    } else {
      arguments.push_back(passwordSwitch(password()));
      if (encryption == 3) {
        arguments.emplace_back("-mhe=on");
        command.encryptsListing = true;
      }
    }
  }

  command.volumeBytes = volumeBytesOf(preset);
  if (command.volumeBytes > 0) {
    const int64_t base = UserDefaults::standard().boolForKey("HLVSizeBase1024") ? 1024 : 1000;
    int64_t size = 0;
    if (__builtin_mul_overflow(command.volumeBytes, base, &size)) {
      command.volumeBytes = 0;
    } else {
      arguments.push_back("-v" + std::to_string(size));
    }
  }

  const int64_t compression = presetInteger(preset, "compression");
  if (compression == 0) {
    arguments.emplace_back("-mx=0");
  } else if (compression == 1) {
    arguments.emplace_back("-mx=1");
  } else if (compression >= 3) {
    arguments.emplace_back("-mx=9");
  }
  // Solid blocks make extracting one file slow; only "Best (solid)" asks for them.
  if (isa().isSubclassOf(AHandler7zip::metaclass()) && compression != 5) arguments.emplace_back("-ms=off");

  const std::string_view folder = entryName(parentPath);
  if (!folder.empty() && folder != "/") arguments.push_back("-ap" + std::string(folder));

  const std::string extra = presetString(preset, "additionalParams");
  for (size_t start = 0; start <= extra.size();) {
    const size_t end = std::min(extra.find(' ', start), extra.size());
    // Doubled spaces give empty pieces, which the helper would read as a file name.
    if (end > start) arguments.push_back(extra.substr(start, end - start));
    start = end + 1;
  }

  // The helper numbers the volumes itself.
  if (command.volumeBytes > 0 && hasSuffix(toArchive, ".001")) {
    arguments.push_back(toArchive.substr(0, toArchive.size() - 4));
  } else {
    arguments.push_back(toArchive);
  }

  if (!comment().empty() && isa().canWriteComments()) {
    command.commentFile = comment();
    arguments.push_back("-cz" + scratchFile(scratch, "comment"));
  } else {
    arguments.emplace_back("-cz--");
  }

  NameList list;
  if (!files.empty()) {
    list = nameList(files, false);
    command.listFile = std::move(list.text);
    arguments.push_back("@" + scratchFile(scratch, "listfile"));
  } else if (!fromFolder.empty()) {
    arguments.emplace_back(".");
  }
  if (presetInteger(preset, "mode") == 1) arguments.emplace_back("-xr!.DS_Store");
  if (filesToClean && !filesToClean->empty()) {
    NameList clean = nameList(*filesToClean, false);
    command.cleanFile = std::move(clean.text);
    arguments.push_back("-x@" + scratchFile(scratch, "listfileClean"));
    for (const std::string& name : clean.unlisted) arguments.push_back("-x!" + name);
  }
  appendLiteralNames(arguments, list.unlisted);
  return command;
}

SevenZipCommand AHandler7ZipBase::deleteCommand(const std::vector<std::string>& names,
                                                const std::string& scratch) const {
  SevenZipCommand command;
  // -spd: a name such as "*" or "a?b" is that entry alone, not a pattern that takes others along.
  command.arguments = {"d", passwordSwitch(password()), "-spd", url().value_or(std::string()),
                       "@" + scratchFile(scratch, "listfile")};
  command.password = password();
  NameList list = nameList(names, true);
  command.listFile = std::move(list.text);
  appendLiteralNames(command.arguments, list.unlisted);
  return command;
}

SevenZipCommand AHandler7ZipBase::moveCommand(const std::vector<std::string>& oldNames,
                                              const std::vector<std::string>& newNames,
                                              const std::string& scratch) const {
  SevenZipCommand command;
  command.arguments = {"rn", passwordSwitch(password()), "-spd", url().value_or(std::string()),
                       "@" + scratchFile(scratch, "listfile")};
  command.password = password();
  std::string text;
  std::vector<std::string> unlisted;
  for (size_t i = 0; i < oldNames.size() && i < newNames.size(); ++i) {
    const std::string_view from = entryName(oldNames[i]);
    const std::string_view to = entryName(newNames[i]);
    if (from.empty() || to.empty()) continue;
    // The helper pairs the names in the order they come, list file first.
    if (listable(from) && listable(to)) {
      text.append(from).push_back('\n');
      text.append(to).push_back('\n');
    } else {
      unlisted.emplace_back(from);
      unlisted.emplace_back(to);
    }
  }
  command.listFile = std::move(text);
  appendLiteralNames(command.arguments, unlisted);
  return command;
}

std::optional<int> sevenZipProgress(std::string_view chunk) {
  if (chunk.empty() || chunk.back() != '%') return std::nullopt;
  chunk.remove_suffix(1);
  size_t digits = 0;
  while (digits < 3 && digits < chunk.size() && chunk[chunk.size() - 1 - digits] >= '0' &&
         chunk[chunk.size() - 1 - digits] <= '9')
    ++digits;
  // A lone "%" or one after a word would read as 0 and throw the progress back.
  if (digits == 0) return std::nullopt;
  return intValue(chunk.substr(chunk.size() - digits));
}

namespace {

// What comes before the percentage `chunk` ends with: a pipe read may join the tool's own words
// to the helper's progress report after them.
std::string_view beforeTrailingPercentage(std::string_view chunk) {
  const size_t beforeDigits =
      chunk.size() < 2 ? std::string_view::npos : chunk.find_last_not_of("0123456789", chunk.size() - 2);
  return beforeDigits == std::string_view::npos ? std::string_view() : chunk.substr(0, beforeDigits + 1);
}

}  // namespace

// ---- Extraction and testing

int32_t AHandler7ZipBase::doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) {
  if (!url()) return kStatusFailed;
  const std::vector<std::string> names = itemPaths(items);
  int32_t result = 0;
  for (;;) {
    std::unique_ptr<AppTempFolder> scratch;
    const std::optional<SevenZipCommand> command = prepareCommand(
        *this, scratch, [&](const std::string& folder) { return extractCommand(names, mode, folder); });
    if (!command) return kStatusNotSupported;

    const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
    const bool logs = host && host->respondsToLogOutput();
    FailureTexts failures;
    Utf8Pieces pieces;
    const OutputCallback collect = [&](std::string_view chunk) {
      // The helper ends each progress report with a percentage; whatever a read joined before it
      // is the tool's own words, still searched for failures.
      if (const std::optional<int> percent = sevenZipProgress(chunk)) {
        if (host) host->setProgress(*percent);
        chunk = beforeTrailingPercentage(chunk);
        if (chunk.find_first_not_of(" \b\r") == std::string_view::npos) return;
      }
      failures.feed(chunk);
      if (!logs) return;
      if (const std::optional<std::string> text = pieces.take(chunk)) host->logOutput(*text);
    };
    // Testing may come without a destination; the helper then runs where we are.
    const std::optional<std::string> workingDir =
        toFolder.empty() ? std::nullopt : std::optional<std::string>(toFolder);
    int32_t status = 0;
    {
      const DestinationWatch watch(workingDir ? host : nullptr, toFolder, *this);
      status = executeTask(helperTool(kSevenZipTool), command->arguments, workingDir, &collect, nullptr,
                           passwordInput(command->password));
    }

    if (status == 0) {
      result = 0;
    } else if (failures.wrongPassword()) {
      PlistDictionary params{{"mode", promptModeForExtraction(mode)}};
      setPassword(host ? host->passwordWithParams(params) : std::string());
      result = kStatusListingEncrypted;
    } else if (failures.archiveErrors()) {
      result = kStatusFailed;
    } else {
      result = status;
    }
    if (result != kStatusListingEncrypted || password().empty() || operationCancelled()) break;
  }
  return result;
}

// ---- Creation, deletion and renaming

int32_t AHandler7ZipBase::runWithProgress(const SevenZipCommand& command,
                                          const std::optional<std::string>& workingDir, std::string& output) {
  const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
  const OutputCallback report = [&](std::string_view chunk) {
    keepTail(output, chunk);
    if (!host) return;
    if (const std::optional<int> percent = sevenZipProgress(chunk)) {
      host->setProgress(*percent);
    } else if (host->respondsToLogOutput()) {
      // The tool's own words for what it skipped or failed on.
      host->logOutput(chunk);
    }
  };
  return executeTask(helperTool(kSevenZipTool), command.arguments, workingDir, &report, nullptr,
                     passwordInput(command.password));
}

int32_t AHandler7ZipBase::doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                                     const std::string& toArchive, AZipItem* inParentItem,
                                     const Preset& preset, std::vector<std::string>* filesToClean) {
  if (toArchive.empty()) return kStatusNotSupported;
  const std::string parent = inParentItem ? std::string(inParentItem->path()) : std::string();
  std::unique_ptr<AppTempFolder> scratch;
  const std::optional<SevenZipCommand> command =
      prepareCommand(*this, scratch, [&](const std::string& folder) {
        return addCommand(files, fromFolder, toArchive, parent, preset, filesToClean, folder);
      });
  if (!command) return kStatusNotSupported;
  if (command->encryptsListing) setIsListingEncrypted(true);

  std::string output;
  const int32_t status = runWithProgress(
      *command, fromFolder.empty() ? std::nullopt : std::optional<std::string>(fromFolder), output);
  HLVLog(kLogTrace, "ret: %d; out: %s", status, output.c_str());
  if (status != 0) return status;
  if (command->volumeBytes > 0) {
    setUrl(pathExtension(toArchive) == "001" ? toArchive : toArchive + ".001");
  } else {
    setUrl(toArchive);
  }
  return status;
}

int32_t AHandler7ZipBase::editArchive(
    const char* operation, const std::function<SevenZipCommand(const std::string& scratch)>& make) {
  if (!url()) return kStatusNoArchivePath;
  const std::string archive = *url();
  std::unique_ptr<AppTempFolder> scratch;
  const std::optional<SevenZipCommand> command = prepareCommand(*this, scratch, make);
  if (!command) return kStatusNotSupported;
  std::string output;
  const int32_t status = runWithProgress(*command, std::nullopt, output);
  HLVLog(kLogNotice, "%s ret: %d; out: %s", operation, status, output.c_str());
  if (status == kStatusToolFatal) return kStatusListingEncrypted;
  if (status == 0) setUrl(archive);
  return 0;
}

int32_t AHandler7ZipBase::doDeleteFiles(const AZipItem::List& items) { return deleteNames(itemPaths(items)); }

int32_t AHandler7ZipBase::deleteNames(const std::vector<std::string>& names) {
  return editArchive("d", [&](const std::string& scratch) { return deleteCommand(names, scratch); });
}

int32_t AHandler7ZipBase::doMoveFiles(const AZipItem::List& items, const std::string& destination) {
  std::vector<std::string> oldNames;
  std::vector<std::string> newNames;
  const std::string_view folder = entryName(destination) == "/" ? std::string_view() : entryName(destination);
  for (const AZipItem::Ptr& item : items) {
    if (!item) continue;
    oldNames.emplace_back(item->path());
    newNames.push_back(appendingPathComponent(folder, lastPathComponent(entryName(item->path()))));
  }
  return doMoveFiles(oldNames, newNames);
}

int32_t AHandler7ZipBase::doMoveFiles(const std::vector<std::string>& oldNames,
                                      const std::vector<std::string>& newNames) {
  return editArchive("rn",
                     [&](const std::string& scratch) { return moveCommand(oldNames, newNames, scratch); });
}

// ---- Zip

int32_t AHandlerZip::doGetInfo(std::vector<std::string>& records) {
  const int32_t status = AHandler7ZipBase::doGetInfo(records);
  // A split archive keeps its end record in its last piece; where that holds no whole record
  // (7zz may cut through it), the listing's text stands.
  if (url()) {
    const std::string& last = parts().empty() ? *url() : parts().back().url;
    if (std::optional<ZipEndRecord> end = readZipEndRecord(last)) setComment(std::move(end->comment));
  }
  return status;
}

int32_t AHandlerZip::doUpdateComment(const std::string& newComment) {
  if (!url()) return kStatusNoArchivePath;
  const std::string archive = *url();
  // Deleting the helper takes every entry of its name along, a folder with all it holds.
  std::vector<std::string> records;
  // An archive without entries lists as an encrypted one would.
  const int32_t listed = getInfo(records);
  if (listed != 0 && listed != kStatusListingEncrypted) return listed;
  std::unordered_set<std::string_view> topNames;
  for (const std::string& record : records) {
    if (!isEntryRecord(record)) continue;
    std::string_view path = recordPath(record);
    while (path.starts_with('/')) path.remove_prefix(1);
    topNames.insert(path.substr(0, path.find('/')));
  }
  std::string name(kCommentHelperName);
  for (int number = 1; topNames.contains(name); ++number) {
    if (number > kMaxCommentHelperNumber) return kStatusFailed;
    name = std::string(kCommentHelperName) + "-" + std::to_string(number);
  }

  const AppTempFolder folder(documentsTempFolder().value_or(userTempPath()), true);
  const std::string helper = folder.path() ? scratchFile(*folder.path(), name) : std::string();
  if (helper.empty() || !writeFileAtomically(helper, "x")) {
    HLVLog(kLogError, "7z: cannot write the comment helper file");
    return kStatusFailed;
  }
  setComment(newComment);
  // The helper attaches the comment while it adds the file; the file itself must not stay.
  const int32_t added = addFiles({helper}, std::string(), archive, nullptr, Preset{}, nullptr);
  if (added != 0) return added;
  return deleteNames({name});
}

std::unordered_map<std::string, std::string> AHandlerZip::linkTargets() const {
  return url() ? zipLinkTargets(*url()) : std::unordered_map<std::string, std::string>{};
}

bool AHandlerZip::isItemEncrypted(const AZipItem& item) const {
  // The type values the 7-Zip helper writes for an encrypted zip entry.
  const std::string& type = item.type();
  return type == "1" || type == "+" || type.starts_with('B') || type.starts_with('T');
}

int32_t AHandlerZip::itemEncryptionMethod(const AZipItem& item) const {
  const std::string& meth = item.meth();
  if (meth.find("ZipCrypto") != std::string::npos) return 1;
  if (meth.find("AES") != std::string::npos) return 2;
  return 0;
}

std::string AHandlerZip::baseName() const { return volumeBaseName(Super::baseName(), url()); }

bool AHandlerZip::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

std::optional<std::string> AHandlerZip::rsrcFolder() const { return std::string(kMacOSXFolder); }

bool AHandlerZip::canUpdate() const { return isSingleVolume(parts()); }

// ---- 7z

bool AHandler7zip::isItemEncrypted(const AZipItem& item) const {
  return item.meth().find("7zAES") != std::string::npos;
}

int32_t AHandler7zip::itemEncryptionMethod(const AZipItem& item) const {
  if (isListingEncrypted()) return 3;
  return isItemEncrypted(item) ? 2 : 0;
}

std::string AHandler7zip::baseName() const { return volumeBaseName(Super::baseName(), url()); }

bool AHandler7zip::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

std::optional<std::string> AHandler7zip::rsrcFolder() const { return std::string(kMacOSXFolder); }

bool AHandler7zip::canUpdate() const { return isSingleVolume(parts()); }

// ---- arj

bool AHandlerArj::isItemEncrypted(const AZipItem& item) const { return item.type() == "1"; }

bool AHandlerArj::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

}  // namespace tessaro
