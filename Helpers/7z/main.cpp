// The 7-Zip helper: the command line the handlers speak, carried out by Debian's 7zz.
//
//   7z l -slt [-p | -pPASSWORD | -p-] [-tTYPE] [--via-7zz] ARCHIVE
//     prints the archive comment block, "Solid=+" for a solid archive and one listing record per
//     entry (SltRecords.h); 7zz's errors go to standard error as 7zz wrote them. The exit status
//     is 7zz's, and never 0 when 7zz reported "Wrong password?" or "Sub items Errors". A zip
//     archive (-tzip) is read directly from its central directory when that reader can show it
//     as 7zz would, as it can nearly every zip (ZipDirectory.h), unless "--via-7zz" asks for
//     7zz's listing instead: the handlers never give it; tests and the benchmark compare the two.
//     A 7z archive (-t7z, or no type and the 7z signature) is read from its headers in the same
//     way (SevenZipHeaders.h); an encrypted header or anything unusual still goes to 7zz.
//   7z u|d|rn SWITCHES ARCHIVE [@LISTFILE | . | NAME ...]
//     runs 7zz with its progress turned into chunks that end with a percentage (Progress.h).
//     For "u" the helper also does what 7zz cannot: "-apFOLDER" adds the files under that folder
//     inside the archive (StagedAdd.h); "-czFILE" sets a zip archive's comment from a UTF-8 file
//     after the update and "-cz--" clears it (ZipComment.h); with "-cz" and no files only the
//     comment changes.
//   7z x|t [SWITCHES] ARCHIVE [@LISTFILE]
//     runs 7zz with an empty password when none is given, its progress turned into percentages
//     as for "u", and prints "Wrong password?" (with a failing status) whenever 7zz reports a
//     wrong password, in whichever words.
//   7z <any other command> ...
//     runs 7zz with the same arguments.
//   Everywhere "-p-" becomes an empty password, so 7zz never waits for one on a terminal, and a
//   bare "-p" means the password is the first line of our standard input. 7zz gets a password
//   only on its own standard input, never on its command line, where any process list shows it.
//   The exit status is 7zz's, 2 for a fatal error of the helper's own, 128 + N after signal N.
#include <unistd.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Progress.h"
#include "HelperOutput.h"
#include "SevenZipHeaders.h"
#include "SltRecords.h"
#include "StagedAdd.h"
#include "ZipComment.h"
#include "ZipDirectory.h"
#include "process/Subprocess.h"

