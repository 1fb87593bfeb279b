#include "helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <system_error>
#include <unordered_set>

#include "AZipItem.h"
#include "PathString.h"
#include "alert/AlertPanel.h"
#include "bundle/Bundle.h"
#include "defaults/UserDefaults.h"
#include "locale/LocaleFormat.h"
#include "log/SystemLog.h"

namespace tessaro {

// The definition forwards a caller's format, which the compiler can only check at the caller.
void HLVLogV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

namespace {

// Runs `body` and answers `fallback` if it throws: none of these functions lets an exception out.
template <typename R, typename F>
R guarded(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

UserDefaults& defaults() { return UserDefaults::standard(); }

bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t addSaturating(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) return std::numeric_limits<int64_t>::max();
  return a + b;
}

// Names in a folder other than "." and "..", sorted so that walks are reproducible.
std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  try {
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name);
    }
  } catch (...) {
    closedir(dir);
    throw;
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Up to `limit` bytes of a small system file, or none when it cannot be opened.
std::optional<std::string> readSmallFile(const char* path, size_t limit) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buffer[4096];
  while (data.size() < limit) {
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - data.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return data;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }


std::string replacingChars(std::string_view text, std::string_view chars, std::string_view (*with)(char)) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (chars.find(c) != std::string_view::npos)
      out += with(c);
    else
      out += c;
  }
  return out;
}

// "1234567" becomes "1,234,567".
std::string groupedDecimal(int64_t value) {
  std::string digits = std::to_string(value);
  size_t start = digits[0] == '-' ? 1 : 0;
  for (size_t pos = digits.size(); pos > start + 3;) {
    pos -= 3;
    digits.insert(pos, 1, ',');
  }
  return digits;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Listings are mostly ASCII: eight bytes at a time while no high bit is set.
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (size_t i = 2; i < length; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += length;
  }
  return true;
}

std::string utf8FromLatin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

std::optional<std::string> decodeUTF8(std::string_view bytes) {
  if (!isValidUTF8(bytes)) return std::nullopt;
  return std::string(bytes);
}

// Every byte is a Latin-1 character, so this reading always succeeds.
std::optional<std::string> decodeLatin1(std::string_view bytes) { return utf8FromLatin1(bytes); }

std::optional<std::string> decodeASCII(std::string_view bytes) {
  for (char c : bytes)
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  return std::string(bytes);
}

// Size of `root` itself (a symbolic link counts as itself) plus everything below it when it is
// a folder; folders add only their contents. Iterative, so deep trees cannot exhaust the stack.
int64_t treeSize(std::string root) {
  int64_t total = 0;
  std::vector<std::string> pending;
  pending.push_back(std::move(root));
  while (!pending.empty()) {
    std::string path = std::move(pending.back());
    pending.pop_back();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      total = addSaturating(total, static_cast<int64_t>(st.st_size));
      continue;
    }
    for (std::string& name : folderEntries(path)) pending.push_back(appendingPathComponent(path, name));
  }
  return total;
}

// The path without repeated or trailing slashes ("/" stays "/").
std::string normalizedPath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

struct PathComponents {
  bool absolute = false;
  std::vector<std::string_view> parts;
};

PathComponents splitPath(std::string_view path) {
  PathComponents result;
  result.absolute = !path.empty() && path.front() == '/';
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > pos) result.parts.push_back(path.substr(pos, slash - pos));
    pos = slash + 1;
  }
  return result;
}

// rename(2) that refuses to replace an existing entry; errno is EEXIST when it did.
bool moveWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  // Some file systems lack RENAME_NOREPLACE; check, then rename (a narrow race, as before it existed).
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (pathExists(to)) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};
struct GObjectDeleter {
  void operator()(void* p) const { g_object_unref(p); }
};
struct GErrorDeleter {
  void operator()(GError* e) const { g_error_free(e); }
};
using GChars = std::unique_ptr<gchar, GFreeDeleter>;
using GAppInfoPtr = std::unique_ptr<GAppInfo, GObjectDeleter>;

