#include "ArchiveHandlerTar.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ArchiveHandlerTarFilter.h"
#include "HostApplication.h"
#include "HostTexts.h"
#include "PathString.h"
#include "PerlPipeline.h"
#include "ProcessGlobals.h"
#include "TarHeaderReader.h"
#include "helpers.h"
#include "io/ReadOnlyFile.h"

namespace tessaro {

namespace {

// Rewrites one line of GNU tar's verbose listing ("drwxr-xr-x user/group 0 2020-05-01 10:20 docs/")
// into its type character followed by a listing record. The \n inside the bracket and every \t
// are real line-feed and tab characters in the argument Perl receives.
constexpr const char* kTarLineToRecord =
    "s/(.)([^ ]+)[ ]+([^ ]+)[ ]+([0-9]+)[ ]+([0-9]+)-([0-9]+)-([0-9]+)[ ]+([0-9]+):([0-9]+)[:]*([0-9]*)[ ]*"
    "([^\n]+)/$1path=$11\tattr=$1$2\tunco=$4\tcomp=0\ttime=$5$6$7.$8$9$10/g";

// Tar prints the carriage return of the Finder's custom-icon file "Icon\r" as backslash and "r".
constexpr std::string_view kEscapedIconName = "Icon\\r\tattr=";
constexpr std::string_view kIconName = "Icon\r\tattr=";

// When gnutar or perl cannot be started getInfo answers kStatusNotSupported (listing impossible),
// so the preview keeps the system's own rather than showing an archive that seems empty; when
// gnutar stopped with an error, kStatusToolFatal: the entries before it stand.

// Compression levels of the presets' "compression" tag.
constexpr int64_t kCompressionFast = 1;
constexpr int64_t kCompressionBest = 3;
// Preset "mode" 1 leaves the Finder's .DS_Store files out; 0 takes the names of the clean list
// out of a "__MACOSX/" folder, where resource forks of a zip made on a Mac live.
constexpr int64_t kModeNoDSStore = 1;
constexpr int64_t kModeMacOSXNames = 0;
constexpr std::string_view kMacOSXFolder = "__MACOSX";
// addFiles answers kStatusFailed when its own preparations (list file, temporary archive, the
// final rename) fail, and kStatusCancelled when the user cancels a copy that otherwise ended well.

// A helper path made only of these characters stands bare on the command line, as the command
// lines are written; any other is quoted.
constexpr std::string_view kBareCharacters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@%=";

std::string toolWord(const std::string& path) {
  if (!path.empty() && path.find_first_not_of(kBareCharacters) == std::string::npos) return path;
  return quotedForShell(path);
}

// One name in tar's list of names. Quoted, a name that begins with "-" would still be an option
// to tar; --add-file takes it as a name, whatever it begins with.
std::string tarName(std::string_view name) {
  if (!name.empty() && name.front() == '-') return "--add-file=" + quotedForShell(name);
  return quotedForShell(name);
}

std::string gnutarPath() { return appendingPathComponent(helpersPath(), "gnutar"); }
std::string xzPath() { return appendingPathComponent(helpersPath(), "xz"); }

// The two pieces of "additionalParams": tar's options and the compressor's.
std::pair<std::string, std::string> additionalParams(const Preset& preset) {
  const auto found = preset.find("additionalParams");
  const std::string text = found == preset.end() ? std::string() : found->second.asString().value_or("");
  const size_t comma = text.find(',');
  if (comma == std::string::npos) return {text, ""};
  const size_t next = text.find(',', comma + 1);
  return {text.substr(0, comma), text.substr(comma + 1, next == std::string::npos ? next : next - comma - 1)};
}

// The names of the clean list as tar's exclusion list, one a line. A name with a line feed
// cannot be written there (it would exclude two other names) and is left out.
std::string exclusionList(const std::vector<std::string>& names, int64_t mode) {
  std::string text;
  bool first = true;
  for (const std::string& original : names) {
    std::string_view name = original;
    if (mode == kModeMacOSXNames && name.starts_with(kMacOSXFolder))
      name.remove_prefix(std::min(name.size(), kMacOSXFolder.size() + 1));
    if (name.find('\n') != std::string_view::npos) {
      HLVLog(kLogNotice, "tar: cannot exclude a name with a line feed: %s", original.c_str());
      continue;
    }
    if (!first) text += '\n';
    text += name;
    first = false;
  }
  return text;
}

bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// One line of the rewritten listing: folders, files and symbolic links become records, a link
// keeping its own fields but losing " -> " and its target; every other line is dropped.
void appendRecord(std::string_view line, std::vector<std::string>& records) {
  if (line.empty()) return;
  switch (line[0]) {
    case 'l': {
      const size_t arrow = line.rfind(" -> ");
      const size_t tab = line.find('\t');
      if (arrow == std::string_view::npos || tab == std::string_view::npos) return;
      std::string record(line.substr(1, arrow - 1));
      record.append(line.substr(tab));
      records.push_back(std::move(record));
      return;
    }
    case 'd':
    case '-': {
      std::string record(line.substr(1));
      replaceAll(record, kEscapedIconName, kIconName);
      records.push_back(std::move(record));
      return;
    }
    default: return;
  }
}

}  // namespace

TarRecordStream::TarRecordStream(std::vector<std::string>& records,
                                 std::unordered_map<std::string, std::string>* linkTargets)
    : records_(records), linkTargets_(linkTargets), first_(records.size()) {}

void TarRecordStream::take(std::string_view piece) {
  lines_.feed(piece, [this](std::string_view text) { line(text); });
}

// Records are made from the bytes and moved to Latin 1 at the end if need be, which comes to
// the same as reading the text first: the line rules look only at ASCII characters.
uint64_t TarRecordStream::finish() {
  lines_.finish([this](std::string_view text) { line(text); });
  if (utf8_) return kUTF8StringEncoding;
  tarRecordsFromLatin1(records_, first_, linkTargets_);
  return kISOLatin1StringEncoding;
}

void TarRecordStream::line(std::string_view text) {
  if (utf8_ && !isValidUTF8(text)) utf8_ = false;
  appendRecord(text, records_);
  // "lpath=NAME -> TARGET<tab>…": the record keeps NAME, the target is noted beside it.
  if (linkTargets_ && text.starts_with("lpath=") && linkTargets_->size() < kMaxLinkTargets) {
    const size_t arrow = text.rfind(" -> ");
    const size_t tab = text.find('\t');
    if (arrow != std::string_view::npos && tab != std::string_view::npos && arrow + 4 <= tab)
      linkTargets_->insert_or_assign(std::string(text.substr(6, arrow - 6)),
                                     std::string(text.substr(arrow + 4, tab - arrow - 4)));
  }
}

void appendTarListingRecords(std::string_view text, std::vector<std::string>& records) {
  TarRecordStream stream(records);
  stream.take(text);
  stream.finish();
}

// ---- Command lines

std::string tarExtractCommand(const HandlerClass& handlerClass, const std::vector<std::string>& items,
                              std::string_view toFolder) {
  std::string compression(handlerClass.tarCompressionSwitch());
  if (compression.empty())
    if (const std::optional<std::string> program = handlerClass.tarFilterProgram())
      compression = "--use-compress-program=" + toolWord(*program);

  std::string itemText;
  if (!(items.size() == 1 && items.front() == "*")) {
    for (const std::string& item : items) {
      if (!itemText.empty()) itemText += ' ';
      itemText += tarName(item);
    }
  }
  return toolWord(gnutarPath()) + " -x " + compression + " -C " + quotedForShell(toFolder) + " " + itemText;
}

std::string tarCreateCommand(const HandlerClass& handlerClass, const std::vector<std::string>& files,
                             std::string_view fromFolder, const Preset& preset,
                             const std::optional<std::string>& excludeList) {
  const auto [tarParams, compressorParams] = additionalParams(preset);
  std::string tar = toolWord(gnutarPath()) + " " + tarParams;
  if (presetInteger(preset, "mode") == kModeNoDSStore) tar += " --exclude .DS_Store";
  if (excludeList) tar += " --no-wildcards --exclude-from=" + quotedForShell(*excludeList);

  std::string fileText;
  if (!files.empty()) {
    for (const std::string& path : files) {
      // A lone __MACOSX folder is archived as itself; beside other files its contents go to the
      // top level, where the resource forks belong.
      if (files.size() >= 2 && hasSuffix(path, kMacOSXFolder)) {
        fileText += "-C " + quotedForShell(path) + " . ";
      } else {
        fileText += "-C " + quotedForShell(deletingLastPathComponent(path)) + " " +
                    tarName(lastPathComponent(path)) + " ";
      }
    }
  } else if (!fromFolder.empty()) {
    // The shell expands the "*"; after "--" a name it yields that begins with "-" stays a name.
    fileText = "--wildcards -- *";
  }

  const int64_t compression = presetInteger(preset, "compression");
  if (handlerClass.isSubclassOf(AHandlerTXz::metaclass())) {
    const char* level = compression == kCompressionFast   ? "-1"
                        : compression == kCompressionBest ? "-7e"
                                                          : "-4";
    return tar + " -cf - " + fileText + " | " + quotedForShell(xzPath()) + " " + level + " " +
           compressorParams;
  }
  if (handlerClass.isSubclassOf(AHandlerTBz::metaclass()))
    return tar + " -cf - " + fileText + " | " +
           quotedForShell(appendingPathComponent(helpersPath(), "pbzip2")) + " " + compressorParams + " -c ";
  if (handlerClass.isSubclassOf(AHandlerTGz::metaclass())) {
    const char* level = compression == kCompressionFast ? "1" : compression == kCompressionBest ? "9" : "5";
    return tar + " -cf - " + fileText + " | " + quotedForShell("/usr/bin/gzip") + " -c" + level + " " +
           compressorParams + " ";
  }
  return tar + " -cf - " + fileText;
}

// ---- Class properties

class AHandlerTar::Class : public HandlerClassOf<AHandlerTar, ArchiveHandler::Class> {
 public:
  bool writtenArchiveNeedsWholeRead() const override { return true; }
  std::string formatName() const override { return hostText("TAR Format, uncompressed (tar)"); }
  int32_t formatTag() const override { return 1; }
  std::optional<std::string> defaultExtension() const override { return "tar"; }
  std::optional<std::string> baseType() const override { return "tar"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tar"};
  }
  int32_t canSave() const override { return 2; }
  bool canDelete() const override { return true; }
  bool hasMacMode() const override { return true; }
};

class AHandlerTGz::Class : public HandlerClassOf<AHandlerTGz, AHandlerTar::Class> {
 public:
  std::string formatName() const override { return hostText("TAR Format, GZip compressed (tgz)"); }
  std::string_view tarCompressionSwitch() const override { return "-z"; }
  int32_t formatTag() const override { return 2; }
  std::optional<std::string> defaultExtension() const override { return "tgz"; }
  std::optional<std::string> baseType() const override { return "tgz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tgz", "gz"};
  }
  bool hasCompressionFactor() const override { return true; }
  std::vector<int32_t> compressionFactorTags() const override { return {1, 2, 3}; }
};

