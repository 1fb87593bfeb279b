#include "ArchiveHandlerXad.h"

#include <cinttypes>
#include <cstdlib>
#include <charconv>
#include <ctime>

#include "ArchiveCallbackHandler.h"
#include "HostTexts.h"
#include "ListingBound.h"
#include "PathString.h"
#include "VolumeNames.h"
#include "helpers.h"

namespace tessaro {

namespace {

// lsar (or libarchive) lists the whole archive when it is opened, before any bound is handed to
// the handler: the preferences' bound is read there, one entry over it so that the listing
// pipeline sees where it was cut.
XADListingBound listingBoundForLister() {
  const ListingBound bound = listingBoundFromPreferences();
  return {bound.maxEntries == SIZE_MAX ? SIZE_MAX : bound.maxEntries + 1, bound.maxNameBytes};
}

}  // namespace

// ---- Class properties

class ArchiveHandlerXad::Class : public HandlerClassOf<ArchiveHandlerXad, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "sit"; }
  std::optional<std::string> baseType() const override { return "sit"; }
  bool hasMacMode() const override { return true; }
};

class AHandlerSit::Class : public HandlerClassOf<AHandlerSit, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "sit"; }
  std::optional<std::string> baseType() const override { return "sit"; }
};

class AHandlerSitX::Class : public HandlerClassOf<AHandlerSitX, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "sitx"; }
  std::optional<std::string> baseType() const override { return "sitx"; }
};

class AHandlerDd::Class : public HandlerClassOf<AHandlerDd, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "dd"; }
  std::optional<std::string> baseType() const override { return "dd"; }
};

class AHandlerHqx::Class : public HandlerClassOf<AHandlerHqx, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "hqx"; }
  std::optional<std::string> baseType() const override { return "hqx"; }
};

class AHandlerBin::Class : public HandlerClassOf<AHandlerBin, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "bin"; }
  std::optional<std::string> baseType() const override { return "bin"; }
};

class AHandlerLzh::Class : public HandlerClassOf<AHandlerLzh, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "lzh"; }
  std::optional<std::string> baseType() const override { return "lzh"; }
};

class AHandlerDeb::Class : public HandlerClassOf<AHandlerDeb, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "deb"; }
  std::optional<std::string> baseType() const override { return "deb"; }
};

class AHandlerAr::Class : public HandlerClassOf<AHandlerAr, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "a"; }
  std::optional<std::string> baseType() const override { return "ar"; }
};

class AHandlerPdf::Class : public HandlerClassOf<AHandlerPdf, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "pdf"; }
  std::optional<std::string> baseType() const override { return "pdf"; }
};

class AHandlerSwf::Class : public HandlerClassOf<AHandlerSwf, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "swf"; }
  std::optional<std::string> baseType() const override { return "swf"; }
};

class AHandlerCpio::Class : public HandlerClassOf<AHandlerCpio, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "cpio"; }
  std::optional<std::string> baseType() const override { return "cpio"; }
  std::string formatName() const override { return hostText("CPIO Format, uncompressed (cpio)"); }
  int32_t formatTag() const override { return 7; }
};

const HandlerClass& ArchiveHandlerXad::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerSit::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerSitX::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerDd::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerHqx::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerBin::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerLzh::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerDeb::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerAr::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerPdf::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerSwf::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerCpio::metaclass() { return theInstance<Class>(); }

// ---- Creation

namespace {

int64_t integerIn(const PlistDictionary& d, std::string_view key) {
  const auto it = d.find(key);
  if (it == d.end()) return 0;
  return it->second.asInteger().value_or(0);
}

// Appends "%Y%m%d.%H%M%S" in the default time zone; nothing without a date. Written digit by
// digit: strftime was a noticeable part of listing a large archive.
void appendCompactTime(std::string& out, const PlistDictionary& d, std::string_view key) {
  const auto it = d.find(key);
  if (it == d.end()) return;
  const PlistDate* date = it->second.get<PlistDate>();
  if (!date || !(date->unixSeconds > -1e15 && date->unixSeconds < 1e15)) return;
  const std::time_t seconds = static_cast<std::time_t>(date->unixSeconds);
  std::tm local{};
  if (!localtime_r(&seconds, &local)) return;
  const int64_t year = int64_t{local.tm_year} + 1900;
  if (year < 0 || year > 9999) return;
  const auto two = [&out](int v) {
    out += static_cast<char>('0' + v / 10 % 10);
    out += static_cast<char>('0' + v % 10);
  };
  two(static_cast<int>(year / 100));
  two(static_cast<int>(year % 100));
  two(local.tm_mon + 1);
  two(local.tm_mday);
  out += '.';
  two(local.tm_hour);
  two(local.tm_min);
  two(local.tm_sec);
}

std::string compactTime(const PlistDictionary& d, std::string_view key) {
  std::string text;
  appendCompactTime(text, d, key);
  return text;
}

void appendNumber(std::string& out, int64_t v) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
}

