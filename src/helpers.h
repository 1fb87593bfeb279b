// File-system and formatting helpers shared by the handlers, the preview and the host.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Date.h"
#include "folders/UserFolders.h"

namespace tessaro {

class AZipItem;
class Bundle;

// Text encodings reported by decodeString, with the platform's numbers.
inline constexpr uint64_t kASCIIStringEncoding = 1;
inline constexpr uint64_t kUTF8StringEncoding = 4;
inline constexpr uint64_t kISOLatin1StringEncoding = 5;

// HLVLog levels. Command lines go out below the trace level: only a user who lowers
// HLVDebugLevel to -1 sees them, and even then without passwords (redactedArguments).
inline constexpr int kLogCommand = -1;
inline constexpr int kLogTrace = 0;
inline constexpr int kLogNotice = 1;
inline constexpr int kLogError = 2;

// ---- Text forms

// "%.1f GB" … "%.0f B" from a single-precision reading of the size; units of 1024 when the
// preference HLVSizeBase1024 is set.
std::string formatSize(int64_t size);
// The platform's byte-count form, with the exact count appended ("1.2 MB (1,234,567 bytes)").
std::string formatSizeWithBytes(int64_t size, bool appendBytes);
// Short date and short time in the user's locale; "" for no date.
std::string formatDate(std::optional<Date> date);
// "rwxr-xr-x" for 0755; bits above the nine permission bits are ignored.
std::string posixPermissionsString(uint32_t bits);
// Permission bits of a ten-character mode text ("drwxr-xr-x" gives 0755); see the triple rules.
int32_t parsePosixPermissionsString(std::string_view text);

// ---- Temporary and special folders

// HLVTempFolderPath (with "~" expanded) when it names an existing folder, else the platform's.
std::string userTempPath();
// A new, uniquely named folder inside `base` named after HLVTempFolderName when
// `useNamePreference` is set, ".TessaroTempFolder.XXXXXX" otherwise; none on failure.
std::optional<std::string> createTempFolderInside(std::string_view base, bool useNamePreference);
std::string userTrashPath();
// Why the archive or volume at `path` is not read: empty for a regular file (also behind a
// symbolic link), else the system's reason or "not a regular file". A FIFO, a device or a
// folder is refused before anything opens it, so nothing waits for a writer or reads for ever.
std::string notReadableAsArchive(const std::string& path);
std::optional<std::string> specialFolderPath(SpecialFolder kind);

// ---- Names and quoting

// A path in `folder` that does not exist yet: "a.txt", "a 1.txt", "a 2.txt" …; none for an empty
// folder or name.
std::optional<std::string> findFreeName(std::string_view folder, std::string_view name);
// Writes `text` to `path` through a second name in the same folder and a rename, so the file is
// whole or absent; false when it could not (an existing second name counts as failure).
bool writeFileAtomically(const std::string& path, std::string_view text);
// A new, empty file beside `target` for a changed archive to be written into and renamed over
// it, with the mode of the archive it replaces (else the one the umask gives a new file); none
// when it cannot be made.
std::optional<std::string> createFileBeside(const std::string& target);
// The file an update replaces: the target of a symbolic link, which stays a link.
std::string resolvedArchivePath(const std::string& path);
std::string sanitizeFilename(std::string_view text);
std::string convertToXMLEntities(std::string_view text);
std::string quoteString(std::string_view text);
// For a command line run through the shell: backslashes doubled, then "$" and '"' escaped.
std::string escapeQuotes(std::string_view text);
std::string endSlashesDoubledFromString(std::string_view text);
std::string quotedFromString(std::string_view text);
// The text between double quotes for a shell command line, with the four characters the shell
// still interprets there (double quote, backslash, "$", backquote) escaped: no name can end the
// quotes or run anything.
std::string quotedForShell(std::string_view text);
// The texts joined with `separator`; each one quotedForShell when `quote` is set.
std::string arrayToString(const std::vector<std::string>& texts, std::string_view separator, bool quote);
bool stringArrayContainsString(const std::vector<std::string>& paths, std::string_view path);
// Replaces every occurrence of `placeholder` in `text`, searching the text as it stood before.
void replaceAll(std::string& text, std::string_view placeholder, std::string_view value);
// Replaces every "%key%" in `text` by the bundle's translation of `key`.
void replaceWithLocalizedString(const Bundle& bundle, std::string& text, std::string_view key);

// ---- Tool output and diagnostics

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view bytes);
// Each byte as the ISO Latin 1 character it stands for, written in UTF-8.
std::string utf8FromLatin1(std::string_view bytes);
// The bytes read as UTF-8, else ISO Latin 1, else ASCII; `encoding` (when given) receives the
// encoding of the last attempt.
std::optional<std::string> decodeString(std::string_view bytes, uint64_t* encoding);