class AHandlerTBz::Class : public HandlerClassOf<AHandlerTBz, AHandlerTar::Class> {
 public:
  std::string formatName() const override { return hostText("TAR Format, BZip2 compressed (tbz)"); }
  std::string_view tarCompressionSwitch() const override { return "-j"; }
  int32_t formatTag() const override { return 3; }
  std::optional<std::string> defaultExtension() const override { return "tbz"; }
  std::optional<std::string> baseType() const override { return "tbz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tbz", "bz2"};
  }
  // Creation passes no level to pbzip2, so "Normal" is the only choice.
  std::vector<int32_t> compressionFactorTags() const override { return {2}; }
};

class AHandlerTXz::Class : public HandlerClassOf<AHandlerTXz, AHandlerTar::Class> {
 public:
  std::string formatName() const override { return hostText("TAR Format, xz compressed (txz)"); }
  std::optional<std::string> tarFilterProgram() const override { return xzPath(); }
  int32_t formatTag() const override { return 8; }
  std::optional<std::string> defaultExtension() const override { return "txz"; }
  std::optional<std::string> baseType() const override { return "txz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"txz", "xz"};
  }
  std::vector<int32_t> compressionFactorTags() const override { return {1, 2, 3}; }
};

const HandlerClass& AHandlerTar::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerTGz::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerTBz::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerTXz::metaclass() {
  static const Class instance;
  return instance;
}