// A desktop file id ("org.gnome.eog.desktop", the suffix optional) or else a command to run.
GAppInfoPtr appInfoNamed(const std::string& name) {
  std::string id = hasSuffix(name, ".desktop") ? name : name + ".desktop";
  GAppInfoPtr found;
  GList* all = g_app_info_get_all();
  for (GList* it = all; it; it = it->next) {
    auto* info = static_cast<GAppInfo*>(it->data);
    const char* infoId = g_app_info_get_id(info);
    if (!found && infoId && id == infoId) found.reset(G_APP_INFO(g_object_ref(info)));
  }
  g_list_free_full(all, g_object_unref);
  if (found) return found;
  // GIO starts programs through a launcher, so a missing one would only fail unseen in the child.
  GChars program(g_find_program_in_path(name.c_str()));
  if (!program) return nullptr;
  GChars quoted(g_shell_quote(program.get()));
  return GAppInfoPtr(g_app_info_create_from_commandline(quoted.get(), nullptr, G_APP_INFO_CREATE_NONE, nullptr));
}

int priorityForLevel(int level) {
  if (level >= kLogError) return LOG_ERR;
  if (level == kLogNotice) return LOG_NOTICE;
  return LOG_DEBUG;
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

// ---- Text forms

std::string formatSize(int64_t size) {
  return guarded(std::string{}, [&] {
    // The thresholds and quotients are single precision on purpose: 99,999,999 reads as
    // 100,000,000 and so shows as "100 MB". Every unit below is exact in a float.
    const float s = static_cast<float>(size);
    const float k = defaults().boolForKey("HLVSizeBase1024") ? 1024.0f : 1000.0f;
    const float m = k * k;
    const float g = m * k;
    char text[64];
    if (s >= 10.0f * g)
      std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(s / g));
    else if (s >= g)
      std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(s / g));
    else if (s >= 100.0f * m)
      std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(s / m));
    else if (s >= m)
      std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(s / m));
    else if (s > k)
      std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(s / k));
    else
      std::snprintf(text, sizeof text, "%.0f B", static_cast<double>(s));
    return std::string(text);
  });
}

std::string formatSizeWithBytes(int64_t size, bool appendBytes) {
  return guarded(std::string{}, [&] {
    const bool base1024 = defaults().boolForKey("HLVSizeBase1024");
    std::string text = formatByteCount(size, base1024);
    // Like the platform's formatter, the exact count is added only when the text does not show it
    // already, which it does for zero ("Zero KB") and for counts below one unit ("12 bytes").
    const uint64_t magnitude = size < 0 ? 0 - static_cast<uint64_t>(size) : static_cast<uint64_t>(size);
    if (appendBytes && magnitude >= (base1024 ? 1024u : 1000u)) text += " (" + groupedDecimal(size) + " bytes)";
    return text;
  });
}

std::string formatDate(std::optional<Date> date) {
  if (!date) return {};
  return guarded(std::string{}, [&] { return formatShortDateTime(*date); });
}

std::string posixPermissionsString(uint32_t bits) {
  static constexpr const char* kTriples[8] = {"---", "--x", "-w-", "-wx", "r--", "r-x", "rw-", "rwx"};
  return guarded(std::string{}, [&] {
    std::string text;
    for (int shift : {6, 3, 0}) text += kTriples[(bits >> shift) & 7];
    return text;
  });
}

int32_t parsePosixPermissionsString(std::string_view text) {
  static constexpr std::array<std::string_view, 8> kTriples = {"---", "--x", "-w-", "-wx",
                                                               "r--", "r-x", "rw-", "rwx"};
  char triple[3];
  int32_t result = 0;
  for (size_t start : {1, 4, 7}) {
    if (text.size() < start + 3) continue;
    for (size_t i = 0; i < 3; ++i) {
      char c = text[start + i];
      // Set-id and sticky markers stand on the execute position: lower case with the bit, upper without.
      if (c == 's' || c == 't') c = 'x';
      if (c == 'S' || c == 'T') c = '-';
      triple[i] = c;
    }
    auto match = std::find(kTriples.begin(), kTriples.end(), std::string_view(triple, 3));
    if (match != kTriples.end()) result = result * 8 + static_cast<int32_t>(match - kTriples.begin());
  }
  return result;
}

// ---- Temporary and special folders

std::string userTempPath() {
  return guarded(std::string("/tmp"), [&] {
    if (auto preference = defaults().stringForKey("HLVTempFolderPath");
        preference && !preference->empty() && !containsNul(*preference)) {
      std::string path = expandTilde(*preference);
      if (isFolder(path)) return path;
    }
    return temporaryDirectory().string();
  });
}

std::string notReadableAsArchive(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  return S_ISREG(st.st_mode) ? std::string() : std::string("not a regular file");
}

