// A file cut into numbered pieces (name.001, name.002, …) that is no archive of its own: listed
// as the one file that the joined pieces make.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerSplit : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerSplit, ArchiveHandler)

 protected:
  // The joined file as the 7-Zip helper reports it; 0 even when the helper cannot be started.
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Joins every volume into one file in `toFolder`, named after the set (a free name when that one
  // is taken); the items and the mode are not consulted. 0 when joined (or cancelled), 4 when the
  // set is incomplete or the file could not be written, with nothing left behind.
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
};

}  // namespace tessaro
