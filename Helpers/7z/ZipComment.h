// The archive comment of a zip file, rewritten in its end-of-central-directory record, which
// 7zz can read but not write.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaro::sevenzip {

// True when the file at `path` ends with a zip end-of-central-directory record (and its comment).
bool isZipArchive(const std::string& path);

// True when `comment` fits an end record: at most 65535 bytes, and without the record's own
// signature, which would hide the real record from readers; false with a message in `error`.
bool isWritableZipComment(std::string_view comment, std::string& error);

// Replaces the comment of the zip archive at `path` with `comment` (empty clears it). The new
// archive is written beside the old one and renamed over it, so a failure leaves the old one
// whole. False with a message in `error` for a file that is not a zip, a comment over 65535 bytes
// or one that holds the record's own signature, and any read or write failure.
bool setZipComment(const std::string& path, std::string_view comment, std::string& error);

// The same for an archive cut into `volumes` (in order), whose end record lies at the end of the
// last one or, when the cut went through it, starts in the one before: the whole record then
// moves into the last volume, and the one before ends where it began.
bool setVolumeComment(const std::vector<std::string>& volumes, std::string_view comment, std::string& error);

}  // namespace tessaro::sevenzip
