// XAR archives in the manner of libxar: a 28-byte big-endian header, a zlib-compressed XML table
// of contents and a heap holding the table's checksum and every file's data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro {

struct XarArchive;
struct XarFile;
struct XarIterator;
using xar_t = XarArchive*;
using xar_file_t = XarFile*;
using xar_iter_t = XarIterator*;

constexpr int32_t READ = 0;
constexpr int32_t WRITE = 1;

// READ: opens `file` and reads its table of contents, checking its checksum; none when the file
// is not a readable XAR archive. WRITE: starts a new archive that xar_close writes to `file`.
xar_t xar_open(const char* file, int32_t flags);
// Why the last xar_open on this thread gave none, in words ("unsupported checksum sha3"); empty
// when it did not fail or gave no reason.
const char* xar_open_failure();
// Gives the folders extracted from the archive their dates, or writes the archive opened for
// writing; then frees it and every file handle taken from it. 0, or -1 when writing failed.
int xar_close(xar_t x);
// Adds the folder, regular file or symbolic link at `path` (relative to the current directory,
// not followed), its parent folders first when they are not in yet; none when it cannot be added
// (other file types, names that are not UTF-8 or hold control characters, unreadable files).
xar_file_t xar_add(xar_t x, const char* path);
// As xar_add, with `path` relative to the open folder `dir` (AT_FDCWD: the current directory).
xar_file_t xar_add_at(xar_t x, int dir, const char* path);

xar_iter_t xar_iter_new();
void xar_iter_free(xar_iter_t i);
// Files in table-of-contents order, each folder before what it holds; none after the last.
xar_file_t xar_file_first(xar_t x, xar_iter_t i);
xar_file_t xar_file_next(xar_iter_t i);

// The file's path inside the archive, allocated with malloc (the caller frees it).
char* xar_get_path(xar_file_t f);
// The text of the property at `key` ("mode", "data/size", ...): 0 with `*value` set when the
// property exists (null when it holds no text), -1 when it does not. `*value` lives as long as
// the archive.
int32_t xar_prop_get(xar_file_t f, const char* key, const char** value);
// Recreates the file under the current directory: folders, symbolic links and regular files with
// their mode and modification time, data checked against its checksums. 0, or -1 on any failure
// (a half-written file is removed).
int32_t xar_extract(xar_t x, xar_file_t f);
// As xar_extract, under the open folder `dir` instead (AT_FDCWD: the current directory); the
// archive keeps its own handle on the folder until xar_close sets the folders' dates.
int32_t xar_extract_at(xar_t x, xar_file_t f, int dir);
// 0; "compression" ("gzip", the default, or "none") steers how xar_add stores file data.
int32_t xar_opt_set(xar_t x, const char* option, const char* value);

// Parses a table of contents given as its XML text, the part of xar_open that reads untrusted
// structure; true when it yields a file list. For the fuzz target.
bool xarParseTocForTesting(const char* xml, size_t size);

}  // namespace tessaro
