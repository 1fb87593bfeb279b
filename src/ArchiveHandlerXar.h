// XAR archives, read and written through libxar.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerXar : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerXar, ArchiveHandler)
};

}  // namespace tessaro
