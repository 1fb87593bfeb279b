// qlhost: the preview service for one archive. Loads the preview generator as the service does
// (Info.plist, executable, factory, call-backs interface), asks it for a preview of ARCHIVE and
// writes the page it answers with.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Startup.h"
#include "TerminationCleanup.h"
#include "defaults/UserDefaults.h"
#include "quicklook/GeneratorLoader.h"
#include "quicklook/QuickLook.h"
#include "quicklook/QuickLookHost.h"
#include "io/FileIO.h"

namespace tessaro::quicklook {
namespace {

constexpr int kExitNoPreview = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;

constexpr const char* kUsage =
    "usage: qlhost [-o FILE] [--generator PATH] [--cancelled] [--thumbnail] ARCHIVE\n"
    "Writes the preview page the generator makes for ARCHIVE to FILE (default: standard output).\n"
    "  --generator PATH  the .qlgenerator bundle (default: ../Library/QuickLook/TessaroQL.qlgenerator\n"
    "                    beside this program's folder)\n"
    "  --cancelled       the request tells the generator it is cancelled\n"
    "  --thumbnail       ask for a thumbnail instead of a preview\n"
    "Exit status: 0 written, 1 the generator gave none (or took longer than the preference\n"
    "HLVPreviewTimeLimit allows, in seconds), 2 bad arguments, 3 other failures.\n";

// A preview that takes longer than this is given up; HLVPreviewTimeLimit overrides it.
constexpr int64_t kDefaultTimeLimitSeconds = 120;

// The generator does not consult the content type; the service always passes one.
constexpr const char* kContentType = "public.data";

struct Options {
  std::string output;
  std::string generator;
  std::string archive;
  bool cancelled = false;
  bool thumbnail = false;
};

int fail(const std::string& message, int status = kExitFailure) {
  std::fprintf(stderr, "qlhost: %s\n", message.c_str());
  return status;
}

// Empty when the arguments are usable, else the complaint.
std::optional<std::string> parseArguments(int argc, char** argv, Options& options, bool& help) {
  bool onlyOperands = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!onlyOperands && (arg == "-o" || arg == "--generator")) {
      std::string& value = arg == "-o" ? options.output : options.generator;
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return "option " + std::string(arg) + " needs a value";
      value = argv[++i];
    } else if (!onlyOperands && arg == "--cancelled") {
      options.cancelled = true;
    } else if (!onlyOperands && arg == "--thumbnail") {
      options.thumbnail = true;
    } else if (!onlyOperands && (arg == "-h" || arg == "--help")) {
      help = true;
    } else if (!onlyOperands && arg == "--") {
      onlyOperands = true;
    } else if (!onlyOperands && arg.size() > 1 && arg.front() == '-') {
      return "unknown option " + std::string(arg);
    } else if (options.archive.empty()) {
      options.archive = arg;
      if (options.archive.empty()) return std::string("the archive's name is empty");
    } else {
      return std::string("only one archive at a time");
    }
  }
  if (!help && options.archive.empty()) return std::string("no archive given");
  return std::nullopt;
}

std::optional<std::filesystem::path> defaultGenerator() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
  const std::filesystem::path executable(std::string(buffer, static_cast<size_t>(length)));
  return executable.parent_path() / ".." / "Library" / "QuickLook" / "TessaroQL.qlgenerator";
}

// Writes into a new file beside `path` and renames it over `path`, so that `path` holds either
// its old contents or the whole document, never a part of it. A link to a file keeps being a
// link: the file it names is replaced. What is not a file (/dev/null, a pipe, a terminal) is
// written into, never replaced: renaming over a device would put an ordinary file in its place.
bool writeFileAtomically(const std::string& path, std::string_view bytes, std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) {
      error = "cannot write " + path + ": it is a folder";
      return false;
    }
    const FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    const int failure = !out ? errno : writeAll(out.get(), bytes);
    if (failure != 0) error = "cannot write " + path + ": " + std::strerror(failure);
    return failure == 0;
  }
  std::filesystem::path target(path);
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::error_code ec;
    target = std::filesystem::weakly_canonical(path, ec);  // the file may be yet to come
    if (ec) {
      error = "cannot write " + path + ": " + ec.message();
      return false;
    }
  }
  // A page is an ordinary file, readable as the umask allows.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (const int failure = replaceFile(target.string(), bytes, 0666 & ~mask); failure != 0) {
    error = "cannot write " + path + ": " + std::strerror(failure);
    return false;
  }
  return true;
}

std::string bytesOf(CFDataRef data) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                     static_cast<size_t>(CFDataGetLength(data)));
}

