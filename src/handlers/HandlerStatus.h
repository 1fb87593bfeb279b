// The numbers that handler operations, their callers and the host's prompts agree on: operation
// results, extraction modes and password-prompt modes. They cross the handler interface as plain
// int32_t; any other result is a tool's own exit status passed through.
#pragma once

#include <cstdint>

namespace tessaro {

// ---- Results of handler operations

inline constexpr int32_t kStatusOK = 0;             // done; for getInfo: listed
inline constexpr int32_t kStatusNotSupported = -1;  // the handler cannot do this, or cannot list at all
inline constexpr int32_t kStatusCancelled = 1;      // the user cancelled (at a password prompt or a copy)
inline constexpr int32_t kStatusToolFatal = 2;      // the tool stopped with a fatal error (its exit status 2)
inline constexpr int32_t kStatusFailed = 4;  // cannot open or write the archive, or the tool reported errors
inline constexpr int32_t kStatusNoArchivePath = 5;       // an edit of a handler without an archive path
inline constexpr int32_t kStatusNoFileURL = 6;           // a listing of a handler without a file URL
inline constexpr int32_t kStatusRarBadPassword = 11;     // rar 5's own exit status for a wrong password
inline constexpr int32_t kStatusListingEncrypted = 100;  // the listing needs a password, or it was wrong
// A listing that stopped at its bound (see ListingBound.h); only the pipeline answers it.
inline constexpr int32_t kStatusListingCutShort = 101;
inline constexpr int32_t kStatusXarCannotOpen = 1001;  // the XAR archive cannot be opened or written
// The operation ran out of memory; no tool exits with a status this large.
inline constexpr int32_t kStatusOutOfMemory = 1002;
// The format's tool could take the password only on its command line, where other users could
// read it: the operation was refused before the tool ran.
inline constexpr int32_t kStatusPasswordNotPrivate = 1003;

// ---- Extraction modes (the `mode` of extract)

inline constexpr int32_t kExtractForPreview = 0;  // a preview's extraction, no prompts of its own
inline constexpr int32_t kExtractForUser = 1;     // the user's extraction: its password prompts say so
inline constexpr int32_t kExtractTestOnly = 3;    // check every entry's data, write nothing

// ---- Modes of a password prompt (the "mode" of passwordWithParams)

inline constexpr int32_t kPromptForEntries = 1;       // a password for the entries being read
inline constexpr int32_t kPromptForExtraction = 5;    // a password for the user's extraction
inline constexpr int32_t kPromptForRarListing = 257;  // RAR headers, unless the store answers alone
// The password store's mode in which RAR header prompts are asked as entry prompts.
inline constexpr int32_t kStoreModeAsksForEntries = 3;

// The prompt mode of a wrong password met while extracting in `extractionMode`.
constexpr int32_t promptModeForExtraction(int32_t extractionMode) {
  return extractionMode == kExtractForUser ? kPromptForExtraction : kPromptForEntries;
}

// ---- Answers of the host's volume request (changeVolume)

inline constexpr int32_t kVolumeCheckOnly = 1;  // the library only asks whether the volume exists
inline constexpr int32_t kVolumeFound = 1;      // go on with the (possibly new) path
inline constexpr int32_t kVolumeRefused = -1;   // stop: the volume is missing

}  // namespace tessaro
