// TNEF mail attachment containers (winmail.dat): decoded into a scratch folder that is then listed.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerMime : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerMime, ArchiveHandler)

 protected:
  // Decodes into documentsTempFolder/extract and lists what the decoder wrote; -1 when the file
  // does not decode (nothing is listed then).
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Copies the named items out of a fresh decode; copy failures are ignored. Always 0.
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
};

}  // namespace tessaro
