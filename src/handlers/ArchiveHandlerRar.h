// RAR archives (every header version, multi-volume sets, cbr): listed and extracted through the
// UnRAR library; modified through the `rar` tool when the host names one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerRar : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerRar, ArchiveHandler)
  // Opens the handler on the first volume of the set that `path` belongs to.
  bool initWithURL(std::string_view path) override;
  // Collects the volumes of x.partN.rar (and .rev), x.001 … or x.rar with x.r00 … / x.s00 ….
  void initParts() override;
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
  // The targets of the listing's symbolic links and junctions, from the headers' redirections.
  std::unordered_map<std::string, std::string> linkTargets() const override { return linkTargets_; }

  // The `rar` tool named by the defaults key "rar" when it is an executable file, else none.
  static std::optional<std::string> rarPath();
  // The "<last component of path>.part1.rar" (any number of leading zeros) in the folder of
  // `path`, or none.
  static std::optional<std::string> findFirstPart(std::string_view path);

  // The library's callback for this handler: volume changes, progress and password requests.
  int handleRARCallBack(unsigned int msg, long p1, long p2);

  // Where doGetInfo reads the headers: the in-process reader with the library behind it for
  // what the reader gives up on (the default), or only one of the two; a reader that gives up
  // alone makes the listing fail with kStatusNotSupported.
  enum class HeaderSource { kAny, kLibrary, kInProcess };
  void setHeaderSource(HeaderSource source) { headerSource_ = source; }

 protected:
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Mode 3 tests; any other mode extracts. Items name entries by path; one item "*" means all,
  // and a path ending in "/" takes everything below it.
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // Through the `rar` tool, run in `fromFolder` on `files` (every file there when none): -1
  // without the tool or when the first volume of a new set cannot be found, else its exit status.
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
  // Through the `rar` tool: -1 without it.
  int32_t doUpdateComment(const std::string& comment) override;
  // Through the `rar` tool: -1 without it, 100 when it reports a wrong password, else 0.
  int32_t doDeleteFiles(const AZipItem::List& items) override;
  // Renames each old name to the new name at the same index, up to the shorter list; a folder
  // takes what it holds along. Results as doDeleteFiles; 4 for an empty list.
  int32_t doMoveFiles(const std::vector<std::string>& oldNames,
                      const std::vector<std::string>& newNames) override;
  // Moves the items into the archive folder `destination` ("" or "/" for the top).
  int32_t doMoveFiles(const AZipItem::List& items, const std::string& destination) override;
  // Rebuilds missing volumes from recovery volumes, then repairs each volume from its recovery
  // record; the damaged originals go to a "<name> (damaged)" folder beside the archive. -1 without
  // the tool, 100 when it reports a wrong password, else 0.
  int32_t doRepair() override;

 private:
  void setUrlAnew(const std::string& path);
  // Runs "d" or "rn" with the list file holding `listText`.
  int32_t editArchive(std::string_view command, const std::string& listText);
  // The listing from the in-process header reader, or none when it gave up.
  std::optional<int32_t> listInProcess(std::vector<std::string>& records);
  int32_t listThroughLibrary(std::vector<std::string>& records);
  // The comment, which the reader only notices, as the library decodes it.
  void readCommentThroughLibrary();

  // True exactly while getInfo reads headers: a password request then means the listing is encrypted.
  bool bGetInfo_ = false;
  // The host answered a volume change with a stop: the extraction ends as cancelled.
  bool volumeRefused_ = false;
  std::unordered_map<std::string, std::string> linkTargets_;
  HeaderSource headerSource_ = HeaderSource::kAny;
};

// One run of `rar` for AHandlerRar::addFiles, worked out without touching the disk.
struct RarAddCommand {
  std::vector<std::string> arguments;
  // The archive as rar gets it: for volumes without ".rar" or ".001" and then ".partN".
  std::string archivePath;
  int64_t volumeSize = 0;
  // The archive path lost a ".partN" extension.
  bool partDropped = false;
  // Texts of the list files: the names to add ("" when the whole folder goes in) and those to leave out.
  std::string listFile;
  std::string cleanFile;
  // What rar reads on its standard input when a bare -p or -hp asks it for the password.
  std::string input;
};
// `scratch` is the folder that will hold the "comment", "listfile" and "listfileClean" files.
RarAddCommand rarAddCommand(const std::vector<std::string>& files, const std::string& toArchive,
                            std::string_view parentPath, const Preset& preset, const std::string& password,
                            const std::vector<std::string>& filesToClean, const std::string& scratch);
// The arguments of deleteFiles and moveFiles ("d" or "rn"), of which the list file names the entries.
// A password is asked for with a bare -p, to be answered by rarPasswordInput(password).
std::vector<std::string> rarEditArguments(std::string_view command, const std::string& password,
                                          const std::string& workFolder, const std::string& archive,
                                          const std::string& listFile);
// What rar reads on its standard input for a bare -p or -hp: the password, for its prompt and for
// the one that confirms it. Empty when there is no password.
std::string rarPasswordInput(const std::string& password);
// "-p-" for no password, else a bare "-p": the password itself never goes on a command line.
std::string rarPasswordSwitch(const std::string& password);
// Entry names for a list file: one a line, without trailing "/".
std::string rarNameList(const std::vector<std::string>& names);
// Old and new name on a line each, per pair, up to the shorter list.
std::string rarRenameList(const std::vector<std::string>& oldNames, const std::vector<std::string>& newNames);
// The percentage a chunk of rar's output ends with ("\b\b\b\b 42%"), or none.
std::optional<int> rarProgress(std::string_view chunk);

// " VDRHSAC  " flags for DOS-family hosts, "drwxr-xr-x" for Unix ones, "-" for unknown hosts.
std::string rarListFileAttr(uint32_t attr, uint32_t hostOS);
// Zero-terminated code points to UTF-8 in `size` bytes, always terminated; a character that does
// not fit whole ends the text.
void WideToUtf(const wchar_t* source, char* destination, size_t size);

}  // namespace tessaro
