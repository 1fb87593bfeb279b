// Builds TNEF streams (winmail.dat) for tests, from the published layout: attribute records with
// their checksums, MAPI property streams, and compressed RTF from a real LZFu compressor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::test {

// Attribute ids: type in the high 16 bits, name in the low 16.
inline constexpr uint32_t kTnefAttachRendData = 0x00069002;
inline constexpr uint32_t kTnefAttachTitle = 0x00018010;
inline constexpr uint32_t kTnefAttachData = 0x0006800F;
inline constexpr uint32_t kTnefAttachModifyDate = 0x00038013;
inline constexpr uint32_t kTnefAttachment = 0x00069005;
inline constexpr uint32_t kTnefMsgProps = 0x00069003;
inline constexpr uint32_t kTnefBody = 0x0002800C;

inline constexpr uint8_t kTnefMessage = 1;
inline constexpr uint8_t kTnefAttachmentLevel = 2;

std::string le16(uint16_t value);
std::string le32(uint32_t value);
// UTF-8 (Basic Multilingual Plane only) to UTF-16LE with a terminating zero unit.
std::string utf16(std::string_view utf8);

// A MAPI property stream: its count followed by the properties added.
class MapiStream {
 public:
  // Object, 8-bit string, UTF-16 string and binary types: a count, then each value with its length.
  MapiStream& counted(uint16_t type, uint16_t name, const std::vector<std::string>& values);
  // One property written as given (header included); counts as one property.
  MapiStream& raw(std::string_view property);
  std::string bytes() const;

 private:
  uint32_t count_ = 0;
  std::string body_;
};

struct TnefAttachment {
  std::optional<std::string> title;     // attAttachTitle (written with a terminating zero)
  std::optional<std::string> longName;  // PR_ATTACH_LONG_FILENAME as UTF-16
  std::string data;
};

class TnefWriter {
 public:
  TnefWriter();
  // One attribute record; its checksum is the byte sum of `data` unless one is given.
  TnefWriter& attribute(uint8_t level, uint32_t id, std::string_view data,
                        std::optional<uint16_t> checksum = std::nullopt);
  TnefWriter& attachment(const TnefAttachment& attachment);
  TnefWriter& messageProps(const MapiStream& props);
  TnefWriter& textBody(std::string_view text);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// The CRC of compressed RTF (reflected 0xEDB88320, initial 0, no final inversion), bit by bit.
uint32_t rtfCrc(std::string_view data);
// A PR_RTF_COMPRESSED value: "LZFu" with greedy longest matches, or "MELA" stored.
std::string compressRtf(std::string_view rtf);
std::string storeRtf(std::string_view rtf);

}  // namespace tessaro::test
