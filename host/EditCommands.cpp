// tessaro delete ARCHIVE ENTRY...        remove entries (a folder with everything in it)
// tessaro rename ARCHIVE OLD NEW         rename one entry
// tessaro comment ARCHIVE [TEXT|-]       show the archive comment, or replace it ("-": read it
//                                        from standard input; "" removes it)
// tessaro repair ARCHIVE                 let the format's tool mend a damaged archive
// Every entry named must exist: the archive is listed first, and nothing is changed when one
// is missing.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ArchiveSession.h"
#include "Commands.h"
#include "ListingPipeline.h"
#include "TarRewrite.h"

namespace tessaro::host {

const char* const kDeleteUsage = "delete ARCHIVE ENTRY... [--password PASSWORD] [--verbose]\n"
                                 "                 remove entries (a folder with all it holds) from an archive\n";
const char* const kRenameUsage = "rename ARCHIVE OLD NEW [--password PASSWORD] [--verbose]\n"
                                 "                 rename an entry of an archive\n";
const char* const kCommentUsage = "comment ARCHIVE [TEXT|-] [--verbose]\n"
                                  "                 show the archive comment, or replace it (- reads it from standard input)\n";
const char* const kRepairUsage = "repair ARCHIVE [--password PASSWORD] [--verbose]\n"
                                 "                 mend a damaged archive with the format's own tool (RAR)\n";

namespace {

struct Arguments {
  std::vector<std::string> words;  // the archive first, then the command's own words
  std::optional<std::string> password;
  bool verbose = false;
};

std::optional<Arguments> parse(const std::vector<std::string>& args, const char* usage, size_t minWords,
                               size_t maxWords, bool& helpShown) {
  Arguments parsed;
  helpShown = false;
  bool onlyWords = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyWords || arg.empty() || arg[0] != '-' || arg == "-") {
      parsed.words.push_back(arg);
    } else if (arg == "--") {
      onlyWords = true;
    } else if (arg == "--help" || arg == "-h") {
      std::printf("usage: tessaro %s", usage);
      helpShown = true;
      return std::nullopt;
    } else if (arg == "--verbose" || arg == "-v") {
      parsed.verbose = true;
    } else if ((arg == "--password" || arg == "-p") && i + 1 < args.size()) {
      parsed.password = args[++i];
    } else {
      std::fprintf(stderr, "tessaro: unknown option %s\nusage: tessaro %s", arg.c_str(), usage);
      return std::nullopt;
    }
  }
  if (parsed.words.size() < minWords || parsed.words.size() > maxWords || parsed.words.front().empty()) {
    std::fprintf(stderr, "usage: tessaro %s", usage);
    return std::nullopt;
  }
  return parsed;
}

std::string withoutTrailingSlashes(std::string name) {
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  return name;
}

// The items for `names`, each checked against the listing; none (after a message) when one is
// not in the archive.
std::optional<AZipItem::List> existingItems(const std::string& archive, const std::vector<std::string>& names) {
  AZipItem::Ptr root;
  const int32_t listed = getInfo(archive, root);
  if (listed == 100) {
    std::fprintf(stderr, "tessaro: %s: the listing is encrypted; entries cannot be checked\n", archive.c_str());
    return std::nullopt;
  }
  AZipItem::List items;
  bool missing = false;
  for (const std::string& name : names) {
    const std::string path = withoutTrailingSlashes(name);
    if (!root || !findItem(*root, path)) {
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

std::unique_ptr<ArchiveSession> openFor(const Arguments& parsed) {
  std::unique_ptr<ArchiveSession> session = ArchiveSession::open(parsed.words.front(), parsed.verbose);
  if (session && parsed.password) session->handler().setPassword(*parsed.password);
  return session;
}

}  // namespace

int deleteCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse(args, kDeleteUsage, 2, SIZE_MAX, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  std::unique_ptr<ArchiveSession> session = openFor(*parsed);
  if (!session) return kExitUsage;
  const std::vector<std::string> names(parsed->words.begin() + 1, parsed->words.end());
  const auto items = existingItems(session->archive(), names);
  if (!items) return kExitFailed;
  if (isTarFamily(session->handler())) {
    return session->report(rewriteTar(*session, TarChange::removing(names)), "deleting from");
  }
  return session->report(session->handler().deleteFiles(*items), "deleting from");
}

int renameCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse(args, kRenameUsage, 3, 3, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  const std::string newName = withoutTrailingSlashes(parsed->words[2]);
  if (newName.empty() || newName == "/") {
    std::fprintf(stderr, "tessaro: the new name is empty\n");
    return kExitUsage;
  }
  std::unique_ptr<ArchiveSession> session = openFor(*parsed);
  if (!session) return kExitUsage;
  const auto items = existingItems(session->archive(), {parsed->words[1]});
  if (!items) return kExitFailed;
  if (isTarFamily(session->handler())) {
    return session->report(rewriteTar(*session, TarChange::renaming(std::string(items->front()->path()), newName)),
                           "renaming in");
  }
  return session->report(session->handler().moveFiles(std::vector<std::string>{std::string(items->front()->path())},
                                                      std::vector<std::string>{newName}),
                         "renaming in");
}

int commentCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse(args, kCommentUsage, 1, 2, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  std::unique_ptr<ArchiveSession> session = openFor(*parsed);
  if (!session) return kExitUsage;
  ArchiveHandler& handler = session->handler();
  if (parsed->words.size() == 1) {
    std::vector<std::string> records;
    const int32_t listed = handler.getInfo(records);
    if (listed != 0 && handler.comment().empty()) return session->report(listed, "reading the comment of");
    // The comment's own bytes; a line feed is added only to end the line on a terminal.
    const std::string& comment = handler.comment();
    std::fwrite(comment.data(), 1, comment.size(), stdout);
    if (!comment.empty() && comment.back() != '\n' && ::isatty(STDOUT_FILENO)) std::fputc('\n', stdout);
    return kExitOK;
  }
  std::string text = parsed->words[1];
  if (text == "-") text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  return session->report(handler.updateComment(text), "writing the comment of");
}

int repairCommand(const std::vector<std::string>& args) {
  bool helpShown = false;
  const auto parsed = parse(args, kRepairUsage, 1, 1, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  std::unique_ptr<ArchiveSession> session = openFor(*parsed);
  if (!session) return kExitUsage;
  return session->report(session->handler().repair(), "repairing");
}

}  // namespace tessaro::host
