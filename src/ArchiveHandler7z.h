// The 7-Zip family: formats listed through the 7-Zip helper (zip, 7z, arj, cab, chm, iso, wim,
// rpm, nsis, disk images). The subclasses differ in their class properties and in when an entry
// counts as encrypted.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandler7ZipBase : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandler7ZipBase, ArchiveHandler)
  // Lists through the 7-Zip helper; also sets the comment, the solid, encrypted-listing and
  // absolute-path flags from the lines before the first entry.
  int32_t getInfo(std::vector<std::string>& records) override;
  // The numbered files beside the archive that a split of it would write (set.zip.001, …).
  std::optional<std::vector<std::string>> possiblyConflictingParts() const override;
};

class AHandlerZip : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerZip, AHandler7ZipBase)
  bool isItemEncrypted(const AZipItem& item) const override;
  int32_t itemEncryptionMethod(const AZipItem& item) const override;
  // set.zip.001 gives "set".
  std::string baseName() const override;
  // True for the volume numbered 1.
  bool isFirstFile(std::string_view path) const override;
  std::optional<std::string> rsrcFolder() const override;
  // Only a single-volume archive can be updated in place.
  bool canUpdate() const override;
};

class AHandler7zip : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandler7zip, AHandler7ZipBase)
  bool isItemEncrypted(const AZipItem& item) const override;
  int32_t itemEncryptionMethod(const AZipItem& item) const override;
  std::string baseName() const override;
  bool isFirstFile(std::string_view path) const override;
  std::optional<std::string> rsrcFolder() const override;
  bool canUpdate() const override;
};

class AHandlerArj : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerArj, AHandler7ZipBase)
  bool isItemEncrypted(const AZipItem& item) const override;
  bool isFirstFile(std::string_view path) const override;
};

class AHandlerCab : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerCab, AHandler7ZipBase)
};

class AHandlerChm : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerChm, AHandler7ZipBase)
};

class AHandlerIso : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerIso, AHandler7ZipBase)
};

class AHandlerWim : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerWim, AHandler7ZipBase)
};

class AHandlerRpm : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerRpm, AHandler7ZipBase)
  // One entry, the package's gzip-compressed cpio payload, described from the file alone.
  int32_t getInfo(std::vector<std::string>& records) override;
};

class AHandlerNsis : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerNsis, AHandler7ZipBase)
};

class AHandlerDmg : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerDmg, AHandler7ZipBase)
};

}  // namespace tessaro
