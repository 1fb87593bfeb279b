#include "VolumeNames.h"

#include <limits>

#include "NSString+AWSRegex.h"
#include "PathString.h"

namespace tessaro {

namespace {

// The three naming families, in the order they are tried: the partN pair first, because
// name.part2.rar also ends in "rar".
enum class VolumeFamily { kPartNumbered, kRarNumbered, kPlainNumbered, kNone };

struct VolumeName {
  VolumeFamily family = VolumeFamily::kNone;
  std::string_view base;    // the path without its volume suffix
  std::string_view digits;  // the volume number as written ("" for name.rar)
};

VolumeName classify(std::string_view path) {
  const std::string_view extension = pathExtension(path);
  const std::string_view withoutExtension = deletingPathExtension(path);
  if (extension == "rar" || extension == "rev") {
    const std::string_view inner = pathExtension(withoutExtension);
    if (matches(inner, "^part[0-9]+$")) {
      return {VolumeFamily::kPartNumbered, deletingPathExtension(withoutExtension), inner.substr(4)};
    }
  }
  if (extension == "rar" || matches(extension, "^[r-s][0-9]+$")) {
    return {VolumeFamily::kRarNumbered, withoutExtension, extension == "rar" ? "" : extension.substr(1)};
  }
  if (matches(extension, "^[0-9]+$")) return {VolumeFamily::kPlainNumbered, withoutExtension, extension};
  return {};
}

// Decimal digits as a number; a number too large for the type gives the largest value.
int64_t parseVolumeNumber(std::string_view digits) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  for (char c : digits) {
    const int digit = c - '0';
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::string firstPart(std::string_view path) {
  try {
    const VolumeName name = classify(path);
    switch (name.family) {
      case VolumeFamily::kPartNumbered: {
        // Volume 1 written as wide as the given number, leading zeros included (part07 → part01).
        std::string first(name.base);
        first += ".part";
        if (!name.digits.empty()) first.append(name.digits.size() - 1, '0');
        first += "1.rar";
        return first;
      }
      case VolumeFamily::kRarNumbered: return appendingPathExtension(name.base, "rar");
      case VolumeFamily::kPlainNumbered: return appendingPathExtension(name.base, "001");
      case VolumeFamily::kNone: return std::string(path);
    }
    return std::string(path);
  } catch (...) {
    return {};
  }
}

std::optional<std::string> basePath(std::string_view path) {
  try {
    const VolumeName name = classify(path);
    if (name.family == VolumeFamily::kNone) return std::nullopt;
    return std::string(name.base);
  } catch (...) {
    return std::nullopt;
  }
}

int64_t partNumber(std::string_view path) {
  try {
    return parseVolumeNumber(classify(path).digits);
  } catch (...) {
    return 0;
  }
}

}  // namespace tessaro