// ---- Instance properties

bool AHandlerTar::canUpdate() const { return true; }
bool AHandlerTGz::canUpdate() const { return false; }
bool AHandlerTBz::canUpdate() const { return false; }
bool AHandlerTXz::canUpdate() const { return false; }

std::optional<std::string> AHandlerTar::rsrcFolder() const { return "."; }

std::string AHandlerTar::baseName() const {
  try {
    std::string name = ArchiveHandler::baseName();
    if (!url()) return name;
    // backup.tar.gz: the compressor's extension goes, and then the tar one.
    const std::string_view extension = pathExtension(*url());
    if (extension == "gz" || extension == "bz" || extension == "bz2" || extension == "xz")
      return std::string(deletingPathExtension(name));
    return name;
  } catch (...) {
    return {};
  }
}

// ---- Listing

std::vector<std::string> AHandlerTar::listArguments() const { return {"tfv"}; }
std::vector<std::string> AHandlerTGz::listArguments() const { return {"tzfv"}; }
std::vector<std::string> AHandlerTBz::listArguments() const { return {"tjfv"}; }
std::vector<std::string> AHandlerTXz::listArguments() const {
  return {"tv", "--use-compress-program=" + helperTool("xz"), "-f"};
}

namespace {

// Signatures of the other compressions GNU tar lists (itself or through the program a class
// names): compress, lzip, lzma, lzop, zstd and lz4.
bool otherCompression(std::string_view head) {
  static constexpr std::string_view kSignatures[] = {{"\x1f\x9d", 2},         {"LZIP", 4},
                                                     {"\x5d\x00\x00", 3},     {"\x89LZO\x00", 5},
                                                     {"\x28\xb5\x2f\xfd", 4}, {"\x04\x22\x4d\x18", 4}};
  for (const std::string_view signature : kSignatures)
    if (head.starts_with(signature)) return true;
  return false;
}

// The reader fed from the unpacked archive, stopping at the listing bound.
class TarListingSink : public UnpackedSink {
 public:
  TarListingSink(TarHeaderReader& reader, ArchiveHandler& handler, const std::vector<std::string>& records)
      : reader_(reader), handler_(handler), records_(records) {}
  bool take(std::string_view piece) override {
    return reader_.take(piece) && !handler_.listingBoundReached(records_);
  }
  uint64_t skippable() const override { return reader_.skippable(); }
  void skipped(uint64_t count) override { reader_.skipped(count); }

