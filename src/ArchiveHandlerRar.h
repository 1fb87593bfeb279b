// RAR archives (every header version, multi-volume sets, cbr): listed and extracted through the
// UnRAR library; modified through the `rar` tool when the host names one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerRar : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerRar, ArchiveHandler)
  // Opens the handler on the first volume of the set that `path` belongs to.
  bool initWithURL(std::string_view path) override;
  // Collects the volumes of x.partN.rar (and .rev), x.001 … or x.rar with x.r00 … / x.s00 ….
  void initParts() override;
  int32_t getInfo(std::vector<std::string>& records) override;
  // Mode 3 tests; any other mode extracts. Items name entries by path; one item "*" means all,
  // and a path ending in "/" takes everything below it.
  int32_t extract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // Through the `rar` tool: -1 without it.
  int32_t updateComment(const std::string& comment) override;
  // Through the `rar` tool: -1 without it, 100 when it reports a wrong password, else 0.
  int32_t deleteFiles(const AZipItem::List& items) override;
  bool isItemEncrypted(const AZipItem& item) const override;
  int32_t itemEncryptionMethod(const AZipItem& item) const override;
  // x.part1.rar gives "x".
  std::string baseName() const override;
  // For x.partN.rar: N is 1; otherwise the extension is "rar" or "001".
  bool isFirstFile(std::string_view path) const override;
  // Names beside the archive that would be taken for volumes of a set named like it.
  std::optional<std::vector<std::string>> possiblyConflictingParts() const override;
  std::optional<std::string> rsrcFolder() const override;
  // Only with the `rar` tool, and only a single-volume archive.
  bool canUpdate() const override;

  // The `rar` tool named by the defaults key "rar" when it is an executable file, else none.
  static std::optional<std::string> rarPath();

  // The library's callback for this handler: volume changes, progress and password requests.
  int handleRARCallBack(unsigned int msg, long p1, long p2);

 private:
  // True exactly while getInfo reads headers: a password request then means the listing is encrypted.
  bool bGetInfo_ = false;
  // The host answered a volume change with a stop: the extraction ends as cancelled.
  bool volumeRefused_ = false;
};

// The handlers inside a library call, kept alive for its span.
std::vector<std::shared_ptr<ArchiveHandler>>& runningHandlers();

// " VDRHSAC  " flags for DOS-family hosts, "drwxr-xr-x" for Unix ones, "-" for unknown hosts.
std::string rarListFileAttr(uint32_t attr, uint32_t hostOS);
// Zero-terminated code points to UTF-8 in `size` bytes, always terminated; a character that does
// not fit whole ends the text.
void WideToUtf(const wchar_t* source, char* destination, size_t size);

}  // namespace tessaro
