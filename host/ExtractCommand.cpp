// tessaro extract ARCHIVE [ENTRY...] [-C DIR] [--here] [--overwrite | --keep] [--max-size SIZE]
// [--special-files]
//                 [--preserve-permissions] [--same-owner] [--password PASSWORD] [--verbose]
// tessaro test ARCHIVE [--password PASSWORD] [--verbose]
// Passwords the archive asks for are read from the terminal without echo; --password gives the
// first one to try, for scripts.
//
// The handler unpacks into a private staging folder inside the destination. Only when its status,
// the whole archive read through libarchive and the listing agree that everything came out whole
// is the staged tree moved into place, without following any symbolic link on the way.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

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
#include "ArchiveCheck.h"
#include "ArchiveExtraction.h"
#include "ArchiveHandler.h"
#include "ArchiveHandlerStream.h"
#include "ArchiveHandlerStreamFilter.h"
#include "ArchiveSession.h"
#include "CommandLine.h"
#include "Commands.h"
#include "ExtractionCheck.h"
#include "GrowthLimit.h"
#include "HandlerRegistry.h"
#include "HostPaths.h"
#include "ListingPipeline.h"
#include "PathString.h"
#include "SafeExtraction.h"
#include "StagingFolder.h"
#include "TerminalCallbackHandler.h"
#include "TerminationCleanup.h"
#include "ToolMessagesHidden.h"
#include "UnpackedSize.h"
#include "helpers.h"