std::string numberText(int64_t v) { return std::to_string(v); }

}  // namespace

ArchiveHandlerXad::~ArchiveHandlerXad() {
  if (archive_) archive_->setDelegate(nullptr);
}

bool ArchiveHandlerXad::adoptArchive(std::unique_ptr<XADArchive> archive) {
  if (!archive) return false;
  if (archive_) archive_->setDelegate(nullptr);
  archive_ = std::move(archive);
  archive_->setDelegate(this);
  setParts({});
  setIsListingEncrypted(archive_->isEncrypted());
  setOperationCancelled(false);
  return true;
}

bool ArchiveHandlerXad::initWithURL(std::string_view path) {
  try {
    setUrl(firstPart(path));
    if (!url()) return false;
    return adoptArchive(XADArchive::initWithFile(*url(), listingBoundForLister()));
  } catch (...) {
    return false;
  }
}

bool AHandlerCpio::initWithFilename(std::string_view name) {
  try {
    const std::string path(name);
    setUrl(path);
    if (!url()) return false;
    std::string lower = path;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const XADListingBound bound = listingBoundForLister();
    return adoptArchive(hasSuffix(lower, "gz") ? XADArchive::recursiveArchiveForFile(path, bound)
                                               : XADArchive::initWithFile(path, bound));
  } catch (...) {
    return false;
  }
}

// ---- Listing

std::string ArchiveHandlerXad::entryRecord(int n) const {
  const PlistDictionary attributes = archive_->attributesOfEntry(n);
  const PlistDictionary parser = archive_->combinedParserDictionaryForEntry(n);
  const int64_t size = integerIn(parser, "XADFileSize");
  const bool isRsrc = integerIn(parser, "XADIsResourceFork") != 0;
  const std::string name = archive_->nameOfEntry(n);
  std::string record;
  record.reserve(name.size() + 96);
  record += "path=";
  record += name;
  record += archive_->entryIsDirectory(n) ? "\tattr=d" : "\tattr=-";
  record += "\tunco=";
  appendNumber(record, size);
  record += archive_->entryIsEncrypted(n) ? "\ttype=Y" : "\ttype=N";
  record += "\tcomp=";
  appendNumber(record, integerIn(parser, "XADCompressedSize"));
  record += "\ttime=";
  appendCompactTime(record, attributes, kXADFileModificationDate);
  record += "\tnum_=";
  appendNumber(record, n);
  record += "\trsrc=";
  appendNumber(record, isRsrc ? size : 0);
  return record;
}

int32_t ArchiveHandlerXad::doGetInfo(std::vector<std::string>& records) {
  if (!archive_) return kStatusOK;
  if (archive_->listingCutShort()) cutListingShort();
  const int count = archive_->numberOfEntries();
  for (int n = 0; n < count; ++n) records.push_back(entryRecord(n));
  return kStatusOK;
}

int32_t AHandlerCpio::doGetInfo(std::vector<std::string>& records) {
  if (!archive_) return kStatusOK;
  if (archive_->listingCutShort()) cutListingShort();
  const int count = archive_->numberOfEntries();
  for (int n = 0; n < count; ++n) {
    if (archive_->entryHasResourceFork(n)) {
      const PlistDictionary fork = archive_->resourceForkParserDictionaryForEntry(n);
      const auto original = fork.find("MacOriginalDictionary");
      const PlistDictionary* d = original == fork.end() ? nullptr : original->second.get<PlistDictionary>();
      if (d) {
        const auto name = d->find("XADFileName");
        std::string record =
            "path=" + (name == d->end() ? std::string() : name->second.asString().value_or(""));
        record += "\tattr=-\tunco=" + numberText(integerIn(*d, "XADFileSize"));
        record += "\tcomp=" + numberText(integerIn(*d, "XADCompressedSize"));
        record += "\ttime=" + compactTime(*d, "XADLastModificationDate");
        record += "\tnum_=" + numberText(integerIn(fork, "XADIndex"));
        records.push_back(std::move(record));
      }
    }
    records.push_back(entryRecord(n));
  }
  return kStatusOK;
}

