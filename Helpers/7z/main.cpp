// The 7-Zip helper: the command line the handlers speak, carried out by Debian's 7zz.
//
//   7z l -slt [-pPASSWORD | -p-] [-tTYPE] ARCHIVE
//     prints the archive comment block, "Solid=+" for a solid archive and one listing record per
//     entry (SltRecords.h); 7zz's errors go to standard error as 7zz wrote them. The exit status
//     is 7zz's, and never 0 when 7zz reported "Wrong password?" or "Sub items Errors". A plain
//     zip archive (-tzip) is read directly from its central directory (ZipDirectory.h).
//   7z <any other command> ...
//     runs 7zz with the same arguments ("-p-" becoming an empty password).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SltRecords.h"
#include "ZipDirectory.h"
#include "process/Subprocess.h"

namespace {

constexpr const char* kSevenZip = "/usr/bin/7zz";

// Our exit status for "7zz could not be run", the one 7zz itself gives for a fatal error.
constexpr int kFatalError = 2;

// Shells report a child ended by a signal as 128 plus the signal's number.
constexpr int kSignalExitBase = 128;

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// "-p-" is our "no password"; 7zz gets an empty one, so it never waits for one on a terminal.
std::string passwordSwitch(std::string_view argument) {
  return argument == "-p-" ? std::string("-p") : std::string(argument);
}

int list(const std::vector<std::string_view>& arguments) {
  std::vector<std::string> argv{kSevenZip, "l", "-slt", "-sccUTF-8", "-bsp0"};
  std::vector<std::string> archives;
  bool password = false;
  bool zip = false;
  for (std::string_view argument : arguments) {
    if (argument == "-slt") continue;
    if (argument.starts_with("-p")) {
      argv.push_back(passwordSwitch(argument));
      password = true;
    } else if (argument.starts_with("-t")) {
      argv.emplace_back(argument);
      zip = argument == "-tzip";
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
  // A plain zip is read here directly; TESSARO_7Z_VIA_7ZZ lets tests compare with 7zz's view.
  if (zip && std::getenv("TESSARO_7Z_VIA_7ZZ") == nullptr) {
    if (const std::optional<std::string> listing = tessaro::sevenzip::listZipDirectly(archives.front())) {
      return writeAll(STDOUT_FILENO, *listing) ? 0 : kFatalError;
    }
  }
  if (!password) argv.emplace_back("-p");
  argv.emplace_back("--");
  argv.push_back(archives.front());

  tessaro::SubprocessOptions options;
  options.environment = {{"LC_ALL", "C.UTF-8"}};
  options.separateErrorOutput = true;
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

int passThrough(const std::vector<std::string_view>& arguments) {
  std::vector<std::string> argv{kSevenZip};
  for (std::string_view argument : arguments)
    argv.push_back(argument.starts_with("-p") ? passwordSwitch(argument) : std::string(argument));
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
      std::fprintf(stderr, "usage: 7z l -slt [-pPASSWORD|-p-] [-tTYPE] ARCHIVE\n");
      return kFatalError;
    }
    if (arguments.front() == "l") return list({arguments.begin() + 1, arguments.end()});
    return passThrough(arguments);
  } catch (...) {
    std::fprintf(stderr, "7z: out of memory\n");
    return kFatalError;
  }
}
