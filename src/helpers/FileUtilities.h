// Questions about files and folders on disk, and moving folders' contents together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

// Why the archive or volume at `path` is not read: empty for a regular file (also behind a
// symbolic link), else the system's reason or "not a regular file". A FIFO, a device or a
// folder is refused before anything opens it, so nothing waits for a writer or reads for ever.
std::string notReadableAsArchive(const std::string& path);
// True when the user chose to stop because `path`'s file system has fewer than `needed` bytes free.
bool checkSpace(int64_t needed, std::string_view path);
// Size of the named entries of `folder`, descending into folders (symbolic links not followed);
// with no list, the size of everything below `folder`.
int64_t filesizeFromArray(std::string_view folder, const std::vector<std::string>* names);
int64_t calculateSizeOfFiles(const std::vector<std::string>& paths);
// True when the file's first `count` bytes, read as a zero-terminated text, equal `text`.
bool compareFirstBytes(std::string_view path, std::string_view text, size_t count);
// Moves every entry of `source` into `destination`, descending where both hold a folder of the same name.
void mergeFolders(std::string_view source, std::string_view destination);
// The last component of the mount point that holds `path`.
std::string getVolumeName(std::string_view path);

}  // namespace tessaro
