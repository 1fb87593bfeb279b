// Tar archives, plain and compressed with gzip, bzip2 or xz: listed by reading their headers in
// this process; the other compressions GNU tar knows, by GNU tar's verbose listing rewritten
// into records by one perl substitution.
#pragma once

#include "ArchiveHandler.h"
#include "UnpackedStream.h"
#include "process/LineAssembler.h"

namespace tessaro {

// The records in Perl's rewrite of GNU tar's verbose listing (each line its type character, then
// the record): folders, files and symbolic links, a link without " -> " and its target. The text
// is read as TarRecordStream reads it.
void appendTarListingRecords(std::string_view text, std::vector<std::string>& records);

// Makes those records while the rewrite arrives in pieces (ending anywhere, also inside a line),
// so that the text is never held whole. The text counts as UTF-8 when all of it is, dropped
// lines included, and otherwise as ISO Latin 1.
class TarRecordStream {
 public:
  // With `linkTargets`, also notes where each symbolic link points, by its record path (up to
  // kMaxLinkTargets links).
  explicit TarRecordStream(std::vector<std::string>& records,
                           std::unordered_map<std::string, std::string>* linkTargets = nullptr);
  static constexpr size_t kMaxLinkTargets = 100000;
  void take(std::string_view piece);
  // Takes the text after the last line feed as a line too; answers the encoding it was read in
  // (kUTF8StringEncoding or kISOLatin1StringEncoding).
  uint64_t finish();

 private:
  void line(std::string_view text);

  std::vector<std::string>& records_;
  std::unordered_map<std::string, std::string>* linkTargets_;
  const size_t first_;
  LineAssembler lines_;
  bool utf8_ = true;
};

// The shell command line with which `handlerClass` extracts `items` (entry paths, or the single
// "*" for everything) into `toFolder`; the archive arrives on its standard input.
std::string tarExtractCommand(const HandlerClass& handlerClass, const std::vector<std::string>& items,
                              std::string_view toFolder);
// The shell command line with which `handlerClass` writes an archive of `files` (full paths; with
// none, everything in the working folder `fromFolder`) to its standard output. `excludeList` is
// the file of names to leave out, when there is one.
std::string tarCreateCommand(const HandlerClass& handlerClass, const std::vector<std::string>& files,
                             std::string_view fromFolder, const Preset& preset,
                             const std::optional<std::string>& excludeList);

class AHandlerTar : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerTar, ArchiveHandler)
  bool canUpdate() const override;
  std::string baseName() const override;
  std::optional<std::string> rsrcFolder() const override;
  // From the listing's " -> " parts, which the records leave out.
  std::unordered_map<std::string, std::string> linkTargets() const override { return linkTargets_; }

 protected:
  int32_t doGetInfo(std::vector<std::string>& records) override;
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // Writes a new archive at `toArchive`; the old one there is replaced only when this succeeds.
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
  // GNU tar's arguments before the archive path, chosen by the exact class.
  virtual std::vector<std::string> listArguments() const;
  // The compression this process unpacks for the listing, by the class and the file's first
  // bytes `head`; none when GNU tar lists it.
  virtual std::optional<StreamCompression> listedCompression(std::string_view head) const;

 private:
  int32_t listInProcess(StreamCompression compression, std::vector<std::string>& records);
  int32_t listWithTool(std::vector<std::string>& records);

  std::unordered_map<std::string, std::string> linkTargets_;
};

class AHandlerTGz : public AHandlerTar {
  TESSARO_HANDLER_CLASS(AHandlerTGz, AHandlerTar)
  bool canUpdate() const override;

 protected:
  std::vector<std::string> listArguments() const override;
  std::optional<StreamCompression> listedCompression(std::string_view head) const override;
};

class AHandlerTBz : public AHandlerTar {
  TESSARO_HANDLER_CLASS(AHandlerTBz, AHandlerTar)
  bool canUpdate() const override;

 protected:
  std::vector<std::string> listArguments() const override;
  std::optional<StreamCompression> listedCompression(std::string_view head) const override;
};

class AHandlerTXz : public AHandlerTar {
  TESSARO_HANDLER_CLASS(AHandlerTXz, AHandlerTar)
  bool canUpdate() const override;

 protected:
  std::vector<std::string> listArguments() const override;
  std::optional<StreamCompression> listedCompression(std::string_view head) const override;
};

}  // namespace tessaro
