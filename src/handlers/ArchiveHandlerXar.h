// XAR archives, read and written through libxar.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerXar : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerXar, ArchiveHandler)

 protected:
  // 1001 when the archive cannot be opened.
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Extracts into `toFolder` the entries named by `items` ("*" for all, a folder with what it holds).
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // Writes `toArchive` from `files` (full paths, each stored under its last component and what it
  // holds); 1001 when it cannot be written, 1 when the host cancelled.
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
};

}  // namespace tessaro