std::optional<std::string> createTempFolderInside(std::string_view base, bool useNamePreference) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    if (base.empty()) return std::nullopt;
    std::string name = ".TessaroTempFolder";
    bool valid = !containsNul(base);
    if (useNamePreference) {
      auto preference = defaults().stringForKey("HLVTempFolderName");
      // A name with a "/" would place the folder outside `base`, so it counts as invalid;
      // with no name at all the default one serves.
      if (preference && !preference->empty()) {
        valid = valid && !containsNul(*preference) && preference->find('/') == std::string::npos;
        name = *preference;
      }
    }
    if (!valid) {
      HLVLog(kLogError, "The temporary folder set in the preferences is invalid.");
      return std::nullopt;
    }
    std::string path = expandTilde(appendingPathComponent(base, name + ".XXXXXX"));
    if (!mkdtemp(path.data())) return std::nullopt;
    return path;
  });
}

std::string userTrashPath() {
  return guarded(std::string{}, [] { return trashDirectory().string(); });
}

std::optional<std::string> specialFolderPath(SpecialFolder kind) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    auto folder = specialFolder(kind);
    if (!folder) return std::nullopt;
    return folder->string();
  });
}

// ---- Names and quoting

std::optional<std::string> findFreeName(std::string_view folder, std::string_view name) {
  if (folder.empty() || name.empty()) return std::nullopt;
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    HLVLog(kLogTrace, "findFreeName (%.*s, %.*s)", static_cast<int>(folder.size()), folder.data(),
           static_cast<int>(name.size()), name.data());
    std::string candidate = expandTilde(appendingPathComponent(folder, name));
    std::string extension(pathExtension(candidate));
    if (extension.empty()) {
      if (!pathExists(candidate)) return candidate;
      for (int i = 1; i < INT_MAX; ++i) {
        std::string numbered = candidate + " " + std::to_string(i);
        if (!pathExists(numbered)) return numbered;
      }
      return std::nullopt;
    }
    std::string stem(deletingPathExtension(candidate));
    for (int i = 0; i < INT_MAX; ++i) {
      std::string numbered = appendingPathExtension(i == 0 ? stem : stem + " " + std::to_string(i), extension);
      if (!pathExists(numbered)) return numbered;
    }
    return std::nullopt;
  });
}

std::string sanitizeFilename(std::string_view text) {
  return guarded(std::string{}, [&] {
    return replacingChars(text, "&<>\":/", [](char) { return std::string_view("_"); });
  });
}

std::string convertToXMLEntities(std::string_view text) {
  return guarded(std::string{}, [&] {
    return replacingChars(text, "&<>\"'", [](char c) -> std::string_view {
      switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        default: return "&apos;";
      }
    });
  });
}

std::string quoteString(std::string_view text) {
  return guarded(std::string{}, [&] { return "\"" + std::string(text) + "\""; });
}

std::string escapeQuotes(std::string_view text) {
  return guarded(std::string{}, [&] {
    return replacingChars(text, "\\$\"", [](char c) -> std::string_view {
      switch (c) {
        case '\\': return "\\\\";
        case '$': return "\\$";
        default: return "\\\"";
      }
    });
  });
}

std::string endSlashesDoubledFromString(std::string_view text) {
  return guarded(std::string{}, [&] {
    size_t keep = text.find_last_not_of('\\');
    size_t run = keep == std::string_view::npos ? text.size() : text.size() - keep - 1;
    return std::string(text) + std::string(run, '\\');
  });
}

std::string quotedFromString(std::string_view text) {
  return guarded(std::string{}, [&] {
    std::string joined;
    size_t pos = 0;
    while (true) {
      size_t quote = text.find('"', pos);
      joined += endSlashesDoubledFromString(text.substr(pos, quote == std::string_view::npos ? quote : quote - pos));
      if (quote == std::string_view::npos) break;
      joined += "\\\"";
      pos = quote + 1;
    }
    if (std::any_of(text.begin(), text.end(), isWhiteSpace)) return "\"" + joined + "\"";
    return joined;
  });
}

std::string quotedForShell(std::string_view text) {
  return guarded(std::string{}, [&] {
    return "\"" +
           replacingChars(text, "\"\\$`", [](char c) -> std::string_view {
             switch (c) {
               case '"': return "\\\"";
               case '\\': return "\\\\";
               case '$': return "\\$";
               default: return "\\`";
             }
           }) +
           "\"";
  });
}

