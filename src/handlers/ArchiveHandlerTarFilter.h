// Tar archives compressed with zstd, lzip, lz4 or lzma: listed and extracted by GNU tar like the
// gzip, bzip2 and xz ones, with the compressor as tar's filter program. Read only.
#pragma once

#include <optional>
#include <string>

#include "ArchiveHandlerTar.h"

namespace tessaro {

// What the four classes share: their listing switches and their base name.
class AHandlerTarFilter : public AHandlerTar {
  TESSARO_HANDLER_CLASS(AHandlerTarFilter, AHandlerTar)
  bool canUpdate() const override;
  // backup.tar.zst: the compressor's extension goes, and then the tar one.
  std::string baseName() const override;

 protected:
  std::vector<std::string> listArguments() const override;
};

class AHandlerTZst : public AHandlerTarFilter {
  TESSARO_HANDLER_CLASS(AHandlerTZst, AHandlerTarFilter)
};

class AHandlerTLz : public AHandlerTarFilter {
  TESSARO_HANDLER_CLASS(AHandlerTLz, AHandlerTarFilter)
};

class AHandlerTLz4 : public AHandlerTarFilter {
  TESSARO_HANDLER_CLASS(AHandlerTLz4, AHandlerTarFilter)
};

class AHandlerTLzma : public AHandlerTarFilter {
  TESSARO_HANDLER_CLASS(AHandlerTLzma, AHandlerTarFilter)
};

}  // namespace tessaro
