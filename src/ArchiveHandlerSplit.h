// A file cut into numbered pieces (name.001, name.002, …) that is no archive of its own: listed
// as the one file that the joined pieces make.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerSplit : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerSplit, ArchiveHandler)
  // The joined file as the 7-Zip helper reports it; always 0.
  int32_t getInfo(std::vector<std::string>& records) override;
};

}  // namespace tessaro
