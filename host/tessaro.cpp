// tessaro: the archive application for a terminal user. The first argument names the
// subcommand; the rest, options included, belong to it.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "HostApplication.h"
#include "ProcessGlobals.h"
#include "Startup.h"

namespace tessaro::host {
namespace {

struct Command {
  std::string_view name;
  int (*run)(const std::vector<std::string>& args);
  const char* summary;
};

const Command kCommands[] = {
    {"list", listCommand, "print the entries (--long, --json, --tree)"},
    {"extract", extractCommand, "unpack the archive or some of its entries"},
    {"test", testCommand, "check every entry's data without writing anything"},
    {"create", createCommand, "make a new archive of files and folders"},
    {"add", addCommand, "add files and folders to an archive"},
    {"delete", deleteCommand, "remove entries from an archive"},
    {"rename", renameCommand, "rename an entry of an archive"},
    {"comment", commentCommand, "show or replace the archive comment"},
    {"repair", repairCommand, "mend a damaged RAR archive"},
    {"join", joinCommand, "join numbered pieces (x.001, x.002, ...) into one file"},
    {"view", viewCommand, "open one entry of a previewed archive (tssro:// links)"},
    {"preview", previewCommand, "write an archive's preview page and open it (--open)"},
    {"defaults", defaultsCommand, "show or change the preferences"},
    {"passwords", passwordsCommand, "manage the stored archive passwords"},
    {"formats", formatsCommand, "the archive formats, what each can do, and their settings"},
};

void printUsage(std::FILE* out) {
  std::fputs("usage: tessaro COMMAND [OPTIONS] [ARGUMENTS]\n\ncommands:\n", out);
  for (const Command& command : kCommands)
    std::fprintf(out, "  %-10.*s %s\n", static_cast<int>(command.name.size()), command.name.data(),
                 command.summary);
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
    if (name == "--version") {
      std::printf("tessaro %s\n", programVersion());
      return kExitOK;
    }
    for (const Command& command : kCommands) {
      if (command.name == name) return command.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "tessaro: unknown command '%s'\n\n", argv[1]);
    printUsage(stderr);
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    std::fputs("tessaro: out of memory\n", stderr);
    return kExitFailed;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tessaro: internal error: %s\n", error.what());
    return kExitFailed;
  } catch (...) {
    std::fputs("tessaro: internal error\n", stderr);
    return kExitFailed;
  }
}