std::string arrayToString(const std::vector<std::string>& texts, std::string_view separator, bool quote) {
  return guarded(std::string{}, [&] {
    std::string joined;
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) joined += separator;
      joined += quote ? quotedForShell(texts[i]) : texts[i];
    }
    return joined;
  });
}

bool stringArrayContainsString(const std::vector<std::string>& paths, std::string_view path) {
  return std::any_of(paths.begin(), paths.end(), [&](const std::string& element) {
    return element == path || (!element.empty() && element.back() == '/' && path.starts_with(element));
  });
}

void replaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  if (placeholder.empty()) return;
  size_t pos = text.find(placeholder);
  if (pos == std::string::npos) return;
  // One pass into a new text: a page of a million characters with many occurrences is not
  // shifted once per occurrence.
  std::string result;
  result.reserve(text.size() + value.size());
  size_t start = 0;
  while (pos != std::string::npos) {
    result.append(text, start, pos - start);
    result.append(value);
    start = pos + placeholder.size();
    pos = text.find(placeholder, start);
  }
  result.append(text, start);
  text.swap(result);
}

void replaceWithLocalizedString(const Bundle& bundle, std::string& text, std::string_view key) {
  // An empty key would make "%%" the placeholder, which templates use as a literal.
  if (key.empty()) return;
  try {
    std::string placeholder = "%" + std::string(key) + "%";
    if (text.find(placeholder) == std::string::npos) return;
    replaceAll(text, placeholder, bundle.localizedString(key));
  } catch (...) {
    // Swallowed: the placeholder stays in the page, which is still shown.
    HLVLog(kLogError, "Localising a placeholder failed");
  }
}

// ---- Tool output and diagnostics

std::optional<std::string> decodeString(std::string_view bytes, uint64_t* encoding) {
  using Decoder = std::optional<std::string> (*)(std::string_view);
  static constexpr std::pair<uint64_t, Decoder> kAttempts[] = {
      {kUTF8StringEncoding, decodeUTF8},
      {kISOLatin1StringEncoding, decodeLatin1},
      {kASCIIStringEncoding, decodeASCII},
  };
  for (const auto& [tried, decode] : kAttempts) {
    if (encoding) *encoding = tried;
    // Captured by value: clang before 16 cannot capture a structured binding.
    if (auto text = guarded(std::optional<std::string>{}, [decoder = decode, bytes] { return decoder(bytes); }))
      return text;
  }
  return std::nullopt;
}

namespace {

// The switches whose value is a password: glued ("-pX"), or, for the first three, also given as
// the next argument.
constexpr std::string_view kPasswordSwitches[] = {"--password", "-password", "-p", "-hp"};

// The length of the password switch that `word` begins with, and whether its value is glued to
// it; none when the word is no password switch. "-p-" (no password) and a bare "-" stay.
std::optional<std::pair<size_t, bool>> passwordSwitch(std::string_view word) {
  for (const std::string_view name : kPasswordSwitches) {
    if (!word.starts_with(name)) continue;
    std::string_view rest = word.substr(name.size());
    if (rest.empty()) return std::pair{name.size(), false};
    if (rest.front() == '=') return std::pair{name.size() + 1, true};
    if (rest == "-" || name.starts_with("--") || name == "-password") return std::nullopt;
    return std::pair{name.size(), true};
  }
  return std::nullopt;
}

}  // namespace

std::string redactedArguments(const std::vector<std::string>& arguments) {
  std::string text = "(";
  bool valueNext = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += ", ";
    const std::string& argument = arguments[i];
    if (valueNext) {
      text += "***";
      valueNext = false;
      continue;
    }
    const auto found = passwordSwitch(argument);
    if (found && found->second) {
      text.append(argument, 0, found->first);
      text += "***";
    } else {
      text += argument;
      valueNext = found.has_value();
    }
  }
  return text + ")";
}

