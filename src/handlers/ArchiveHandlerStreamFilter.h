// Single zstd, lzip, lz4 and lzma streams: shown, like the gzip ones, as an archive of the one
// file that decompression would produce, its size taken from what the stream records about
// itself.
#pragma once

#include <optional>
#include <string>

#include "ArchiveHandler.h"
#include "RecordedStreamSize.h"

namespace tessaro {

// The stream format of `handlerClass`; none for a class that is not one of the four below.
std::optional<StreamFormat> filterStreamFormat(const HandlerClass& handlerClass);

// What the four classes share: everything but their class properties.
class AHandlerStreamFilter : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerStreamFilter, ArchiveHandler)

 protected:
  // One record: the recorded unpacked size with the file's as packed size, or, when the stream
  // records none, the file's own size as the unpacked one.
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Decompresses the stream into the destination; the items and the mode are not consulted.
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // A single stream holds one file: adding is refused (-1).
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
};

class AHandlerZstd : public AHandlerStreamFilter {
  TESSARO_HANDLER_CLASS(AHandlerZstd, AHandlerStreamFilter)
};

class AHandlerLzip : public AHandlerStreamFilter {
  TESSARO_HANDLER_CLASS(AHandlerLzip, AHandlerStreamFilter)
};

class AHandlerLz4 : public AHandlerStreamFilter {
  TESSARO_HANDLER_CLASS(AHandlerLz4, AHandlerStreamFilter)
};

class AHandlerLzma : public AHandlerStreamFilter {
  TESSARO_HANDLER_CLASS(AHandlerLzma, AHandlerStreamFilter)
};

}  // namespace tessaro