namespace tessaro::host {

const char* const kExtractUsage =
    "extract ARCHIVE [ENTRY...] [-C DIR] [--here] [--overwrite | --keep] [--max-size SIZE] "
    "[--special-files]\n"
    "                 [--preserve-permissions] [--same-owner] [--password PASSWORD] [--verbose]\n"
    "                 extract the archive, or the named entries (a folder with all it holds), into DIR;\n"
    "                 loose top-level items get a folder named after the archive unless --here;\n"
    "                 existing files are replaced with --overwrite, kept with --keep, and otherwise\n"
    "                 asked about on a terminal; --max-size limits the bytes written (k, M, G)\n";
const char* const kTestUsage =
    "test ARCHIVE [--password PASSWORD] [--verbose]\n"
    "                 check every entry's data without writing anything\n";

namespace {

// Room kept free on the destination's file system beyond what the extraction may write.
constexpr int64_t kMaxFreeSpaceMargin = int64_t{64} << 20;
// Conflicts named when existing files stop an extraction.
constexpr size_t kConflictsNamed = 5;

using Arguments = ExtractionRequest;

// "SIZE" with an optional k, M or G (powers of 1024); none for anything else.
std::optional<int64_t> parseSize(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int shift = 0;
  switch (text.back()) {
    case 'k':
    case 'K': shift = 10; break;
    case 'm':
    case 'M': shift = 20; break;
    case 'g':
    case 'G': shift = 30; break;
    default: break;
  }
  if (shift != 0) text.remove_suffix(1);
  if (text.empty() || text.size() > 15) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > (INT64_MAX >> shift)) return std::nullopt;
  return value << shift;
}

constexpr OptionSpec kExtractOptions[] = {
    {"-C", 'C', true},
    {"--max-size", 0, true},
    {"--password", 'p', true},
    {"--verbose", 'v', false},
    {"--overwrite", 0, false},
    {"--keep", 0, false},
    {"--special-files", 0, false},
    {"--preserve-permissions", 0, false},
    {"--same-owner", 0, false},
    {"--here", 0, false},
};
constexpr OptionSpec kTestOptions[] = {{"--password", 'p', true}, {"--verbose", 'v', false}};

// Parses the arguments; none with the exit status in `ended` when the command ends here.
std::optional<Arguments> parse(const std::vector<std::string>& args, bool extracting, int& ended) {
  const char* usage = extracting ? kExtractUsage : kTestUsage;
  CommandLine line;
  const std::optional<int> done = extracting ? parseCommandLine("extract", usage, args, kExtractOptions, line)
                                             : parseCommandLine("test", usage, args, kTestOptions, line);
  if (done) {
    ended = *done;
    return std::nullopt;
  }
  ended = kExitUsage;
  Arguments parsed;
  const std::vector<std::string>& words = line.operands();
  if (words.empty() || words[0].empty() || (!extracting && words.size() != 1) ||
      line.count("--overwrite") + line.count("--keep") > 1) {
    usageError(usage);
    return std::nullopt;
  }
  parsed.archive = words[0];
  parsed.entries.assign(words.begin() + 1, words.end());
  parsed.password = line.value("--password");
  parsed.verbose = line.has("--verbose");
  if (const auto destination = line.value("-C")) {
    parsed.destination = *destination;
  }
  if (const auto size = line.value("--max-size")) {
    parsed.maxSize = parseSize(*size);
    if (!parsed.maxSize) {
      std::fprintf(stderr, "tessaro: --max-size takes a byte count with k, M or G, not %s\n", size->c_str());
      return std::nullopt;
    }
  }
  if (line.has("--overwrite")) parsed.placement.existing = ExistingFiles::overwrite;
  if (line.has("--keep")) parsed.placement.existing = ExistingFiles::keep;
  parsed.placement.specialFiles = line.has("--special-files");
  parsed.placement.preservePermissions = line.has("--preserve-permissions");
  parsed.placement.sameOwner = line.has("--same-owner");
  parsed.here = line.has("--here");
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

struct Unpacked {
  int32_t status = 0;
  bool overran = false;  // the folder grew past the budget and the handler was stopped
};

// Unpacks `items` into `folder`, stopping the handler once the folder holds more than `budget`.
Unpacked unpack(ArchiveHandler& handler, const AZipItem::List& items, const std::string& folder,
                int64_t budget, bool hideTools) {
  const ToolMessagesHidden hidden(hideTools);
  const GrowthLimit limit(folder, budget, handler);
  Unpacked out;
  out.status = handler.extract(items, folder, kExtractForUser);
  out.overran = limit.exceeded();
  return out;
}

// What the listing tells before anything is written: the items to hand to the handler, the
// listing itself (none when the archive could not be listed) and the bytes the entries unpack to.
struct Plan {
  AZipItem::List items;
  AZipItem::Ptr root;
  std::optional<int64_t> needed;
  // Named entries the listing does not have.
  std::vector<std::string> missing;
};

// Plans from the session's listing: every named entry must be in it (see Plan::missing). None when
// an item cannot be made.
std::optional<Plan> planExtraction(ArchiveSession& session, const std::vector<std::string>& entries) {
  Plan plan;
  AZipItem::List& items = plan.items;
  // An entry name also takes everything below it, so that naming a folder extracts the folder.
  const auto byName = [&items](const std::string& entry) {
    std::string name = entry;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    items.push_back(AZipItem::initWithPath(name));
    items.push_back(AZipItem::initWithPath(name + "/"));
  };
  if (entries.empty()) items.push_back(AZipItem::initWithPath("*"));

  const ArchiveSession::Listing& listing = session.listing();
  const AZipItem::Ptr& root = listing.root;
  // Without a listing (no handler, names enciphered, only part of it within the listing bound)
  // nothing can be checked beforehand.
  if (listing.status < 0 || listing.status == kStatusListingEncrypted ||
      listing.status == kStatusListingCutShort || listing.facts.cutShortAt || !root) {
    for (const std::string& entry : entries) byName(entry);
    return plan;
  }
  int64_t needed = entries.empty() ? root->uncoV() : 0;
  for (const std::string& entry : entries) {
    const AZipItem* item = findItem(*root, entry);
    if (!item) {
      plan.missing.push_back(entry);
      continue;
    }
    needed += item->uncoV();
    if (item->num_() >= 0) {
      addNumberedItems(*item, items);
    } else {
      byName(entry);
    }
  }
  for (const AZipItem::Ptr& item : items) {
    if (!item) return std::nullopt;
  }
  plan.root = root;
  plan.needed = needed;
  return plan;
}

// A zstd, lzip, lz4 or lzma stream's unpacked size, when the stream records it.
std::optional<int64_t> recordedUnpackedSize(const HandlerClass& c, const std::string& file) {
  const std::optional<StreamFormat> format = filterStreamFormat(c);
  if (!format) return std::nullopt;
  const std::optional<uint64_t> size = recordedStreamSize(file, *format);
  if (!size || *size > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(*size);
}

// The bytes the whole extraction unpacks to: a lone stream's own records (its listing shows the
// packed size), otherwise the listing's total; none when unknown (bzip2, no listing).
std::optional<int64_t> bytesNeeded(const ArchiveHandler& handler, const std::string& file, const Plan& plan) {
  const HandlerClass& c = handler.isa();
  if (c.isSubclassOf(AHandlerGZip::metaclass())) return gzipUnpackedSize(file);
  if (c.isSubclassOf(AHandlerXz::metaclass())) return xzUnpackedSize(file);
  if (filterStreamFormat(c)) return recordedUnpackedSize(c, file);
  if (isLoneStream(c)) return std::nullopt;
  return plan.needed;
}

// The most bytes the extraction may write into `destination`: its free space less a margin, and
// no more than --max-size.
int64_t writeBudget(const std::string& destination, const std::optional<int64_t>& maxSize) {
  int64_t budget = INT64_MAX;
  struct statvfs fs;
  if (::statvfs(destination.c_str(), &fs) == 0) {
    // f_bavail counts fragments of f_frsize bytes (f_bsize is only the preferred I/O size).
    const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    const uint64_t freeBytes = unit != 0 && fs.f_bavail > static_cast<uint64_t>(INT64_MAX) / unit
                                   ? static_cast<uint64_t>(INT64_MAX)
                                   : static_cast<uint64_t>(fs.f_bavail) * unit;
    const auto available = static_cast<int64_t>(freeBytes);
    budget = available - std::min(kMaxFreeSpaceMargin, available / 20);
  }
  if (maxSize) budget = std::min(budget, *maxSize);
  return std::max<int64_t>(budget, 0);
}

// The folder made for an archive whose top level has loose items, named after the archive; it goes
// again unless the extraction succeeds (while it is still empty: nothing reaches it before that).
struct OwnFolder {
  std::string path;
  bool kept = false;
  OwnFolder() = default;
  OwnFolder(const OwnFolder&) = delete;
  OwnFolder& operator=(const OwnFolder&) = delete;
  ~OwnFolder() {
    if (!kept && !path.empty()) ::rmdir(path.c_str());
  }

  static std::unique_ptr<OwnFolder> make(const std::string& destination, const std::string& archive) {
    std::string name(lastPathComponent(archive));
    name = std::string(deletingPathExtension(name));
    if (pathExtension(name) == "tar") name = std::string(deletingPathExtension(name));
    if (name.empty() || name == "." || name == "..") name = "archive";
    for (int attempt = 1; attempt <= 100; ++attempt) {
      const std::string candidate =
          appendingPathComponent(destination, attempt == 1 ? name : name + "-" + std::to_string(attempt));
      if (::mkdir(candidate.c_str(), 0777) == 0) {
        auto made = std::make_unique<OwnFolder>();
        made->path = candidate;
        return made;
      }
      if (errno != EEXIST) return nullptr;
    }
    errno = EEXIST;
    return nullptr;
  }
};

// The terminal's answer to replacing `name`; none when there is no terminal to ask on.
std::optional<ReplaceAnswer> askOnTerminal(const std::string& name) {
  for (;;) {
    const std::optional<std::string> line = readLine("replace " + name + "? [y]es, [n]o, [A]ll, [N]one ");
    if (!line) return std::nullopt;
    if (*line == "y" || *line == "yes") return ReplaceAnswer::yes;
    if (*line == "n" || *line == "no") return ReplaceAnswer::no;
    if (*line == "A" || *line == "all") return ReplaceAnswer::all;
    if (*line == "N" || *line == "none") return ReplaceAnswer::none;
  }
}

void printProblems(const std::string& file, const std::vector<std::string>& problems, const char* ending) {
  for (size_t i = 0; i < problems.size(); ++i) {
    const bool last = i + 1 == problems.size();
    std::fprintf(stderr, "tessaro: extracting %s failed: %s%s\n", file.c_str(), problems[i].c_str(),
                 last ? ending : "");
  }
}

// The staged tree is whole: the whole archive reads cleanly through libarchive where it can, and
// every listed entry came out at its size. Problems in words, "NAME: why".
std::vector<std::string> checkStaged(const ArchiveHandler& handler, const std::string& file,
                                     const std::optional<std::string>& password, const Plan& plan,
                                     const std::vector<std::string>& entries, const std::string& staged) {
  const HandlerClass& c = handler.isa();
  std::vector<std::string> problems;
  if (libarchiveReads(c)) {
    const ArchiveCheck check = checkWholeArchive(file, password);
    if (!check.ok) {
      const std::string name = check.entry.empty() ? std::string(lastPathComponent(file)) : check.entry;
      problems.push_back(name + ": " + (check.problem.empty() ? "the data is damaged" : check.problem));
      return problems;
    }
  }
  // A lone stream's listing shows no unpacked size (and libarchive may read its data as an archive
  // of its own); xz's index tells the size exactly, as do the other streams that record it.
  {
    const std::optional<int64_t> size =
        c.isSubclassOf(AHandlerXz::metaclass()) ? xzUnpackedSize(file) : recordedUnpackedSize(c, file);
    if (size && bytesBelow(staged) != *size)
      problems.push_back(std::string(lastPathComponent(file)) + ": data is truncated");
  }
  if (plan.root) {
    const ListingComparison compared = compareWithListing(*plan.root, entries, staged, !isLoneStream(c));
    problems.insert(problems.end(), compared.problems.begin(), compared.problems.end());
  }
  return problems;
}

int extract(const Arguments& parsed, std::string* placedIn) {
  // The handlers run their tools in the destination folder: paths must not depend on the current one.
  const std::string file = absolutePath(parsed.archive);
  std::string destination = absolutePath(parsed.destination);
  const std::unique_ptr<ArchiveSession> session = ArchiveSession::open(file, parsed.verbose, {}, true);
  if (!session) return kExitUsage;
  if (parsed.password) session->setPassword(*parsed.password);
  ArchiveHandler* const handler = &session->handler();
  if (!isFolderOrSay(parsed.destination)) return kExitUsage;
  const bool hideTools = !parsed.verbose && !handlerReportsFailures(handler->isa());
  std::optional<Plan> plan;
  {
    const ToolMessagesHidden hidden(hideTools);
    plan = planExtraction(*session, parsed.entries);
  }
  if (!plan) return kExitFailed;
  for (const std::string& entry : plan->missing)
    std::fprintf(stderr, "tessaro: %s: no such entry\n", entry.c_str());
  if (!plan->missing.empty()) return kExitFailed;

  const int64_t budget = writeBudget(destination, parsed.maxSize);
  if (const std::optional<int64_t> needed = bytesNeeded(*handler, file, *plan); needed && *needed > budget) {
    std::fprintf(
        stderr,
        "tessaro: extracting %s failed: it needs %lld bytes, more than the %lld bytes it may write in "
        "%s; nothing was extracted\n",
        file.c_str(), static_cast<long long>(*needed), static_cast<long long>(budget),
        parsed.destination.c_str());
    return kExitFailed;
  }

  // Loose items at the archive's top level go into a folder of their own, as the preview's verdict
  // says they would scatter otherwise.
  std::unique_ptr<OwnFolder> ownFolder;
  // A lone stream or the pieces of a split file hold one file by nature: it never scatters.
  const HandlerClass* split = handlerClassNamed("AHandlerSplit");
  const bool oneFileByNature = isLoneStream(handler->isa()) || (split && handler->isa().isSubclassOf(*split));
  if (parsed.entries.empty() && !parsed.here && !oneFileByNature &&
      scattersLooseItems(session->listing().facts)) {
    ownFolder = OwnFolder::make(destination, file);
    if (!ownFolder) {
      std::fprintf(stderr, "tessaro: cannot make a folder for %s in %s: %s\n", file.c_str(),
                   parsed.destination.c_str(), std::strerror(errno));
      return kExitFailed;
    }
    destination = ownFolder->path;
  }
  const std::unique_ptr<StagingFolder> staging = StagingFolder::createInside(destination);
  if (!staging) {
    std::fprintf(stderr, "tessaro: cannot write in %s: %s\n", parsed.destination.c_str(),
                 std::strerror(errno));
    return kExitFailed;
  }
  TerminalCallbackHandler* const callback = &session->callback();
  callback->setTotalBytes(bytesNeeded(*handler, file, *plan));

  const auto [status, overran] = unpack(*handler, plan->items, staging->path(), budget, hideTools);
  std::fflush(stdout);
  callback->endProgress();
  if (overran || bytesBelow(staging->path()) > budget) {
    std::fprintf(stderr,
                 "tessaro: extracting %s failed: it would need more than %lld bytes; nothing was extracted\n",
                 file.c_str(), static_cast<long long>(budget));
    return kExitFailed;
  }
  if (status != kStatusOK) {
    if (status == kStatusNotSupported) {
      std::fprintf(stderr, "tessaro: extracting is not supported for %s\n",
                   handler->isa().formatName().c_str());
      return kExitUsage;
    }
    std::fprintf(stderr, "tessaro: extracting %s failed: %s; nothing was extracted\n", file.c_str(),
                 session->statusInWords(status, destination).c_str());
    return kExitFailed;
  }
  // The handler ends quietly when its host stops at a volume; here the volume was not there.
  if (callback->volumeMissing()) return kExitFailed;

  if (!handlerReportsFailures(handler->isa())) {
    const std::vector<std::string> problems =
        checkStaged(*handler, file, parsed.password, *plan, parsed.entries, staging->path());
    if (!problems.empty()) {
      printProblems(file, problems, "; nothing was extracted");
      return kExitFailed;
    }
  }

  SafePlacement placement(staging->path(), destination, parsed.placement);
  if (!placement.survey() || !placement.decide(askOnTerminal)) {
    if (!placement.failures().empty()) {
      printProblems(file, placement.failures(), "; nothing was extracted");
      return kExitFailed;
    }
    const std::vector<std::string>& conflicts = placement.conflicts();
    std::fprintf(stderr, "tessaro: %zu %s already in %s:\n", conflicts.size(),
                 conflicts.size() == 1 ? "entry exists" : "entries exist", parsed.destination.c_str());
    for (size_t i = 0; i < conflicts.size() && i < kConflictsNamed; ++i)
      std::fprintf(stderr, "tessaro:   %s\n", conflicts[i].c_str());
    if (conflicts.size() > kConflictsNamed) std::fprintf(stderr, "tessaro:   ...\n");
    std::fprintf(stderr,
                 "tessaro: nothing was extracted: use --overwrite to replace them or --keep to keep them\n");
    return kExitFailed;
  }
  const bool placed = placement.place();
  printProblems(file, placement.failures(), "");
  int result = placed ? kExitOK : kExitFailed;
  for (const std::string& name : placement.skippedSpecial()) {
    std::fprintf(stderr, "tessaro: %s: a device, FIFO or socket, not created (--special-files creates it)\n",
                 name.c_str());
    result = kExitFailed;
  }
  if (ownFolder && result == kExitOK) ownFolder->kept = true;
  if (placedIn && result == kExitOK) *placedIn = destination;
  if (placement.kept() > 0)
    std::printf("%lld existing %s kept\n", static_cast<long long>(placement.kept()),
                placement.kept() == 1 ? "file" : "files");
  return result;
}

// A format that neither tests itself nor reads whole through libarchive (StuffIt, BinHex, mail
// containers, split pieces...) is tested by unpacking it into a private folder that goes
// afterwards: the handler's status and the unpacked tree against the listing say whether it is whole.
int testByUnpacking(ArchiveSession& session, const std::string& file, const Arguments& parsed) {
  ArchiveHandler& handler = session.handler();
  const bool hideTools = !parsed.verbose;
  std::optional<Plan> plan;
  {
    const ToolMessagesHidden hidden(hideTools);
    plan = planExtraction(session, {});
  }
  if (!plan) return kExitFailed;
  // Without a listing there is nothing to hold the unpacked tree against.
  if (!plan->root) {
    std::fprintf(stderr, "tessaro: testing %s failed: the archive cannot be listed\n", file.c_str());
    return kExitFailed;
  }
  const std::string scratch = userTempPath();
  const int64_t budget = writeBudget(scratch, parsed.maxSize);
  if (plan->needed && *plan->needed > budget) {
    std::fprintf(stderr, "tessaro: testing %s needs %lld bytes of room in %s, more than there is\n",
                 file.c_str(), static_cast<long long>(*plan->needed), scratch.c_str());
    return kExitFailed;
  }
  const std::unique_ptr<StagingFolder> staging = StagingFolder::createInside(scratch);
  if (!staging) {
    std::fprintf(stderr, "tessaro: cannot write in %s: %s\n", scratch.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  TerminalCallbackHandler* const callback = &session.callback();
  callback->setTotalBytes(plan->needed);
  const auto [status, overran] = unpack(handler, plan->items, staging->path(), budget, hideTools);
  callback->endProgress();
  if (overran) {
    std::fprintf(stderr, "tessaro: testing %s failed: it unpacks to more than %lld bytes\n", file.c_str(),
                 static_cast<long long>(budget));
    return kExitFailed;
  }
  if (status == kStatusNotSupported) {
    std::fprintf(stderr, "tessaro: testing is not supported for %s\n", handler.isa().formatName().c_str());
    return kExitUsage;
  }
  if (status != kStatusOK) {
    std::fprintf(stderr, "tessaro: testing %s failed: %s\n", file.c_str(),
                 session.statusInWords(status, scratch).c_str());
    return kExitFailed;
  }
  if (callback->volumeMissing()) return kExitFailed;
  const std::vector<std::string> problems =
      checkStaged(handler, file, parsed.password, *plan, {}, staging->path());
  for (const std::string& problem : problems)
    std::fprintf(stderr, "tessaro: testing %s failed: %s\n", file.c_str(), problem.c_str());
  return problems.empty() ? kExitOK : kExitFailed;
}

int test(const Arguments& parsed) {
  const std::string file = absolutePath(parsed.archive);
  const std::unique_ptr<ArchiveSession> session = ArchiveSession::open(file, parsed.verbose, {}, true);
  if (!session) return kExitUsage;
  if (parsed.password) session->setPassword(*parsed.password);
  ArchiveHandler* const handler = &session->handler();
  const HandlerClass& c = handler->isa();
  if (c.canTest()) {
    TerminalCallbackHandler* const callback = &session->callback();
    // The total only serves the progress line, so the listing is made only for a terminal.
    if (::isatty(STDERR_FILENO) == 1) {
      const ToolMessagesHidden hidden(!parsed.verbose);
      const ArchiveSession::Listing& listing = session->listing();
      if (listing.root && listing.status == kStatusOK) callback->setTotalBytes(listing.root->uncoV());
    }
    const int32_t status = handler->extract({AZipItem::initWithPath("*")}, "", kExtractTestOnly);
    std::fflush(stdout);
    callback->endProgress();
    if (status != kStatusOK) {
      std::fprintf(stderr, "tessaro: testing %s failed: %s\n", file.c_str(),
                   session->statusInWords(status, "").c_str());
      return kExitFailed;
    }
    if (callback->volumeMissing()) return kExitFailed;
  } else if (libarchiveReads(c)) {
    // Decompressing to nowhere: every header, every byte and every check of the archive.
    const ArchiveCheck check = checkWholeArchive(file, parsed.password);
    if (!check.ok) {
      const std::string name = check.entry.empty() ? std::string(lastPathComponent(file)) : check.entry;
      std::fprintf(stderr, "tessaro: testing %s failed: %s: %s\n", file.c_str(), name.c_str(),
                   check.problem.empty() ? "the data is damaged" : check.problem.c_str());
      return kExitFailed;
    }
  } else if (const int result = testByUnpacking(*session, file, parsed); result != kExitOK) {
    return result;
  }
  std::printf("%s: all entries OK\n", file.c_str());
  return kExitOK;
}

// Runs `operation` with the session's temporary folder inside a private one that goes afterwards.
template <typename Operation>
int withPrivateTemporaryFolder(const Operation& operation) {
  // The session's temporary folder goes inside a private one that a termination signal removes.
  if (usePrivateTemporaryFolder()) cleanUpOnTerminationSignals();
  struct FolderRemoval {
    ~FolderRemoval() { removePrivateTemporaryFolder(); }
  } folderRemoval;
  return operation();
}

int run(const std::vector<std::string>& args, bool testing) {
  int ended = kExitUsage;
  const std::optional<Arguments> parsed = parse(args, !testing, ended);
  if (!parsed) return ended;
  return withPrivateTemporaryFolder([&] { return testing ? test(*parsed) : extract(*parsed, nullptr); });
}

}  // namespace

int extractArchive(const ExtractionRequest& request, std::string* placedIn) {
  return withPrivateTemporaryFolder([&] { return extract(request, placedIn); });
}

int extractCommand(const std::vector<std::string>& args) { return run(args, false); }
int testCommand(const std::vector<std::string>& args) { return run(args, true); }

}  // namespace tessaro::host
