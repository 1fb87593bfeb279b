#include "ArchiveHandlerStream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "PathString.h"
#include "ProcessGlobals.h"
#include "UnpackedSize.h"
#include "helpers.h"

namespace tessaro {

namespace {

// What getInfo answers when it fails unexpectedly: listing impossible, as for tar.
constexpr int32_t kListingImpossible = -1;

// The archive file's own attributes, read without following a final symbolic link. An
// unreadable file gives no date, size 0 and no permissions.
struct StreamAttributes {
  int64_t size = 0;
  std::string permissions = posixPermissionsString(0);
  std::string time;  // "%Y%m%d.%H%M%S" in local time
};

StreamAttributes attributesOf(const std::string& path) {
  StreamAttributes attributes;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return attributes;
  attributes.size = static_cast<int64_t>(st.st_size);
  attributes.permissions = posixPermissionsString(static_cast<uint32_t>(st.st_mode));
  struct tm local{};
  char text[32];
  if (localtime_r(&st.st_mtime, &local) && std::strftime(text, sizeof text, "%Y%m%d.%H%M%S", &local) > 0)
    attributes.time = text;
  return attributes;
}

// The entry is the file that decompression would produce: notes.txt.gz holds notes.txt.
std::string entryName(const std::string& archivePath) {
  return std::string(deletingPathExtension(lastPathComponent(archivePath)));
}

// The entry's record: the unpacked size the stream records, beside the file's own; without one
// (bzip2 records none, and a gzip trailer may not tell) the file's own size stands for the
// entry's. Nothing is unpacked for it.
int32_t appendStreamRecord(const std::optional<std::string>& url, std::optional<int64_t> unpacked,
                           std::vector<std::string>& records) {
  if (!url) return 6;
  if (!unpacked) {
    records.push_back(attributeRecord(*url, entryName(*url)));
    return 0;
  }
  const StreamAttributes attributes = attributesOf(*url);
  records.push_back("path=" + entryName(*url) + "\tunco=" + std::to_string(*unpacked) +
                    "\tcomp=" + std::to_string(attributes.size) + "\tattr=-" + attributes.permissions +
                    "\ttime=" + attributes.time);
  return 0;
}

// What extract answers when it cannot name or start its output.
constexpr int32_t kCannotWrite = 4;

// A path the decompressors cannot take for an option.
std::string pathArgument(std::string_view path) {
  if (!path.empty() && path.front() == '-') return quotedForShell("./" + std::string(path));
  return quotedForShell(path);
}

// Decompresses the handler's stream into `toFolder`, under the name it has without its
// compressor's extension.
int32_t decompressInto(ArchiveHandler& handler, const std::string& toFolder) {
  if (!handler.url()) return kCannotWrite;
  const std::string& archive = *handler.url();
  const std::string name = entryName(archive);
  // A name that is no file of its own inside the folder (".gz" gives ".", "..gz" gives "..").
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return kCannotWrite;
  const std::string command = streamExtractCommand(handler.isa(), archive);
  if (command.empty() || command.find('\0') != std::string::npos) return kCannotWrite;
  return handler.executeTask(command, appendingPathComponent(toFolder, name), true,
                             toFolder.empty() ? std::nullopt : std::optional<std::string>(toFolder));
}

}  // namespace

std::string streamExtractCommand(const HandlerClass& handlerClass, std::string_view archivePath) {
  if (handlerClass.isSubclassOf(AHandlerGZip::metaclass()))
    return "/usr/bin/gunzip -c " + pathArgument(archivePath);
  if (handlerClass.isSubclassOf(AHandlerBZip::metaclass()))
    return "/usr/bin/bunzip2 -c " + pathArgument(archivePath);
  if (handlerClass.isSubclassOf(AHandlerXz::metaclass()))
    return quotedForShell(appendingPathComponent(helpersPath(), "xz")) + " -d -c " +
           pathArgument(archivePath);
  return {};
}

std::string attributeRecord(const std::string& archivePath, std::string_view entry) {
  const StreamAttributes attributes = attributesOf(archivePath);
  char size[24];
  std::snprintf(size, sizeof size, "%" PRId64, attributes.size);
  return "path=" + std::string(entry) + "\tunco=" + size + "\tcomp=-1\tattr=-" + attributes.permissions +
         "\ttime=" + attributes.time;
}

// ---- Class properties

class AHandlerGZip::Class : public HandlerClassOf<AHandlerGZip, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "gz"; }
  std::optional<std::string> baseType() const override { return "gz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"gz"};
  }
  bool hasCompressionFactor() const override { return true; }
  std::vector<int32_t> compressionFactorTags() const override { return {1, 2, 3}; }
};

class AHandlerBZip::Class : public HandlerClassOf<AHandlerBZip, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "bz2"; }
  std::optional<std::string> baseType() const override { return "bz2"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"bz2"};
  }
};

class AHandlerXz::Class : public HandlerClassOf<AHandlerXz, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "xz"; }
  std::optional<std::string> baseType() const override { return "xz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"xz"};
  }
};

const HandlerClass& AHandlerGZip::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerBZip::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerXz::metaclass() {
  static const Class instance;
  return instance;
}

// ---- Listing

int32_t AHandlerGZip::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    return appendStreamRecord(url(), url() ? gzipUnpackedSize(*url()) : std::nullopt, records);
  } catch (...) {
    return kListingImpossible;
  }
}

int32_t AHandlerBZip::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    return appendStreamRecord(url(), std::nullopt, records);
  } catch (...) {
    return kListingImpossible;
  }
}

int32_t AHandlerXz::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    return appendStreamRecord(url(), url() ? xzUnpackedSize(*url()) : std::nullopt, records);
  } catch (...) {
    return kListingImpossible;
  }
}

// ---- Extraction; adding is refused

namespace {

int32_t extractStream(ArchiveHandler& handler, const std::string& toFolder) {
  try {
    handler.setOperationCancelled(false);
    return decompressInto(handler, toFolder);
  } catch (...) {
    return kCannotWrite;
  }
}

}  // namespace

int32_t AHandlerGZip::extract(const AZipItem::List& /*items*/, const std::string& toFolder, int32_t /*mode*/) {
  traceOperation("extract");
  return extractStream(*this, toFolder);
}

int32_t AHandlerBZip::extract(const AZipItem::List& /*items*/, const std::string& toFolder, int32_t /*mode*/) {
  traceOperation("extract");
  return extractStream(*this, toFolder);
}

int32_t AHandlerXz::extract(const AZipItem::List& /*items*/, const std::string& toFolder, int32_t /*mode*/) {
  traceOperation("extract");
  return extractStream(*this, toFolder);
}

// A single stream holds one file and is never written here.
int32_t AHandlerGZip::addFiles(const std::vector<std::string>&, const std::string&, const std::string&, AZipItem*,
                               const Preset&, std::vector<std::string>*) {
  setOperationCancelled(false);
  traceOperation("addFiles");
  return -1;
}

int32_t AHandlerBZip::addFiles(const std::vector<std::string>&, const std::string&, const std::string&, AZipItem*,
                               const Preset&, std::vector<std::string>*) {
  setOperationCancelled(false);
  traceOperation("addFiles");
  return -1;
}

int32_t AHandlerXz::addFiles(const std::vector<std::string>&, const std::string&, const std::string&, AZipItem*,
                             const Preset&, std::vector<std::string>*) {
  setOperationCancelled(false);
  traceOperation("addFiles");
  return -1;
}

}  // namespace tessaro
