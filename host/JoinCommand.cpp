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
#include "Commands.h"
#include "HandlerRegistry.h"
#include "PathString.h"

namespace tessaro::host {

const char* const kJoinUsage = "join VOLUME [-C DIR] [--verbose]\n"
                               "                 join the numbered pieces of a split file (x.001, x.002, ...) into one\n";

int joinCommand(const std::vector<std::string>& args) {
  std::string volume;
  std::string destination = ".";
  bool verbose = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("usage: tessaro %s", kJoinUsage);
      return kExitOK;
    }
    if (arg == "-C" && i + 1 < args.size()) {
      destination = args[++i];
    } else if (arg == "--verbose" || arg == "-v") {
      verbose = true;
    } else if (volume.empty() && !arg.empty() && arg[0] != '-') {
      volume = arg;
    } else {
      std::fprintf(stderr, "usage: tessaro %s", kJoinUsage);
      return kExitUsage;
    }
  }
  if (volume.empty()) {
    std::fprintf(stderr, "usage: tessaro %s", kJoinUsage);
    return kExitUsage;
  }
  struct stat st;
  if (::stat(destination.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "tessaro: %s is not a folder\n", destination.c_str());
    return kExitUsage;
  }
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
