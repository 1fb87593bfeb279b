// Formats read through the XAD framework (StuffIt, BinHex, MacBinary, lzh, deb, ar, pdf, swf, cpio,
// disk images): one subclass per format, naming only its extensions.
#pragma once

#include <memory>

#include "ArchiveHandler.h"
#include "xad/XADArchive.h"

namespace tessaro {

class ArchiveHandlerXad : public ArchiveHandler, public XADArchiveDelegate {
  TESSARO_HANDLER_CLASS(ArchiveHandlerXad, ArchiveHandler)
  ArchiveHandlerXad() = default;
  ~ArchiveHandlerXad() override;
  // False when the framework cannot read the file.
  bool initWithURL(std::string_view path) override;
  // Entries the framework reports as encrypted carry type "Y".
  bool isItemEncrypted(const AZipItem& item) const override;
  std::optional<std::string> rsrcFolder() const override;

  // Extraction by entry indices given as text ("-1" alone: everything).
  int32_t extractEntries(const std::vector<std::string>& names, const std::string& toFolder);

  int archiveExtractionOfEntryDidFail(XADArchive& archive, int entry, int error) override;
  void archiveExtractionProgressBytes(XADArchive& archive, int64_t bytes, int64_t total) override;
  bool archiveExtractionShouldStop(XADArchive& archive) override;

  XADArchive* archive() const { return archive_.get(); }

 protected:
  // One record per entry; never fails once the handler exists.
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Items name entries by their num_; a single item numbered -1 means the whole archive.
  // 0, or 4 when an entry could not be extracted.
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // Takes the opened archive (false when there is none) and becomes its delegate.
  bool adoptArchive(std::unique_ptr<XADArchive> archive);
  // The record of entry n.
  std::string entryRecord(int n) const;

  std::unique_ptr<XADArchive> archive_;
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

// Plain ar archives (static libraries and the like); Debian packages keep their own class.
class AHandlerAr : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerAr, ArchiveHandlerXad)
};

class AHandlerPdf : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerPdf, ArchiveHandlerXad)
};

class AHandlerSwf : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerSwf, ArchiveHandlerXad)
};

class AHandlerCpio : public ArchiveHandlerXad {
  TESSARO_HANDLER_CLASS(AHandlerCpio, ArchiveHandlerXad)
  // Host use: a name ending in "gz" (cpgz, cpio.gz) opens the cpio archive inside.
  bool initWithFilename(std::string_view name);
  // Resource forks are kept beside their files, not in a folder of their own.
  std::optional<std::string> rsrcFolder() const override;

 protected:
  // As the base, with a record for an entry's resource fork before the entry's own.
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // cpio archives are not created here: -1.
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
};

}  // namespace tessaro