namespace {

constexpr const char* kSevenZip = "/usr/bin/7zz";

using tessaro::sevenzip::kFatalError;
using tessaro::sevenzip::kSignalExitBase;
using tessaro::sevenzip::writeAll;

// Longer than any password worth typing; stops a runaway input.
constexpr size_t kMaxPasswordLength = 65536;

// The first line of our standard input, without its line feed; none when it cannot be read.
std::optional<std::string> readPasswordLine() {
  std::string line;
  char c = 0;
  for (;;) {
    const ssize_t count = ::read(STDIN_FILENO, &c, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0 || c == '\n') break;
    if (line.size() >= kMaxPasswordLength) return std::nullopt;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The password a "-p…" argument gives: "-p-" none, a bare "-p" the line on our standard input,
// "-pPASSWORD" that password (for use by hand; the handlers never put one on a command line).
// False when the standard input cannot be read.
bool takePassword(std::string_view argument, std::string& password) {
  if (argument == "-p-") {
    password.clear();
    return true;
  }
  if (argument != "-p") {
    password = argument.substr(2);
    return true;
  }
  const std::optional<std::string> line = readPasswordLine();
  if (!line) return false;
  password = *line;
  return true;
}

// What 7zz reads when it asks for the password. Opening an archive and encrypting anew may each
// ask once; 7zz reads its input buffered, so one read takes both lines.
tessaro::FileDescriptor passwordInput(const std::string& password) {
  return tessaro::inputHolding(password + "\n" + password + "\n");
}

int list(const std::vector<std::string_view>& arguments) {
  std::vector<std::string> argv{kSevenZip, "l", "-slt", "-sccUTF-8", "-bsp0"};
  std::vector<std::string> archives;
  std::string password;
  bool zip = false;
  bool sevenZipType = false;
  bool typed = false;
  bool via7zz = false;
  for (std::string_view argument : arguments) {
    if (argument == "-slt") continue;
    if (argument == "--via-7zz") {
      via7zz = true;
      continue;
    }
    if (argument.starts_with("-p")) {
      if (!takePassword(argument, password)) {
        std::fprintf(stderr, "7z: cannot read the password: %s\n", std::strerror(errno));
        return kFatalError;
      }
    } else if (argument.starts_with("-t")) {
      argv.emplace_back(argument);
      zip = argument == "-tzip";
      sevenZipType = argument == "-t7z";
      typed = true;
    } else if (argument.starts_with("-")) {
      std::fprintf(stderr, "7z: unsupported switch for l: %.*s\n", static_cast<int>(argument.size()),
                   argument.data());
      return kFatalError;
    } else {
      archives.emplace_back(argument);
    }
  }
  if (archives.size() != 1) {
    std::fprintf(stderr, "7z: l needs exactly one archive\n");
    return kFatalError;
  }
  // A plain zip or 7z archive is read here directly, unless the caller asked for 7zz's view of it.
  if (!via7zz) {
    std::optional<std::string> listing;
    if (zip)
      listing = tessaro::sevenzip::listZipDirectly(archives.front());
    else if (sevenZipType || !typed)
      listing = tessaro::sevenzip::listSevenZipDirectly(archives.front());
    if (listing) return writeAll(STDOUT_FILENO, *listing) ? 0 : kFatalError;
  }
  // Without -p 7zz asks for a password when the archive needs one, on its standard input; an
  // empty -p is an empty password that it never asks for.
  tessaro::FileDescriptor input;
  if (password.empty()) {
    argv.emplace_back("-p");
  } else if (input = passwordInput(password); !input) {
    std::fprintf(stderr, "7z: cannot pass the password on: %s\n", std::strerror(errno));
    return kFatalError;
  }
  argv.emplace_back("--");
  argv.push_back(archives.front());

  tessaro::SubprocessOptions options;
  options.environment = {{"LC_ALL", "C.UTF-8"}};
  options.separateErrorOutput = true;
  options.standardInput = input.get();
  tessaro::Subprocess sevenZip;
  if (!sevenZip.start(argv, options)) {
    std::fprintf(stderr, "7z: cannot run %s: %s\n", kSevenZip, std::strerror(sevenZip.spawnError()));
    return kFatalError;
  }

  tessaro::sevenzip::SltRecords records([](std::string_view text) { writeAll(STDOUT_FILENO, text); });
  std::string errors;
  const tessaro::SubprocessResult result = sevenZip.wait([&](std::string_view chunk) { records.feed(chunk); },
                                                         [&](std::string_view chunk) {
                                                           writeAll(STDERR_FILENO, chunk);
                                                           // Kept only to look for the two failure texts;
                                                           // 7zz's messages are short.
                                                           if (errors.size() < 64 * 1024)
                                                             errors.append(chunk);
                                                         });
  records.finish();

  int status = result.exitStatus;
  if (status < 0) status = result.signal > 0 ? kSignalExitBase + result.signal : kFatalError;
  const bool failureText = records.sawWrongPassword() || records.sawSubItemsErrors() ||
                           errors.find("Wrong password?") != std::string::npos ||
                           errors.find("Sub items Errors") != std::string::npos;
  if (status == 0 && failureText) status = kFatalError;
  return status;
}

// Set by SIGINT, SIGTERM and SIGHUP: 7zz is stopped, staging folders go, and we exit.
std::atomic<bool> gCancelled{false};
volatile sig_atomic_t gSignal = 0;

extern "C" void onSignal(int number) {
  gSignal = number;
  gCancelled.store(true);
}

void catchSignals() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &action, nullptr);
  // A reader that went away is a failed write, not a death that would leave staging behind.
  ::signal(SIGPIPE, SIG_IGN);
}

// Holds off the cancelling signals while a file is replaced, so no temporary file stays behind.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, number);
    ::sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "7z: %s\n", message.c_str());
  return kFatalError;
}

