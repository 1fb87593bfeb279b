// tessaro join VOLUME [-C DIR] [--verbose]: joins the numbered pieces of a split file (x.001,
// x.002, ...) into one file named after the set in DIR (the current folder by default); a name
// that is taken gets a free one. Any piece of the set may be named. The file is written and
// checked in a work folder there, and named only when whole.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AZipItem.h"
#include "ArchiveSession.h"
#include "ArchiveTransaction.h"
#include "CommandLine.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "PathString.h"

namespace tessaro::host {

const char* const kJoinUsage =
    "join VOLUME [-C DIR] [--verbose]\n"
    "                 join the numbered pieces of a split file (x.001, x.002, ...) into one\n";

int joinCommand(const std::vector<std::string>& args) {
  static constexpr OptionSpec kOptions[] = {{"-C", 'C', true}, {"--verbose", 'v', false}};
  CommandLine line;
  if (const std::optional<int> ended = parseCommandLine("join", kJoinUsage, args, kOptions, line))
    return *ended;
  if (line.operands().size() != 1 || line.operands()[0].empty()) return usageError(kJoinUsage);
  const std::string& volume = line.operands()[0];
  const std::string destination = line.value("-C").value_or(".");
  const bool verbose = line.has("--verbose");
  if (!isFolderOrSay(destination)) return kExitUsage;
  std::unique_ptr<ArchiveSession> session = ArchiveSession::open(volume, verbose);
  if (!session) return kExitUsage;
  const HandlerClass* split = handlerClassNamed("AHandlerSplit");
  if (!split || !session->handler().isa().isSubclassOf(*split)) {
    std::fprintf(stderr, "tessaro: %s is not a piece of a split file (x.001, x.002, ...)\n", volume.c_str());
    return kExitUsage;
  }
  const std::string name = session->handler().baseName();
  session.reset();
  // The joined file is made in a work folder in the destination, then named.
  std::unique_ptr<ArchiveTransaction> tx = ArchiveTransaction::begin(
      ArchiveTransaction::Kind::create, appendingPathComponent(absolutePath(destination), name), "joining");
  if (!tx) return kExitFailed;
  tx->takeFreeName();
  session = ArchiveSession::open(volume, verbose);
  if (!session) return kExitUsage;
  AZipItem::List all{AZipItem::initWithPath("*")};
  if (!all.front()) return kExitFailed;
  const int32_t status = session->handler().extract(all, tx->workFolder(), kExtractForUser);
  // The pieces may make any file; one that is an archive must list.
  Expectation expected;
  const std::shared_ptr<ArchiveHandler> joined = handlerWithFilename(tx->workPath());
  expected.lists = joined && !joined->isa().isSubclassOf(*split);
  return tx->finish(*session, status, expected);
}

}  // namespace tessaro::host
