#include "Base64.h"

#include <algorithm>
#include <cstdint>

#include "HelperSupport.h"

namespace tessaro {

using detail::guarded;
using detail::isWhiteSpace;

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string encodeBase64(std::string_view bytes) {
  return guarded(std::string{}, [&] {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
      size_t n = std::min<size_t>(3, bytes.size() - i);
      uint32_t group = 0;
      for (size_t j = 0; j < 3; ++j)
        group = (group << 8) | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
      for (size_t j = 0; j < 4; ++j) out += j <= n ? kBase64Alphabet[(group >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
  });
}

std::optional<std::string> decodeBase64(std::string_view text) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t group = 0;
    size_t inGroup = 0;
    size_t padding = 0;
    for (char c : text) {
      if (isWhiteSpace(c)) continue;
      if (c == '=') {
        // Padding may only fill the last one or two places of the final group.
        if (inGroup < 2) return std::nullopt;
        ++padding;
        group <<= 6;
        if (++inGroup == 4) {
          if (padding > 2) return std::nullopt;
          out += static_cast<char>(group >> 16);
          if (padding == 1) out += static_cast<char>((group >> 8) & 0xFF);
          inGroup = 0;
        }
        continue;
      }
      int value = base64Value(c);
      if (value < 0 || padding > 0) return std::nullopt;
      group = (group << 6) | static_cast<uint32_t>(value);
      if (++inGroup == 4) {
        out += static_cast<char>(group >> 16);
        out += static_cast<char>((group >> 8) & 0xFF);
        out += static_cast<char>(group & 0xFF);
        group = 0;
        inGroup = 0;
      }
    }
    if (inGroup != 0) return std::nullopt;
    return out;
  });
}

}  // namespace tessaro