// The zip comment a "-czFILE" asks for; the file may not exceed what the end record can hold.
std::optional<std::string> readComment(const std::string& path, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot read the comment file " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  constexpr size_t kLimit = 0xFFFF;
  std::string text(kLimit + 1, '\0');
  const size_t size = std::fread(text.data(), 1, text.size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = "cannot read the comment file " + path;
    return std::nullopt;
  }
  if (size > kLimit) {
    error = "the comment in " + path + " is longer than 65535 bytes";
    return std::nullopt;
  }
  text.resize(size);
  if (!tessaro::sevenzip::isWritableZipComment(text, error)) return std::nullopt;
  return text;
}

// The volumes of `archive` that exist: ARCHIVE.001, ARCHIVE.002 … up to the first missing one.
std::vector<std::string> volumeFiles(const std::string& archive) {
  std::vector<std::string> found;
  for (int number = 1; number < 100000; ++number) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03d", number);
    if (!exists(archive + suffix)) break;
    found.push_back(archive + suffix);
  }
  return found;
}

bool endsWithZip(const std::string& path) {
  if (path.size() < 4) return false;
  std::string extension = path.substr(path.size() - 4);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  return extension == ".zip";
}

// "u", "d" and "rn": 7zz with its progress re-emitted, plus -ap and -cz for "u".
int modify(std::string_view command, const std::vector<std::string_view>& arguments) {
  std::vector<std::string> switches;
  std::vector<std::string> operands;
  size_t literalFrom = std::string::npos;  // operands from here on came after "--"
  std::optional<std::string> folder;
  std::optional<std::string> commentFile;
  bool clearComment = false;
  bool volumes = false;
  std::string type;
  std::string password;
  for (std::string_view argument : arguments) {
    if (literalFrom == std::string::npos && argument == "--") {
      literalFrom = operands.size();
    } else if (literalFrom != std::string::npos || !argument.starts_with("-") || argument.size() == 1) {
      operands.emplace_back(argument);
    } else if (command == "u" && argument.starts_with("-ap")) {
      folder = std::string(argument.substr(3));
    } else if (command == "u" && argument.starts_with("-cz")) {
      clearComment = argument == "-cz--";
      commentFile = clearComment ? std::nullopt : std::optional<std::string>(argument.substr(3));
    } else {
      if (argument.starts_with("-t")) type = argument.substr(2);
      if (argument.starts_with("-v")) volumes = true;
      if (argument.starts_with("-p")) {
        // An empty "-p" makes an updating 7zz ask for a password, to open the archive and to
        // encrypt with: it gets one only with a password to give, on its standard input.
        if (!takePassword(argument, password))
          return fail(std::string("cannot read the password: ") + std::strerror(errno));
        continue;
      }
      switches.emplace_back(argument);
    }
  }
  if (operands.empty()) return fail(std::string(command) + " needs an archive");
  std::string archive = operands.front();
  const std::vector<std::string> files(operands.begin() + 1, operands.end());
  if (folder && folder->find_first_not_of('/') == std::string::npos) folder.reset();
  // 7zz would make an empty archive to delete from or rename in.
  if (command != "u" && !exists(archive)) return fail(archive + ": " + std::strerror(errno));

  std::optional<std::string> comment;
  std::string error;
  if (commentFile) {
    comment = readComment(*commentFile, error);
    if (!comment) return fail(error);
    // Refused before anything changes: only a zip archive has a comment we can write.
    const bool zipType = type.empty() ? !exists(archive) && endsWithZip(archive) : type == "zip";
    if (!volumes && (exists(archive) ? !tessaro::sevenzip::isZipArchive(archive) || !(type.empty() || zipType)
                                     : !zipType))
      return fail("-cz needs a zip archive: " + archive);
    if (volumes && !type.empty() && type != "zip") return fail("-cz needs a zip archive: " + archive);
  } else if (clearComment) {
    comment = std::string();
  }

  // Volumes this run makes are removed again when their comment cannot be written.
  const bool newVolumes = volumes && volumeFiles(archive).empty();
  int status = 0;
  // "-cz" with no files changes the comment alone; 7zz would add the whole working folder.
  if (!(command == "u" && files.empty() && comment)) {
    std::vector<std::string> argv{kSevenZip, std::string(command), "-bso1",    "-bse2",
                                  "-bsp1",   "-sccUTF-8",          "-scsUTF-8"};
    std::string workingDirectory;
    tessaro::sevenzip::StagedAdd staged;
    if (folder) {
      std::string here = std::filesystem::current_path().string();
      if (!archive.starts_with('/')) archive = here + "/" + archive;
      if (!staged.prepare(*folder, files, here, error)) return fail(error);
      for (std::string& argument : switches) {
        argument = staged.exclusion(argument, here, error);
        if (argument.empty()) return fail(error);
      }
      // Every staged name is literal, whatever it holds; 7zz refuses a switch given twice.
      if (std::find(switches.begin(), switches.end(), "-spd") == switches.end()) argv.emplace_back("-spd");
      argv.insert(argv.end(), switches.begin(), switches.end());
      argv.push_back(archive);
      for (std::string& argument : staged.fileArguments()) argv.push_back(std::move(argument));
      workingDirectory = staged.root();
    } else {
      argv.insert(argv.end(), switches.begin(), switches.end());
      for (size_t i = 0; i < operands.size(); ++i) {
        if (i == literalFrom) argv.emplace_back("--");
        argv.push_back(operands[i]);
      }
    }
    tessaro::FileDescriptor input;
    if (!password.empty()) {
      input = passwordInput(password);
      if (!input) return fail(std::string("cannot pass the password on: ") + std::strerror(errno));
      // Before the archive: the switch belongs to 7zz, whatever the names after it are.
      argv.insert(argv.begin() + 2, "-p");
    }
    if (gCancelled.load()) return kSignalExitBase + gSignal;
    status = tessaro::sevenzip::runWithProgress(argv, workingDirectory, &gCancelled, input.get());
  } else if (!exists(archive)) {
    return fail(archive + ": " + std::strerror(errno));
  }
  if (gCancelled.load()) return kSignalExitBase + gSignal;

  // 7zz's 1 is a warning: the archive was still written.
  if (comment && (status == 0 || status == 1)) {
    SignalsHeld held;
    // 7zz writes volumes only anew, without a comment: there is none to clear.
    if (volumes) {
      if (commentFile && !tessaro::sevenzip::setVolumeComment(volumeFiles(archive), *comment, error)) {
        if (newVolumes) {
          for (const std::string& volume : volumeFiles(archive)) ::unlink(volume.c_str());
        }
        return fail(error);
      }
    } else if (commentFile || tessaro::sevenzip::isZipArchive(archive)) {
      // Clearing is asked for every archive the handlers update, zip or not.
      if (!tessaro::sevenzip::setZipComment(archive, *comment, error)) return fail(error);
    }
  }
  return status;
}

