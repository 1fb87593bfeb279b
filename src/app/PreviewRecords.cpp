#include "PreviewRecords.h"

#include <fcntl.h>
#include <glib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "PathString.h"
#include "folders/UserFolders.h"
#include "io/FileIO.h"

namespace tessaro {

namespace {

constexpr size_t kKeySize = 32;
// A record file larger than this was not written by this code; only its first part is read.
constexpr size_t kMaxRecordBytes = size_t{4} << 20;

struct Record {
  std::string path;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t seconds = 0;
  int64_t nanoseconds = 0;

  bool sameFile(const Record& other) const {
    return device == other.device && inode == other.inode && size == other.size && seconds == other.seconds &&
           nanoseconds == other.nanoseconds;
  }
};

// $NAME when it is an absolute path, else HOME/fallback.
std::optional<std::filesystem::path> xdgFolder(const char* name, const char* fallback) {
  if (const char* value = std::getenv(name); value && value[0] == '/') return std::filesystem::path(value);
  const std::optional<std::filesystem::path> home = specialFolder(SpecialFolder::home);
  if (!home) return std::nullopt;
  return *home / fallback;
}

// FOLDER/tessaro, made private when it is made.
std::optional<std::string> ownFolder(const char* name, const char* fallback) {
  const std::optional<std::filesystem::path> base = xdgFolder(name, fallback);
  if (!base) return std::nullopt;
  std::error_code error;
  std::filesystem::create_directories(*base, error);
  const std::string folder = (*base / "tessaro").string();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  return folder;
}

// An open file that is this user's own regular file, readable by nobody else.
bool privateFile(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool readAll(int fd, std::string& out, size_t limit) {
  char buffer[8192];
  while (out.size() < limit) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  if (out.size() > limit) out.resize(limit);
  return true;
}

// ---- The record of previewed archives

// A path on one line: "%", control bytes and space as %XX.
std::string escapedPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f || c == '%') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<Record> recordOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return Record{path,
                static_cast<uint64_t>(st.st_dev),
                static_cast<uint64_t>(st.st_ino),
                static_cast<int64_t>(st.st_size),
                static_cast<int64_t>(st.st_mtim.tv_sec),
                static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// "DEVICE INODE SIZE SECONDS NANOSECONDS PATH" lines; lines that do not parse are dropped.
std::vector<Record> parsedRecords(const std::string& text) {
  std::vector<Record> records;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    Record record;
    std::string path;
    if (!(fields >> record.device >> record.inode >> record.size >> record.seconds >> record.nanoseconds >>
          path))
      continue;
    const std::optional<std::string> decoded = percentDecoded(path);
    if (!decoded || decoded->empty() || decoded->front() != '/') continue;
    record.path = *decoded;
    records.push_back(std::move(record));
  }
  return records;
}

std::string recordText(const std::vector<Record>& records) {
  std::string text;
  for (const Record& r : records) {
    text += std::to_string(r.device) + ' ' + std::to_string(r.inode) + ' ' + std::to_string(r.size) + ' ' +
            std::to_string(r.seconds) + ' ' + std::to_string(r.nanoseconds) + ' ' + escapedPath(r.path) +
            '\n';
  }
  return text;
}

// The record file, open and locked (shared for reading, exclusive for writing); -1 when it
// cannot be, or is not this user's private file.
int openRecords(bool writing) {
  const std::optional<std::string> folder = ownFolder("XDG_STATE_HOME", ".local/state");
  if (!folder) return -1;
  const std::string path = *folder + "/previewed-archives";
  const int fd = ::open(path.c_str(), (writing ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (!privateFile(fd) || ::flock(fd, writing ? LOCK_EX : LOCK_SH) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// ---- The page key

std::optional<std::string> readKey(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string key;
  const bool read = privateFile(fd) && readAll(fd, key, kKeySize + 1);
  ::close(fd);
  if (!read || key.size() != kKeySize) return std::nullopt;
  return key;
}

// The key, made when there is none. It is written whole into a file of its own and linked to its
// name, so that a program reading it at the same time never sees half a key, and of two programs
// making one at once both use the one that was linked first.
std::optional<std::string> pageKey() {
  const std::optional<std::string> folder = ownFolder("XDG_CONFIG_HOME", ".config");
  if (!folder) return std::nullopt;
  const std::string path = *folder + "/page-key";
  if (std::optional<std::string> key = readKey(path)) return key;
  // A key others may read signs nothing: it is replaced.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && ::unlink(path.c_str()) != 0) return std::nullopt;

  unsigned char bytes[kKeySize];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return std::nullopt;
  std::string temporary = *folder + "/.page-key-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return std::nullopt;
  const bool written =
      writeAll(fd, std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes)) == 0 &&
      ::fsync(fd) == 0;
  ::close(fd);
  OPENSSL_cleanse(bytes, sizeof bytes);
  if (written) (void)::link(temporary.c_str(), path.c_str());
  ::unlink(temporary.c_str());
  return readKey(path);
}

std::optional<std::string> tokenWithKey(const std::string& key, std::string_view archive,
                                        std::string_view time) {
  // The zero byte cannot occur in a path, so no other pair of path and time signs the same text.
  std::string message(archive);
  message += '\0';
  message += time;
  // GLib's HMAC rather than OpenSSL's: the page is signed once per preview, and OpenSSL's first
  // digest (configuration, providers) costs more than the rest of a small preview's signing.
  GHmac* hmac = g_hmac_new(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key.data()), key.size());
  if (!hmac) return std::nullopt;
  g_hmac_update(hmac, reinterpret_cast<const guchar*>(message.data()), static_cast<gssize>(message.size()));
  const gchar* hex = g_hmac_get_string(hmac);  // lowercase hexadecimal, owned by hmac
  std::string token = hex ? hex : "";
  g_hmac_unref(hmac);
  if (token.empty()) return std::nullopt;
  return token;
}

}  // namespace

bool recordPreview(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  const std::optional<Record> record = recordOf(path);
  if (!record) return false;
  const int fd = openRecords(true);
  if (fd < 0) return false;
  std::string text;
  bool ok = readAll(fd, text, kMaxRecordBytes);
  std::vector<Record> records = parsedRecords(text);
  std::erase_if(records, [&](const Record& r) { return r.path == path; });
  records.push_back(*record);
  if (records.size() > kMaxPreviewRecords)
    records.erase(records.begin(), records.end() - static_cast<std::ptrdiff_t>(kMaxPreviewRecords));
  // Rewritten in place under the lock: a reader waits for the whole text.
  ok = ok && ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0 &&
       writeAll(fd, recordText(records)) == 0;
  ::close(fd);
  return ok;
}

PreviewedState previewedState(const std::string& path) {
  const std::optional<Record> now = recordOf(path);
  if (!now) return PreviewedState::unreadable;
  const int fd = openRecords(false);
  if (fd < 0) return errno == ENOENT ? PreviewedState::unknown : PreviewedState::unreadable;
  std::string text;
  const bool read = readAll(fd, text, kMaxRecordBytes);
  ::close(fd);
  if (!read) return PreviewedState::unreadable;
  PreviewedState state = PreviewedState::unknown;
  for (const Record& r : parsedRecords(text)) {
    if (r.path != path) continue;
    state = r.sameFile(*now) ? PreviewedState::previewed : PreviewedState::changed;
  }
  return state;
}

std::optional<std::string> pageToken(std::string_view archive, std::string_view time) {
  std::optional<std::string> key = pageKey();
  if (!key) return std::nullopt;
  std::optional<std::string> token = tokenWithKey(*key, archive, time);
  OPENSSL_cleanse(key->data(), key->size());
  return token;
}

bool validPageToken(std::string_view archive, std::string_view time, std::string_view token) {
  if (archive.empty() || time.empty() || token.size() != 2 * 32) return false;
  const std::optional<std::string> expected = pageToken(archive, time);
  return expected && expected->size() == token.size() &&
         CRYPTO_memcmp(expected->data(), token.data(), token.size()) == 0;
}

}  // namespace tessaro