 private:
  TarHeaderReader& reader_;
  ArchiveHandler& handler_;
  const std::vector<std::string>& records_;
};

}  // namespace

std::optional<StreamCompression> AHandlerTar::listedCompression(std::string_view head) const {
  // GNU tar's "tfv" recognises compressed input; the three unpacked here are read here.
  if (const std::optional<StreamCompression> known = compressionOfSignature(head)) return known;
  if (otherCompression(head)) return std::nullopt;
  return StreamCompression::none;
}
std::optional<StreamCompression> AHandlerTGz::listedCompression(std::string_view) const {
  return StreamCompression::gzip;
}
std::optional<StreamCompression> AHandlerTBz::listedCompression(std::string_view) const {
  return StreamCompression::bzip2;
}
std::optional<StreamCompression> AHandlerTXz::listedCompression(std::string_view) const {
  return StreamCompression::xz;
}

int32_t AHandlerTar::doGetInfo(std::vector<std::string>& records) {
  if (!url()) return kStatusNoFileURL;
  linkTargets_.clear();
  setListingProblem(ListingProblem::none);
  char head[8] = {};
  const ReadOnlyFile file(*url());
  const size_t headSize = static_cast<size_t>(std::min<int64_t>(file.regularSize().value_or(0), sizeof head));
  // What tar answers for a file it cannot open.
  if (!file.readAt(0, head, headSize)) {
    setListingProblem(ListingProblem::notReadable);
    return kStatusToolFatal;
  }
  const std::optional<StreamCompression> compression = listedCompression(std::string_view(head, headSize));
  return compression ? listInProcess(*compression, records) : listWithTool(records);
}

int32_t AHandlerTar::listInProcess(StreamCompression compression, std::vector<std::string>& records) {
  TarHeaderReader reader(records, &linkTargets_);
  TarListingSink sink(reader, *this, records);
  const UnpackResult unpacked = readUnpacked(*url(), compression, sink, cancellationFlag());
  ListingProblem problem = reader.finish();
  setEncoding(reader.encoding());
  // What was read up to the bound is the listing.
  if (listingCutShort()) return kStatusOK;
  // The reader's end (end blocks or damage) stops the unpacking; otherwise the unpacking's
  // trouble is the listing's.
  if (unpacked != UnpackResult::stopped && unpacked != UnpackResult::done) {
    problem = unpacked == UnpackResult::endsEarly ? ListingProblem::endsEarly
              : unpacked == UnpackResult::damaged ? ListingProblem::damagedHeaders
                                                  : ListingProblem::notReadable;
  } else if (unpacked == UnpackResult::stopped && !reader.ended()) {
    problem = ListingProblem::toolErrors;  // cancelled
  }
  if (problem == ListingProblem::none) return kStatusOK;
  setListingProblem(problem);
  return kStatusToolFatal;
}

