// tessaro extract ARCHIVE [ENTRY...] [-C DIR] [--password PASSWORD] [--verbose]
// tessaro test ARCHIVE [--password PASSWORD] [--verbose]
// Passwords the archive asks for are read from the terminal without echo; --password gives the
// first one to try, for scripts.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ArchiveCallbackHandler.h"
#include "ArchiveSession.h"
#include "ArchiveHandler.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "HostPaths.h"
#include "ListingPipeline.h"
#include "TerminalCallbackHandler.h"
#include "helpers.h"

namespace tessaro::host {

const char* const kExtractUsage =
    "extract ARCHIVE [ENTRY...] [-C DIR] [--password PASSWORD] [--verbose]\n"
    "                 extract the archive, or the named entries (a folder with all it holds), into DIR\n";
const char* const kTestUsage = "test ARCHIVE [--password PASSWORD] [--verbose]\n"
                               "                 check every entry's data without writing anything\n";

namespace {

// The handlers' mode numbers: 1 extracts, 3 only tests.
constexpr int32_t kExtractMode = 1;
constexpr int32_t kTestMode = 3;

struct Arguments {
  std::string archive;
  std::vector<std::string> entries;
  std::string destination = ".";
  std::optional<std::string> password;
  bool verbose = false;
};

// Parses the arguments; prints the usage and returns none when they do not fit.
std::optional<Arguments> parse(const std::vector<std::string>& args, bool allowEntries, const char* usage,
                               bool& helpShown) {
  Arguments parsed;
  bool haveArchive = false;
  bool fits = true;
  helpShown = false;
  for (size_t i = 0; i < args.size() && fits; ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("usage: tessaro %s", usage);
      helpShown = true;
      return std::nullopt;
    }
    if ((allowEntries && arg == "-C") || arg == "--password") {
      if (i + 1 >= args.size()) {
        fits = false;
      } else if (arg == "-C") {
        parsed.destination = args[++i];
      } else {
        parsed.password = args[++i];
      }
    } else if (arg == "--verbose" || arg == "-v") {
      parsed.verbose = true;
    } else if (arg.starts_with("--password=")) {
      parsed.password = arg.substr(11);
    } else if (arg.size() > 1 && arg.front() == '-') {
      fits = false;
    } else if (!haveArchive) {
      parsed.archive = arg;
      haveArchive = true;
    } else if (allowEntries) {
      parsed.entries.push_back(arg);
    } else {
      fits = false;
    }
  }
  if (!fits || !haveArchive || parsed.archive.empty()) {
    std::fprintf(stderr, "usage: tessaro %s", usage);
    return std::nullopt;
  }
  return parsed;
}

// Adds `item` and everything below it by path and entry number: handlers that extract by number
// (the XAD-backed ones) take a folder's contents only when each entry is named.
void addNumberedItems(const AZipItem& item, AZipItem::List& items) {
  std::vector<const AZipItem*> stack{&item};
  while (!stack.empty()) {
    const AZipItem* next = stack.back();
    stack.pop_back();
    if (next->num_() >= 0) {
      AZipItem::Ptr copy = AZipItem::initWithPath(next->path());
      if (copy) {
        copy->setNum_(next->num_());
        items.push_back(std::move(copy));
      }
    }
    for (const AZipItem::Ptr& child : next->children()) stack.push_back(child.get());
  }
}

// Lists the archive first: every named entry must be in it, and the destination must have room
// for what will be written (the alert's default answer stops). The items to hand to the handler,
// or none after a message.
std::optional<AZipItem::List> itemsToExtract(const std::string& archive, const std::vector<std::string>& entries,
                                             const std::optional<std::string>& destination) {
  AZipItem::List items;
  // An entry name also takes everything below it, so that naming a folder extracts the folder.
  const auto byName = [&items](const std::string& entry) {
    std::string name = entry;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    items.push_back(AZipItem::initWithPath(name));
    items.push_back(AZipItem::initWithPath(name + "/"));
  };
  if (entries.empty()) items.push_back(AZipItem::initWithPath("*"));

  AZipItem::Ptr root;
  const int32_t listed = getInfo(archive, root);
  // Without a listing (no handler, names enciphered) nothing can be checked beforehand.
  if (listed < 0 || listed == 100 || !root) {
    for (const std::string& entry : entries) byName(entry);
    return items;
  }
  int64_t needed = entries.empty() ? root->uncoV() : 0;
  bool allThere = true;
  for (const std::string& entry : entries) {
    const AZipItem* item = findItem(*root, entry);
    if (!item) {
      std::fprintf(stderr, "tessaro: %s: no such entry\n", entry.c_str());
      allThere = false;
      continue;
    }
    needed += item->uncoV();
    if (item->num_() >= 0) {
      addNumberedItems(*item, items);
    } else {
      byName(entry);
    }
  }
  if (!allThere) return std::nullopt;
  if (destination && checkSpace(needed, *destination)) {
    std::fprintf(stderr, "tessaro: not enough free space in %s for %lld bytes\n", destination->c_str(),
                 static_cast<long long>(needed));
    return std::nullopt;
  }
  return items;
}

int run(const std::vector<std::string>& args, bool testing) {
  bool helpShown = false;
  const std::optional<Arguments> parsed =
      parse(args, !testing, testing ? kTestUsage : kExtractUsage, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  // The handlers run their tools in the destination folder: paths must not depend on the current one.
  const std::string file = absolutePath(parsed->archive);
  const std::string destination = absolutePath(parsed->destination);

  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    std::fprintf(stderr, "tessaro: %s: %s\n", file.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  if (!testing && (::stat(parsed->destination.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    std::fprintf(stderr, "tessaro: %s is not a folder\n", parsed->destination.c_str());
    return kExitUsage;
  }
  locateHelpers();
  std::shared_ptr<ArchiveHandler> handler = handlerWithFilename(file);
  if (!handler) {
    std::fprintf(stderr, "tessaro: no handler for %s\n", file.c_str());
    return kExitUsage;
  }

  const std::optional<AZipItem::List> items =
      itemsToExtract(file, parsed->entries, testing ? std::nullopt : std::optional<std::string>(destination));
  if (!items) return kExitFailed;

  auto callback = std::make_shared<TerminalCallbackHandler>(file, TerminalCallbackHandler::Options{parsed->verbose, true});
  handler->setCallbackHandler(callback);
  if (parsed->password) handler->setPassword(*parsed->password);

  for (const AZipItem::Ptr& item : *items) {
    if (!item) return kExitFailed;
  }

  // A format that cannot test would take the test mode for an extraction into the current folder.
  if (testing && !handler->isa().canTest()) {
    std::fprintf(stderr, "tessaro: testing is not supported for %s\n", handler->isa().formatName().c_str());
    return kExitUsage;
  }
  const int32_t status = handler->extract(*items, destination, testing ? kTestMode : kExtractMode);
  std::fflush(stdout);
  if (status != 0) callback->printRecentLog();
  switch (status) {
    case 0:
      break;
    case -1:
      std::fprintf(stderr, "tessaro: %s is not supported yet for %s\n", testing ? "testing" : "extracting",
                   handler->isa().formatName().c_str());
      return kExitUsage;
    case 1:
      std::fprintf(stderr, "tessaro: cancelled at the password prompt\n");
      return kExitFailed;
    case 100:
      std::fprintf(stderr, "tessaro: %s: the password is missing or wrong (status 100)\n", file.c_str());
      return kExitFailed;
    default:
      std::fprintf(stderr, "tessaro: %s %s failed with status %d\n", testing ? "testing" : "extracting", file.c_str(),
                   status);
      return kExitFailed;
  }

  // The handler ends quietly when its host stops at a volume; here the volume was not there.
  if (callback->volumeMissing()) return kExitFailed;
  if (testing) std::printf("%s: all entries OK\n", file.c_str());
  return kExitOK;
}

}  // namespace

int extractCommand(const std::vector<std::string>& args) { return run(args, false); }
int testCommand(const std::vector<std::string>& args) { return run(args, true); }

}  // namespace tessaro::host
