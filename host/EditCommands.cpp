// tessaro delete ARCHIVE ENTRY...        remove entries (a folder with everything in it)
// tessaro rename ARCHIVE OLD NEW         rename one entry
// tessaro comment ARCHIVE [TEXT|-]       show the archive comment, or replace it ("-": read it
//                                        from standard input; "" removes it)
// tessaro repair ARCHIVE                 let the format's tool mend a damaged archive
// Every entry named must exist: the archive is listed first, and nothing is changed when one
// is missing. Each change is made on a copy and checked before it replaces the archive.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ArchiveSession.h"
#include "ArchiveTransaction.h"
#include "CommandLine.h"
#include "Commands.h"
#include "ListingPipeline.h"
#include "PathString.h"
#include "TarRewrite.h"
#include "ToolMessagesHidden.h"

namespace tessaro::host {

const char* const kDeleteUsage =
    "delete ARCHIVE ENTRY... [--password PASSWORD] [--verbose]\n"
    "                 remove entries (a folder with all it holds) from an archive\n";
const char* const kRenameUsage =
    "rename ARCHIVE OLD NEW [--password PASSWORD] [--verbose]\n"
    "                 rename an entry of an archive\n";
const char* const kCommentUsage =
    "comment ARCHIVE [TEXT|-] [--verbose]\n"
    "                 show the archive comment, or replace it (- reads it from standard input)\n";
const char* const kRepairUsage =
    "repair ARCHIVE [--password PASSWORD] [--verbose]\n"
    "                 mend a damaged archive with the format's own tool (RAR)\n";

namespace {

struct Arguments {
  std::vector<std::string> words;  // the archive first, then the command's own words
  std::optional<std::string> password;
  bool verbose = false;
};

constexpr OptionSpec kOptions[] = {{"--password", 'p', true}, {"--verbose", 'v', false}};

std::optional<Arguments> parse(std::string_view command, const std::vector<std::string>& args,
                               const char* usage, size_t minWords, size_t maxWords, bool& helpShown) {
  Arguments parsed;
  helpShown = false;
  CommandLine line;
  if (const std::optional<int> ended = parseCommandLine(command, usage, args, kOptions, line)) {
    helpShown = *ended == kExitOK;
    return std::nullopt;
  }
  parsed.words = line.operands();
  parsed.password = line.value("--password");
  parsed.verbose = line.has("--verbose");
  if (parsed.words.size() < minWords || parsed.words.size() > maxWords || parsed.words.front().empty()) {
    usageError(usage);
    return std::nullopt;
  }
  return parsed;
}

std::string withoutTrailingSlashes(std::string name) {
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  return name;
}

// The archive locked and copied, and a session on the copy; the member order makes the session
// go before the work folder it works in.
struct Change {
  std::unique_ptr<ArchiveTransaction> tx;
  std::unique_ptr<ArchiveSession> session;
};

// None (after a message) when the archive is missing, cannot be locked or copied, or has no
// handler; `status` then holds the exit status.
std::optional<Change> openChange(const Arguments& parsed, const char* operation, int& status) {
  struct stat st;
  const std::string& archive = parsed.words.front();
  if (::stat(archive.c_str(), &st) != 0) {
    std::fprintf(stderr, "tessaro: %s: %s\n", archive.c_str(), std::strerror(errno));
    status = kExitUsage;
    return std::nullopt;
  }
  Change change;
  change.tx = ArchiveTransaction::begin(ArchiveTransaction::Kind::change, archive, operation);
  status = kExitFailed;
  if (!change.tx) return std::nullopt;
  change.session = ArchiveSession::open(change.tx->workPath(), parsed.verbose, archive);
  status = kExitUsage;
  if (!change.session) return std::nullopt;
  if (parsed.password) change.session->handler().setPassword(*parsed.password);
  return change;
}

// The archive's listing, with the password when one was given; none (after a message) when it
// cannot be read.
AZipItem::Ptr listing(const ArchiveSession& session, const Arguments& parsed) {
  AZipItem::Ptr root;
  int32_t listed = 0;
  {
    const ToolMessagesHidden hidden(!parsed.verbose);
    listed = parsed.password ? getInfo(session.archive(), root, *parsed.password)
                             : getInfo(session.archive(), root);
  }
  if (listed == kStatusListingEncrypted) {
    std::fprintf(stderr, "tessaro: %s: the listing is encrypted; give the password with --password\n",
                 session.shownName().c_str());
    return nullptr;
  }
  if (listed == kStatusListingCutShort) {
    std::fprintf(stderr, "tessaro: %s: %s\n", session.shownName().c_str(),
                 handlerStatusInWords(listed).c_str());
    return nullptr;
  }
  return root;
}

// The items for `names`, each checked against the listing `root`; none (after a message) when
// one is not in the archive.
std::optional<AZipItem::List> existingItems(const AZipItem& root, const std::vector<std::string>& names) {
  AZipItem::List items;
  bool missing = false;
  for (const std::string& name : names) {
    const std::string path = withoutTrailingSlashes(name);
    if (!findItem(root, path)) {
      std::fprintf(stderr, "tessaro: %s: no such entry\n", name.c_str());
      missing = true;
      continue;
    }
    AZipItem::Ptr item = AZipItem::initWithPath(path);
    if (!item) return std::nullopt;
    items.push_back(std::move(item));
  }
  if (missing) return std::nullopt;
  return items;
}

}  // namespace

int deleteCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse("delete", args, kDeleteUsage, 2, SIZE_MAX, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  int status = 0;
  std::optional<Change> change = openChange(*parsed, "deleting from", status);
  if (!change) return status;
  ArchiveSession& session = *change->session;
  const std::vector<std::string> names(parsed->words.begin() + 1, parsed->words.end());
  const AZipItem::Ptr root = listing(session, *parsed);
  if (!root) return kExitFailed;
  const auto items = existingItems(*root, names);
  if (!items) return kExitFailed;

  Expectation expected;
  std::set<std::string> gone;
  for (const std::string& name : names) {
    const std::string path = withoutTrailingSlashes(name);
    expected.absent.push_back(path);
    if (const AZipItem* item = findItem(*root, path)) gone.merge(filePaths(*item));
  }
  // Every other file must come through by name: a count alone would miss one lost while a hard
  // link became a file.
  const std::set<std::string> before = filePaths(*root);
  expected.files = static_cast<int64_t>(before.size() - gone.size());
  std::set_difference(before.begin(), before.end(), gone.begin(), gone.end(),
                      std::back_inserter(expected.kept));

  const int32_t result = isTarFamily(session.handler()) ? rewriteTar(session, TarChange::removing(names))
                                                        : session.handler().deleteFiles(*items);
  return change->tx->finish(session, result, expected);
}

int renameCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse("rename", args, kRenameUsage, 3, 3, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  const std::string newName = withoutTrailingSlashes(parsed->words[2]);
  if (newName.empty() || newName == "/") {
    std::fprintf(stderr, "tessaro: the new name is empty\n");
    return kExitUsage;
  }
  if (newName.starts_with('/') || hasParentComponent(newName)) {
    std::fprintf(stderr, "tessaro: %s would leave the archive: name it without a leading / or ..\n",
                 newName.c_str());
    return kExitUsage;
  }
  int status = 0;
  std::optional<Change> change = openChange(*parsed, "renaming in", status);
  if (!change) return status;
  ArchiveSession& session = *change->session;
  const AZipItem::Ptr root = listing(session, *parsed);
  if (!root) return kExitFailed;
  const auto items = existingItems(*root, {parsed->words[1]});
  if (!items) return kExitFailed;
  // The tools would silently put the renamed entry in place of the other one.
  if (findItem(*root, newName)) {
    std::fprintf(stderr, "tessaro: %s exists already in %s\n", newName.c_str(), session.shownName().c_str());
    return kExitFailed;
  }
  const std::string oldName(items->front()->path());
  Expectation expected;
  expected.absent.push_back(withoutTrailingSlashes(oldName));
  expected.present.push_back({newName, {}});
  expected.files = countFiles(*root);

  const int32_t result =
      isTarFamily(session.handler())
          ? rewriteTar(session, TarChange::renaming(oldName, newName))
          : session.handler().moveFiles(std::vector<std::string>{oldName}, std::vector<std::string>{newName});
  return change->tx->finish(session, result, expected);
}

int commentCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse("comment", args, kCommentUsage, 1, 2, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  if (parsed->words.size() == 1) {
    std::unique_ptr<ArchiveSession> session = ArchiveSession::open(parsed->words.front(), parsed->verbose);
    if (!session) return kExitUsage;
    if (parsed->password) session->handler().setPassword(*parsed->password);
    ArchiveHandler& handler = session->handler();
    std::vector<std::string> records;
    const int32_t listed = handler.getInfo(records);
    if (listed != kStatusOK && handler.comment().empty())
      return session->report(listed, "reading the comment of");
    // The comment's own bytes; a line feed is added only to end the line on a terminal.
    const std::string& comment = handler.comment();
    std::fwrite(comment.data(), 1, comment.size(), stdout);
    if (!comment.empty() && comment.back() != '\n' && ::isatty(STDOUT_FILENO)) std::fputc('\n', stdout);
    return kExitOK;
  }
  std::string text = parsed->words[1];
  if (text == "-") text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  int status = 0;
  std::optional<Change> change = openChange(*parsed, "writing the comment of", status);
  if (!change) return status;
  const AZipItem::Ptr root = listing(*change->session, *parsed);
  if (!root) return kExitFailed;
  Expectation expected;
  expected.files = countFiles(*root);
  return change->tx->finish(*change->session, change->session->handler().updateComment(text), expected);
}

int repairCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse("repair", args, kRepairUsage, 1, 1, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  int status = 0;
  std::optional<Change> change = openChange(*parsed, "repairing", status);
  if (!change) return status;
  return change->tx->finish(*change->session, change->session->handler().repair(), Expectation{});
}

}  // namespace tessaro::host
