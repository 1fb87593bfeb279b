// What the fuzz targets share: a scratch folder for the run, and a check for well-formed UTF-8.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace tessaro::fuzz {

// A private folder for one fuzzing run, removed when the process ends normally.
struct Scratch {
  std::filesystem::path root;
  Scratch() {
    std::string templ = (std::filesystem::temp_directory_path() / "tessaro-fuzz.XXXXXX").string();
    if (mkdtemp(templ.data())) root = templ;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

// True when every byte belongs to a shortest-form UTF-8 sequence of a scalar value.
inline bool isWellFormedUTF8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<uint8_t>(text[i]);
    size_t length = 0;
    uint32_t value = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
      value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      value = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      value = b & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto c = static_cast<uint8_t>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      value = value << 6 | (c & 0x3F);
    }
    if ((length == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) ||
        (length == 4 && (value < 0x10000 || value > 0x10FFFF)))
      return false;
    i += length;
  }
  return true;
}

}  // namespace tessaro::fuzz
