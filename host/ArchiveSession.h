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
#include "ArchiveHandler.h"
#include "TerminalCallbackHandler.h"

namespace tessaro::host {

class ArchiveSession {
 public:
  // An existing archive; none (after a message) when it is missing or no handler serves it.
  static std::unique_ptr<ArchiveSession> open(const std::string& archive, bool verbose);
  // A new archive at `archive` in `format` (an extension such as "zip", "tar.gz", "7z"), or the
  // format of its name when `format` is empty; none (after a message) when no handler writes it.
  static std::unique_ptr<ArchiveSession> create(const std::string& archive, const std::string& format, bool verbose);
  ~ArchiveSession();
  ArchiveSession(const ArchiveSession&) = delete;
  ArchiveSession& operator=(const ArchiveSession&) = delete;

  ArchiveHandler& handler() { return *handler_; }
  TerminalCallbackHandler& callback() { return *callback_; }
  // The archive's absolute path.
  const std::string& archive() const { return archive_; }

  // The exit status for the handler's `status` of `operation`, with a message for a failure:
  // -1 unsupported, 100 password, 1 cancelled, other values failed.
  int report(int32_t status, std::string_view operation) const;

 private:
  ArchiveSession() = default;
  bool prepare(bool verbose);

  std::string archive_;
  std::shared_ptr<ArchiveHandler> handler_;
  std::shared_ptr<TerminalCallbackHandler> callback_;
  std::optional<std::string> tempFolder_;
};

// The item at `path` below `root`, found by walking the names; none for "" or "/".
const AZipItem* findItem(const AZipItem& root, std::string_view path);
// `path` made absolute against the current folder (no symbolic links resolved).
std::string absolutePath(const std::string& path);
// The extensions `create --format` takes, for usage texts.
extern const char* const kCreateFormats;

}  // namespace tessaro::host
