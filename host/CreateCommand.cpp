// tessaro create ARCHIVE FILE... [options]   a new archive of the named files and folders
// tessaro add ARCHIVE FILE... [--into FOLDER] [options]   add to (or update in) an archive
// Files keep their last path component (and what lies below it) as their name in the archive.
// `create x.gz FILE` (.bz2, .xz) compresses the one file as a lone stream.
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ArchiveCheck.h"
#include "ArchiveSession.h"
#include "ArchiveTransaction.h"
#include "CommandLine.h"
#include "Commands.h"
#include "PathString.h"
#include "TarRewrite.h"
#include "TerminalCallbackHandler.h"
#include "io/FileIO.h"
#include "process/Subprocess.h"

namespace tessaro::host {

const char* const kCreateUsage =
    "create ARCHIVE FILE... [--format FORMAT] [--compression LEVEL] [--encryption METHOD]\n"
    "                [--password PASSWORD] [--volume-size SIZE] [--comment TEXT] [--exclude-ds-store] "
    "[--verbose]\n"
    "                 make a new archive of the files and folders\n";
const char* const kAddUsage =
    "add ARCHIVE FILE... [--into FOLDER] [--compression LEVEL] [--encryption METHOD] [--password PASSWORD]\n"
    "                [--exclude-ds-store] [--verbose]\n"
    "                 add files and folders to an archive (entries of the same name are replaced when "
    "newer)\n";

namespace {

const char* const kOptionsHelp =
    "\n"
    "  --format FORMAT      zip, 7z, tar, tar.gz, tar.bz2, tar.xz, xar or rar; by default the archive's name "
    "tells\n"
    "  --compression LEVEL  store, fast, normal (default), best, or 0 to 5\n"
    "  --encryption METHOD  none, zipcrypto (zip), aes, aes-names (7z and rar: the names are enciphered "
    "too);\n"
    "                       with a method and no --password the password is asked for twice\n"
    "  --password PASSWORD  the password (AES-256 when no method is named)\n"
    "  --volume-size SIZE   split into volumes of SIZE bytes (whole kilobytes); k, M and G multiply by\n"
    "                       1000, 1000000 and 10^9\n"
    "  --comment TEXT       the archive comment (zip, rar)\n"
    "  --into FOLDER        add below FOLDER inside the archive\n"
    "  --exclude-ds-store   leave out .DS_Store files\n"
    "  --verbose            show the tools' output\n";

// The handlers' encryption tags: none, weak, AES-256, AES-256 with enciphered names.
constexpr int64_t kEncryptionNone = 0;
constexpr int64_t kEncryptionWeak = 1;
constexpr int64_t kEncryptionAes = 2;
constexpr int64_t kEncryptionAesNames = 3;
// Compression tags: 0 store, 1 fast, 2 normal, 3 best; 5 asks 7z for a solid archive.
constexpr int64_t kCompressionNormal = 2;

struct Options {
  std::string archive;
  std::vector<std::string> files;
  std::string format;
  std::string into;
  std::optional<std::string> password;
  std::optional<std::string> comment;
  int64_t compression = kCompressionNormal;
  int64_t encryption = -1;  // unset
  int64_t volumeSize = 0;
  int64_t volumeUnit = 0;
  bool excludeDsStore = false;
  bool verbose = false;
};

std::optional<int64_t> parseCompression(std::string_view text) {
  if (text == "store") return 0;
  if (text == "fast") return 1;
  if (text == "normal") return 2;
  if (text == "best") return 3;
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '5') return text[0] - '0';
  return std::nullopt;
}

std::optional<int64_t> parseEncryption(std::string_view text) {
  if (text == "none") return kEncryptionNone;
  if (text == "zipcrypto" || text == "weak") return kEncryptionWeak;
  if (text == "aes") return kEncryptionAes;
  if (text == "aes-names") return kEncryptionAesNames;
  return std::nullopt;
}

// The presets count volume sizes in kilobytes: size × 1000^unit thousands of bytes, so "20k" is
// 20 in unit 0, "10M" 10 in unit 1, "2G" 2 in unit 2; a plain byte count is rounded up to
// whole kilobytes.
bool parseVolumeSize(std::string_view text, int64_t& size, int64_t& unit) {
  if (text.empty()) return false;
  int64_t scale = -1;  // -1: bytes
  switch (text.back()) {
    case 'k':
    case 'K': scale = 0; break;
    case 'm':
    case 'M': scale = 1; break;
    case 'g':
    case 'G': scale = 2; break;
    default: break;
  }
  if (scale >= 0) text.remove_suffix(1);
  if (text.empty() || text.size() > 15) return false;
  size = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    size = size * 10 + (c - '0');
  }
  if (scale < 0) {
    size = (size + 999) / 1000;
    scale = 0;
  }
  unit = scale;
  return size > 0;
}

