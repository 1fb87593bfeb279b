// tessaro join VOLUME [-C DIR] [--verbose]: joins the numbered pieces of a split file (x.001,
// x.002, ...) into one file named after the set in DIR (the current folder by default); a name
// that is taken gets a free one. Any piece of the set may be named.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AZipItem.h"
#include "ArchiveSession.h"
#include "Commands.h"
#include "HandlerRegistry.h"

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
  AZipItem::List all{AZipItem::initWithPath("*")};
  if (!all.front()) return kExitFailed;
  return session->report(session->handler().extract(all, absolutePath(destination), 1), "joining");
}

}  // namespace tessaro::host
