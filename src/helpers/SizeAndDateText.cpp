#include "SizeAndDateText.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "HelperSupport.h"
#include "defaults/UserDefaults.h"
#include "locale/LocaleFormat.h"

namespace tessaro {

using detail::guarded;

namespace {

bool sizesInBase1024() { return UserDefaults::standard().boolForKey("HLVSizeBase1024"); }

// "1234567" becomes "1,234,567".
std::string groupedDecimal(int64_t value) {
  std::string digits = std::to_string(value);
  size_t start = digits[0] == '-' ? 1 : 0;
  for (size_t pos = digits.size(); pos > start + 3;) {
    pos -= 3;
    digits.insert(pos, 1, ',');
  }
  return digits;
}

}  // namespace

std::string formatSize(int64_t size) {
  return guarded(std::string{}, [&] {
    // The thresholds and quotients are single precision on purpose: 99,999,999 reads as
    // 100,000,000 and so shows as "100 MB". Every unit below is exact in a float.
    const float s = static_cast<float>(size);
    const float k = sizesInBase1024() ? 1024.0f : 1000.0f;
    const float m = k * k;
    const float g = m * k;
    char text[64];
    if (s >= 10.0f * g)
      std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(s / g));
    else if (s >= g)
      std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(s / g));
    else if (s >= 100.0f * m)
      std::snprintf(text, sizeof text, "%.0f MB", static_cast<double>(s / m));
    else if (s >= m)
      std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(s / m));
    else if (s > k)
      std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(s / k));
    else
      std::snprintf(text, sizeof text, "%.0f B", static_cast<double>(s));
    return std::string(text);
  });
}

std::string formatSizeWithBytes(int64_t size, bool appendBytes) {
  return guarded(std::string{}, [&] {
    const bool base1024 = sizesInBase1024();
    std::string text = formatByteCount(size, base1024);
    // Like the platform's formatter, the exact count is added only when the text does not show it
    // already, which it does for zero ("Zero KB") and for counts below one unit ("12 bytes").
    const uint64_t magnitude = size < 0 ? 0 - static_cast<uint64_t>(size) : static_cast<uint64_t>(size);
    if (appendBytes && magnitude >= (base1024 ? 1024u : 1000u))
      text += " (" + groupedDecimal(size) + " bytes)";
    return text;
  });
}

std::string formatDate(std::optional<Date> date) {
  if (!date) return {};
  return guarded(std::string{}, [&] { return formatShortDateTime(*date); });
}

std::string posixPermissionsString(uint32_t bits) {
  static constexpr const char* kTriples[8] = {"---", "--x", "-w-", "-wx", "r--", "r-x", "rw-", "rwx"};
  return guarded(std::string{}, [&] {
    std::string text;
    for (int shift : {6, 3, 0}) text += kTriples[(bits >> shift) & 7];
    return text;
  });
}

int32_t parsePosixPermissionsString(std::string_view text) {
  static constexpr std::array<std::string_view, 8> kTriples = {"---", "--x", "-w-", "-wx",
                                                               "r--", "r-x", "rw-", "rwx"};
  char triple[3];
  int32_t result = 0;
  for (size_t start : {1, 4, 7}) {
    if (text.size() < start + 3) continue;
    for (size_t i = 0; i < 3; ++i) {
      char c = text[start + i];
      // Set-id and sticky markers stand on the execute position: lower case with the bit, upper without.
      if (c == 's' || c == 't') c = 'x';
      if (c == 'S' || c == 'T') c = '-';
      triple[i] = c;
    }
    auto match = std::find(kTriples.begin(), kTriples.end(), std::string_view(triple, 3));
    if (match != kTriples.end()) result = result * 8 + static_cast<int32_t>(match - kTriples.begin());
  }
  return result;
}

}  // namespace tessaro
