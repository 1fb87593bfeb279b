// Every command that writes an archive works on a copy: the archive (every volume of its set) is
// locked, copied into a private work folder beside it, changed there by the handler, listed,
// tested and read back, and only then renamed over the original. Whatever fails, the original
// stays as it was and the work folder goes, also when a signal ends the program.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "io/FileIO.h"

namespace tessaro::host {

class ArchiveSession;

// An entry the new archive must list, and the file or folder it was made from (empty when none).
struct ExpectedEntry {
  std::string name;
  std::string source;
};

// What the new archive must hold for the change to count as made.
struct Expectation {
  std::vector<ExpectedEntry> present;
  std::vector<std::string> absent;
  // Paths of entries (not folders) that must come through unchanged in name.
  std::vector<std::string> kept;
  // The least number of entries that are not folders: a tar edit may turn a hard link whose file
  // went into a file of its own, so there may be more.
  std::optional<int64_t> files;
  // False for a result that need not be an archive (a joined file).
  bool lists = true;
};

class ArchiveTransaction {
 public:
  enum class Kind {
    change,  // an existing archive, copied into the work folder
    create,  // a new file, made in the work folder under its final name
  };

  // Locks and copies `archive` (change) or only checks that it does not exist (create); none
  // after a one-line message. `operation` names the command in messages ("adding to").
  static std::unique_ptr<ArchiveTransaction> begin(Kind kind, const std::string& archive,
                                                   std::string operation);
  ~ArchiveTransaction();
  ArchiveTransaction(const ArchiveTransaction&) = delete;
  ArchiveTransaction& operator=(const ArchiveTransaction&) = delete;

  // The archive as the user named it, for messages.
  const std::string& shownName() const { return shown_; }
  const std::string& workFolder() const { return folder_; }
  // Where the handler works: the copy of the archive (same file name), or the new file's path.
  const std::string& workPath() const { return workPath_; }
  // A new file whose name is taken gets "NAME 1", "NAME 2" ... instead of failing.
  void takeFreeName() { freeName_ = true; }

  // Prints "tessaro: OPERATION ARCHIVE failed: WHY; ..." and answers the exit status 1.
  int fail(std::string_view why) const;
  // Judges the handler's `status`, checks the new archive against `expected` and puts it in
  // place of the old; the exit status, after a message for anything but success.
  int finish(ArchiveSession& session, int32_t status, const Expectation& expected);

 private:
  ArchiveTransaction() = default;
  bool makeWorkFolder();
  bool copyVolumes();
  std::string firstNewVolume(const ArchiveSession& session) const;
  std::optional<std::string> check(ArchiveSession& session, const Expectation& expected,
                                   const std::string& warnings) const;
  std::vector<std::string> newVolumes() const;
  int commit();
  int commitChange(const std::vector<std::string>& names);
  int commitCreate(const std::vector<std::string>& names);

  Kind kind_ = Kind::change;
  std::string operation_;
  std::string shown_;
  std::string target_;     // the file to replace or make: links resolved
  std::string directory_;  // the folder it lies in
  std::string folder_;     // the work folder
  std::string workPath_;
  std::vector<std::string> volumes_;  // the original set's file names, first one first
  mode_t mode_ = 0644;
  uid_t owner_ = 0;
  gid_t group_ = 0;
  bool freeName_ = false;
  std::optional<std::string> savedTmpdir_;
  bool hadTmpdir_ = false;
  FileLock lock_;
};

// The paths of `item` and the entries below it that are not folders.
std::set<std::string> filePaths(const AZipItem& item);
// The entries of the tree that are not folders.
int64_t countFiles(const AZipItem& root);
// `name` and, when it is a folder, every entry below it: how the listing shows what `source`
// (a file or folder on disk) became when added under the entry name `name`.
void expectTree(const std::string& source, const std::string& name, bool excludeDsStore,
                Expectation& expected);

}  // namespace tessaro::host
