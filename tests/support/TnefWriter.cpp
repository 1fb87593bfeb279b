#include "support/TnefWriter.h"

namespace tessaro::test {

namespace {

// The length of the preset text every compressed RTF dictionary starts with.
constexpr size_t kInitialDictionarySize = 207;
constexpr size_t kDictionarySize = 4096;
constexpr size_t kMaxMatch = 17;
constexpr size_t kWindow = kDictionarySize - kInitialDictionarySize - kMaxMatch;

std::string padded(std::string_view bytes) {
  std::string out(bytes);
  out.append((4 - bytes.size() % 4) % 4, '\0');
  return out;
}

}  // namespace

std::string le16(uint16_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string le32(uint32_t value) {
  return le16(static_cast<uint16_t>(value)) + le16(static_cast<uint16_t>(value >> 16));
}

std::string utf16(std::string_view utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    uint16_t unit = c;
    if (c >= 0xE0 && i + 2 < utf8.size()) {
      unit = static_cast<uint16_t>((c & 0x0F) << 12 | (utf8[i + 1] & 0x3F) << 6 | (utf8[i + 2] & 0x3F));
      i += 3;
    } else if (c >= 0xC0 && i + 1 < utf8.size()) {
      unit = static_cast<uint16_t>((c & 0x1F) << 6 | (utf8[i + 1] & 0x3F));
      i += 2;
    } else {
      i += 1;
    }
    out += le16(unit);
  }
  return out + le16(0);
}

MapiStream& MapiStream::counted(uint16_t type, uint16_t name, const std::vector<std::string>& values) {
  std::string property = le16(type) + le16(name) + le32(static_cast<uint32_t>(values.size()));
  for (const std::string& value : values)
    property += le32(static_cast<uint32_t>(value.size())) + padded(value);
  return raw(property);
}

MapiStream& MapiStream::raw(std::string_view property) {
  body_.append(property);
  ++count_;
  return *this;
}

std::string MapiStream::bytes() const { return le32(count_) + body_; }

TnefWriter::TnefWriter() { bytes_ = le32(0x223E9F78) + le16(0x0001); }

TnefWriter& TnefWriter::attribute(uint8_t level, uint32_t id, std::string_view data,
                                  std::optional<uint16_t> checksum) {
  uint16_t sum = 0;
  for (const char c : data) sum = static_cast<uint16_t>(sum + static_cast<unsigned char>(c));
  bytes_.push_back(static_cast<char>(level));
  bytes_ += le32(id) + le32(static_cast<uint32_t>(data.size()));
  bytes_.append(data);
  bytes_ += le16(checksum.value_or(sum));
  return *this;
}

TnefWriter& TnefWriter::attachment(const TnefAttachment& attachment) {
  // attAttachRendData: attachment type 1 (file), position, rendering; contents do not matter here.
  attribute(kTnefAttachmentLevel, kTnefAttachRendData,
            le16(1) + le32(0xFFFFFFFF) + le16(0) + le16(0) + le32(0));
  if (attachment.title)
    attribute(kTnefAttachmentLevel, kTnefAttachTitle, *attachment.title + std::string(1, '\0'));
  // 2024-03-05 06:07:08, a Tuesday.
  attribute(kTnefAttachmentLevel, kTnefAttachModifyDate,
            le16(2024) + le16(3) + le16(5) + le16(6) + le16(7) + le16(8) + le16(2));
  attribute(kTnefAttachmentLevel, kTnefAttachData, attachment.data);
  if (attachment.longName)
    attribute(kTnefAttachmentLevel, kTnefAttachment,
              MapiStream().counted(0x001F, 0x3707, {utf16(*attachment.longName)}).bytes());
  return *this;
}

TnefWriter& TnefWriter::messageProps(const MapiStream& props) {
  return attribute(kTnefMessage, kTnefMsgProps, props.bytes());
}

TnefWriter& TnefWriter::textBody(std::string_view text) { return attribute(kTnefMessage, kTnefBody, text); }

uint32_t rtfCrc(std::string_view data) {
  uint32_t crc = 0;
  for (const char c : data) {
    crc ^= static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

std::string compressRtf(std::string_view rtf) {
  // Matches are looked for in the text itself, never in the preset dictionary; a match may run
  // into the bytes it copies. The text starts at the dictionary's write position and stays short
  // enough not to wrap over a byte still referenced.
  std::string payload;
  size_t in = 0;
  for (bool ended = false; !ended;) {
    uint8_t control = 0;
    std::string tokens;
    for (int bit = 0; bit < 8 && !ended; ++bit) {
      size_t bestLength = 0, bestFrom = 0;
      for (size_t from = in > kWindow ? in - kWindow : 0; from < in; ++from) {
        size_t length = 0;
        while (length < kMaxMatch && in + length < rtf.size() && rtf[from + length] == rtf[in + length])
          ++length;
        if (length > bestLength) {
          bestLength = length;
          bestFrom = from;
        }
      }
      // The end is a reference to the write position itself.
      ended = in == rtf.size();
      const size_t position = (kInitialDictionarySize + (ended ? in : bestFrom)) % kDictionarySize;
      if (ended || bestLength >= 2) {
        control = static_cast<uint8_t>(control | 1 << bit);
        const size_t length = ended ? 2 : bestLength;
        const auto reference = static_cast<uint16_t>(position << 4 | (length - 2));
        tokens += static_cast<char>(reference >> 8);
        tokens += static_cast<char>(reference & 0xFF);
        in += ended ? 0 : bestLength;
      } else {
        tokens += rtf[in++];
      }
    }
    payload += static_cast<char>(control);
    payload += tokens;
  }
  return le32(static_cast<uint32_t>(payload.size() + 12)) + le32(static_cast<uint32_t>(rtf.size())) + "LZFu" +
         le32(rtfCrc(payload)) + payload;
}

std::string storeRtf(std::string_view rtf) {
  return le32(static_cast<uint32_t>(rtf.size() + 12)) + le32(static_cast<uint32_t>(rtf.size())) + "MELA" +
         le32(0) + std::string(rtf);
}

}  // namespace tessaro::test
