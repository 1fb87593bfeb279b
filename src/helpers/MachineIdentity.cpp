#include "MachineIdentity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>

#include "HelperSupport.h"

namespace tessaro {

using detail::containsNul;
using detail::folderEntries;
using detail::guarded;

namespace {

// Up to `limit` bytes of a small system file, or none when it cannot be opened.
std::optional<std::string> readSmallFile(const char* path, size_t limit) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buffer[4096];
  while (data.size() < limit) {
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - data.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return data;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

std::optional<std::string> getPrimaryMACAddress() {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    auto isInterfaceName = [](std::string_view name) {
      return !name.empty() && name.size() < 16 && name != "." && name != ".." &&
             name.find('/') == std::string_view::npos && !containsNul(name);
    };
    auto addressOf = [&](std::string_view interface) -> std::optional<std::string> {
      if (!isInterfaceName(interface)) return std::nullopt;
      std::string file = "/sys/class/net/" + std::string(interface) + "/address";
      auto text = readSmallFile(file.c_str(), 256);
      if (!text) return std::nullopt;
      std::string_view address = trimmed(*text);
      // Only six-byte hardware addresses ("aa:bb:cc:dd:ee:ff") qualify.
      if (address.size() != 17) return std::nullopt;
      std::string digits;
      for (size_t i = 0; i < address.size(); ++i) {
        char c = address[i];
        if (i % 3 == 2) {
          if (c != ':') return std::nullopt;
          continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      if (digits == "000000000000") return std::nullopt;
      return digits;
    };

    // The interface of the default route: fields are Iface, Destination, Gateway, Flags, ...
    if (auto routes = readSmallFile("/proc/net/route", 1 << 20)) {
      std::string_view table = *routes;
      for (size_t pos = table.find('\n'); pos != std::string_view::npos && pos < table.size();) {
        size_t end = table.find('\n', pos + 1);
        std::string_view line = table.substr(pos + 1, end == std::string_view::npos ? end : end - pos - 1);
        pos = end;
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) continue;
        if (line.substr(tab + 1, 9) == "00000000\t") {
          if (auto address = addressOf(trimmed(line.substr(0, tab)))) return address;
        }
      }
    }
    for (const std::string& name : folderEntries("/sys/class/net")) {
      if (name == "lo") continue;
      if (auto address = addressOf(name)) return address;
    }
    return std::nullopt;
  });
}

std::optional<std::string> sleepWakeUUID() {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    auto bootId = readSmallFile("/proc/sys/kernel/random/boot_id", 256);
    if (!bootId || trimmed(*bootId).empty()) return std::nullopt;
    std::string suspends = "0";
    if (auto count = readSmallFile("/sys/power/suspend_stats/success", 64)) {
      std::string_view digits = trimmed(*count);
      if (!digits.empty() &&
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        suspends = digits;
    }
    return std::string(trimmed(*bootId)) + "-" + suspends;
  });
}

}  // namespace tessaro
