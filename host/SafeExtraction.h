// Moving what a handler unpacked into its staging folder to the destination, so that nothing of
// an archive and nothing an earlier extraction left there can send a write elsewhere: every
// folder below the destination is opened without following symbolic links, files are renamed
// into place, and what exists already is replaced or kept only as the caller decided.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tessaro::host {

enum class ExistingFiles { ask, overwrite, keep };

struct PlacementOptions {
  ExistingFiles existing = ExistingFiles::ask;
  bool specialFiles = false;         // devices, FIFOs and sockets are recreated
  bool preservePermissions = false;  // setuid and setgid bits are kept
  bool sameOwner = false;            // as root, the archive's owners are kept
};

// The answer to "replace NAME?" on a terminal.
enum class ReplaceAnswer { yes, no, all, none };

class SafePlacement {
 public:
  SafePlacement(std::string staging, std::string destination, PlacementOptions options);
  ~SafePlacement();
  SafePlacement(const SafePlacement&) = delete;
  SafePlacement& operator=(const SafePlacement&) = delete;

  // Reads the staged tree and what the destination holds at each of its names, changing nothing
  // in the destination. False when an entry cannot be placed whatever is decided (see failures()).
  bool survey();
  // Entries whose names exist in the destination already, in tree order.
  const std::vector<std::string>& conflicts() const { return conflicts_; }
  // Decides the conflicts with the policy of the options; `ask` (none: there is no terminal)
  // answers each one for ExistingFiles::ask. False when conflicts remain undecided.
  bool decide(const std::function<std::optional<ReplaceAnswer>(const std::string& name)>& ask);
  // Moves the staged tree into the destination. False when an entry failed (see failures());
  // the entries before it stay placed.
  bool place();

  // "NAME: why" for each entry that could not be placed.
  const std::vector<std::string>& failures() const { return failures_; }
  // Devices, FIFOs and sockets left out.
  const std::vector<std::string>& skippedSpecial() const { return skippedSpecial_; }
  // Existing files left as they were.
  int64_t kept() const { return kept_; }

 private:
  enum class Kind { none, folder, file, link, special };
  struct Entry {
    Kind kind = Kind::none;
    unsigned mode = 0;           // the staged entry's permission bits as the tool left them
    Kind existing = Kind::none;  // what the destination holds at the same name
    bool replace = false;
  };
  bool surveyFolder(int stagedFd, int destFd, const std::string& prefix, int depth);
  bool placeFolder(int stagedFd, int destFd, const std::string& prefix, int depth);
  bool placeOne(int stagedFd, int destFd, const std::string& name, const std::string& path, int depth);
  // Points a staged link whose target lies in the staging folder at the same place in the destination.
  bool retargetStagedLink(int stagedFd, const std::string& name) const;
  void fail(const std::string& path, const std::string& why);
  void countKept(const std::string& path);

  std::string staging_;
  std::string destination_;
  PlacementOptions options_;
  std::unordered_map<std::string, Entry> entries_;
  std::vector<std::string> conflicts_;
  std::vector<std::string> failures_;
  std::vector<std::string> skippedSpecial_;
  int64_t kept_ = 0;
};

}  // namespace tessaro::host