// "x" and "t": 7zz with an empty password when none is given, so it never waits for one, and
// "Wrong password?" said whenever 7zz meant it (for zip entries 7zz writes "Wrong password :"
// without the question mark the handlers look for).
int extractOrTest(const std::vector<std::string_view>& arguments) {
  std::vector<std::string> argv{kSevenZip};
  std::string password;
  bool literal = false;  // past "--", where an argument is a name whatever it looks like
  for (std::string_view argument : arguments) {
    if (!literal && argument.starts_with("-p")) {
      if (!takePassword(argument, password)) {
        std::fprintf(stderr, "7z: cannot read the password: %s\n", std::strerror(errno));
        return kFatalError;
      }
      continue;
    }
    literal = literal || argument == "--";
    argv.emplace_back(argument);
  }
  // As for listing: an empty -p never waits, and without it 7zz reads the password it needs.
  tessaro::FileDescriptor input;
  if (password.empty()) {
    argv.insert(argv.begin() + 2, "-p");
  } else if (input = passwordInput(password); !input) {
    std::fprintf(stderr, "7z: cannot pass the password on: %s\n", std::strerror(errno));
    return kFatalError;
  }

  // 7zz draws its progress only on a terminal unless asked; the filter turns it into percentages.
  argv.insert(argv.begin() + 2, "-bsp1");

  tessaro::Subprocess sevenZip;
  tessaro::SubprocessOptions options;
  options.cancelled = &gCancelled;
  options.standardInput = input.get();
  if (!sevenZip.start(argv, options)) {
    std::fprintf(stderr, "7z: cannot run %s: %s\n", kSevenZip, std::strerror(sevenZip.spawnError()));
    return kFatalError;
  }
  // The end of the previous chunk, so that a text split across two reads is still seen.
  std::string tail;
  bool wrongPassword = false;
  bool saidWithQuestion = false;
  tessaro::sevenzip::ProgressFilter filter([](std::string_view chunk) { writeAll(STDOUT_FILENO, chunk); });
  const tessaro::SubprocessResult result = sevenZip.wait([&](std::string_view chunk) {
    filter.feed(chunk);
    std::string window = tail;
    window.append(chunk);
    wrongPassword = wrongPassword || window.find("Wrong password") != std::string::npos;
    saidWithQuestion = saidWithQuestion || window.find("Wrong password?") != std::string::npos;
    constexpr size_t kKeep = 32;
    tail = window.size() > kKeep ? window.substr(window.size() - kKeep) : window;
  });
  filter.finish();
  int status = result.exitStatus;
  // 7zz wipes its last status before it ends; the handlers see the work finished.
  if (status == 0 && !wrongPassword) writeAll(STDOUT_FILENO, "100%");
  if (status < 0) status = result.signal > 0 ? kSignalExitBase + result.signal : kFatalError;
  if (wrongPassword) {
    if (!saidWithQuestion) writeAll(STDOUT_FILENO, "Wrong password?\n");
    if (status == 0) status = kFatalError;
  }
  return status;
}

