// Tar headers read from the unpacked bytes of an archive as they arrive, in pieces that end
// anywhere: ustar, GNU (long names and links, old sparse files) and pax (extended and global
// headers, sparse files), turned into listing records without holding the archive or copying
// entry data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ListingProblem.h"

namespace tessaro {

// Moves the records from `first` on, and the link targets' paths and targets, from ISO Latin 1 to
// UTF-8: what a tar listing does when some name was not UTF-8.
void tarRecordsFromLatin1(std::vector<std::string>& records, size_t first,
                          std::unordered_map<std::string, std::string>* linkTargets);

class TarHeaderReader {
 public:
  // Folders, files and symbolic links become records ("path=NAME\tattr=MODE\tunco=SIZE\tcomp=0\t
  // time=%Y%m%d.%H%M%S" in local time); other entries (hard links, devices, FIFOs) are read and
  // passed over. With `linkTargets`, notes where each symbolic link points, by its record path
  // (up to kMaxLinkTargets links).
  explicit TarHeaderReader(std::vector<std::string>& records,
                           std::unordered_map<std::string, std::string>* linkTargets = nullptr);
  static constexpr size_t kMaxLinkTargets = 100000;
  // A long name, long link or pax header beyond this is taken for damage, not read.
  static constexpr uint64_t kMaxExtensionSize = uint64_t{4} << 20;

  // Takes the next bytes of the archive; false once reading has ended (the end-of-archive
  // blocks, or damage), after which nothing more is wanted.
  bool take(std::string_view bytes);
  // Entry data the reader is about to pass over, which a caller reading a plain file may seek
  // past instead, then telling skipped().
  uint64_t skippable() const { return state_ == State::data ? pending_ : 0; }
  void skipped(uint64_t count);

  // At the end of the input: what went wrong, if anything (none also for an archive that ends
  // after a whole entry without its end blocks). Moves the records to ISO Latin 1 unless every
  // name was UTF-8.
  ListingProblem finish();
  // kUTF8StringEncoding or kISOLatin1StringEncoding, once finished.
  uint64_t encoding() const;
  bool ended() const { return state_ == State::ended; }

 private:
  enum class State { header, extension, sparseBlocks, data, ended };
  // Values an extended header gives (pax 'x' for the next entry, 'g' for every one after it).
  struct PaxValues {
    std::optional<std::string> path, linkPath, sparseName;
    std::optional<uint64_t> size, sparseSize;
    std::optional<int64_t> mtime;
  };

  void header(const unsigned char* block);
  void extensionDone();
  bool readPax(std::string_view text, PaxValues& values);
  void entry(const unsigned char* block, char type, uint64_t realSize);
  void fail(ListingProblem problem);
  void noteName(std::string_view name);

  std::vector<std::string>& records_;
  std::unordered_map<std::string, std::string>* linkTargets_;
  const size_t first_;

  State state_ = State::header;
  ListingProblem problem_ = ListingProblem::none;
  unsigned char block_[512];
  size_t have_ = 0;       // bytes of a header gathered in block_
  uint64_t pending_ = 0;  // bytes still to pass over (data) or gather (extension)
  uint64_t padding_ = 0;  // bytes after an extension's text up to its block end
  char extensionType_ = 0;
  std::string extension_;
  bool sawHeader_ = false;
  bool utf8_ = true;
  bool latin1_ = false;

  // What the headers before the next entry said about it.
  std::optional<std::string> longName_, longLink_;
  PaxValues next_, global_;
  // The last entry's time and its text.
  std::optional<int64_t> lastTime_;
  std::string lastTimeText_;
  // An old GNU sparse entry whose map goes on in blocks of its own: the entry waits for them.
  uint64_t sparseDataSize_ = 0;
};

}  // namespace tessaro
