// What the preview header tells about an archive beyond its listing: the volume set, solid and
// encryption state, the comment, where extraction would put things, and entries that deserve a
// warning (absolute or "..", links out of the archive, duplicates, device files, size bombs).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ListingProblem.h"

namespace tessaro {

class AZipItem;

// Warnings about one entry, as bits of AZipItem::safetyFlags().
enum SafetyFlag : uint8_t {
  kSafetyAbsolutePath = 1 << 0,
  kSafetyParentReference = 1 << 1,  // a ".." component
  kSafetyOutwardLink = 1 << 2,      // a symbolic link that resolves outside the archive's root
  kSafetyDuplicatePath = 1 << 3,    // a second record for a path that already had an entry
  kSafetyDeviceFile = 1 << 4,
  kSafetyExtremeRatio = 1 << 5,      // unpacked more than kExtremeRatio times its packed size
  kSafetyHiddenCharacters = 1 << 6,  // direction controls or invisible characters in the path
};
inline constexpr int kSafetyFlagCount = 7;
inline constexpr int64_t kExtremeRatio = 1000;

// How far the listing got: every entry, some before the tool stopped, or none at all.
enum class ListingState : uint8_t { complete, incomplete, failed };

enum class EncryptionLevel : uint8_t { none, contents, names };

// The volumes of a split or multi-volume set, by file name in volume order.
struct VolumeSet {
  std::vector<std::string> present;
  // Gaps between present volumes, then the next volume when the format says more follow.
  std::vector<std::string> missing;
  // The last present volume says another follows (RAR end block, 7z total size, zip's disk
  // count); unknown sets never claim it.
  bool lastMissing = false;
  // The file the user opened is not the set's first volume.
  bool openedNotFirst = false;
  // The bytes of the present volumes together: the set's packed size as far as it is here.
  int64_t presentBytes = 0;
};

struct ArchiveFacts {
  ListingState listing = ListingState::complete;
  ListingProblem problem = ListingProblem::none;  // why, when the listing is not complete
  std::optional<VolumeSet> volumes;               // only for files named as volumes of a set
  bool solid = false;
  std::string comment;
  // The format name its class states (empty when it states none): the header's kind when the
  // system has no name for the file type.
  std::string formatName;
  EncryptionLevel encryption = EncryptionLevel::none;
  int32_t volumeCount = 1;
  // Entries carrying each SafetyFlag bit, in bit order.
  std::array<int64_t, kSafetyFlagCount> flagCounts{};
  // Entries at the top of the archive (Mac metadata left out), and the name of the only one
  // when it is a folder: extraction then makes exactly that folder.
  int64_t topLevelCount = 0;
  std::optional<std::string> singleFolder;
  // The entries listed when the listing stopped at its bound; none when it is whole. The counts
  // and the verdict above then cover those entries only.
  std::optional<int64_t> cutShortAt;
};

// Names beside `openedPath` that its volume set would have a tool read but that are no regular
// file (a FIFO, a device, a folder); empty also when the name is no volume name.
std::vector<std::string> irregularVolumesOf(std::string_view openedPath);

// The volume set that `openedPath` belongs to, from the names beside it and, for the last
// volume, from the format's own end marks; none when the name is not a volume name.
std::optional<VolumeSet> volumeSetOf(std::string_view openedPath);

// Flags that an entry's path as the archive records it earns (absolute, "..", hidden characters).
uint8_t safetyFlagsOfPath(std::string_view rawPath);
// The length in bytes of the direction control or invisible character that starts at text[pos]
// (U+202A-U+202E and U+2066-U+2069, which reorder what follows them, the marks U+200E, U+200F
// and U+061C, the zero-width space U+200B, the word joiner U+2060 and U+FEFF), with its code
// point; 0 when there is none. Joiners that scripts and emoji need (U+200C, U+200D) are not among
// them.
size_t hiddenCharacterAt(std::string_view text, size_t pos, char32_t* codePoint = nullptr);
// True when the link at `entryPath` with `target` resolves outside the archive's root.
bool linkLeavesRoot(std::string_view entryPath, std::string_view target);
// Flags from an entry's applied fields: device files and extreme ratios (folders never).
uint8_t safetyFlagsOfEntry(const AZipItem& item);

// Targets of the symbolic links of a zip archive (stored or deflated), by entry path, read
// from its central directory; empty for anything else or on damage.
std::unordered_map<std::string, std::string> zipLinkTargets(const std::string& path);

// The extraction verdict: a whole listing whose top level is not one folder scatters loose items
// into the destination.
bool scattersLooseItems(const ArchiveFacts& facts);

// Counts the flags and works out the extraction verdict over the finished tree.
void collectTreeFacts(const AZipItem& root, ArchiveFacts& facts);

}  // namespace tessaro
