// tessaro: the archive application for a terminal user. The first argument names the
// subcommand; the rest belong to it.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "HostApplication.h"
#include "ProcessGlobals.h"
#include "Startup.h"

namespace tessaro::host {
namespace {

struct Command {
  std::string_view name;
  int (*run)(const std::vector<std::string>& args);
  const char* const* usage;
};

const Command kCommands[] = {
    {"list", listCommand, &kListUsage},
    {"extract", extractCommand, &kExtractUsage},
    {"test", testCommand, &kTestUsage},
    {"create", createCommand, &kCreateUsage},
    {"add", addCommand, &kAddUsage},
    {"delete", deleteCommand, &kDeleteUsage},
    {"rename", renameCommand, &kRenameUsage},
    {"comment", commentCommand, &kCommentUsage},
    {"repair", repairCommand, &kRepairUsage},
    {"join", joinCommand, &kJoinUsage},
    {"view", viewCommand, &kViewUsage},
    {"preview", previewCommand, &kPreviewUsage},
    {"defaults", defaultsCommand, &kDefaultsUsage},
    {"passwords", passwordsCommand, &kPasswordsUsage},
    {"formats", formatsCommand, &kFormatsUsage},
};

void printUsage(std::FILE* out) {
  std::fputs("usage: tessaro COMMAND [ARGUMENTS]\n\ncommands:\n", out);
  for (const Command& command : kCommands) std::fprintf(out, "  %s", *command.usage);
  std::fputs("\nRun 'tessaro COMMAND --help' for a command's own options.\n", out);
}

}  // namespace
}  // namespace tessaro::host

int main(int argc, char** argv) {
  using namespace tessaro::host;
  pinLocalTimeZone();
  try {
    // The application object the handlers make their temporary folders with.
    static tessaro::HostApplication application;
    tessaro::theApp() = &application;
    if (argc < 2) {
      printUsage(stderr);
      return kExitUsage;
    }
    const std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
      printUsage(stdout);
      return kExitOK;
    }
    for (const Command& command : kCommands) {
      if (command.name == name) return command.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "tessaro: unknown command '%s'\n\n", argv[1]);
    printUsage(stderr);
    return kExitUsage;
  } catch (...) {
    std::fputs("tessaro: out of memory\n", stderr);
    return kExitFailed;
  }
}
