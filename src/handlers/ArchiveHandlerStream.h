// Single compressed streams (gzip, bzip2, xz): shown as an archive of one entry, the file that
// decompression would produce.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

// The one record of a file listed from its own attributes (no tool run): `entry` as the path,
// the file's size as the unpacked size, no packed size, its mode and modification time. With
// `unpackedSize`, that is the unpacked size and the file's size the packed one.
std::string attributeRecord(const std::string& archivePath, std::string_view entry,
                            std::optional<uint64_t> unpackedSize = std::nullopt);
// The shell command line that decompresses the stream at `archivePath` to its standard output;
// empty for a class that is not a single-stream class.
std::string streamExtractCommand(const HandlerClass& handlerClass, std::string_view archivePath);
// Decompresses the handler's stream into `toFolder` under the name it has without its
// compressor's extension; the runner's status, or 4 when no output can be named or started.
int32_t extractStream(ArchiveHandler& handler, const std::string& toFolder);

class AHandlerGZip : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerGZip, ArchiveHandler)

 protected:
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Decompresses the stream into the destination; the items and the mode are not consulted.
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // A single stream holds one file: adding is refused (-1).
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
};

class AHandlerBZip : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerBZip, ArchiveHandler)

 protected:
  int32_t doGetInfo(std::vector<std::string>& records) override;
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
};

class AHandlerXz : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerXz, ArchiveHandler)

 protected:
  int32_t doGetInfo(std::vector<std::string>& records) override;
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
};

}  // namespace tessaro
