// Damaged and hostile archives of every format the tools here can write, each previewed by the
// built qlhost in a child process of its own: every run must end in time with a page or with "no
// preview", print no sanitizer report, and leave no temporary folder and no process behind.
//
// TESSARO_TORTURE_MUTATIONS (damaged copies per format), TESSARO_TORTURE_SEED (replays a sweep)
// and TESSARO_TORTURE_KEEP (a folder that receives a copy of every failing input) serve
// bench/torture.sh, which runs the same sweep at a larger scale.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/FileDescriptor.h"
#include "process/Subprocess.h"
#include "support/Files.h"
#include "support/Processes.h"
#include "support/TempDir.h"

extern char** environ;

namespace tessaro::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeLimit = std::chrono::seconds(20);
// Enough to catch every kind of damage a few times over while the whole sweep stays near three
// minutes on two cores under the sanitizers.
constexpr uint64_t kDefaultMutations = 80;
constexpr uint64_t kDefaultSeed = 20261206;

// ---- Fixtures

// "t" is an ordinary small tree; "h" holds the names a reader must survive: control characters,
// a line feed, bytes that are not UTF-8, text that looks like a listing line, printf
// directives, an option-like name, 100 nested folders and a path of about 3,900 characters.
constexpr const char* kTrees = R"sh(
mkdir -p t/docs t/empty h o
printf 'hello\n' > t/docs/a.txt
seq 1 4000 > t/numbers.txt
cp t/numbers.txt t/docs/b.txt
ln -s docs/a.txt t/link
cd h
printf a > "$(printf 'ctl\001\033[31mred\ttab')"
printf b > "$(printf 'new\nline')"
printf c > "$(printf 'bad\377\376utf8')"
printf d > 'x 2020-01-01 10:20 y -> z'
printf e > ' lead and trail '
printf f > '%s%n%x'
printf g > '-rf'
deep=$(printf 'd/%.0s' $(seq 100)); mkdir -p "$deep"; echo deep > "${deep}leaf"
seg=$(printf 'L%.0s' $(seq 240)); long=; for i in $(seq 16); do long="$long$seg$i/"; done
mkdir -p "$long"; echo long > "${long}end"
cd ..
)sh";

// Tar archives in tars/: plain, hostile names added twice (duplicated entries), "../" names,
// absolute names, and names no file system holds (a 4,000-character one, "dir" as file and
// folder) written by Python, which also writes crafted.zip with them.
constexpr const char* kTars = R"sh(
mkdir -p tars
tar -cf tars/plain.tar t
tar -cf tars/hostile.tar h h 2>/dev/null || true
bsdtar -P -s ',^,../,' -cf tars/escape.tar t/docs
bsdtar -P -s ',^,/,' -cf tars/absolute.tar t
python3 - <<'PY'
import io, tarfile, zipfile
names = ["../../escape.txt", "/etc/absolute.txt", "ctl\x01\x1b[31m\x7f.txt", "N" * 4000, "dup.txt", "dup.txt",
         "dir/", "dir", "a//b/./c/../d.txt", "\u202e.txt", "bad\udcff\udcfe.txt"]
with tarfile.open("tars/crafted.tar", "w", format=tarfile.GNU_FORMAT, errors="surrogateescape") as t:
    for name in names:
        info = tarfile.TarInfo(name)
        info.size = 1
        t.addfile(info, io.BytesIO(b"x"))
with zipfile.ZipFile("crafted.zip", "w") as z:
    for name in names[:-1]:
        z.writestr(zipfile.ZipInfo(name), b"x")
PY
)sh";

struct Family {
  const char* name;
  // Runs in a folder holding the trees; writes the archives into o/. Steps on the hostile tree may
  // fail where a tool refuses a name.
  const char* script;
};