constexpr OptionSpec kCreateOptions[] = {
    {"--verbose", 'v', false},  {"--exclude-ds-store", 0, false}, {"--password", 'p', true},
    {"--compression", 0, true}, {"--encryption", 0, true},        {"--format", 0, true},
    {"--volume-size", 0, true}, {"--comment", 0, true},
};
constexpr OptionSpec kAddOptions[] = {
    {"--verbose", 'v', false},  {"--exclude-ds-store", 0, false}, {"--password", 'p', true},
    {"--compression", 0, true}, {"--encryption", 0, true},        {"--into", 0, true},
};

std::optional<Options> parse(const std::vector<std::string>& args, bool creating, bool& helpShown) {
  const char* usage = creating ? kCreateUsage : kAddUsage;
  helpShown = false;
  const bool asksHelp = std::find_if(args.begin(), std::find(args.begin(), args.end(), "--"),
                                     [](const std::string& a) { return a == "--help" || a == "-h"; }) !=
                        std::find(args.begin(), args.end(), "--");
  if (asksHelp) {
    std::printf("usage: tessaro %s%s", usage, kOptionsHelp);
    helpShown = true;
    return std::nullopt;
  }
  CommandLine line;
  const std::optional<int> ended = creating ? parseCommandLine("create", usage, args, kCreateOptions, line)
                                            : parseCommandLine("add", usage, args, kAddOptions, line);
  if (ended) {
    helpShown = *ended == kExitOK;
    return std::nullopt;
  }
  Options o;
  bool fits = true;
  const auto refuse = [&](const char* option, const std::string& value) {
    std::fprintf(stderr, "tessaro: %s does not take %s\n", option, value.c_str());
    fits = false;
  };
  o.verbose = line.has("--verbose");
  o.excludeDsStore = line.has("--exclude-ds-store");
  o.password = line.value("--password");
  if (const auto v = line.value("--compression")) {
    if (const auto level = parseCompression(*v))
      o.compression = *level;
    else
      refuse("--compression", *v);
  }
  if (const auto v = line.value("--encryption")) {
    if (const auto method = parseEncryption(*v))
      o.encryption = *method;
    else
      refuse("--encryption", *v);
  }
  if (const auto v = line.value("--format")) o.format = *v;
  if (const auto v = line.value("--volume-size"); v && !parseVolumeSize(*v, o.volumeSize, o.volumeUnit))
    refuse("--volume-size", *v);
  o.comment = line.value("--comment");
  if (const auto v = line.value("--into")) o.into = *v;
  const std::vector<std::string>& words = line.operands();
  if (!words.empty()) {
    o.archive = words[0];
    o.files.assign(words.begin() + 1, words.end());
  }
  if (!fits) return std::nullopt;
  if (o.archive.empty() || o.files.empty()) {
    usageError(usage);
    return std::nullopt;
  }
  return o;
}

// True when the folder `source` is the folder of `archive` or lies above it.
bool holdsFolderOf(const std::string& source, const std::string& archive) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(source, error))) return false;
  const fs::path folder = fs::weakly_canonical(fs::path(absolutePath(archive)).parent_path(), error);
  const fs::path above = fs::weakly_canonical(source, error);
  if (error) return false;
  auto a = above.begin();
  auto f = folder.begin();
  for (; a != above.end() && f != folder.end(); ++a, ++f) {
    if (a->empty() && std::next(a) == above.end()) break;  // a trailing separator
    if (*a != *f) return false;
  }
  return a == above.end() || (a->empty() && std::next(a) == above.end());
}

