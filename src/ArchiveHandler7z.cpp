#include "ArchiveHandler7z.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "ArchiveHandlerStream.h"
#include "ListingRecord.h"
#include "PathString.h"
#include "TextNumber.h"
#include "helpers.h"

namespace tessaro {

namespace {

// The one metaclass object of a handler class.
template <typename C>
const HandlerClass& theInstance() {
  static const C instance;
  return instance;
}

// Folder in which zip tools keep the resource forks and Finder information of Mac files.
constexpr std::string_view kMacOSXFolder = "__MACOSX";

// The base name, without the volume number of a numbered set: set.zip.001 gives "set".
std::string volumeBaseName(std::string inherited, const std::optional<std::string>& url) {
  if (url && pathExtension(*url) == "001") return std::string(deletingPathExtension(inherited));
  return inherited;
}

bool isNumberedOne(std::string_view path) { return intValue(pathExtension(path)) == 1; }

// The helper's name in the helper folder.
constexpr std::string_view kSevenZipTool = "7z";

// Listing results.
constexpr int32_t kNoArchive = 4;
constexpr int32_t kSubItemsErrors = 4;
constexpr int32_t kListingEncrypted = 100;

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

}  // namespace

// ---- Class properties

class AHandler7ZipBase::Class : public HandlerClassOf<AHandler7ZipBase, ArchiveHandler::Class> {
 public:
  bool canTest() const override { return true; }
};

class AHandlerZip::Class : public HandlerClassOf<AHandlerZip, AHandler7ZipBase::Class> {
 public:
  std::string formatName() const override { return "Zip Format (recommended)"; }
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
  std::string formatName() const override { return "7-Zip Format (best compression)"; }
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
  std::string formatName() const override { return "Apple Disk Image"; }
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

int32_t AHandler7ZipBase::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    if (!url()) return kNoArchive;
    const std::string& path = *url();

    std::string type = isa().baseType().value_or(std::string());
    if (hasSuffix(path, ".001")) type += ".split";
    std::vector<std::string> params{"l", "-slt", "-p" + (password().empty() ? std::string("-") : password())};
    if (!type.empty()) params.push_back("-t" + type);
    params.push_back(path);

    std::string bytes;
    const OutputCallback collect = [&bytes](std::string_view chunk) { bytes.append(chunk); };
    const int32_t status = executeTask(helperTool(kSevenZipTool), params, std::nullopt, &collect, nullptr);

    uint64_t usedEncoding = 0;
    std::optional<std::string> text = decodeString(bytes, &usedEncoding);
    std::string().swap(bytes);
    if (!text || usedEncoding != kUTF8StringEncoding) {
      setIsListingEncrypted(true);
      return kListingEncrypted;
    }
    if (status != 0) {
      if (text->find("Wrong password?") != std::string::npos) {
        setIsListingEncrypted(true);
        return kListingEncrypted;
      }
      if (text->find("Sub items Errors") != std::string::npos) return kSubItemsErrors;
    }
    appendLines(*text, records);
    text.reset();

    const ListingHeader header = scanListingHeader(records);
    setContainsAbsolutePaths(header.absolutePaths);
    if (header.solid) setIsSolid(true);
    if (header.comment) setComment(*header.comment);
    if (!header.entryFound) {
      setIsListingEncrypted(true);
      return kListingEncrypted;
    }
    return status;
  } catch (...) {
    return -1;
  }
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
      if (deletingPathExtension(name) == archiveName && intValue(pathExtension(name)) > 0) names.push_back(name);
    }
  } catch (...) {
  }
  return names;
}

int32_t AHandlerRpm::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    if (!url()) return 6;
    const std::string& path = *url();
    // The file's own size and mode stand for the payload's, as for a bzip2 stream.
    records.push_back(attributeRecord(path, std::string(deletingPathExtension(lastPathComponent(path))) + ".cpio.gz"));
    return 0;
  } catch (...) {
    return -1;
  }
}

// ---- Zip

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

std::string AHandlerZip::baseName() const {
  try {
    return volumeBaseName(Super::baseName(), url());
  } catch (...) {
    return {};
  }
}

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

std::string AHandler7zip::baseName() const {
  try {
    return volumeBaseName(Super::baseName(), url());
  } catch (...) {
    return {};
  }
}

bool AHandler7zip::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

std::optional<std::string> AHandler7zip::rsrcFolder() const { return std::string(kMacOSXFolder); }

bool AHandler7zip::canUpdate() const { return isSingleVolume(parts()); }

// ---- arj

bool AHandlerArj::isItemEncrypted(const AZipItem& item) const { return item.type() == "1"; }

bool AHandlerArj::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

}  // namespace tessaro
