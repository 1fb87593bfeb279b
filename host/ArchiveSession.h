// What every tessaro command that works on an archive shares: the handler for the file (an
// existing archive, or a new one of the format its name or --format asks for), the terminal
// callback handler, the private temporary folder the handler works in, and the report of a
// handler's status as a message and the program's exit status.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ArchiveFacts.h"
#include "ArchiveHandler.h"
#include "TerminalCallbackHandler.h"

namespace tessaro::host {

class ArchiveSession {
 public:
  // An existing archive; none (after a message) when it is missing or no handler serves it.
  // `shownAs` names the archive in messages when the handler works on a copy of it.
  // `printEntries` prints each entry extracted or tested on standard output.
  static std::unique_ptr<ArchiveSession> open(const std::string& archive, bool verbose,
                                              const std::string& shownAs = {}, bool printEntries = false);
  // A new archive at `archive` in `format` (an extension such as "zip", "tar.gz", "7z"), or the
  // format of its name when `format` is empty; none (after a message) when no handler writes it.
  static std::unique_ptr<ArchiveSession> create(const std::string& archive, const std::string& format,
                                                bool verbose, const std::string& shownAs = {});
  ~ArchiveSession();
  ArchiveSession(const ArchiveSession&) = delete;
  ArchiveSession& operator=(const ArchiveSession&) = delete;

  ArchiveHandler& handler() { return *handler_; }
  const ArchiveHandler& handler() const { return *handler_; }
  TerminalCallbackHandler& callback() { return *callback_; }
  // The archive's absolute path.
  const std::string& archive() const { return archive_; }
  // The archive as messages name it.
  const std::string& shownName() const { return shown_; }
  bool verbose() const { return verbose_; }
  // The password the user gave: a failure with it is a wrong password, not a missing one.
  void setPassword(const std::string& password);

  // The archive's listing, made once for the whole session: the tree, what the preview's header
  // tells about it, and the listing's status (0 listed, 100 names enciphered, ...).
  struct Listing {
    AZipItem::Ptr root;
    ArchiveFacts facts;
    int32_t status = 0;
  };
  const Listing& listing();

  // The exit status for the handler's `status` of `operation`, with a message for a failure:
  // -1 unsupported, 100 password, 1 cancelled, other values failed.
  int report(int32_t status, std::string_view operation) const;
  // What a failing `status` means, in words (its number too under --verbose). `written` is the
  // folder the operation wrote into: a full disk there is never taken for a wrong password.
  std::string statusInWords(int32_t status, const std::string& written) const;

 private:
  ArchiveSession() = default;
  bool prepare(bool verbose);

  std::string archive_;
  std::string shown_;
  bool verbose_ = false;
  bool printEntries_ = false;
  bool passwordGiven_ = false;
  std::shared_ptr<ArchiveHandler> handler_;
  std::shared_ptr<TerminalCallbackHandler> callback_;
  std::optional<std::string> tempFolder_;
  std::optional<Listing> listing_;
};

// What a handler's failing `status` means, in words, whatever the operation: the one reading of the
// statuses for every command.
std::string handlerStatusInWords(int32_t status);

// Why no handler takes `file`, in words: a name that promises a format the content does not
// have is called damaged or not of that kind, anything else not an archive.
std::string noHandlerInWords(const std::string& file);
// Why listing `file` failed with `status`: a missing volume of its set, a password, damage.
std::string listingProblemInWords(const std::string& file, int32_t status, const ArchiveFacts& facts,
                                  bool verbose);

// True when `path` is a folder; otherwise says it is missing or no folder, in one line.
bool isFolderOrSay(const std::string& path);

// The item at `path` below `root`, found by walking the names; none for "" or "/".
const AZipItem* findItem(const AZipItem& root, std::string_view path);
// `path` made absolute against the current folder (no symbolic links resolved).
std::string absolutePath(const std::string& path);
// The extensions `create --format` takes, for usage texts.
extern const char* const kCreateFormats;

}  // namespace tessaro::host
