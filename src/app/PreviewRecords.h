// What lets the tssro link handler tell links of this user's own preview pages from links any web
// page can make: the record of the archives previews have shown, and the page key that signs the
// links a page's script builds.
//
// The record ($XDG_STATE_HOME/tessaro/previewed-archives, 0600) holds one line per archive: its
// absolute path with the device, inode, size and modification time it had when previewed, newest
// last, at most kMaxPreviewRecords of them. The key ($XDG_CONFIG_HOME/tessaro/page-key, 0600) is 32
// random bytes made on first use; a page's token is HMAC-SHA256 under it over the archive's path
// and the page's creation time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

constexpr size_t kMaxPreviewRecords = 500;

// Records the archive at the absolute `path` as previewed now (again: it moves to the newest end).
// False when it cannot be recorded.
bool recordPreview(const std::string& path);

enum class PreviewedState {
  previewed,   // a preview showed this very file as it is now
  unknown,     // no preview showed a file at this path
  changed,     // a preview showed the path, but the file there is another one or was changed since
  unreadable,  // the file or the record cannot be read
};
PreviewedState previewedState(const std::string& path);

// The page token for `archive` and the page's `time` (decimal seconds); none when the key cannot
// be read or made.
std::optional<std::string> pageToken(std::string_view archive, std::string_view time);
// True only when `token` is the page token of `archive` and `time` under this user's key.
bool validPageToken(std::string_view archive, std::string_view time, std::string_view token);

}  // namespace tessaro