int32_t AHandlerCpio::doAddFiles(const std::vector<std::string>& /*files*/, const std::string& /*fromFolder*/,
                                 const std::string& toArchive, AZipItem* /*inParentItem*/,
                                 const Preset& preset, std::vector<std::string>* /*filesToClean*/) {
  // The platform's ditto would write the archive; there is none here, so the command is only
  // composed for the trace.
  const auto mode = preset.find("mode");
  const bool noRsrc = mode != preset.end() && mode->second.asInteger().value_or(0) != 0;
  const std::string command = std::string("/usr/bin/ditto -c ") +
                              (hasSuffix(toArchive, ".cpgz") ? "-z" : "") + " " + (noRsrc ? "--norsrc" : "") +
                              " \"$HLV_SRCDIR\" -";
  HLVLog(kLogCommand, "%s", redactedCommandLine(command).c_str());
  return kStatusNotSupported;
}

// ---- Extraction

int32_t ArchiveHandlerXad::doExtract(const AZipItem::List& items, const std::string& toFolder,
                                     int32_t /*mode*/) {
  std::vector<std::string> names;
  names.reserve(items.size());
  for (const AZipItem::Ptr& item : items)
    if (item) names.push_back(std::to_string(item->num_()));
  return extractEntries(names, toFolder);
}

int32_t ArchiveHandlerXad::extractEntries(const std::vector<std::string>& names,
                                          const std::string& toFolder) {
  // Callers may come here directly, past extract's own guard.
  try {
    setOperationCancelled(false);
    if (!archive_) return kStatusFailed;
    if (!password().empty() && archive_->isEncrypted()) {
      static constexpr std::string_view kRefusal =
          "this format's tool can only take a password on its command line, where other users could read "
          "it\n";
      HLVLog(kLogError, "%.*s", static_cast<int>(kRefusal.size() - 1), kRefusal.data());
      const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
      if (host && host->respondsToLogOutput()) host->logOutput(kRefusal);
      return kStatusPasswordNotPrivate;
    }
    archive_->setPassword(password());
    if (names.size() == 1 && std::atoi(names[0].c_str()) == -1) {
      archive_->extractTo(toFolder);
      return kStatusOK;
    }
    for (const std::string& name : names) {
      if (!archive_->extractEntry(std::atoi(name.c_str()), toFolder, true)) {
        HLVLog(kLogTrace, "xad extraction failed");
        return kStatusFailed;
      }
    }
    return kStatusOK;
  } catch (...) {
    return kStatusFailed;
  }
}

int ArchiveHandlerXad::archiveExtractionOfEntryDidFail(XADArchive& /*archive*/, int entry, int error) {
  HLVLog(kLogTrace, "%.*s %s entry %d error %d", static_cast<int>(className().size()), className().data(),
         "archiveExtractionOfEntryDidFail", entry, error);
  return 0;
}

void ArchiveHandlerXad::archiveExtractionProgressBytes(XADArchive& /*archive*/, int64_t bytes,
                                                       int64_t total) {
  HLVLog(kLogTrace, "progress %" PRId64 " of %" PRId64, bytes, total);
  const std::shared_ptr<ArchiveCallbackHandler> host = callbackHandler();
  if (!host) return;
  if (host->processData(nullptr, static_cast<int32_t>(bytes), 0) == -1) {
    setOperationCancelled(true);
    HLVLog(kLogTrace, "CANCEL");
  }
}

bool ArchiveHandlerXad::archiveExtractionShouldStop(XADArchive& /*archive*/) { return operationCancelled(); }

// ---- Entries

bool ArchiveHandlerXad::isItemEncrypted(const AZipItem& item) const { return item.type() == "Y"; }

std::optional<std::string> ArchiveHandlerXad::rsrcFolder() const { return std::string(); }

std::optional<std::string> AHandlerCpio::rsrcFolder() const { return std::string("."); }

}  // namespace tessaro
