// tessaro passwords: the password store for a terminal user. A run is an application start, so
// a store set to lock at every start asks for its master password in each run that needs the list.
//   tessaro passwords status|unlock|lock|list|export [FILE]
//   tessaro passwords add [-]   remove PASSWORD|--index N   import FILE|-   reset
//   tessaro passwords set-master       lock-options [--idle MINUTES] [--at-start] [--after-sleep]
// The master password comes from the terminal without echo, or as the first line of standard
// input with --password-stdin.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Keychain.h"
#include "ProcessGlobals.h"
#include "defaults/UserDefaults.h"

namespace tessaro::host {

const char* const kPasswordsUsage =
    "passwords status|unlock|lock|list|add|remove|import|export|set-master|lock-options|reset "
    "[--password-stdin]\n"
    "                 keep the archive passwords enciphered under a master password\n";

namespace {

constexpr const char* kHelp =
    "usage: tessaro passwords COMMAND [--password-stdin] [ARGUMENTS]\n"
    "  status                       locked or not, the lock options and the number of passwords\n"
    "  unlock                       give the master password\n"
    "  lock                         lock until the master password is given again\n"
    "  list                         the archive passwords, one a line\n"
    "  add [-]                      add a password typed at the prompt (- reads a line from standard input)\n"
    "  remove PASSWORD|--index N    remove a password (N counts from 1)\n"
    "  import FILE|-                replace the list with the lines of FILE\n"
    "  export [FILE]                write the list, one password a line (a FILE only you can read)\n"
    "  set-master                   set or change the master password\n"
    "  lock-options [--idle MINUTES] [--at-start] [--after-sleep]\n"
    "                               when to lock; no option turns locking off\n"
    "  reset                        set aside a record that no longer opens and start an empty store\n"
    "  --password-stdin             read master passwords as lines of standard input, not from the "
    "terminal\n";

int fail(const std::string& message, int status = kExitFailed) {
  std::fprintf(stderr, "tessaro passwords: %s\n", message.c_str());
  return status;
}

std::optional<std::string> readLine(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

class PasswordSource {
 public:
  explicit PasswordSource(bool fromStandardInput) : fromStandardInput_(fromStandardInput) {}

  std::optional<std::string> read(const char* prompt) {
    if (fromStandardInput_) return readLine(std::cin);
    return readFromTerminal(prompt);
  }

 private:
  // Echo is off while the password is typed and restored whatever happens.
  static std::optional<std::string> readFromTerminal(const char* prompt) {
    std::FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return std::nullopt;
    const int fd = fileno(tty);
    termios saved{};
    const bool haveTermios = tcgetattr(fd, &saved) == 0;
    if (haveTermios) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      quiet.c_lflag |= ECHONL;
      tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fputs(prompt, tty);
    std::fflush(tty);
    std::string line;
    bool gotLine = false;
    for (int c; (c = std::fgetc(tty)) != EOF;) {
      if (c == '\n') {
        gotLine = true;
        break;
      }
      // Longer than any password worth typing; stops a runaway input.
      if (line.size() >= 65536) break;
      line += static_cast<char>(c);
    }
    if (haveTermios) tcsetattr(fd, TCSAFLUSH, &saved);
    std::fclose(tty);
    if (!gotLine && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

  bool fromStandardInput_;
};

// Asks for the master password when the store is locked.
bool ensureUnlocked(Keychain& store, PasswordSource& source) {
  if (!store.isLocked()) return true;
  auto password = source.read("Master password: ");
  if (!password) {
    fail("the store is locked and no master password could be read");
    return false;
  }
  if (!store.unlockWithMasterPassword(*password)) {
    fail("wrong master password, or no readable password record; the store stays locked");
    return false;
  }
  // Records the unlock (its sleep/wake identifier and time), so that the next run starts from it.
  store.save();
  return true;
}

std::optional<int32_t> parseCount(const std::string& text, int32_t low, int32_t high) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high) return std::nullopt;
  return static_cast<int32_t>(v);
}

int status(Keychain& store) {
  const bool locked = store.isLocked();
  std::printf("state: %s\n", locked ? "locked" : "unlocked");
  if (!locked) {
    const int32_t options = store.lockOptions();
    std::printf("lock after idle minutes: %s\n",
                options & kLockAfterIdle ? std::to_string(store.lockIdleMinutes()).c_str() : "off");
    std::printf("lock at each start: %s\n", options & kLockAtStart ? "on" : "off");
    std::printf("lock after sleep: %s\n", options & kLockAfterSleep ? "on" : "off");
    std::printf("passwords: %zu\n", store.passwordCount());
  }
  std::printf("mode: %d\n", static_cast<int>(store.mode()));
  if (store.recordUnreadable())
    std::printf("record: does not open with the kept master password (see 'tessaro passwords reset')\n");
  return kExitOK;
}

int setMaster(Keychain& store, PasswordSource& source, bool fromStandardInput) {
  // A store that already has a record changes its master password only once it is open.
  if (store.isLocked() && UserDefaults::standard().objectForKey(kPasswordsDefaultsKey)) {
    if (!ensureUnlocked(store, source)) return kExitFailed;
  }
  auto password = source.read("New master password: ");
  if (!password || password->empty()) return fail("no new master password given");
  if (!fromStandardInput) {
    auto again = source.read("Again: ");
    if (!again || *again != *password) return fail("the two entries differ; nothing changed");
  }
  store.setMasterPassword(*password);
  if (!store.unlockWithMasterPassword(*password) || !store.save())
    return fail("could not store the password record");
  return kExitOK;
}

// What one verb needs before it runs, and the verb itself.
struct Verb {
  std::string_view name;
  size_t minArguments;
  size_t maxArguments;
  bool needsUnlocked;  // the list must be open
  bool writesRecord;   // refused while the stored record does not open
  int (*run)(Keychain& store, PasswordSource& source, const std::vector<std::string>& rest,
             bool fromStandardInput);
};

constexpr std::string_view kUnreadableRecord =
    "the password record does not open with the master password the keychain keeps (it was changed or is "
    "damaged); nothing was written. 'tessaro passwords reset' sets it aside and starts an empty store";

int listVerb(Keychain& store, PasswordSource&, const std::vector<std::string>&, bool) {
  for (const auto& p : store.enumerator().value_or(std::vector<std::string>{}))
    std::printf("%s\n", p.c_str());
  return kExitOK;
}

// The clear list goes to standard output, or into a new file only this user can read.
int exportVerb(Keychain& store, PasswordSource&, const std::vector<std::string>& rest, bool) {
  const std::string text = store.exportPasswords() + (store.passwordCount() ? "\n" : "");
  if (rest.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOK;
  }
  const int fd = ::open(rest[0].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail("cannot write " + rest[0] + ": " + std::strerror(errno));
  bool written = ::fchmod(fd, 0600) == 0;
  for (size_t done = 0; written && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  written = ::close(fd) == 0 && written;
  return written ? kExitOK : fail("cannot write " + rest[0]);
}

// A password on the command line is visible to every user of the machine: it comes from the
// prompt, or as a line of standard input ("-").
int addVerb(Keychain& store, PasswordSource& source, const std::vector<std::string>& rest, bool) {
  if (!rest.empty() && rest[0] != "-")
    return fail(
        "a password on the command line is visible to other users; type it at the prompt "
        "('passwords add') or give it on standard input ('passwords add -')",
        kExitUsage);
  auto password = rest.empty() ? source.read("Password to add: ") : readLine(std::cin);
  if (!password || password->empty()) return fail("no password given", kExitUsage);
  return store.addPassword(*password) ? kExitOK : fail("could not save the password record");
}

int removeVerb(Keychain& store, PasswordSource&, const std::vector<std::string>& rest, bool) {
  if (rest[0] == "--index") {
    if (rest.size() != 2) return fail("--index takes a number", kExitUsage);
    auto index = parseCount(rest[1], 1, INT32_MAX);
    if (!index || static_cast<size_t>(*index) > store.passwordCount())
      return fail("no password number " + rest[1], kExitUsage);
    return store.removePasswordAtIndex(static_cast<size_t>(*index - 1))
               ? kExitOK
               : fail("could not save the password record");
  }
  if (rest.size() != 1) return fail(std::string(kHelp), kExitUsage);
  return store.removePassword(rest[0]) ? kExitOK : fail("could not save the password record");
}

int importVerb(Keychain& store, PasswordSource&, const std::vector<std::string>& rest, bool) {
  std::string text;
  if (rest[0] == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(rest[0], std::ios::binary);
    if (!in) return fail("cannot read " + rest[0], kExitUsage);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return store.importPasswords(text) ? kExitOK : fail("could not save the password record");
}

int lockOptionsVerb(Keychain& store, PasswordSource& source, const std::vector<std::string>& rest, bool) {
  int32_t options = 0;
  int32_t idle = store.lockIdleMinutes();
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == "--idle" && i + 1 < rest.size()) {
      auto minutes = parseCount(rest[++i], 1, 525600);
      if (!minutes) return fail("--idle takes a number of minutes", kExitUsage);
      options |= kLockAfterIdle;
      idle = *minutes;
    } else if (rest[i] == "--at-start") {
      options |= kLockAtStart;
    } else if (rest[i] == "--after-sleep") {
      options |= kLockAfterSleep;
    } else {
      return fail("unknown lock option " + rest[i], kExitUsage);
    }
  }
  if (!ensureUnlocked(store, source)) return kExitFailed;
  store.setLockOptions(options, idle);
  return store.save() ? kExitOK : fail("could not save the password record");
}

int resetVerb(Keychain& store, PasswordSource&, const std::vector<std::string>&, bool) {
  if (!store.resetRecord()) return fail("could not set the password record aside; nothing changed");
  std::printf(
      "The password record was set aside (defaults key %s); the store is empty. Give it a master "
      "password with 'tessaro passwords set-master'.\n",
      std::string(kDamagedPasswordsDefaultsKey).c_str());
  return kExitOK;
}

constexpr Verb kVerbs[] = {
    {"status", 0, 0, false, false,
     [](Keychain& store, PasswordSource&, const std::vector<std::string>&, bool) { return status(store); }},
    {"unlock", 0, 0, true, false,
     [](Keychain&, PasswordSource&, const std::vector<std::string>&, bool) { return kExitOK; }},
    {"lock", 0, 0, false, false,
     [](Keychain& store, PasswordSource&, const std::vector<std::string>&, bool) {
       store.lock();
       return kExitOK;
     }},
    {"list", 0, 0, true, false, listVerb},
    {"export", 0, 1, true, false, exportVerb},
    {"add", 0, 1, true, true, addVerb},
    {"remove", 1, 2, true, true, removeVerb},
    {"import", 1, 1, true, true, importVerb},
    {"set-master", 0, 0, false, true,
     [](Keychain& store, PasswordSource& source, const std::vector<std::string>&, bool fromStandardInput) {
       return setMaster(store, source, fromStandardInput);
     }},
    {"lock-options", 0, 4, false, true, lockOptionsVerb},
    {"reset", 0, 0, false, false, resetVerb},
};

}  // namespace

int passwordsCommand(const std::vector<std::string>& arguments) {
  try {
    std::vector<std::string> args;
    bool fromStandardInput = false;
    for (const auto& a : arguments) {
      if (a == "--password-stdin")
        fromStandardInput = true;
      else
        args.push_back(a);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
      std::fputs(kHelp, args.empty() ? stderr : stdout);
      return args.empty() ? kExitUsage : kExitOK;
    }
    const std::string verbName = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const Verb* verb = nullptr;
    for (const Verb& v : kVerbs)
      if (v.name == verbName) verb = &v;
    if (!verb) return fail("unknown command '" + verbName + "'\n" + kHelp, kExitUsage);
    if (rest.size() < verb->minArguments || rest.size() > verb->maxArguments)
      return fail(verbName + ": wrong number of arguments\n" + kHelp, kExitUsage);

    // An unreachable keychain would leave a record whose master password no later run finds.
    std::vector<keychain::Item> probe;
    const keychain::Status reachable = keychain::search(kMasterPasswordKind, std::nullopt, probe);
    if (reachable != keychain::kStatusOK) {
      if (verbName != "status")
        return fail("the keychain (Secret Service) cannot be reached, status " + std::to_string(reachable) +
                    "; nothing changed");
      std::printf("keychain: not reachable (status %d)\n", static_cast<int>(reachable));
    }

    Keychain store;
    passwordStoreMode() = [&store] { return store.mode(); };
    struct Forget {
      ~Forget() { passwordStoreMode() = nullptr; }
    } forget;
    PasswordSource source(fromStandardInput);

    if (verb->writesRecord && store.recordUnreadable()) return fail(std::string(kUnreadableRecord));
    if (verb->needsUnlocked && !ensureUnlocked(store, source)) return kExitFailed;
    return verb->run(store, source, rest, fromStandardInput);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  } catch (const std::exception& error) {
    return fail(error.what());
  }
}

}  // namespace tessaro::host