const Family kFamilies[] = {
    {"tar", "cp tars/*.tar o/"},
    {"tgz", "for f in tars/*.tar; do gzip -n -c \"$f\" > o/$(basename \"$f\" .tar).tgz; done"},
    {"tbz", "for f in tars/*.tar; do bzip2 -c \"$f\" > o/$(basename \"$f\" .tar).tar.bz2; done"},
    {"txz", "for f in tars/*.tar; do xz -c \"$f\" > o/$(basename \"$f\" .tar).txz; done"},
    {"gz",
     "cp t/numbers.txt numbers.txt; gzip -c numbers.txt > o/numbers.txt.gz\n"
     "cp t/numbers.txt \"$(printf 'ctl\\001\\033[31m.txt')\"; gzip -c ctl* > o/hostile.gz\n"
     "cat o/numbers.txt.gz o/numbers.txt.gz > o/twice.gz; : | gzip -c > o/empty.gz"},
    {"bz2",
     "bzip2 -c t/numbers.txt > o/numbers.txt.bz2; cat o/numbers.txt.bz2 o/numbers.txt.bz2 > o/twice.bz2\n"
     ": | bzip2 -c > o/empty.bz2"},
    {"xz",
     "xz -c t/numbers.txt > o/numbers.txt.xz; cat o/numbers.txt.xz o/numbers.txt.xz > o/twice.xz\n"
     ": | xz -c > o/empty.xz"},
    {"zip",
     "zip -qry o/plain.zip t; (cd t && 7zz a -tzip -bd -bso0 ../o/plain7.zip .)\n"
     "zip -qry o/hostile.zip h || true; cp crafted.zip o/\n"
     "bsdtar --format zip -P -s ',^,../,' -cf o/escape.zip t/docs\n"
     "bsdtar --format zip -P -s ',^,/,' -cf o/absolute.zip t/docs\n"
     "bsdtar --format zip -cf o/duplicate.zip t/docs t/docs"},
    {"7z",
     "7zz a -bd -bso0 o/plain.7z t; 7zz a -bd -bso0 -mhe=on -pSecret o/encrypted.7z t\n"
     "7zz a -bd -bso0 o/hostile.7z h 2>/dev/null || true\n"
     "bsdtar --format 7zip -P -s ',^,../,' -cf o/escape.7z t/docs\n"
     "bsdtar --format 7zip -cf o/duplicate.7z t/docs t/docs"},
    {"rar",
     "rar a -idq o/plain.rar t; rar a -idq -hpSecret o/encrypted.rar t\n"
     "rar a -idq o/hostile.rar h 2>/dev/null || true"},
    {"cpio",
     "find t | cpio -o -H newc --quiet > o/plain.cpio\n"
     "find h | cpio -o -H newc --quiet > o/hostile.cpio 2>/dev/null || true\n"
     "bsdtar --format odc -cf o/odc.cpio t\n"
     "bsdtar --format newc -P -s ',^,../,' -cf o/escape.cpio t/docs\n"
     "bsdtar --format newc -P -s ',^,/,' -cf o/absolute.cpio t/docs t/docs"},
    {"deb",
     "mkdir -p pkg/DEBIAN pkg/usr/share/t; cp -R t/. pkg/usr/share/t/\n"
     "printf 'Package: torture\\nVersion: 1.0\\nArchitecture: all\\nMaintainer: T <t@example.org>\\n"
     "Description: t\\n' > pkg/DEBIAN/control\n"
     "dpkg-deb -Zgzip --root-owner-group --build pkg o/plain.deb >/dev/null\n"
     "dpkg-deb -Zxz --root-owner-group --build pkg o/plain-xz.deb >/dev/null\n"
     "cp -R h pkg/usr/share/h; dpkg-deb -Znone --root-owner-group --build pkg o/hostile.deb >/dev/null 2>&1 "
     "|| true"},
    {"iso",
     "genisoimage -quiet -R -J -o o/plain.iso t 2>/dev/null\n"
     "genisoimage -quiet -R -o o/hostile.iso h 2>/dev/null || true\n"
     "bsdtar --format iso9660 -cf o/bsd.iso t"},
    {"cab",
     "gcab -c o/plain.cab t/docs/a.txt t/docs/b.txt t/numbers.txt\n"
     "gcab -c -z o/compressed.cab t/docs/a.txt t/numbers.txt\n"
     "find h -type f -exec gcab -c o/hostile.cab {} + 2>/dev/null || true"},
    {"xar",
     "bsdtar --format xar -cf o/plain.xar t\n"
     "bsdtar --format xar --options xar:compression=none -cf o/stored.xar t\n"
     "bsdtar --format xar -cf o/hostile.xar h h 2>/dev/null || true\n"
     "bsdtar --format xar -P -s ',^,../,' -cf o/escape.xar t/docs\n"
     "bsdtar --format xar -P -s ',^,/,' -cf o/absolute.xar t/docs"},
    {"lzh",
     "jlha a o/plain.lzh t >/dev/null 2>&1; lha aq o/plain-lha.lzh t\n"
     "lha aq o/hostile.lzh h 2>/dev/null || true"},
    {"rpm",
     "mkdir -p rpm/SOURCES; cp t/numbers.txt rpm/SOURCES/\n"
     "printf 'Name: torture\\nVersion: 1\\nRelease: 1\\nSummary: t\\nLicense: MIT\\nBuildArch: noarch\\n"
     "Source0: numbers.txt\\n%%description\\nt\\n%%install\\nmkdir -p %%{buildroot}/opt/t\\n"
     "cp %%{SOURCE0} %%{buildroot}/opt/t/\\n%%files\\n/opt/t/numbers.txt\\n' > rpm/t.rpmbuild\n"
     "for p in xz gz; do rpmbuild --quiet -bb --define \"_topdir $PWD/rpm\" --define \"_binary_payload "
     "w9.${p}dio\" "
     "rpm/t.rpmbuild >/dev/null 2>&1; mv rpm/RPMS/noarch/*.rpm o/plain-$p.rpm; done"},
    // The shared samples, read where they lie; only their damaged copies are written here.
    {"samples", nullptr},
};

