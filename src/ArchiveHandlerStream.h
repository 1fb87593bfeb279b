// Single compressed streams (gzip, bzip2, xz): shown as an archive of one entry, the file that
// decompression would produce.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

// The one record of a file listed from its own attributes (no tool run): `entry` as the path,
// the file's size as the unpacked size, no packed size, its mode and modification time.
std::string attributeRecord(const std::string& archivePath, std::string_view entry);

class AHandlerGZip : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerGZip, ArchiveHandler)
  int32_t getInfo(std::vector<std::string>& records) override;
};

class AHandlerBZip : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerBZip, ArchiveHandler)
  int32_t getInfo(std::vector<std::string>& records) override;
};

class AHandlerXz : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerXz, ArchiveHandler)
  int32_t getInfo(std::vector<std::string>& records) override;
};

}  // namespace tessaro
