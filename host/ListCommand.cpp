// tessaro list ARCHIVE [--long | --json | --tree [--width N]]: the archive's entries in tree order,
// as aligned columns (attributes, size, date, path), every field (--long), a JSON array (--json)
// or a drawn tree (--tree).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AZipItem.h"
#include "ArchiveFacts.h"
#include "ArchiveSession.h"
#include "CommandLine.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "HostPaths.h"
#include "ListingPipeline.h"
#include "ListingProgress.h"
#include "ListingViews.h"
#include "PathString.h"
#include "StoredPasswords.h"
#include "TerminationCleanup.h"
#include "ToolMessagesHidden.h"
#include "helpers.h"

namespace tessaro::host {

const char* const kListUsage =
    "list ARCHIVE [--long | --json | --tree [--width N]] [--password PASSWORD] [--verbose]\n"
    "                 print the archive's entries: attributes, size, date and path in columns;\n"
    "                 --long every field, --json an array of objects, --tree a drawn tree\n";

namespace {

constexpr OptionSpec kOptions[] = {
    {"--long", 'l', false}, {"--json", 0, false},      {"--tree", 0, false},
    {"--width", 0, true},   {"--password", 'p', true}, {"--verbose", 'v', false},
};

std::optional<size_t> parseWidth(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (value < 8) return std::nullopt;
  return value;
}

}  // namespace

int listCommand(const std::vector<std::string>& args) {
  CommandLine line;
  if (const std::optional<int> ended = parseCommandLine("list", kListUsage, args, kOptions, line))
    return *ended;
  const int forms = static_cast<int>(line.has("--long")) + line.has("--json") + line.has("--tree");
  if (line.operands().size() != 1 || line.operands()[0].empty() || forms > 1 ||
      (line.has("--width") && !line.has("--tree")))
    return usageError(kListUsage);
  std::optional<size_t> width;
  if (const auto given = line.value("--width")) {
    width = parseWidth(*given);
    if (!width) {
      std::fprintf(stderr, "tessaro: --width takes a number of columns (8 or more), not %s\n",
                   given->c_str());
      return kExitUsage;
    }
  }
  const bool verbose = line.has("--verbose");
  const std::string& file = line.operands()[0];
  if (const std::string complaint = notReadableAsArchive(file); !complaint.empty()) {
    std::fprintf(stderr, "tessaro: %s: %s\n", file.c_str(), complaint.c_str());
    return kExitUsage;
  }
  // Asked first, so that "no handler" is told apart from a handler that could not list.
  if (!handlerClassWithFilename(file, false)) {
    std::fprintf(stderr, "tessaro: %s\n", noHandlerInWords(file).c_str());
    return kExitUsage;
  }

  // Killed, the listing leaves no tool running and no temporary folder behind.
  if (usePrivateTemporaryFolder()) cleanUpOnTerminationSignals();
  struct FolderRemoval {
    ~FolderRemoval() { removePrivateTemporaryFolder(); }
  } folderRemoval;

  locateHelpers();
  // Tools take a name that starts with a dash for an option of theirs.
  const std::string path = absolutePath(file);
  AZipItem::Ptr root;
  ArchiveFacts facts;
  int32_t status = kStatusOK;
  {
    // Made before the tools' messages are hidden, so that its line still reaches the terminal.
    const ListingProgress progress(path);
    const ToolMessagesHidden hidden(!verbose);
    const std::optional<std::string> password = line.value("--password");
    status = password ? getInfo(path, root, *password) : getInfo(path, root, facts);
    if (password && status == kStatusOK) {
      AZipItem::Ptr ignored;
      getInfo(path, ignored, facts);
    }
    // Names hidden behind a password: the ones kept in the store are tried, in their order.
    if (status == kStatusListingEncrypted && !password) {
      for (const std::string& stored : storedArchivePasswords()) {
        AZipItem::Ptr opened;
        if (getInfo(path, opened, stored) != kStatusOK) continue;
        root = std::move(opened);
        status = kStatusOK;
        break;
      }
    }
  }
  // Whatever was listed before a failure is shown too.
  bool printed = true;
  if (root) {
    if (line.has("--json")) {
      const auto targets = zipLinkTargets(path);
      printed = printJson(*root, targets, stdout);
    } else if (line.has("--tree")) {
      TreeStyle style;
      style.width = width.value_or(terminalWidth());
      const char* noColour = std::getenv("NO_COLOR");
      style.colour = ::isatty(STDOUT_FILENO) == 1 && (!noColour || !*noColour);
      printed = printTree(*root, lastPathComponent(file), style, stdout);
    } else {
      printed = printColumns(*root, line.has("--long"), stdout);
    }
  }
  if (!printed) {
    std::fprintf(stderr, "tessaro: could not write the listing: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  if (facts.cutShortAt) {
    std::fprintf(stderr,
                 "tessaro: the listing of %s was cut short at %lld entries (raise HLVListingMaxEntries or "
                 "HLVListingMaxNameBytes to see more)\n",
                 file.c_str(), static_cast<long long>(*facts.cutShortAt));
    return kExitFailed;
  }
  if (status != kStatusOK) {
    std::fprintf(stderr, "tessaro: listing %s failed: %s\n", file.c_str(),
                 listingProblemInWords(file, status, facts, verbose).c_str());
    return kExitFailed;
  }
  return kExitOK;
}

}  // namespace tessaro::host