void PrintTo(const Family& family, std::ostream* os) { *os << family.name; }

// ---- Damage

size_t below(std::mt19937_64& rng, size_t bound) {
  return bound == 0 ? 0 : std::uniform_int_distribution<size_t>(0, bound - 1)(rng);
}

// Damages `bytes` in the way numbered `kind` (taken in turn, so that every kind occurs even in a
// short sweep) and says what it did.
std::string damage(std::string& bytes, uint64_t kind, std::mt19937_64& rng) {
  const size_t size = bytes.size();
  // Headers live in the first KiB of nearly every format here.
  const size_t head = std::min<size_t>(size, 1024);
  std::ostringstream what;
  auto flip = [&](size_t from, size_t to) {
    const size_t count = 1 + below(rng, 8);
    what << "flip " << count << " byte(s) at";
    for (size_t i = 0; i < count && to > from; ++i) {
      const size_t at = from + below(rng, to - from);
      bytes[at] = static_cast<char>(bytes[at] ^ static_cast<char>(1 + below(rng, 255)));
      what << ' ' << at;
    }
  };
  auto overwrite = [&](size_t at, const std::string& window) {
    if (at + window.size() > size) at = size >= window.size() ? size - window.size() : 0;
    bytes.replace(at, std::min(window.size(), size - at), window.substr(0, size - at));
    what << " at " << at;
  };
  if (size == 0) return "empty as made";
  switch (kind % 8) {
    case 0: {
      // Small offsets cut inside the first header, which readers trust most.
      const size_t at = below(rng, 2) ? below(rng, std::min<size_t>(size, 64)) : below(rng, size);
      bytes.resize(at);
      what << "truncate to " << at << " of " << size;
      break;
    }
    case 1:
      flip(0, head);
      what << " (header)";
      break;
    case 2:
      flip(size > 1024 ? 1024 : 0, size);
      what << " (data)";
      break;
    case 3:
      what << "4 bytes FF";
      overwrite(below(rng, head), std::string(4, '\xFF'));
      break;
    case 4:
      what << "8 bytes FF";
      overwrite(below(rng, size), std::string(8, '\xFF'));
      break;
    case 5: {
      // 0x7FFFFFFF and 0x80000000 in either byte order: the edges of signed 32-bit lengths.
      static const std::string kEdges[] = {
          std::string("\xFF\xFF\xFF\x7F", 4), std::string("\x00\x00\x00\x80", 4),
          std::string("\x7F\xFF\xFF\xFF", 4), std::string("\x80\x00\x00\x00", 4)};
      const std::string& edge = kEdges[below(rng, 4)];
      what << "32-bit edge value";
      overwrite(below(rng, std::min<size_t>(size, 512)), edge);
      break;
    }
    case 6: {
      const size_t from = below(rng, size);
      const size_t length = std::min(size - from, 1 + below(rng, 512));
      const size_t to = below(rng, size + 1);
      bytes.insert(to, bytes.substr(from, length));
      what << "copy " << length << " bytes from " << from << " to " << to;
      break;
    }
    default: {
      const size_t from = below(rng, size);
      const size_t length = std::min(size - from, 16 + below(rng, 497));
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(from), length, '\0');
      what << "zero " << length << " bytes at " << from;
      break;
    }
  }
  return what.str();
}

