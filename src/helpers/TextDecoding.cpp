#include "TextDecoding.h"

#include <cstring>
#include <utility>

#include "HelperSupport.h"

namespace tessaro {

using detail::guarded;

bool isValidUTF8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Listings are mostly ASCII: eight bytes at a time while no high bit is set.
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (size_t i = 2; i < length; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += length;
  }
  return true;
}

std::string utf8FromLatin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

std::optional<std::string> decodeUTF8(std::string_view bytes) {
  if (!isValidUTF8(bytes)) return std::nullopt;
  return std::string(bytes);
}

// Every byte is a Latin-1 character, so this reading always succeeds.
std::optional<std::string> decodeLatin1(std::string_view bytes) { return utf8FromLatin1(bytes); }

std::optional<std::string> decodeASCII(std::string_view bytes) {
  for (char c : bytes)
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  return std::string(bytes);
}

}  // namespace

std::optional<std::string> decodeString(std::string_view bytes, uint64_t* encoding) {
  using Decoder = std::optional<std::string> (*)(std::string_view);
  static constexpr std::pair<uint64_t, Decoder> kAttempts[] = {
      {kUTF8StringEncoding, decodeUTF8},
      {kISOLatin1StringEncoding, decodeLatin1},
      {kASCIIStringEncoding, decodeASCII},
  };
  for (const auto& [tried, decode] : kAttempts) {
    if (encoding) *encoding = tried;
    // Captured by value: clang before 16 cannot capture a structured binding.
    if (auto text =
            guarded(std::optional<std::string>{}, [decoder = decode, bytes] { return decoder(bytes); }))
      return text;
  }
  return std::nullopt;
}

}  // namespace tessaro