int passThrough(const std::vector<std::string_view>& arguments) {
  std::vector<std::string> argv{kSevenZip};
  // "-p-" is an empty password, so 7zz never waits for one.
  for (std::string_view argument : arguments)
    argv.push_back(argument == "-p-" ? std::string("-p") : std::string(argument));
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  ::execv(kSevenZip, pointers.data());
  std::fprintf(stderr, "7z: cannot run %s: %s\n", kSevenZip, std::strerror(errno));
  return kFatalError;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
      std::fprintf(stderr,
                   "usage: 7z l -slt [-p|-p-] [-tTYPE] [--via-7zz] ARCHIVE\n"
                   "       7z u|d|rn [SWITCHES] ARCHIVE [@LISTFILE | . | NAME ...]\n");
      return kFatalError;
    }
    if (arguments.front() == "l") return list({arguments.begin() + 1, arguments.end()});
    if (arguments.front() == "u" || arguments.front() == "d" || arguments.front() == "rn") {
      catchSignals();
      const int status = modify(arguments.front(), {arguments.begin() + 1, arguments.end()});
      return gSignal != 0 ? kSignalExitBase + gSignal : status;
    }
    if (arguments.front() == "x" || arguments.front() == "t") {
      catchSignals();
      const int status = extractOrTest(arguments);
      return gSignal != 0 ? kSignalExitBase + gSignal : status;
    }
    return passThrough(arguments);
  } catch (...) {
    std::fprintf(stderr, "7z: out of memory\n");
    return kFatalError;
  }
}