// Ends the program with no preview when the time limit passes before disarm(): the children's
// groups killed and the private temporary folder removed, nothing written.
class Deadline {
 public:
  explicit Deadline(std::chrono::seconds limit) : thread_([this, limit] { watch(limit); }) {}
  ~Deadline() { disarm(); }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  // Once this returns the program is no longer ended by the deadline. A deadline that has
  // already fired holds the lock until the program ends, so no page is written after it.
  void disarm() {
    {
      std::lock_guard lock(mutex_);
      disarmed_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void watch(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, limit, [this] { return disarmed_; })) return;
    tessaro::host::killChildProcessGroups();
    tessaro::host::removePrivateTemporaryFolder();
    std::fprintf(stderr, "qlhost: no preview: the time limit of %lld s passed\n",
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    ::_exit(kExitNoPreview);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool disarmed_ = false;
  std::thread thread_;
};

std::chrono::seconds timeLimit() {
  const int64_t seconds = tessaro::UserDefaults::standard().integerForKey("HLVPreviewTimeLimit");
  return std::chrono::seconds(seconds > 0 ? std::min<int64_t>(seconds, INT32_MAX) : kDefaultTimeLimitSeconds);
}

int run(const Options& options) {
  struct stat info;
  if (::stat(options.archive.c_str(), &info) != 0) return fail(options.archive + ": " + std::strerror(errno));
  // A FIFO or a device would have the generator wait for a writer or read without end.
  if (!S_ISREG(info.st_mode)) return fail(options.archive + ": not a regular file", kExitNoPreview);
  Deadline deadline(timeLimit());

  std::filesystem::path generatorPath = options.generator;
  if (generatorPath.empty()) {
    const auto found = defaultGenerator();
    if (!found) return fail("cannot tell where this program lies; name the generator with --generator");
    generatorPath = *found;
  }

  std::string error;
  std::unique_ptr<GeneratorBundle> bundle = GeneratorBundle::open(generatorPath, error);
  if (!bundle) return fail(error);

  std::optional<std::string> document;
  const char* what = options.thumbnail ? "thumbnail" : "preview";
  {
    const CFRef<CFURLRef> url = makeFileURL(options.archive, false);
    const CFRef<CFStringRef> contentType = makeString(kContentType);
    const CFRef<CFMutableDictionaryRef> generatorOptions(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!url || !contentType || !generatorOptions)
      return fail("cannot describe " + options.archive + " to the generator");

    std::unique_ptr<Generator> generator = Generator::create(*bundle, error);
    if (!generator) return fail(error);

    OSStatus status = noErr;
    if (options.thumbnail) {
      const auto request = createThumbnailRequest(bundle->bundle(), options.cancelled);
      if (!request) return fail("cannot make a thumbnail request");
      status = generator->generateThumbnail(request.get(), url.get(), contentType.get(),
                                            generatorOptions.get(), CGSize{128, 128});
      if (CFDataRef data = thumbnailData(request.get())) document = bytesOf(data);
    } else {
      const auto request = createPreviewRequest(bundle->bundle(), options.cancelled);
      if (!request) return fail("cannot make a preview request");
      status =
          generator->generatePreview(request.get(), url.get(), contentType.get(), generatorOptions.get());
      const PreviewReply reply = previewReply(request.get());
      if (reply.data) {
        const std::string type = toString(reply.contentType);
        if (type != toString(kUTTypeHTML))
          return fail("the generator answered with " + type + " instead of " + toString(kUTTypeHTML));
        document = bytesOf(reply.data);
      }
    }
    if (status != noErr)
      return fail("the generator failed with status " + std::to_string(status), kExitNoPreview);

    const ULONG left = generator->release();
    if (left != 0) return fail("the generator instance still counts " + std::to_string(left) + " references");
  }
  if (const long registered = pluginInstanceCount(bundle->factoryID()); registered != 0)
    return fail("the generator left " + std::to_string(registered) + " instance(s) registered");
  bundle.reset();
  if (misuseCount() != 0) return fail("the generator broke the rules of the QuickLook interface (see above)");

  deadline.disarm();
  if (!document) return fail(std::string("no ") + what + " for " + options.archive, kExitNoPreview);
  if (options.output.empty() || options.output == "-") {
    if (writeAll(STDOUT_FILENO, *document) != 0)
      return fail(std::string("cannot write the page: ") + std::strerror(errno));
  } else if (!writeFileAtomically(options.output, *document, error)) {
    return fail(error);
  }
  return 0;
}

}  // namespace
}  // namespace tessaro::quicklook

int main(int argc, char** argv) {
  using namespace tessaro::quicklook;
  tessaro::host::pinLocalTimeZone();
  try {
    Options options;
    bool help = false;
    if (const auto complaint = parseArguments(argc, argv, options, help)) {
      std::fprintf(stderr, "qlhost: %s\n%s", complaint->c_str(), kUsage);
      return kExitUsage;
    }
    if (help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    // Every temporary folder of the preview lies in a private one, removed however the run ends.
    if (!tessaro::host::usePrivateTemporaryFolder()) return fail("cannot make a private temporary folder");
    tessaro::host::cleanUpOnTerminationSignals();
    int status;
    try {
      status = run(options);
    } catch (...) {
      tessaro::host::removePrivateTemporaryFolder();
      throw;
    }
    tessaro::host::removePrivateTemporaryFolder();
    return status;
  } catch (const std::exception& e) {
    return fail(e.what());
  } catch (...) {
    return fail("unexpected failure");
  }
}
