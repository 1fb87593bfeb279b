// Single compressed streams (gzip, bzip2, xz): shown as an archive of one entry, the file that
// decompression would produce.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

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
