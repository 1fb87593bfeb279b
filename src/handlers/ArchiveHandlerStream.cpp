#include "ArchiveHandlerStream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "ArchiveHandlerStreamFilter.h"
#include "PathString.h"
#include "ProcessGlobals.h"
#include "UnpackedSize.h"
#include "helpers.h"

namespace tessaro {

namespace {

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
  struct tm local {};
  char text[32];
  if (localtime_r(&st.st_mtime, &local) && std::strftime(text, sizeof text, "%Y%m%d.%H%M%S", &local) > 0)
    attributes.time = text;
  return attributes;
}

// The entry is the file that decompression would produce: notes.txt.gz holds notes.txt.
std::string entryName(const std::string& archivePath) {
  return std::string(deletingPathExtension(lastPathComponent(archivePath)));
}

// The entry's record: the unpacked size the stream records beside the file's own; without one
// (bzip2 records none, and a gzip trailer may not tell) the file's own size stands for the
// entry's. Nothing is unpacked for it.
int32_t appendStreamRecord(const std::optional<std::string>& url, std::optional<int64_t> unpacked,
                           std::vector<std::string>& records) {
  if (!url) return kStatusNoFileURL;
  std::optional<uint64_t> size;
  if (unpacked && *unpacked >= 0) size = static_cast<uint64_t>(*unpacked);
  records.push_back(attributeRecord(*url, entryName(*url), size));
  return kStatusOK;
}

// extract answers kStatusFailed when it cannot name or start its output.

// A path the decompressors cannot take for an option.
std::string pathArgument(std::string_view path) {
  if (!path.empty() && path.front() == '-') return quotedForShell("./" + std::string(path));
  return quotedForShell(path);
}

// Decompresses the handler's stream into `toFolder`, under the name it has without its
// compressor's extension.
int32_t decompressInto(ArchiveHandler& handler, const std::string& toFolder) {
  if (!handler.url()) return kStatusFailed;
  const std::string& archive = *handler.url();
  const std::string name = entryName(archive);
  // A name that is no file of its own inside the folder (".gz" gives ".", "..gz" gives "..").
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    return kStatusFailed;
  const std::string command = streamExtractCommand(handler.isa(), archive);
  if (command.empty() || command.find('\0') != std::string::npos) return kStatusFailed;
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
  if (const std::optional<StreamFormat> format = filterStreamFormat(handlerClass)) {
    switch (*format) {
      case StreamFormat::kZstd: return "/usr/bin/zstd -d -c -q " + pathArgument(archivePath);
      case StreamFormat::kLzip: return "/usr/bin/lzip -d -c -q " + pathArgument(archivePath);
      case StreamFormat::kLz4: return "/usr/bin/lz4 -d -c -q " + pathArgument(archivePath);
      case StreamFormat::kLzma:
        return quotedForShell(appendingPathComponent(helpersPath(), "xz")) + " --format=lzma -d -c " +
               pathArgument(archivePath);
    }
  }
  return {};
}

std::string attributeRecord(const std::string& archivePath, std::string_view entry,
                            std::optional<uint64_t> unpackedSize) {
  const StreamAttributes attributes = attributesOf(archivePath);
  char size[24];
  std::snprintf(size, sizeof size, "%" PRId64, attributes.size);
  std::string sizes = std::string("unco=") + size + "\tcomp=-1";
  if (unpackedSize) sizes = "unco=" + std::to_string(*unpackedSize) + "\tcomp=" + size;
  return "path=" + std::string(entry) + "\t" + sizes + "\tattr=-" + attributes.permissions +
         "\ttime=" + attributes.time;
}

// ---- Class properties

class AHandlerGZip::Class : public HandlerClassOf<AHandlerGZip, ArchiveHandler::Class> {
 public:
  bool writtenArchiveNeedsWholeRead() const override { return true; }
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
  bool writtenArchiveNeedsWholeRead() const override { return true; }
  std::optional<std::string> defaultExtension() const override { return "bz2"; }
  std::optional<std::string> baseType() const override { return "bz2"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"bz2"};
  }
};

class AHandlerXz::Class : public HandlerClassOf<AHandlerXz, ArchiveHandler::Class> {
 public:
  bool writtenArchiveNeedsWholeRead() const override { return true; }
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

int32_t AHandlerGZip::doGetInfo(std::vector<std::string>& records) {
  return appendStreamRecord(url(), url() ? gzipUnpackedSize(*url()) : std::nullopt, records);
}

int32_t AHandlerBZip::doGetInfo(std::vector<std::string>& records) {
  return appendStreamRecord(url(), std::nullopt, records);
}

int32_t AHandlerXz::doGetInfo(std::vector<std::string>& records) {
  return appendStreamRecord(url(), url() ? xzUnpackedSize(*url()) : std::nullopt, records);
}

// ---- Extraction; adding is refused

int32_t extractStream(ArchiveHandler& handler, const std::string& toFolder) {
  handler.setOperationCancelled(false);
  return decompressInto(handler, toFolder);
}

int32_t AHandlerGZip::doExtract(const AZipItem::List& /*items*/, const std::string& toFolder,
                                int32_t /*mode*/) {
  return extractStream(*this, toFolder);
}

int32_t AHandlerBZip::doExtract(const AZipItem::List& /*items*/, const std::string& toFolder,
                                int32_t /*mode*/) {
  return extractStream(*this, toFolder);
}

int32_t AHandlerXz::doExtract(const AZipItem::List& /*items*/, const std::string& toFolder,
                              int32_t /*mode*/) {
  return extractStream(*this, toFolder);
}

// A single stream holds one file and is never written here.
int32_t AHandlerGZip::doAddFiles(const std::vector<std::string>&, const std::string&, const std::string&,
                                 AZipItem*, const Preset&, std::vector<std::string>*) {
  setOperationCancelled(false);
  return kStatusNotSupported;
}

int32_t AHandlerBZip::doAddFiles(const std::vector<std::string>&, const std::string&, const std::string&,
                                 AZipItem*, const Preset&, std::vector<std::string>*) {
  setOperationCancelled(false);
  return kStatusNotSupported;
}

int32_t AHandlerXz::doAddFiles(const std::vector<std::string>&, const std::string&, const std::string&,
                               AZipItem*, const Preset&, std::vector<std::string>*) {
  setOperationCancelled(false);
  return kStatusNotSupported;
}

}  // namespace tessaro
