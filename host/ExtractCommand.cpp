// tessaro extract ARCHIVE [ENTRY...] [-C DIR] [--password PASSWORD]
// tessaro test ARCHIVE [--password PASSWORD]
// Passwords the archive asks for are read from the terminal without echo; --password gives the
// first one to try, for scripts.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
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
#include "ArchiveHandler.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "HostPaths.h"

namespace tessaro::host {

const char* const kExtractUsage =
    "extract ARCHIVE [ENTRY...] [-C DIR] [--password PASSWORD]\n"
    "                 extract the archive, or the named entries (a folder with all it holds), into DIR\n";
const char* const kTestUsage = "test ARCHIVE [--password PASSWORD]\n"
                               "                 check every entry's data without writing anything\n";

namespace {

// The handlers' mode numbers: 1 extracts, 3 only tests.
constexpr int32_t kExtractMode = 1;
constexpr int32_t kTestMode = 3;
// Wrong answers the prompt takes before it gives up for the user.
constexpr int kMaxPrompts = 3;

// The terminal's settings while echo is off, restored however the program leaves.
int gTerminal = -1;
struct termios gSavedTerminal;
bool gEchoOff = false;

void restoreEcho() {
  if (gEchoOff) {
    ::tcsetattr(gTerminal, TCSAFLUSH, &gSavedTerminal);
    gEchoOff = false;
  }
}

extern "C" void restoreEchoAndDie(int signal) {
  restoreEcho();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Reads one line from the terminal without echoing it; none when there is no terminal.
std::optional<std::string> readSecretLine(const std::string& prompt) {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  gTerminal = fd;
  if (::write(fd, prompt.data(), prompt.size()) < 0) {
    ::close(fd);
    return std::nullopt;
  }
  struct sigaction action{};
  struct sigaction oldInt{};
  struct sigaction oldTerm{};
  action.sa_handler = restoreEchoAndDie;
  ::sigaction(SIGINT, &action, &oldInt);
  ::sigaction(SIGTERM, &action, &oldTerm);
  if (::tcgetattr(fd, &gSavedTerminal) == 0) {
    struct termios quiet = gSavedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    gEchoOff = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
  }
  std::string line;
  bool ended = false;
  char c;
  // A password is short; a terminal that never sends a newline cannot grow it without bound.
  while (line.size() < 4096) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') {
      ended = n > 0;
      break;
    }
    line += c;
  }
  restoreEcho();
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  if (::write(fd, "\n", 1) < 0) {
    // The newline only tidies the terminal.
  }
  ::close(fd);
  gTerminal = -1;
  if (!ended && line.empty()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Answers the handler for a terminal user: passwords from the terminal, every volume of a set
// taken as it is found, and the entries worked on printed as they come.
class TerminalCallbackHandler : public ArchiveCallbackHandler {
 public:
  explicit TerminalCallbackHandler(std::string archive) : archive_(std::move(archive)) {}

  std::string passwordWithParams(PlistDictionary& /*params*/) override {
    if (++prompts_ > kMaxPrompts) return {};
    const std::optional<std::string> answer = readSecretLine("Password for " + archive_ + ": ");
    if (!answer) {
      if (!warnedNoTerminal_) std::fputs("tessaro: the password is missing or wrong; give it with --password\n", stderr);
      warnedNoTerminal_ = true;
      return {};
    }
    return *answer;
  }
  int changeVolume(std::string& path, int mode) override {
    if (mode == 1) return 1;
    std::fprintf(stderr, "tessaro: volume missing: %s\n", path.c_str());
    volumeMissing_ = true;
    return -1;
  }
  int processData(const void* /*data*/, int64_t /*size*/, int /*delta*/) override { return 1; }
  void processFile(std::string_view name, int /*operation*/) override {
    std::fwrite(name.data(), 1, name.size(), stdout);
    std::fputc('\n', stdout);
    seen_.emplace_back(name);
  }
  void setProgress(int /*percent*/) override {}
  bool respondsToLogOutput() const override { return true; }
  void logOutput(std::string_view text) override {
    std::fputs("tessaro: ", stderr);
    std::fwrite(text.data(), 1, text.size(), stderr);
  }

  const std::vector<std::string>& seen() const { return seen_; }
  bool volumeMissing() const { return volumeMissing_; }

 private:
  std::string archive_;
  int prompts_ = 0;
  bool warnedNoTerminal_ = false;
  bool volumeMissing_ = false;
  std::vector<std::string> seen_;
};

struct Arguments {
  std::string archive;
  std::vector<std::string> entries;
  std::string destination = ".";
  std::optional<std::string> password;
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

int run(const std::vector<std::string>& args, bool testing) {
  bool helpShown = false;
  const std::optional<Arguments> parsed =
      parse(args, !testing, testing ? kTestUsage : kExtractUsage, helpShown);
  if (!parsed) return helpShown ? kExitOK : kExitUsage;
  const std::string& file = parsed->archive;

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

  auto callback = std::make_shared<TerminalCallbackHandler>(file);
  handler->setCallbackHandler(callback);
  if (parsed->password) handler->setPassword(*parsed->password);

  AZipItem::List items;
  if (parsed->entries.empty()) {
    items.push_back(AZipItem::initWithPath("*"));
  } else {
    // An entry name also takes everything below it, so that naming a folder extracts the folder.
    for (const std::string& entry : parsed->entries) {
      std::string name = entry;
      while (name.size() > 1 && name.back() == '/') name.pop_back();
      items.push_back(AZipItem::initWithPath(name));
      items.push_back(AZipItem::initWithPath(name + "/"));
    }
  }
  for (const AZipItem::Ptr& item : items) {
    if (!item) return kExitFailed;
  }

  // A format that cannot test would take the test mode for an extraction into the current folder.
  if (testing && !handler->isa().canTest()) {
    std::fprintf(stderr, "tessaro: testing is not supported for %s\n", handler->isa().formatName().c_str());
    return kExitUsage;
  }
  const int32_t status = handler->extract(items, parsed->destination, testing ? kTestMode : kExtractMode);
  std::fflush(stdout);
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
  int missing = 0;
  for (const std::string& entry : parsed->entries) {
    std::string name = entry;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const bool found = std::any_of(callback->seen().begin(), callback->seen().end(), [&](const std::string& seen) {
      return seen == name || seen.starts_with(name + "/");
    });
    if (!found) {
      std::fprintf(stderr, "tessaro: %s: no such entry\n", entry.c_str());
      ++missing;
    }
  }
  if (missing > 0) return kExitFailed;
  if (testing) std::printf("%s: all entries OK\n", file.c_str());
  return kExitOK;
}

}  // namespace

int extractCommand(const std::vector<std::string>& args) { return run(args, false); }
int testCommand(const std::vector<std::string>& args) { return run(args, true); }

}  // namespace tessaro::host