// ---- One preview in a child process

struct Outcome {
  bool hung = false;
  int signal = 0;
  int exitStatus = -1;
  std::string stderrText;
  std::vector<std::string> leftFolders;
  std::vector<std::string> leftProcesses;
  std::vector<std::string> sanitizerReports;
  double seconds = 0;
};

// Processes of group `group`, and children of this process (a child that left the group is
// reparented here, since this process is a subreaper).
std::vector<std::string> strayProcesses(pid_t group) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    const std::string stat = readFile(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) != 3) continue;
    if (pgrp == group || ppid == ::getpid())
      found.push_back(name + " " + stat.substr(stat.find('('), close - stat.find('(') + 1) + " " + state);
  }
  return found;
}

void reapAll() {
  int status = 0;
  while (::waitpid(-1, &status, WNOHANG) > 0) {
  }
}

// Folders made for the run, relative to it; anything else under tmp or home was left behind.
const char* const kRunFolders[] = {
    "tmp", "san", "home/.config", "home/.local/share", "home/.local/state", "home/.cache"};
// What a preview keeps on purpose: its page key and the record of the archives it showed.
const char* const kPreviewState[] = {"home/.config/tessaro/page-key",
                                     "home/.local/state/tessaro/previewed-archives"};
// The icons it has drawn, kept for the next preview; an entry still being written (a hidden name)
// was left behind.
constexpr std::string_view kIconCache = "home/.cache/tessaro/icons";