// The password to write with: given, or asked twice on the terminal when a method was named.
bool settlePassword(Options& o) {
  if (o.encryption == kEncryptionNone) {
    o.password.reset();
    return true;
  }
  if (!o.password && o.encryption > 0) {
    const auto first = readSecretLine("Password for " + o.archive + ": ");
    const auto second = first ? readSecretLine("The same password again: ") : std::nullopt;
    if (!first || !second || first->empty()) {
      std::fputs("tessaro: no password given (use --password without a terminal)\n", stderr);
      return false;
    }
    if (*first != *second) {
      std::fputs("tessaro: the two passwords differ\n", stderr);
      return false;
    }
    o.password = *first;
  }
  if (o.password && o.encryption < 0) o.encryption = kEncryptionAes;
  return true;
}

// The lone compressed streams: a name ending so (and not in .tar.gz and the like) holds one file.
struct StreamFormat {
  std::string_view extension;
  const char* tool;
};
constexpr StreamFormat kStreams[] = {{"gz", "gzip"}, {"bz2", "bzip2"}, {"xz", "xz"}};

const StreamFormat* streamFormatOf(const Options& o) {
  std::string name(lastPathComponent(o.archive));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string wanted = o.format.empty() ? std::string(pathExtension(name)) : o.format;
  if (o.format.empty() && pathExtension(deletingPathExtension(name)) == "tar") return nullptr;
  for (const StreamFormat& format : kStreams)
    if (format.extension == wanted) return &format;
  return nullptr;
}

