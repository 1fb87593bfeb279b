// RAR archives (every header version, multi-volume sets, cbr): listed and extracted through the
// UnRAR library; modified through the `rar` tool when the host names one.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerRar : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerRar, ArchiveHandler)
  bool isItemEncrypted(const AZipItem& item) const override;
  int32_t itemEncryptionMethod(const AZipItem& item) const override;
  // x.part1.rar gives "x".
  std::string baseName() const override;
  // For x.partN.rar: N is 1; otherwise the extension is "rar" or "001".
  bool isFirstFile(std::string_view path) const override;
  std::optional<std::string> rsrcFolder() const override;
  // Only with the `rar` tool, and only a single-volume archive.
  bool canUpdate() const override;
};

}  // namespace tessaro