std::string redactedCommandLine(std::string_view command) {
  std::string out;
  bool valueNext = false;
  size_t pos = 0;
  while (pos < command.size()) {
    if (command[pos] == ' ' || command[pos] == '\t' || command[pos] == '\n') {
      out += command[pos++];
      continue;
    }
    // One shell word, its quotes and escapes included.
    const size_t start = pos;
    while (pos < command.size() && command[pos] != ' ' && command[pos] != '\t' && command[pos] != '\n') {
      const char c = command[pos];
      if (c == '\\') {
        pos += 2;
      } else if (c == '\'') {
        const size_t close = command.find('\'', pos + 1);
        pos = close == std::string_view::npos ? command.size() : close + 1;
      } else if (c == '"') {
        // Inside double quotes a backslash still escapes the next character.
        ++pos;
        while (pos < command.size() && command[pos] != '"') pos += command[pos] == '\\' ? 2 : 1;
        ++pos;
      } else {
        ++pos;
      }
    }
    pos = std::min(pos, command.size());
    const std::string_view word = command.substr(start, pos - start);
    if (valueNext) {
      out += "***";
      valueNext = false;
      continue;
    }
    // A quoted switch ("-pX" in quotes) counts too.
    const size_t quote = !word.empty() && (word[0] == '"' || word[0] == '\'') ? 1 : 0;
    const auto found = passwordSwitch(word.substr(quote));
    if (found && found->second) {
      out.append(word.substr(0, quote + found->first));
      out += "***";
    } else {
      out.append(word);
      valueNext = found.has_value();
    }
  }
  return out;
}

void HLVLog(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  HLVLogV(level, format, args);
  va_end(args);
}

void HLVLogV(int level, const char* format, va_list args) {
  if (!format) return;
  try {
    if (level < defaults().integerForKey("HLVDebugLevel")) return;
    char buffer[512];
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(buffer, sizeof buffer, format, measure);
    va_end(measure);
    if (length < 0) return;
    if (static_cast<size_t>(length) < sizeof buffer) {
      systemLog(priorityForLevel(level), std::string_view(buffer, static_cast<size_t>(length)));
      return;
    }
    std::string message(static_cast<size_t>(length), '\0');
    std::vsnprintf(message.data(), message.size() + 1, format, args);
    systemLog(priorityForLevel(level), message);
  } catch (...) {
    // Swallowed: logging has nowhere to report its own failure.
  }
}

int HLVRunAlertPanel(std::string_view title, std::string_view message, std::string_view defaultButton,
                     std::string_view alternateButton, std::string_view otherButton) {
  return guarded(kAlertDefaultReturn,
                 [&] { return runAlertPanel(title, message, defaultButton, alternateButton, otherButton); });
}

bool checkSpace(int64_t needed, std::string_view path) {
  return guarded(false, [&] {
    if (needed <= 0 || containsNul(path)) return false;
    struct statvfs fs;
    if (statvfs(std::string(path).c_str(), &fs) != 0) return false;
    // f_bavail counts fragments of f_frsize bytes (f_bsize is only the preferred I/O size).
    const uint64_t unit = fs.f_frsize ? fs.f_frsize : fs.f_bsize;
    const auto want = static_cast<uint64_t>(needed);
    if (unit == 0 || fs.f_bavail >= want / unit + 1 || fs.f_bavail * unit >= want) return false;
    return HLVRunAlertPanel("Warning", "There is not enough free space on the destination drive.", "Stop",
                            "Ignore and go on", "") == kAlertDefaultReturn;
  });
}

// ---- Sizes of files and sets

int64_t filesizeFromArray(std::string_view folder, const std::vector<std::string>* names) {
  return guarded(int64_t{0}, [&] {
    if (!names) return treeSize(std::string(folder));
    int64_t total = 0;
    for (const std::string& name : *names)
      if (!name.empty()) total = addSaturating(total, treeSize(appendingPathComponent(folder, name)));
    return total;
  });
}

int64_t calculateSizeOfFiles(const std::vector<std::string>& paths) {
  return guarded(int64_t{0}, [&] {
    int64_t total = 0;
    for (const std::string& path : paths)
      if (!path.empty()) total = addSaturating(total, treeSize(path));
    return total;
  });
}

std::vector<std::string> reducePaths(const std::vector<std::string>& paths) {
  return guarded(std::vector<std::string>{}, [&] {
    std::vector<std::string> result;
    std::unordered_set<std::string> kept;
    for (const std::string& path : paths) {
      std::string normal = normalizedPath(path);
      bool inside = false;
      // A path equal to a kept one counts as inside it; otherwise look at every folder above it.
      for (std::string_view folder = normal; !folder.empty();) {
        if (kept.count(std::string(folder))) {
          inside = true;
          break;
        }
        std::string_view up = deletingLastPathComponent(folder);
        if (up.size() >= folder.size()) break;
        folder = up;
      }
      if (inside) continue;
      kept.insert(std::move(normal));
      result.push_back(path);
    }
    return result;
  });
}