std::string toolPath(const char* tool) {
  for (const char* folder : {"/usr/bin/", "/bin/"}) {
    std::string path = std::string(folder) + tool;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return tool;
}

// `create x.gz FILE`: the file compressed as the one stream of the new file.
int createStream(const Options& o, const StreamFormat& format, const std::string& file) {
  struct stat st;
  if (o.files.size() != 1 || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(
        stderr, "tessaro: a .%.*s file holds exactly one file; use .tar.%.*s for several files or a folder\n",
        static_cast<int>(format.extension.size()), format.extension.data(),
        static_cast<int>(format.extension.size()), format.extension.data());
    return kExitUsage;
  }
  if (o.password || o.volumeSize > 0 || o.comment) {
    std::fprintf(stderr, "tessaro: a .%.*s file has no password, volumes or comment\n",
                 static_cast<int>(format.extension.size()), format.extension.data());
    return kExitUsage;
  }
  std::unique_ptr<ArchiveTransaction> tx =
      ArchiveTransaction::begin(ArchiveTransaction::Kind::create, o.archive, "creating");
  if (!tx) return kExitFailed;
  const FileDescriptor output(
      ::open(tx->workPath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!output) return tx->fail(std::string("cannot make the new file: ") + std::strerror(errno));
  const char* level = o.compression <= 1 ? "-1" : o.compression >= 3 ? "-9" : "-6";
  SubprocessOptions options;
  options.standardOutput = output.get();
  options.separateErrorOutput = true;
  const SubprocessResult result = tessaro::run({toolPath(format.tool), "-c", level, "--", file}, options);
  if (!result.started) return tx->fail(std::string(format.tool) + " cannot be run");
  if (result.exitStatus != 0) {
    const bool full =
        lowOnSpace(tx->workFolder()) || result.errorOutput.find("No space left") != std::string::npos;
    return tx->fail(full ? "not enough space" : std::string(format.tool) + " reported errors");
  }
  // The stream must give back exactly the file's bytes.
  const ArchiveCheck read = checkWholeArchive(tx->workPath());
  if (!read.ok || read.bytes != st.st_size)
    return tx->fail("the new file does not read back whole" +
                    (read.problem.empty() ? "" : ": " + read.problem));
  std::unique_ptr<ArchiveSession> session = ArchiveSession::open(tx->workPath(), o.verbose, o.archive);
  if (!session) return tx->fail("the new file is not recognised");
  Expectation expected;
  expected.files = 1;
  return tx->finish(*session, 0, expected);
}

int run(const std::vector<std::string>& args, bool creating) {
  bool helpShown = false;
  std::optional<Options> o = parse(args, creating, helpShown);
  if (!o) return helpShown ? kExitOK : kExitUsage;

  struct stat st;
  const bool exists = ::stat(o->archive.c_str(), &st) == 0;
  if (creating && exists) {
    std::fprintf(stderr, "tessaro: %s exists already (use 'tessaro add' to add to it)\n", o->archive.c_str());
    return kExitUsage;
  }
  if (!creating && !exists) {
    std::fprintf(stderr, "tessaro: %s: %s\n", o->archive.c_str(), std::strerror(errno));
    return kExitUsage;
  }
  std::vector<std::string> files;
  for (const std::string& file : o->files) {
    if (::lstat(file.c_str(), &st) != 0) {
      std::fprintf(stderr, "tessaro: %s: %s\n", file.c_str(), std::strerror(errno));
      return kExitUsage;
    }
    // "." and ".." name a folder by its own name.
    std::string path = std::filesystem::path(absolutePath(file)).lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    files.push_back(path);
  }
  if (creating) {
    if (const StreamFormat* stream = streamFormatOf(*o)) return createStream(*o, *stream, files.front());
  }
  // The archive is made in a work folder beside it, which must not become part of itself.
  for (const std::string& file : files) {
    if (holdsFolderOf(file, o->archive)) {
      std::fprintf(stderr, "tessaro: %s holds %s itself; put the archive outside what it archives\n",
                   file.c_str(), o->archive.c_str());
      return kExitUsage;
    }
  }
  if (!settlePassword(*o)) return kExitUsage;

  // The member order makes the session go before the work folder it works in.
  std::unique_ptr<ArchiveTransaction> tx = ArchiveTransaction::begin(
      creating ? ArchiveTransaction::Kind::create : ArchiveTransaction::Kind::change, o->archive,
      creating ? "creating" : "adding to");
  if (!tx) return kExitFailed;
  std::unique_ptr<ArchiveSession> session =
      creating ? ArchiveSession::create(tx->workPath(), o->format, o->verbose, o->archive)
               : ArchiveSession::open(tx->workPath(), o->verbose, o->archive);
  if (!session) return kExitUsage;
  ArchiveHandler& handler = session->handler();
  const bool rebuild = !creating && isTarFamily(handler);
  if (!creating && !rebuild && !handler.canUpdate()) {
    std::fprintf(stderr, "tessaro: %s archives cannot be added to\n", handler.isa().formatName().c_str());
    return kExitUsage;
  }
  if (o->password) handler.setPassword(*o->password);
  if (!creating) {
    // The handlers write the comment they know with every update: they learn it by listing.
    std::vector<std::string> records;
    handler.getInfo(records);
  }
  if (o->comment) handler.setComment(*o->comment);

  Preset preset;
  preset["compression"] = PropertyList(o->compression);
  preset["encryption"] = PropertyList(o->encryption < 0 ? kEncryptionNone : o->encryption);
  preset["volumeSize"] = PropertyList(o->volumeSize);
  preset["volumeUnit"] = PropertyList(o->volumeUnit);
  preset["mode"] = PropertyList(static_cast<int64_t>(o->excludeDsStore ? 1 : 0));
  preset["additionalParams"] = PropertyList(std::string());

  AZipItem::Ptr parent;
  std::string folder;
  if (!o->into.empty()) {
    folder = o->into;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    parent = AZipItem::initWithPath(folder);
    if (!parent) return kExitFailed;
  }
  Expectation expected;
  for (const std::string& file : files) {
    const std::string name(lastPathComponent(file));
    expectTree(file, folder.empty() ? name : folder + "/" + name, o->excludeDsStore, expected);
  }
  std::vector<std::string> clean;
  if (rebuild) {
    return tx->finish(*session, rewriteTar(*session, TarChange::adding(files, o->into)), expected);
  }
  const std::string workingFolder = deletingLastPathComponent(files.front()).empty()
                                        ? std::string("/")
                                        : std::string(deletingLastPathComponent(files.front()));
  const int32_t status =
      handler.addFiles(files, workingFolder, session->archive(), parent.get(), preset, &clean);
  return tx->finish(*session, status, expected);
}

}  // namespace

int createCommand(const std::vector<std::string>& args) { return run(args, true); }
int addCommand(const std::vector<std::string>& args) { return run(args, false); }

}  // namespace tessaro::host
