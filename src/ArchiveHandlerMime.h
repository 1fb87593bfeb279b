// TNEF mail attachment containers (winmail.dat): decoded into a scratch folder that is then listed.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerMime : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerMime, ArchiveHandler)
};

}  // namespace tessaro
