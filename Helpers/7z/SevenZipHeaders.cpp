#include "SevenZipHeaders.h"

#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <vector>

#include "SltRecords.h"
#include "io/ReadOnlyFile.h"

namespace tessaro::sevenzip {

namespace {

// '7' 'z' BC AF 27 1C, the format version (0.2 to 0.4 in use), the CRC of the next 20 bytes, and
// those: where the end header lies after these 32 bytes, its size and its CRC.
constexpr unsigned char kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr size_t kSignatureHeaderSize = 32;
constexpr uint8_t kMaxMinorVersion = 4;

// Property IDs of the end header.
constexpr uint64_t kEnd = 0x00;
constexpr uint64_t kHeader = 0x01;
constexpr uint64_t kMainStreamsInfo = 0x04;
constexpr uint64_t kFilesInfo = 0x05;
constexpr uint64_t kPackInfo = 0x06;
constexpr uint64_t kUnpackInfo = 0x07;
constexpr uint64_t kSubStreamsInfo = 0x08;
constexpr uint64_t kSize = 0x09;
constexpr uint64_t kCRC = 0x0A;
constexpr uint64_t kFolder = 0x0B;
constexpr uint64_t kCodersUnpackSize = 0x0C;
constexpr uint64_t kNumUnpackStream = 0x0D;
constexpr uint64_t kEmptyStream = 0x0E;
constexpr uint64_t kEmptyFile = 0x0F;
constexpr uint64_t kAnti = 0x10;
constexpr uint64_t kName = 0x11;
constexpr uint64_t kCTime = 0x12;
constexpr uint64_t kATime = 0x13;
constexpr uint64_t kMTime = 0x14;
constexpr uint64_t kWinAttributes = 0x15;
constexpr uint64_t kEncodedHeader = 0x17;
constexpr uint64_t kDummy = 0x19;  // padding 7-Zip writes to align what follows

// Coder IDs, their bytes read big-endian.
constexpr uint64_t kCopy = 0x00;
constexpr uint64_t kDelta = 0x03;
constexpr uint64_t kARM64 = 0x0A;
constexpr uint64_t kRISCV = 0x0B;
constexpr uint64_t kLZMA2 = 0x21;
constexpr uint64_t kLZMA = 0x030101;
constexpr uint64_t kPPMD = 0x030401;
constexpr uint64_t kBCJ = 0x03030103;
constexpr uint64_t kBCJ2 = 0x0303011B;
constexpr uint64_t kPPC = 0x03030205;
constexpr uint64_t kIA64 = 0x03030401;
constexpr uint64_t kARM = 0x03030501;
constexpr uint64_t kARMT = 0x03030701;
constexpr uint64_t kSPARC = 0x03030805;
constexpr uint64_t kDeflate = 0x040108;
constexpr uint64_t kDeflate64 = 0x040109;
constexpr uint64_t kBZip2 = 0x040202;
constexpr uint64_t k7zAES = 0x06F10701;

constexpr uint32_t kWindowsDirectory = 0x10;

// 7-Zip's own limits on a folder's coders and their streams.
constexpr uint64_t kMaxCoders = 64;
constexpr uint64_t kMaxCoderStreams = 64;
// A packed end header unpacks to at most this, and to at most this many times its packed size:
// real headers of a million entries stay far below either.
constexpr uint64_t kMaxHeaderSize = 256u << 20;
constexpr uint64_t kMaxHeaderRatio = 1024;
constexpr uint64_t kMinHeaderAllowance = 64u << 10;
// A packed header may hold another packed header; 7-Zip writes one level.
constexpr int kMaxHeaderLevels = 4;

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t le64(const unsigned char* p) {
  return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

uint32_t crc32Of(const unsigned char* data, size_t size) {
  uLong crc = ::crc32(0, nullptr, 0);
  // zlib takes 32-bit lengths.
  while (size > 0) {
    const auto piece = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    crc = ::crc32(crc, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(crc);
}

// Reads the header's numbers and bytes; past its end every read fails and yields zero, so a
// caller checks failed() once after a run of reads.
class ByteReader {
 public:
  ByteReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

  bool failed() const { return failed_; }
  size_t left() const { return size_ - pos_; }
  void fail() {
    failed_ = true;
    pos_ = size_;
  }

  uint8_t byte() {
    if (pos_ >= size_) {
      fail();
      return 0;
    }
    return data_[pos_++];
  }
  uint32_t u32() {
    const unsigned char* p = take(4);
    return p ? le32(p) : 0;
  }
  uint64_t u64() {
    const unsigned char* p = take(8);
    return p ? le64(p) : 0;
  }
  // The format's variable-length number: the leading one bits of the first byte say how many
  // bytes follow (little-endian), its remaining bits are the highest ones.
  uint64_t number() {
    const uint8_t first = byte();
    uint64_t value = 0;
    uint8_t mask = 0x80;
    for (int i = 0; i < 8; ++i) {
      if ((first & mask) == 0) return value | static_cast<uint64_t>(first & (mask - 1u)) << (8 * i);
      value |= static_cast<uint64_t>(byte()) << (8 * i);
      mask >>= 1;
    }
    return value;
  }
  // A number of items that each take at least `each` of the bytes left: bounds what is allocated
  // for them by the header's size.
  uint64_t count(size_t each) {
    const uint64_t value = number();
    if (value > left() / each) {
      fail();
      return 0;
    }
    return value;
  }
  const unsigned char* take(size_t length) {
    if (length > left()) {
      fail();
      return nullptr;
    }
    const unsigned char* at = data_ + pos_;
    pos_ += length;
    return at;
  }

 private:
  const unsigned char* data_;
  size_t size_;
  size_t pos_ = 0;
  bool failed_ = false;
};

using Digests = std::vector<std::optional<uint32_t>>;

// `count` flags, eight to a byte, the highest bit first.
std::vector<bool> readBits(ByteReader& r, uint64_t count) {
  if ((count + 7) / 8 > r.left()) {
    r.fail();
    return {};
  }
  std::vector<bool> bits(count);
  uint8_t byte = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (i % 8 == 0) byte = r.byte();
    bits[i] = byte & (0x80 >> (i % 8));
  }
  return bits;
}

// A byte saying all are defined, else the flags of those that are.
std::vector<bool> readDefined(ByteReader& r, uint64_t count) {
  if (r.byte() != 0) {
    if (count > r.left() * 8 + 8) r.fail();
    return r.failed() ? std::vector<bool>() : std::vector<bool>(count, true);
  }
  return readBits(r, count);
}

Digests readDigests(ByteReader& r, uint64_t count) {
  const std::vector<bool> defined = readDefined(r, count);
  Digests digests(defined.size());
  for (size_t i = 0; i < defined.size() && !r.failed(); ++i)
    if (defined[i]) digests[i] = r.u32();
  return digests;
}

struct Coder {
  uint64_t id = 0;
  std::string_view properties;
  uint64_t packSideStreams = 1;
};

struct Folder {
  std::vector<Coder> coders;
  std::vector<uint64_t> unpackSizes;  // one per coder
  size_t mainCoder = 0;               // the one whose output nothing else takes
  uint64_t packStreams = 0;
  uint64_t packedSize = 0;
  uint64_t firstPackStream = 0;
  std::optional<uint32_t> crc;
  uint64_t substreams = 1;

  uint64_t unpackSize() const { return unpackSizes[mainCoder]; }
};

struct Streams {
  uint64_t packPosition = 0;
  std::vector<uint64_t> packSizes;
  Digests packCRCs;
  std::vector<Folder> folders;
  // One per file with data, in order.
  std::vector<uint64_t> sizes;
  Digests crcs;
};

// One folder's coders and how their streams are bound; false for a shape 7-Zip would refuse.
bool readFolder(ByteReader& r, Folder& folder) {
  const uint64_t numCoders = r.number();
  if (numCoders == 0 || numCoders > kMaxCoders) return false;
  uint64_t totalStreams = 0;
  std::vector<uint64_t> firstStream;
  for (uint64_t i = 0; i < numCoders; ++i) {
    const uint8_t flags = r.byte();
    // Bit 7 announced alternative methods, never used; bit 6 is reserved.
    if (flags & 0xC0) return false;
    const size_t idSize = flags & 0x0F;
    if (idSize > 8) return false;
    const unsigned char* id = r.take(idSize);
    if (r.failed()) return false;
    Coder coder;
    for (size_t b = 0; b < idSize; ++b) coder.id = coder.id << 8 | id[b];
    if (flags & 0x10) {
      coder.packSideStreams = r.number();
      if (r.number() != 1 || coder.packSideStreams == 0 || coder.packSideStreams > kMaxCoderStreams)
        return false;
    }
    if (flags & 0x20) {
      const uint64_t size = r.number();
      const unsigned char* properties = r.take(size);
      if (r.failed()) return false;
      coder.properties = std::string_view(reinterpret_cast<const char*>(properties), size);
    }
    firstStream.push_back(totalStreams);
    totalStreams += coder.packSideStreams;
    if (totalStreams > kMaxCoderStreams) return false;
    folder.coders.push_back(coder);
  }
  const uint64_t numBonds = numCoders - 1;
  if (totalStreams <= numBonds) return false;
  std::vector<bool> streamTaken(totalStreams), coderBound(numCoders);
  // Each bond feeds a coder's output into one of another coder's pack-side streams.
  std::vector<uint64_t> feeds(numCoders, 0);
  for (uint64_t i = 0; i < numBonds; ++i) {
    const uint64_t stream = r.number();
    const uint64_t coder = r.number();
    if (r.failed() || stream >= totalStreams || coder >= numCoders || streamTaken[stream] ||
        coderBound[coder])
      return false;
    streamTaken[stream] = coderBound[coder] = true;
    feeds[coder] = stream;
  }
  folder.packStreams = totalStreams - numBonds;
  if (folder.packStreams > 1) {
    for (uint64_t i = 0; i < folder.packStreams; ++i) {
      const uint64_t stream = r.number();
      if (r.failed() || stream >= totalStreams || streamTaken[stream]) return false;
      streamTaken[stream] = true;
    }
  }
  for (uint64_t i = 0; i < numCoders; ++i)
    if (!coderBound[i]) folder.mainCoder = i;
  // Every bound coder must lead to the main one without a cycle.
  const auto ownerOf = [&](uint64_t stream) {
    uint64_t owner = 0;
    while (owner + 1 < numCoders && firstStream[owner + 1] <= stream) ++owner;
    return owner;
  };
  for (uint64_t i = 0; i < numCoders; ++i) {
    uint64_t at = i;
    for (uint64_t steps = 0; at != folder.mainCoder; ++steps) {
      if (steps >= numCoders) return false;
      at = ownerOf(feeds[at]);
    }
  }
  return !r.failed();
}

bool readPackInfo(ByteReader& r, Streams& streams) {
  streams.packPosition = r.number();
  const uint64_t count = r.count(1);
  if (r.failed() || r.number() != kSize) return false;
  streams.packSizes.resize(count);
  for (uint64_t& size : streams.packSizes) size = r.number();
  uint64_t type = r.number();
  streams.packCRCs.assign(count, std::nullopt);
  if (type == kCRC) {
    streams.packCRCs = readDigests(r, count);
    type = r.number();
  }
  return !r.failed() && type == kEnd;
}

bool readUnpackInfo(ByteReader& r, Streams& streams) {
  if (r.number() != kFolder) return false;
  // A folder takes at least two bytes: its coder count and a coder's flags.
  const uint64_t count = r.count(2);
  if (r.byte() != 0 || r.failed()) return false;  // folders kept elsewhere: never written
  streams.folders.resize(count);
  for (Folder& folder : streams.folders)
    if (!readFolder(r, folder)) return false;
  if (r.number() != kCodersUnpackSize) return false;
  for (Folder& folder : streams.folders) {
    folder.unpackSizes.resize(folder.coders.size());
    for (uint64_t& size : folder.unpackSizes) size = r.number();
  }
  uint64_t type = r.number();
  if (type == kCRC) {
    const Digests crcs = readDigests(r, count);
    for (size_t i = 0; i < crcs.size(); ++i) streams.folders[i].crc = crcs[i];
    type = r.number();
  }
  return !r.failed() && type == kEnd;
}

// How many files each folder holds, their sizes and CRCs; `type` is the property after the
// folders, consumed here when it is the substreams' information.
bool readSubStreamsInfo(ByteReader& r, Streams& streams, uint64_t& type) {
  const bool present = type == kSubStreamsInfo;
  if (present) type = r.number();
  uint64_t total = 0;
  if (present && type == kNumUnpackStream) {
    for (Folder& folder : streams.folders) {
      folder.substreams = r.number();
      // Every stream but a folder's last needs a size of its own, a byte at the least.
      if (folder.substreams == 0 || folder.substreams - 1 > r.left()) return false;
      total += folder.substreams - 1;
      if (total > r.left()) return false;
    }
    type = r.number();
  }
  const bool sizesGiven = present && type == kSize;
  for (const Folder& folder : streams.folders) {
    if (folder.substreams > 1 && !sizesGiven) return false;
    uint64_t sum = 0;
    for (uint64_t i = 1; i < folder.substreams; ++i) {
      const uint64_t size = r.number();
      if (r.failed() || size > folder.unpackSize() - sum) return false;
      sum += size;
      streams.sizes.push_back(size);
    }
    if (sum > folder.unpackSize()) return false;
    streams.sizes.push_back(folder.unpackSize() - sum);
  }
  if (sizesGiven) type = r.number();
  // Streams alone in a folder with a CRC have it already; the others' follow.
  uint64_t unknown = 0;
  for (const Folder& folder : streams.folders)
    if (folder.substreams != 1 || !folder.crc) unknown += folder.substreams;
  Digests listed(unknown);
  if (present && type == kCRC) {
    listed = readDigests(r, unknown);
    type = r.number();
  }
  if (r.failed() || listed.size() != unknown) return false;
  size_t next = 0;
  for (const Folder& folder : streams.folders) {
    if (folder.substreams == 1 && folder.crc) {
      streams.crcs.push_back(folder.crc);
    } else {
      for (uint64_t i = 0; i < folder.substreams; ++i) streams.crcs.push_back(listed[next++]);
    }
  }
  if (present) {
    if (type != kEnd) return false;
    type = r.number();
  }
  return !r.failed();
}

bool readStreamsInfo(ByteReader& r, Streams& streams) {
  uint64_t type = r.number();
  if (type == kPackInfo) {
    if (!readPackInfo(r, streams)) return false;
    type = r.number();
  }
  if (type == kUnpackInfo) {
    if (!readUnpackInfo(r, streams)) return false;
    type = r.number();
  }
  // Each folder takes the next pack streams, all of them together.
  uint64_t next = 0;
  for (Folder& folder : streams.folders) {
    if (folder.packStreams > streams.packSizes.size() - next) return false;
    folder.firstPackStream = next;
    for (uint64_t i = 0; i < folder.packStreams; ++i) {
      const uint64_t size = streams.packSizes[next++];
      if (size > UINT64_MAX - folder.packedSize) return false;
      folder.packedSize += size;
    }
  }
  if (next != streams.packSizes.size()) return false;
  if (!readSubStreamsInfo(r, streams, type)) return false;
  return type == kEnd && !r.failed();
}

// "24" for a power of two, else "1536k" or "3m" or the bytes with "b", as 7zz shows a
// dictionary or memory size.
void appendSizeValue(std::string& out, uint32_t value) {
  char digits[16];
  for (unsigned bit = 0; bit < 32; ++bit) {
    if (value == uint32_t{1} << bit) {
      out.append(digits, std::to_chars(digits, digits + sizeof digits, bit).ptr);
      return;
    }
  }
  char unit = 'b';
  if ((value & ((1u << 20) - 1)) == 0) {
    value >>= 20;
    unit = 'm';
  } else if ((value & ((1u << 10) - 1)) == 0) {
    value >>= 10;
    unit = 'k';
  }
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
  out.push_back(unit);
}

void appendDecimal(std::string& out, uint64_t value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// One coder as 7zz names it in "Method"; false for a coder or properties it would show otherwise.
bool appendCoderName(std::string& out, const Coder& coder) {
  const auto* p = reinterpret_cast<const unsigned char*>(coder.properties.data());
  const size_t size = coder.properties.size();
  const auto plain = [&](const char* name) {
    out.append(name);
    return size == 0;
  };
  switch (coder.id) {
    case kCopy: return plain("Copy");
    case kBCJ: return plain("BCJ");
    case kBCJ2: return plain("BCJ2");
    case kPPC: return plain("PPC");
    case kIA64: return plain("IA64");
    case kARM: return plain("ARM");
    case kARMT: return plain("ARMT");
    case kSPARC: return plain("SPARC");
    case kARM64: return plain("ARM64");
    case kRISCV: return plain("RISCV");
    case kDeflate: return plain("Deflate");
    case kDeflate64: return plain("Deflate64");
    case kBZip2: return plain("BZip2");
    case kDelta:
      if (size != 1) return false;
      out.append("Delta:");
      appendDecimal(out, p[0] + 1u);
      return true;
    case kLZMA2:
      // 40 means a dictionary of 4 GiB less one byte, shown another way.
      if (size != 1 || p[0] >= 40) return false;
      out.append("LZMA2:");
      appendSizeValue(out, (2u | (p[0] & 1u)) << (p[0] / 2 + 11));
      return true;
    case kLZMA: {
      // lc, lp and pb packed into one byte, then the dictionary size.
      if (size != 5 || p[0] >= 9 * 5 * 5) return false;
      out.append("LZMA:");
      appendSizeValue(out, le32(p + 1));
      const unsigned lc = p[0] % 9, lp = p[0] / 9 % 5, pb = p[0] / 45;
      if (lc != 3) out.append(":lc").push_back(static_cast<char>('0' + lc));
      if (lp != 0) out.append(":lp").push_back(static_cast<char>('0' + lp));
      if (pb != 2) out.append(":pb").push_back(static_cast<char>('0' + pb));
      return true;
    }
    case kPPMD:
      if (size != 5) return false;
      out.append("PPMD:o");
      appendDecimal(out, p[0]);
      out.append(":mem");
      appendSizeValue(out, le32(p + 1));
      return true;
    case k7zAES:
      // The low six bits of the first byte: the key's hashing rounds as a power of two.
      if (size == 0) return false;
      out.append("7zAES:");
      appendDecimal(out, p[0] & 0x3Fu);
      return true;
    default: return false;
  }
}

// The folder's coders from the last stored to the first: in the order they were applied to
// the data, a filter before the compressor it feeds and the encryption last.
bool appendMethod(std::string& out, const Folder& folder) {
  for (size_t i = folder.coders.size(); i-- > 0;) {
    if (!appendCoderName(out, folder.coders[i])) return false;
    if (i > 0) out.push_back(' ');
  }
  return true;
}

bool isEncrypted(const Folder& folder) {
  for (const Coder& coder : folder.coders)
    if (coder.id == k7zAES) return true;
  return false;
}

// The end header that a kEncodedHeader describes, unpacked: one LZMA or LZMA2 coder on one
// stream that lies between the signature header and `headerStart`. None for anything else, an
// encrypted header among them.
std::optional<std::string> unpackHeader(const ReadOnlyFile& file, const Streams& streams,
                                        uint64_t headerStart) {
  if (streams.folders.size() != 1 || streams.packSizes.size() != 1 || streams.sizes.size() != 1)
    return std::nullopt;
  const Folder& folder = streams.folders.front();
  if (folder.coders.size() != 1 || folder.packStreams != 1) return std::nullopt;
  const Coder& coder = folder.coders.front();
  if (coder.id != kLZMA && coder.id != kLZMA2) return std::nullopt;
  const uint64_t packedSize = streams.packSizes.front();
  const uint64_t unpackSize = folder.unpackSize();
  const uint64_t room = headerStart - kSignatureHeaderSize;
  if (streams.packPosition > room || packedSize > room - streams.packPosition || packedSize == 0)
    return std::nullopt;
  if (unpackSize == 0 || unpackSize > kMaxHeaderSize ||
      unpackSize > std::max(packedSize * kMaxHeaderRatio, kMinHeaderAllowance))
    return std::nullopt;

  std::string packed;
  if (!file.read(kSignatureHeaderSize + streams.packPosition, static_cast<size_t>(packedSize), packed))
    return std::nullopt;
  const auto* in = reinterpret_cast<const unsigned char*>(packed.data());
  if (streams.packCRCs.front() && *streams.packCRCs.front() != crc32Of(in, packed.size()))
    return std::nullopt;

  lzma_filter filters[2] = {{coder.id == kLZMA ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA2, nullptr},
                            {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, reinterpret_cast<const uint8_t*>(coder.properties.data()),
                             coder.properties.size()) != LZMA_OK)
    return std::nullopt;
  // The dictionary never needs to exceed what is unpacked: a header's claim of 4 GiB costs nothing.
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  options->dict_size = static_cast<uint32_t>(
      std::min<uint64_t>(options->dict_size, std::max<uint64_t>(unpackSize, LZMA_DICT_SIZE_MIN)));
  std::string header(static_cast<size_t>(unpackSize), '\0');
  lzma_stream stream = LZMA_STREAM_INIT;
  bool complete = false;
  if (lzma_raw_decoder(&stream, filters) == LZMA_OK) {
    stream.next_in = in;
    stream.avail_in = packed.size();
    stream.next_out = reinterpret_cast<uint8_t*>(header.data());
    stream.avail_out = header.size();
    const lzma_ret status = lzma_code(&stream, LZMA_FINISH);
    // An LZMA stream need not mark its end: a full output is the end.
    complete = (status == LZMA_OK || status == LZMA_STREAM_END) && stream.avail_out == 0;
  }
  lzma_end(&stream);
  std::free(filters[0].options);
  if (!complete) return std::nullopt;
  const auto* out = reinterpret_cast<const unsigned char*>(header.data());
  const std::optional<uint32_t> crc = folder.crc ? folder.crc : streams.crcs.front();
  if (crc && *crc != crc32Of(out, header.size())) return std::nullopt;
  return header;
}

// UTF-16LE names, each ending in a zero unit, as UTF-8 into `names` with their ends in `ends`;
// false for a name 7zz would not show as it is: empty, with a control character, a backslash,
// a lone surrogate, an absolute path or an empty, "." or ".." component.
bool readNames(ByteReader& r, uint64_t count, std::string& names, std::vector<size_t>& ends) {
  if (r.byte() != 0 || r.left() % 2 != 0) return false;  // names kept elsewhere: never written
  const size_t units = r.left() / 2;
  const unsigned char* p = r.take(units * 2);
  if (r.failed()) return false;
  names.reserve(units);
  ends.reserve(count);
  size_t start = names.size();
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = static_cast<uint32_t>(p[2 * i] | p[2 * i + 1] << 8);
    if (c == 0) {
      const std::string_view name(names.data() + start, names.size() - start);
      if (name.empty() || name.starts_with('/') || name.ends_with('/') ||
          name.find("//") != std::string_view::npos || name == "." || name == ".." ||
          name.starts_with("./") || name.starts_with("../") || name.ends_with("/.") ||
          name.ends_with("/..") || name.find("/./") != std::string_view::npos ||
          name.find("/../") != std::string_view::npos)
        return false;
      ends.push_back(names.size());
      if (ends.size() > count) return false;
      start = names.size();
      continue;
    }
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c >= 0xDC00 || i + 1 >= units) return false;
      const uint32_t low = static_cast<uint32_t>(p[2 * i + 2] | p[2 * i + 3] << 8);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      names.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      names.push_back(static_cast<char>(0xC0 | c >> 6));
      names.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      names.push_back(static_cast<char>(0xE0 | c >> 12));
      names.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      names.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      names.push_back(static_cast<char>(0xF0 | c >> 18));
      names.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      names.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      names.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return ends.size() == count && start == names.size();
}

// A time or attribute property: which files have one, a byte that is always zero (values kept
// elsewhere), then the values of those that do, `width` bytes each.
template <typename Value>
bool readValues(ByteReader& r, uint64_t count, size_t width, std::vector<std::optional<Value>>& values) {
  const std::vector<bool> defined = readDefined(r, count);
  if (r.byte() != 0 || r.failed()) return false;
  values.assign(count, std::nullopt);
  for (size_t i = 0; i < count; ++i) {
    if (!defined[i]) continue;
    values[i] = width == 8 ? static_cast<Value>(r.u64()) : static_cast<Value>(r.u32());
    if (r.failed()) return false;
  }
  return true;
}

struct Files {
  uint64_t count = 0;
  std::vector<bool> emptyStream, emptyFile;
  std::string names;
  std::vector<size_t> nameEnds;
  std::vector<std::optional<uint64_t>> modified;
  std::vector<std::optional<uint32_t>> attributes;
};

bool readFilesInfo(ByteReader& r, Files& files) {
  // Every file has a name of one unit and its end at the least.
  files.count = r.count(4);
  if (r.failed()) return false;
  bool sawEmptyStream = false, sawEmptyFile = false, sawNames = false, sawModified = false,
       sawAttributes = false;
  uint64_t numEmpty = 0;
  std::vector<std::optional<uint64_t>> otherTimes;
  for (;;) {
    const uint64_t type = r.number();
    if (r.failed()) return false;
    if (type == kEnd) break;
    const uint64_t size = r.number();
    const unsigned char* data = r.take(size);
    if (r.failed()) return false;
    ByteReader property(data, size);
    switch (type) {
      case kEmptyStream:
        if (sawEmptyStream) return false;
        sawEmptyStream = true;
        files.emptyStream = readBits(property, files.count);
        for (bool empty : files.emptyStream) numEmpty += empty;
        break;
      case kEmptyFile:
        if (!sawEmptyStream || sawEmptyFile) return false;
        sawEmptyFile = true;
        files.emptyFile = readBits(property, numEmpty);
        break;
      case kAnti:
        // A deletion an update archive carries: the records show it as the item it deletes.
        if (!sawEmptyStream) return false;
        readBits(property, numEmpty);
        break;
      case kName:
        if (sawNames) return false;
        sawNames = true;
        if (!readNames(property, files.count, files.names, files.nameEnds)) return false;
        break;
      case kMTime:
        if (sawModified) return false;
        sawModified = true;
        if (!readValues(property, files.count, 8, files.modified)) return false;
        break;
      case kCTime:
      case kATime:
        // Not in the records, but 7zz would complain about one that does not fit.
        if (!readValues(property, files.count, 8, otherTimes)) return false;
        break;
      case kWinAttributes:
        if (sawAttributes) return false;
        sawAttributes = true;
        if (!readValues(property, files.count, 4, files.attributes)) return false;
        break;
      case kDummy: property.take(property.left()); break;
      default: return false;  // a comment, a start position or something newer: 7zz's to show
    }
    if (property.failed() || property.left() != 0) return false;
  }
  if (!sawNames && files.count > 0) return false;
  if (!sawEmptyStream) files.emptyStream.assign(files.count, false);
  if (!sawEmptyFile) files.emptyFile.assign(numEmpty, false);
  if (!sawModified) files.modified.assign(files.count, std::nullopt);
  if (!sawAttributes) files.attributes.assign(files.count, std::nullopt);
  return true;
}

bool endsWith(const std::string& text, std::string_view suffix) {
  return std::string_view(text).ends_with(suffix);
}

// The records of a plain end header whose packed streams lie before `headerStart`.
std::optional<std::string> listHeader(ByteReader& r, uint64_t headerStart) {
  Streams streams;
  Files files;
  uint64_t type = r.number();
  // Archive properties and additional streams are never written by 7-Zip.
  if (type == kMainStreamsInfo) {
    if (!readStreamsInfo(r, streams)) return std::nullopt;
    type = r.number();
  }
  if (type == kFilesInfo) {
    if (!readFilesInfo(r, files)) return std::nullopt;
    type = r.number();
  }
  if (r.failed() || type != kEnd || r.left() != 0) return std::nullopt;

  // The packed streams lie between the signature header and the end header.
  uint64_t packedEnd = streams.packPosition;
  for (uint64_t size : streams.packSizes) {
    if (size > UINT64_MAX - packedEnd) return std::nullopt;
    packedEnd += size;
  }
  if (packedEnd > headerStart - kSignatureHeaderSize) return std::nullopt;
  // Every file with data takes the next stream of the folders, in order; a folder without a
  // file is 7zz's to explain.
  uint64_t withData = 0;
  for (bool empty : files.emptyStream) withData += !empty;
  if (withData != streams.sizes.size()) return std::nullopt;
  bool solid = false;
  std::vector<std::string> methods;
  methods.reserve(streams.folders.size());
  for (const Folder& folder : streams.folders) {
    if (folder.substreams == 0) return std::nullopt;
    solid = solid || folder.substreams > 1;
    methods.emplace_back();
    if (!appendMethod(methods.back(), folder)) return std::nullopt;
  }

  std::string out;
  out.reserve(static_cast<size_t>(files.count) * 96);
  if (solid) out.append("Solid=+\n");
  std::string attributes;
  size_t folder = 0, inFolder = 0, stream = 0, empty = 0;
  size_t nameStart = 0;
  for (size_t i = 0; i < files.count; ++i) {
    const bool hasData = !files.emptyStream[i];
    // An empty stream that is no empty file is a folder.
    const bool isFolder = !hasData && !files.emptyFile[empty];
    if (!hasData) ++empty;
    out.append("path=");
    out.append(files.names, nameStart, files.nameEnds[i] - nameStart);
    nameStart = files.nameEnds[i];
    out.append("\tmeth=");
    if (hasData) out.append(methods[folder]);
    out.append("\ttime=");
    if (files.modified[i] && !appendLocalTime(out, unixTimeOfFileTime(*files.modified[i])))
      return std::nullopt;
    out.append("\tunco=");
    appendDecimal(out, hasData ? streams.sizes[stream] : 0);
    // A folder's packed size goes with its first file; the others show none.
    out.append("\tcomp=");
    appendDecimal(out, hasData && inFolder == 0 ? streams.folders[folder].packedSize : 0);
    out.append("\tattr=");
    attributes.clear();
    // 7zz marks a folder as one whatever its attributes say.
    if (files.attributes[i] || isFolder)
      appendAttributeWord(attributes, files.attributes[i].value_or(0) | (isFolder ? kWindowsDirectory : 0));
    appendAttributes(out, attributes, std::string_view(), false);
    if (hasData && streams.crcs[stream]) {
      out.append("\tcrc_=");
      appendCRCValue(out, *streams.crcs[stream]);
    }
    out.append(hasData && isEncrypted(streams.folders[folder]) ? "\ttype=1\n" : "\ttype=0\n");
    if (hasData) {
      ++stream;
      if (++inFolder == streams.folders[folder].substreams) {
        ++folder;
        inFolder = 0;
      }
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> listSevenZipDirectly(const std::string& path) {
  // The first volume of a split archive: 7zz joins the volumes.
  if (endsWith(path, ".001")) return std::nullopt;
  ReadOnlyFile file(path);
  const std::optional<int64_t> fileSize = file.regularSize();
  if (!fileSize || *fileSize < static_cast<int64_t>(kSignatureHeaderSize)) return std::nullopt;
  const auto size = static_cast<uint64_t>(*fileSize);
  unsigned char start[kSignatureHeaderSize];
  if (!file.readAt(0, start, sizeof start)) return std::nullopt;
  if (!std::equal(std::begin(kSignature), std::end(kSignature), start) || start[6] != 0 ||
      start[7] > kMaxMinorVersion || le32(start + 8) != crc32Of(start + 12, 20))
    return std::nullopt;
  const uint64_t headerOffset = le64(start + 12), headerSize = le64(start + 20);
  const uint32_t headerCRC = le32(start + 28);
  // 7zz warns about anything after the end header, so the header must end the file.
  const uint64_t room = size - kSignatureHeaderSize;
  if (headerOffset > room || headerSize != room - headerOffset) return std::nullopt;
  // An archive without entries is its signature header alone.
  if (headerSize == 0)
    return headerOffset == 0 && headerCRC == 0 ? std::optional<std::string>("") : std::nullopt;
  if (headerSize > kMaxHeaderSize) return std::nullopt;
  const uint64_t headerStart = kSignatureHeaderSize + headerOffset;
  std::string header;
  if (!file.read(headerStart, static_cast<size_t>(headerSize), header)) return std::nullopt;
  if (crc32Of(reinterpret_cast<const unsigned char*>(header.data()), header.size()) != headerCRC)
    return std::nullopt;

  for (int level = 0; level < kMaxHeaderLevels; ++level) {
    ByteReader r(reinterpret_cast<const unsigned char*>(header.data()), header.size());
    const uint64_t type = r.number();
    if (type == kHeader) return listHeader(r, headerStart);
    if (type != kEncodedHeader) return std::nullopt;
    Streams streams;
    if (!readStreamsInfo(r, streams) || r.left() != 0) return std::nullopt;
    std::optional<std::string> unpacked = unpackHeader(file, streams, headerStart);
    if (!unpacked) return std::nullopt;
    header = std::move(*unpacked);
  }
  return std::nullopt;
}

}  // namespace tessaro::sevenzip