int32_t AHandlerTar::listWithTool(std::vector<std::string>& records) {
  std::vector<std::string> argv{helperTool("gnutar")};
  for (std::string& argument : listArguments()) argv.push_back(std::move(argument));
  argv.push_back(*url());
  SubprocessOptions tarOptions;
  // In this locale tar prints the bytes of non-ASCII names as they are (in the C locale it
  // would escape each one). The zone is named too: without TZ, glibc re-reads /etc/localtime
  // for every entry tar prints, which more than doubles tar's time on a big archive; and tar
  // then prints its times in the zone this process reads them back in. Nothing else of the
  // caller's environment reaches tar.
  const char* zone = std::getenv("TZ");
  tarOptions.environment = {{"LC_ALL", "en_US.UTF-8"}, {"TZ", zone ? zone : ":/etc/localtime"}};
  tarOptions.replaceEnvironment = true;
  // Past the listing bound the pipeline stops tar and Perl.
  tarOptions.cancelled = cancellationFlag();

  TarRecordStream stream(records, &linkTargets_);
  int tarStatus = -1;
  if (!pipeThroughPerl(
          argv, tarOptions, kTarLineToRecord,
          [this, &stream, &records](std::string_view piece) {
            if (listingCutShort()) return;
            stream.take(piece);
            listingBoundReached(records);
          },
          &tarStatus))
    return kStatusNotSupported;
  setEncoding(stream.finish());
  // A cut-off or damaged archive makes tar stop with an error after the entries it could read.
  if (tarStatus != 0) {
    setListingProblem(ListingProblem::toolErrors);
    return kStatusToolFatal;
  }
  return kStatusOK;
}

// ---- Extraction and creation

int32_t AHandlerTar::doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t /*mode*/) {
  setOperationCancelled(false);
  if (!url()) return kStatusFailed;
  std::vector<std::string> names;
  names.reserve(items.size());
  for (const AZipItem::Ptr& item : items) {
    if (item) names.emplace_back(item->path());
  }
  const std::string command = tarExtractCommand(isa(), names, toFolder);
  // The shell would see the command end at a NUL: no such name reaches it.
  if (containsNul(command)) return kStatusFailed;
  return executeTask(command, *url(), false,
                     toFolder.empty() ? std::nullopt : std::optional<std::string>(toFolder));
}

int32_t AHandlerTar::doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                                const std::string& toArchive, AZipItem* /*inParentItem*/,
                                const Preset& preset, std::vector<std::string>* filesToClean) {
  setOperationCancelled(false);
  if (toArchive.empty()) return kStatusFailed;

  const std::string base = documentsTempFolder().value_or(userTempPath());
  std::optional<AppTempFolder> listFolder;
  std::optional<std::string> excludeList;
  if (filesToClean && !filesToClean->empty()) {
    listFolder.emplace(base, true);
    if (!listFolder->path()) return kStatusFailed;
    excludeList = appendingPathComponent(*listFolder->path(), "listfile");
    if (!writeFileAtomically(*excludeList, exclusionList(*filesToClean, presetInteger(preset, "mode"))))
      return kStatusFailed;
  }

  const std::string command = tarCreateCommand(isa(), files, fromFolder, preset, excludeList);
  if (containsNul(command)) return kStatusFailed;
  std::optional<std::string> workingDir = documentsTempFolder();
  if (!fromFolder.empty()) workingDir = fromFolder;

  // The runner truncates the file it writes into: an archive being replaced stays whole until
  // the new one is complete.
  const std::string target = resolvedArchivePath(toArchive);
  const std::optional<std::string> partial = createFileBeside(target);
  if (!partial) {
    HLVLog(kLogError, "tar: cannot create a file beside %s: %s", target.c_str(), std::strerror(errno));
    return kStatusFailed;
  }
  int32_t result = executeTask(command, *partial, true, workingDir);
  if (result == 0 && operationCancelled()) result = kStatusCancelled;
  if (result == 0 && std::rename(partial->c_str(), target.c_str()) != 0) {
    HLVLog(kLogError, "tar: cannot move the new archive to %s: %s", target.c_str(), std::strerror(errno));
    result = kStatusFailed;
  }
  if (result != 0) {
    std::remove(partial->c_str());
    return result;
  }
  setUrl(toArchive);
  return kStatusOK;
}

}  // namespace tessaro
