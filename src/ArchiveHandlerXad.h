// Formats read through the XAD framework (StuffIt, BinHex, MacBinary, lzh, deb, pdf, swf, cpio,
// disk images): one subclass per format, naming only its extensions.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class ArchiveHandlerXad : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(ArchiveHandlerXad, ArchiveHandler)
  // Entries the framework reports as encrypted carry type "Y".
  bool isItemEncrypted(const AZipItem& item) const override;
  std::optional<std::string> rsrcFolder() const override;
};

class AHandlerSit : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerSit, ArchiveHandlerXad)
};

class AHandlerSitX : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerSitX, ArchiveHandlerXad)
};

class AHandlerDd : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerDd, ArchiveHandlerXad)
};

class AHandlerHqx : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerHqx, ArchiveHandlerXad)
};

class AHandlerBin : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerBin, ArchiveHandlerXad)
};

class AHandlerLzh : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerLzh, ArchiveHandlerXad)
};

class AHandlerDeb : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerDeb, ArchiveHandlerXad)
};

class AHandlerPdf : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerPdf, ArchiveHandlerXad)
};

class AHandlerSwf : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerSwf, ArchiveHandlerXad)
};

class AHandlerCpio : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerCpio, ArchiveHandlerXad)
  // Resource forks are kept beside their files, not in a folder of their own.
  std::optional<std::string> rsrcFolder() const override;
};

}  // namespace tessaro