std::vector<std::shared_ptr<AZipItem>> reduceItems(const std::vector<std::shared_ptr<AZipItem>>& items) {
  using List = std::vector<std::shared_ptr<AZipItem>>;
  return guarded(List{}, [&] {
    // Far deeper than any real tree; only stops a parent cycle that a faulty caller made.
    constexpr int kMaxDepth = 1 << 20;
    List result;
    std::unordered_set<const AZipItem*> kept;
    for (const auto& item : items) {
      if (!item) continue;
      bool inside = kept.count(item.get()) > 0;
      auto ancestor = item->parent();
      for (int depth = 0; !inside && ancestor && depth < kMaxDepth; ++depth) {
        inside = kept.count(ancestor.get()) > 0;
        ancestor = ancestor->parent();
      }
      if (inside) continue;
      kept.insert(item.get());
      result.push_back(item);
    }
    return result;
  });
}

bool compareFirstBytes(std::string_view path, std::string_view text, size_t count) {
  return guarded(false, [&] {
    // One byte past the text decides whether the file's text goes on beyond it.
    std::string head;
    size_t want = std::min(count, text.size() + 1);
    if (!containsNul(path)) {
      // Non-blocking, so that a FIFO cannot stall the open; only regular files are read.
      int fd = open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      struct stat st;
      if (fd >= 0) {
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
          head.resize(want);
          size_t got = 0;
          while (got < want) {
            ssize_t n = read(fd, head.data() + got, want - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
          }
          head.resize(got);
        }
        close(fd);
      }
    }
    head.resize(std::min(head.size(), head.find('\0')));
    return head == text;
  });
}

std::optional<std::string> commonParent(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (!a) return b;
  if (!b) return a;
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    PathComponents first = splitPath(*a), second = splitPath(*b);
    if (first.absolute != second.absolute) return "/";
    size_t shared = 0;
    while (shared < first.parts.size() && shared < second.parts.size() &&
           first.parts[shared] == second.parts[shared])
      ++shared;
    std::string parent = first.absolute ? "/" : "";
    for (size_t i = 0; i < shared; ++i) parent = appendingPathComponent(parent, first.parts[i]);
    return parent.empty() ? "/" : parent;
  });
}

// ---- Mac metadata and the desktop

// Linux file systems keep no "._" companions to merge: extracted ones stay ordinary files.
void fixupResourceForks(std::string_view) {}

// No entry carries resource forks or Finder information here, so there is nothing to split out.
void splitForksX(std::string_view, std::string_view) {}

// There is no Finder information on Linux file systems to copy.
bool cloneFinderInfo(std::string_view, std::string_view) { return true; }

// Custom icons are a Finder flag that Linux file systems do not have.
bool FSSetHasCustomIcon(std::string_view) { return true; }

void mergeFolders(std::string_view source, std::string_view destination) {
  try {
    // Iterative, so that a deep tree cannot exhaust the stack.
    std::vector<std::pair<std::string, std::string>> pending;
    pending.emplace_back(source, destination);
    while (!pending.empty()) {
      auto [from, to] = std::move(pending.back());
      pending.pop_back();
      for (const std::string& name : folderEntries(from)) {
        std::string sourceEntry = appendingPathComponent(from, name);
        std::string target = appendingPathComponent(to, name);
        if (moveWithoutReplacing(sourceEntry, target)) continue;
        if (errno == EEXIST || errno == ENOTEMPTY) {
          struct stat s, d;
          if (lstat(sourceEntry.c_str(), &s) == 0 && lstat(target.c_str(), &d) == 0 && S_ISDIR(s.st_mode) &&
              S_ISDIR(d.st_mode)) {
            pending.emplace_back(std::move(sourceEntry), std::move(target));
          } else {
            HLVLog(kLogError, "Error when moving %s to %s: File exists", sourceEntry.c_str(), target.c_str());
          }
        } else {
          HLVLog(kLogError, "Error when moving %s to %s: General error", sourceEntry.c_str(), target.c_str());
        }
      }
    }
  } catch (...) {
    // Swallowed: what was moved stays moved; the rest stays where it was.
    HLVLog(kLogError, "Moving the contents failed");
  }
}