void listLeftovers(const fs::path& run, std::vector<std::string>& out) {
  std::vector<fs::path> expected;
  for (const char* folder : kRunFolders)
    for (fs::path p = run / folder; p != run; p = p.parent_path()) expected.push_back(p);
  for (const char* file : kPreviewState)
    for (fs::path p = run / file; p != run; p = p.parent_path()) expected.push_back(p);
  for (fs::path p = run / kIconCache; p != run; p = p.parent_path()) expected.push_back(p);
  const auto cachedIcon = [&](const fs::path& path) {
    return path.parent_path() == run / kIconCache && !path.filename().string().starts_with(".");
  };
  std::error_code ec;
  for (const char* root : {"tmp", "home"})
    for (auto it = fs::recursive_directory_iterator(run / root, fs::directory_options::none, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
      if (std::find(expected.begin(), expected.end(), it->path()) == expected.end() &&
          !cachedIcon(it->path()))
        out.push_back(it->path().string());
}

std::vector<std::pair<std::string, std::string>> childEnvironment(const fs::path& run) {
  static const char* const kReplaced[] = {"HOME=",         "TMPDIR=",        "XDG_",
                                          "ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS="};
  std::vector<std::pair<std::string, std::string>> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    if (entry.find('=') != std::string_view::npos &&
        std::none_of(std::begin(kReplaced), std::end(kReplaced),
                     [&](const char* prefix) { return entry.starts_with(prefix); }))
      env.emplace_back(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
  }
  const std::string home = (run / "home").string();
  // Reports go into files as well, so that a helper tool whose standard error the handler reads
  // cannot hide one.
  const std::string san = (run / "san").string();
  env.insert(env.end(), {{"HOME", home},
                         {"XDG_CONFIG_HOME", home + "/.config"},
                         {"XDG_DATA_HOME", home + "/.local/share"},
                         {"XDG_CACHE_HOME", home + "/.cache"},
                         {"XDG_STATE_HOME", home + "/.local/state"},
                         {"TMPDIR", (run / "tmp").string()},
                         {"ASAN_OPTIONS", "detect_leaks=1:log_path=" + san + "/asan"},
                         {"UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:log_path=" + san + "/ubsan"}});
  return env;
}

// Runs `program` on `archive` in its own process group, which goes whole at the time limit.
Outcome preview(const fs::path& archive, const fs::path& run, const char* program = TESSARO_QLHOST,
                std::chrono::seconds limit = kTimeLimit) {
  Outcome outcome;
  for (const char* folder : kRunFolders) fs::create_directories(run / folder);
  const fs::path errPath = run / "stderr.txt";
  const FileDescriptor err(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  std::atomic<bool> late = false;
  SubprocessOptions options;
  options.environment = childEnvironment(run);
  options.replaceEnvironment = true;
  options.standardError = err.get();
  options.cancelled = &late;
  const auto started = Clock::now();
  Subprocess process;
  if (!process.start({program, "-o", (run / "page.html").string(), "--", archive.string()}, options)) {
    outcome.stderrText = std::string("cannot start qlhost: ") + std::strerror(process.spawnError());
    return outcome;
  }
  std::jthread watchdog([&](std::stop_token stop) {
    std::mutex mutex;
    std::unique_lock lock(mutex);
    std::condition_variable_any().wait_for(lock, stop, limit, [] { return false; });
    late = !stop.stop_requested();
  });
  const SubprocessResult result = process.wait();
  outcome.hung = late;
  watchdog.request_stop();
  watchdog.join();
  outcome.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  outcome.signal = outcome.hung ? 0 : result.signal;
  outcome.exitStatus = outcome.hung ? -1 : result.exitStatus;
  const pid_t pid = process.pid();

  // A process that is still ending gets a moment before it counts as left behind.
  for (int i = 0; i < 50; ++i) {
    reapAll();
    if (strayProcesses(pid).empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  outcome.leftProcesses = strayProcesses(pid);
  if (!outcome.leftProcesses.empty()) {
    ::kill(-pid, SIGKILL);
    // Those that left the group are this process's children now; each line begins with the pid.
    for (const std::string& line : outcome.leftProcesses) ::kill(std::atoi(line.c_str()), SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    reapAll();
  }

  outcome.stderrText = readFile(errPath);
  for (const char* marker :
       {"ERROR: AddressSanitizer", "runtime error:", "LeakSanitizer", "ERROR: UndefinedBehaviorSanitizer"})
    if (outcome.stderrText.find(marker) != std::string::npos)
      outcome.sanitizerReports.push_back(errPath.string());
  std::error_code ec;
  for (const fs::directory_entry& report : fs::directory_iterator(run / "san", ec))
    outcome.sanitizerReports.push_back(readFile(report.path()));
  listLeftovers(run, outcome.leftFolders);
  return outcome;
}

// ---- The sweep

struct Tally {
  int tried = 0, crashes = 0, hangs = 0, folders = 0, processes = 0, sanitizer = 0;
  double slowest = 0;  // seconds, to see how close runs come to the limit
};

// A number from the environment, or `fallback` when it is not set or no plain number.
uint64_t environmentNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  char* end = nullptr;
  const uint64_t value = text && *text ? std::strtoull(text, &end, 10) : fallback;
  return end == nullptr || *end == '\0' ? value : fallback;
}

std::vector<fs::path> sampleFiles() {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const char* folder : {"dmg", "mac", "rar4", "tnef"})
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(TESSARO_FIXTURES_DIR) / folder, ec))
      if (entry.is_regular_file()) files.push_back(entry.path());
  // The first volume brings the others in; the set needs its volume names, so it is read from
  // a copy that lasts as long as the sweep.
  static const test::TempDir set;
  files.push_back(test::copyRar4VolumeSet(TESSARO_FIXTURES_DIR, set.path()));
  std::sort(files.begin(), files.end());
  return files;
}

class TortureTest : public ::testing::TestWithParam<Family> {
 protected:
  static void SetUpTestSuite() {
    // Grandchildren whose parent died come here, where the sweep can see and reap them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  }

  // Previews `file` and records every way it went wrong; `description` says how the file was
  // made, so that a failure can be replayed.
  void check(const fs::path& file, const std::string& description, Tally& tally) {
    const fs::path run = work_.path() / "run";
    std::error_code ec;
    fs::remove_all(run, ec);
    const Outcome outcome = preview(file, run);
    ++tally.tried;
    tally.slowest = std::max(tally.slowest, outcome.seconds);
    std::vector<std::string> faults;
    const auto fault = [&](int& count, bool found, const std::string& what) {
      if (!found) return;
      ++count;
      faults.push_back(what);
    };
    const auto first = [](const std::vector<std::string>& found) {
      return found.empty() ? std::string() : found.front().substr(0, 4000);
    };
    fault(tally.hangs, outcome.hung, "no end within the time limit");
    fault(tally.crashes,
          !outcome.hung && (outcome.signal != 0 || (outcome.exitStatus != 0 && outcome.exitStatus != 1)),
          "ended by signal " + std::to_string(outcome.signal) + ", exit status " +
              std::to_string(outcome.exitStatus));
    fault(tally.sanitizer, !outcome.sanitizerReports.empty(),
          "sanitizer report:\n" + first(outcome.sanitizerReports));
    fault(tally.folders, !outcome.leftFolders.empty(), "left behind: " + first(outcome.leftFolders));
    fault(tally.processes, !outcome.leftProcesses.empty(), "process left: " + first(outcome.leftProcesses));
    if (!faults.empty()) {
      std::string message = description + " (" + file.string() + ")";
      for (const std::string& found : faults) message += "\n  " + found;
      const std::string& err = outcome.stderrText;
      message += "\n  stderr: " + err.substr(err.size() > 2000 ? err.size() - 2000 : 0);
      ADD_FAILURE() << message;
      if (const char* keep = std::getenv("TESSARO_TORTURE_KEEP"); keep && *keep) {
        fs::create_directories(keep, ec);
        const fs::path copy = fs::path(keep) / (std::string(GetParam().name) + "-" +
                                                std::to_string(tally.tried) + "-" + file.filename().string());
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing, ec);
        std::ofstream(copy.string() + ".txt") << message << "\n";
      }
    }
    fs::remove_all(run, ec);
  }

  TempDir work_;
};

TEST_P(TortureTest, EveryDamagedArchiveEndsCleanly) {
  const Family& family = GetParam();
  std::vector<fs::path> originals;
  if (family.script) {
    shell(work_.path(), std::string(kTrees) + kTars + family.script);
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(work_.path() / "o", ec))
      if (entry.is_regular_file()) originals.push_back(entry.path());
    std::sort(originals.begin(), originals.end());
  } else {
    originals = sampleFiles();
  }
  // Every family makes at least two archives whose tools never refuse them.
  ASSERT_GE(originals.size(), 2u) << "a tool failed to write its archives";

  Tally tally;
  for (const fs::path& original : originals)
    check(original, original.filename().string() + " as made", tally);

  const uint64_t mutations = environmentNumber("TESSARO_TORTURE_MUTATIONS", kDefaultMutations);
  const uint64_t seed = environmentNumber("TESSARO_TORTURE_SEED", kDefaultSeed);
  std::mt19937_64 rng(seed ^ std::hash<std::string>{}(family.name));
  const fs::path damaged = work_.path() / "damaged";
  for (uint64_t i = 0; i < mutations; ++i) {
    const fs::path& original = originals[below(rng, originals.size())];
    std::string bytes = readFile(original);
    const std::string what = damage(bytes, i, rng);
    std::error_code ec;
    fs::remove_all(damaged, ec);
    fs::create_directories(damaged);
    const fs::path file = damaged / original.filename();
    std::ofstream(file, std::ios::binary) << bytes;
    check(file,
          original.filename().string() + ": " + what + " [seed " + std::to_string(seed) + ", mutation " +
              std::to_string(i) + "]",
          tally);
  }
  std::printf("torture-summary %s %d %d %d %d %d %d %.1f\n", family.name, tally.tried, tally.crashes,
              tally.hangs, tally.folders, tally.processes, tally.sanitizer, tally.slowest);
  std::fflush(stdout);
  EXPECT_TRUE(noChildrenLeft());
}

// The sweep is only as good as its checks: a stand-in for qlhost that commits each fault.
TEST(TortureHarnessTest, SeesEveryWayARunCanGoWrong) {
  TempDir dir;
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const fs::path faulty = dir.write("faulty.sh", R"sh(#!/bin/sh
mkdir "$TMPDIR/.TessaroTempFolder.x"
echo "==1==ERROR: AddressSanitizer: heap-buffer-overflow" >&2
setsid sleep 30 &
sleep 30 &
exit 0
)sh");
  fs::permissions(faulty, fs::perms::owner_all);
  Outcome outcome = preview(dir.path() / "none", dir.path() / "run", faulty.c_str());
  EXPECT_FALSE(outcome.hung);
  EXPECT_EQ(outcome.exitStatus, 0);
  EXPECT_EQ(outcome.leftFolders.size(), 1u);
  EXPECT_EQ(outcome.sanitizerReports.size(), 1u);
  // One sleep stayed in the group, the other left it and came to this process.
  EXPECT_EQ(outcome.leftProcesses.size(), 2u);
  EXPECT_TRUE(noChildrenLeft());

  const fs::path crashing = dir.write("crashing.sh", "#!/bin/sh\nkill -SEGV $$\n");
  fs::permissions(crashing, fs::perms::owner_all);
  outcome = preview(dir.path() / "none", dir.path() / "run2", crashing.c_str());
  EXPECT_EQ(outcome.signal, SIGSEGV);

  // The whole group goes at the limit, the helper the stand-in started included.
  const fs::path stuck = dir.write("stuck.sh", "#!/bin/sh\nsleep 30 &\nsleep 30\n");
  fs::permissions(stuck, fs::perms::owner_all);
  outcome = preview(dir.path() / "none", dir.path() / "run3", stuck.c_str(), std::chrono::seconds(1));
  EXPECT_TRUE(outcome.hung);
  EXPECT_LT(outcome.seconds, 5);
  EXPECT_TRUE(noChildrenLeft());
}

INSTANTIATE_TEST_SUITE_P(Formats, TortureTest, ::testing::ValuesIn(kFamilies),
                         [](const ::testing::TestParamInfo<Family>& param) {
                           return std::string(param.param.name == std::string("7z") ? "sevenzip"
                                                                                    : param.param.name);
                         });

}  // namespace
}  // namespace tessaro::test