// An argument list or shell command line as it may be logged: the value of every password switch
// ("-pSECRET", "-hpSECRET", "-p SECRET", "--password=SECRET", quoted or not) replaced by "***".
std::string redactedArguments(const std::vector<std::string>& arguments);
std::string redactedCommandLine(std::string_view command);

// Writes the printf-formatted message to the system log when `level` is at least HLVDebugLevel.
void HLVLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void HLVLogV(int level, const char* format, va_list args);

// The alert's return code (1 for the default button); see AlertPanel.h for how it is answered.
int HLVRunAlertPanel(std::string_view title, std::string_view message, std::string_view defaultButton,
                     std::string_view alternateButton, std::string_view otherButton);
// True when the user chose to stop because `path`'s file system has fewer than `needed` bytes free.
bool checkSpace(int64_t needed, std::string_view path);

// ---- Sizes of files and sets

// Size of the named entries of `folder`, descending into folders (symbolic links not followed);
// with no list, the size of everything below `folder`.
int64_t filesizeFromArray(std::string_view folder, const std::vector<std::string>* names);
int64_t calculateSizeOfFiles(const std::vector<std::string>& paths);
// The paths in order, leaving out each path that lies inside a path kept before it.
std::vector<std::string> reducePaths(const std::vector<std::string>& paths);
std::vector<std::shared_ptr<AZipItem>> reduceItems(const std::vector<std::shared_ptr<AZipItem>>& items);
// True when the file's first `count` bytes, read as a zero-terminated text, equal `text`.
bool compareFirstBytes(std::string_view path, std::string_view text, size_t count);
// The longest common leading folder of two paths ("/" when they share nothing).
std::optional<std::string> commonParent(const std::optional<std::string>& a, const std::optional<std::string>& b);

// ---- Mac metadata and the desktop

// Linux file systems keep no resource forks or Finder information: these do nothing.
void fixupResourceForks(std::string_view folder);
void splitForksX(std::string_view source, std::string_view destinationFolder);
bool cloneFinderInfo(std::string_view source, std::string_view destination);
bool FSSetHasCustomIcon(std::string_view path);
// Moves every entry of `source` into `destination`, descending where both hold a folder of the same name.
void mergeFolders(std::string_view source, std::string_view destination);
// The last component of the mount point that holds `path`.
std::string getVolumeName(std::string_view path);
// The desktop's default application for files with this extension (its executable), or none.
std::optional<std::string> fullPathOfAppForType(std::string_view extension);
// Opens the file with HLVViewingApplication, or with the desktop's default application.
bool openFileWithFinder(std::string_view path);
std::optional<std::string> displayNameForAppHandlingType(std::string_view contentType);

// Twelve lower-case hexadecimal digits of the primary network interface's address, or none.
std::optional<std::string> getPrimaryMACAddress();
// An identifier that changes whenever the machine boots or wakes from sleep: the kernel's boot
// identifier and its count of successful suspends; none when neither can be read.
std::optional<std::string> sleepWakeUUID();

// RFC 4648 Base64 without line breaks; decoding ignores white space and fails on other foreign characters.
std::string encodeBase64(std::string_view bytes);
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace tessaro