std::string getVolumeName(std::string_view path) {
  return guarded(std::string{}, [&] {
    if (path.empty() || containsNul(path)) return std::string{};
    // A path that does not exist yet lies on the volume of its nearest existing folder.
    std::string current;
    for (std::string probe(path); !probe.empty();) {
      if (char* real = realpath(probe.c_str(), nullptr)) {
        current = real;
        free(real);
        break;
      }
      std::string up(deletingLastPathComponent(probe));
      if (up.size() >= probe.size()) break;
      probe = std::move(up);
    }
    struct stat st;
    if (current.empty() || stat(current.c_str(), &st) != 0) return std::string{};
    while (current != "/") {
      std::string up(deletingLastPathComponent(current));
      if (up.empty()) up = "/";
      struct stat upper;
      if (stat(up.c_str(), &upper) != 0 || upper.st_dev != st.st_dev) break;
      current = std::move(up);
    }
    return current == "/" ? current : std::string(lastPathComponent(current));
  });
}

std::optional<std::string> fullPathOfAppForType(std::string_view extension) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    if (extension.empty() || containsNul(extension)) return std::nullopt;
    // GIO decides by the name alone, so no file needs to exist for the question.
    std::string name = "file." + std::string(extension);
    GChars type(g_content_type_guess(name.c_str(), nullptr, 0, nullptr));
    if (!type || g_content_type_is_unknown(type.get())) return std::nullopt;
    GAppInfoPtr app(g_app_info_get_default_for_type(type.get(), FALSE));
    if (!app) return std::nullopt;
    const char* executable = g_app_info_get_executable(app.get());
    if (!executable || !*executable) return std::nullopt;
    if (executable[0] == '/') return std::string(executable);
    GChars full(g_find_program_in_path(executable));
    if (!full) return std::nullopt;
    return std::string(full.get());
  });
}

bool openFileWithFinder(std::string_view path) {
  return guarded(false, [&] {
    if (path.empty() || containsNul(path)) return false;
    std::string file(path);
    auto app = defaults().stringForKey("HLVViewingApplication");
    if (app && (app->empty() || containsNul(*app))) app.reset();
    HLVLog(kLogTrace, "openFileWithFinder: app = %s, path = %s", app ? app->c_str() : "(null)", file.c_str());
    std::unique_ptr<GFile, GObjectDeleter> location(g_file_new_for_path(file.c_str()));
    GError* rawError = nullptr;
    bool launched = false;
    if (app) {
      if (GAppInfoPtr info = appInfoNamed(*app)) {
        GList files = {location.get(), nullptr, nullptr};
        launched = g_app_info_launch(info.get(), &files, nullptr, &rawError);
      }
    } else {
      GChars uri(g_file_get_uri(location.get()));
      launched = g_app_info_launch_default_for_uri(uri.get(), nullptr, &rawError);
    }
    std::unique_ptr<GError, GErrorDeleter> error(rawError);
    if (!launched)
      HLVLog(kLogError, "openFileWithFinder: cannot open %s: %s", file.c_str(),
             error ? error->message : "no such application");
    return launched;
  });
}

std::optional<std::string> displayNameForAppHandlingType(std::string_view contentType) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    std::string type(contentType);
    GAppInfoPtr app;
    if (!type.empty() && !containsNul(type)) app.reset(g_app_info_get_default_for_type(type.c_str(), FALSE));
    const char* name = app ? g_app_info_get_display_name(app.get()) : nullptr;
    if (!name) {
      // -1: GIO gives no reason, only the absence of a handler.
      HLVLog(kLogNotice, "Error getting handler for file type %s: %d", type.c_str(), -1);
      return std::nullopt;
    }
    return std::string(name);
  });
}

