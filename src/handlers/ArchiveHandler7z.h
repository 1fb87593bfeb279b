// The 7-Zip family: formats listed through the 7-Zip helper (zip, 7z, arj, cab, chm, iso, wim,
// rpm, nsis, disk images). The subclasses differ in their class properties and in when an entry
// counts as encrypted.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveHandler.h"

namespace tessaro {

// One run of the 7-Zip helper, worked out without touching the disk: its arguments and the texts
// of the files they name, each of which is written only when present.
struct SevenZipCommand {
  std::vector<std::string> arguments;
  std::optional<std::string> listFile;     // "listfile": names or paths, or old and new names
  std::optional<std::string> cleanFile;    // "listfileClean": names to leave out
  std::optional<std::string> commentFile;  // "comment": the new archive comment
  // volumeSize × 10^(3 × volumeUnit) from the preset, 0 for one archive; the helper gets it in
  // thousands of bytes (1000 or 1024 each, as HLVSizeBase1024 says).
  int64_t volumeBytes = 0;
  // The names will be encrypted too.
  bool encryptsListing = false;
  // Said after a bare "-p": the helper reads it on its standard input, never from its arguments.
  std::string password;
};

class AHandler7ZipBase : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandler7ZipBase, ArchiveHandler)
  // The numbered files beside the archive that a split of it would write (set.zip.001, …).
  std::optional<std::vector<std::string>> possiblyConflictingParts() const override;

  // The runs behind the operations above; `scratch` is the folder that will hold their files.
  SevenZipCommand extractCommand(const std::vector<std::string>& names, int32_t mode,
                                 const std::string& scratch) const;
  SevenZipCommand addCommand(const std::vector<std::string>& files, const std::string& fromFolder,
                             const std::string& toArchive, std::string_view parentPath, const Preset& preset,
                             const std::vector<std::string>* filesToClean, const std::string& scratch) const;
  SevenZipCommand deleteCommand(const std::vector<std::string>& names, const std::string& scratch) const;
  SevenZipCommand moveCommand(const std::vector<std::string>& oldNames,
                              const std::vector<std::string>& newNames, const std::string& scratch) const;

 protected:
  // Lists through the 7-Zip helper; also sets the comment, the solid, encrypted-listing and
  // absolute-path flags from the lines before the first entry.
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Extracts (mode 3: tests) the items, or everything for the one item "*", asking the host for
  // another password for as long as the helper reports a wrong one and the host gives one.
  int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode) override;
  // Adds or updates `files` (or everything in `fromFolder`) under the folder `inParentItem`
  // names; the helper's exit status.
  int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                     const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                     std::vector<std::string>* filesToClean) override;
  // 0, or 100 when the helper ends with a fatal error (a wrong password, mostly); 5 without archive.
  int32_t doDeleteFiles(const AZipItem::List& items) override;
  int32_t deleteNames(const std::vector<std::string>& names);
  // Moves the items into the archive folder `destination` ("/" or "" for the top).
  int32_t doMoveFiles(const AZipItem::List& items, const std::string& destination) override;
  // Renames each old name to the new name of the same index; results as doDeleteFiles.
  int32_t doMoveFiles(const std::vector<std::string>& oldNames,
                      const std::vector<std::string>& newNames) override;

 private:
  // Runs a "u", "d" or "rn" command with the helper's percentages passed to the host; `output`
  // receives the end of what the helper wrote.
  int32_t runWithProgress(const SevenZipCommand& command, const std::optional<std::string>& workingDir,
                          std::string& output);
  // Runs "d" or "rn" as `make` gives it for the scratch folder, and maps the status.
  int32_t editArchive(const char* operation,
                      const std::function<SevenZipCommand(const std::string& scratch)>& make);
};

// The percentage a chunk of the helper's output ends with (" 42%", "100%"), or none.
std::optional<int> sevenZipProgress(std::string_view chunk);

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
  // Read from the archive's central directory and the links' own data.
  std::unordered_map<std::string, std::string> linkTargets() const override;

 protected:
  // Also takes the comment's exact bytes from the end record: the listing prints it as text, cut
  // at a line that looks like its separator and with bytes that are not UTF-8 replaced.
  int32_t doGetInfo(std::vector<std::string>& records) override;
  // Replaces the archive comment ("" removes it) by adding and deleting a helper file, named
  // unlike every entry, with the new comment attached; the status of the first step that fails.
  int32_t doUpdateComment(const std::string& comment) override;
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

 protected:
  // One entry, the package's gzip-compressed cpio payload, described from the file alone.
  int32_t doGetInfo(std::vector<std::string>& records) override;
};

class AHandlerNsis : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerNsis, AHandler7ZipBase)
};

class AHandlerDmg : public AHandler7ZipBase {
  TESSARO_HANDLER_CLASS(AHandlerDmg, AHandler7ZipBase)
};

}  // namespace tessaro