std::optional<std::string> getPrimaryMACAddress() {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    auto isInterfaceName = [](std::string_view name) {
      return !name.empty() && name.size() < 16 && name != "." && name != ".." &&
             name.find('/') == std::string_view::npos && !containsNul(name);
    };
    auto addressOf = [&](std::string_view interface) -> std::optional<std::string> {
      if (!isInterfaceName(interface)) return std::nullopt;
      std::string file = "/sys/class/net/" + std::string(interface) + "/address";
      auto text = readSmallFile(file.c_str(), 256);
      if (!text) return std::nullopt;
      std::string_view address = trimmed(*text);
      // Only six-byte hardware addresses ("aa:bb:cc:dd:ee:ff") qualify.
      if (address.size() != 17) return std::nullopt;
      std::string digits;
      for (size_t i = 0; i < address.size(); ++i) {
        char c = address[i];
        if (i % 3 == 2) {
          if (c != ':') return std::nullopt;
          continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      if (digits == "000000000000") return std::nullopt;
      return digits;
    };

    // The interface of the default route: fields are Iface, Destination, Gateway, Flags, ...
    if (auto routes = readSmallFile("/proc/net/route", 1 << 20)) {
      std::string_view table = *routes;
      for (size_t pos = table.find('\n'); pos != std::string_view::npos && pos < table.size();) {
        size_t end = table.find('\n', pos + 1);
        std::string_view line = table.substr(pos + 1, end == std::string_view::npos ? end : end - pos - 1);
        pos = end;
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) continue;
        if (line.substr(tab + 1, 9) == "00000000\t") {
          if (auto address = addressOf(trimmed(line.substr(0, tab)))) return address;
        }
      }
    }
    for (const std::string& name : folderEntries("/sys/class/net")) {
      if (name == "lo") continue;
      if (auto address = addressOf(name)) return address;
    }
    return std::nullopt;
  });
}

std::optional<std::string> sleepWakeUUID() {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    auto bootId = readSmallFile("/proc/sys/kernel/random/boot_id", 256);
    if (!bootId || trimmed(*bootId).empty()) return std::nullopt;
    std::string suspends = "0";
    if (auto count = readSmallFile("/sys/power/suspend_stats/success", 64)) {
      std::string_view digits = trimmed(*count);
      if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        suspends = digits;
    }
    return std::string(trimmed(*bootId)) + "-" + suspends;
  });
}

std::string encodeBase64(std::string_view bytes) {
  return guarded(std::string{}, [&] {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
      size_t n = std::min<size_t>(3, bytes.size() - i);
      uint32_t group = 0;
      for (size_t j = 0; j < 3; ++j)
        group = (group << 8) | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
      for (size_t j = 0; j < 4; ++j) out += j <= n ? kBase64Alphabet[(group >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
  });
}

std::optional<std::string> decodeBase64(std::string_view text) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t group = 0;
    size_t inGroup = 0;
    size_t padding = 0;
    for (char c : text) {
      if (isWhiteSpace(c)) continue;
      if (c == '=') {
        // Padding may only fill the last one or two places of the final group.
        if (inGroup < 2) return std::nullopt;
        ++padding;
        group <<= 6;
        if (++inGroup == 4) {
          if (padding > 2) return std::nullopt;
          out += static_cast<char>(group >> 16);
          if (padding == 1) out += static_cast<char>((group >> 8) & 0xFF);
          inGroup = 0;
        }
        continue;
      }
      int value = base64Value(c);
      if (value < 0 || padding > 0) return std::nullopt;
      group = (group << 6) | static_cast<uint32_t>(value);
      if (++inGroup == 4) {
        out += static_cast<char>(group >> 16);
        out += static_cast<char>((group >> 8) & 0xFF);
        out += static_cast<char>(group & 0xFF);
        group = 0;
        inGroup = 0;
      }
    }
    if (inGroup != 0) return std::nullopt;
    return out;
  });
}

bool writeFileAtomically(const std::string& path, std::string_view text) {
  const std::string partial = path + ".partial";
  FILE* file = std::fopen(partial.c_str(), "wbx");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written || std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

// A new, empty file beside `target` for the archive to be written into, with the mode of the
// archive it replaces (else the one the umask gives a new file); none when it cannot be made.
std::optional<std::string> createFileBeside(const std::string& target) {
  const std::string folder(deletingLastPathComponent(target));
  const std::string name(lastPathComponent(target));
  struct stat existing;
  const bool replaces = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  std::random_device seed;
  std::mt19937 random(seed());
  // A hidden name, so that neither a shell glob nor the user sees the half-written archive.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
    std::string candidate = appendingPathComponent(folder.empty() ? "." : folder, "." + name + suffix);
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::nullopt;
    }
    if (replaces) ::fchmod(fd, existing.st_mode & 07777);
    ::close(fd);
    return candidate;
  }
  return std::nullopt;
}

// The file an update replaces: the target of a symbolic link, which stays a link.
std::string resolvedArchivePath(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return path;
  const std::filesystem::path resolved = std::filesystem::canonical(path, error);
  return error ? path : resolved.string();
}

}  // namespace tessaro
