// `tessaro list --json`: one object per entry, for scripts. Names are UTF-8 as the listing has
// them; a name the archive did not store as UTF-8 also carries its bytes as "name_bytes" (hex).
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <string>

#include "ListingViews.h"

namespace tessaro::host {

namespace {

// ISO 8601 in UTC: the same instant whatever the reader's time zone.
std::string isoDate(const Date& date) {
  const time_t seconds = date.time_since_epoch().count();
  struct tm utc {};
  char text[64];
  if (!gmtime_r(&seconds, &utc) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
    return {};
  return text;
}

const char* kindOf(const AZipItem& item) {
  if (item.isDir()) return "folder";
  if (item.isSymlink()) return "link";
  return "file";
}

nlohmann::ordered_json countOrNull(int64_t value) {
  return value < 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(value);
}
nlohmann::ordered_json textOrNull(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

}  // namespace

bool printJson(const AZipItem& root, const std::unordered_map<std::string, std::string>& linkTargets,
               std::FILE* file) {
  bool written = std::fputs("[", file) >= 0;
  bool first = true;
  forEachEntry(root, [&](const AZipItem& item, size_t) {
    nlohmann::ordered_json entry;
    const std::string path(item.path());
    entry["name"] = path;
    if (!item.rawName().empty()) entry["name_bytes"] = item.rawName();
    entry["kind"] = kindOf(item);
    entry["size"] = countOrNull(item.uncoV());
    entry["packed"] = countOrNull(item.isDir() ? -1 : item.compV());
    const std::optional<Date> date = item.timeV();
    const std::string modified = date ? isoDate(*date) : std::string();
    entry["modified"] = textOrNull(modified);
    entry["attributes"] = textOrNull(item.attr());
    entry["encrypted"] = item.isEncryptedEntry();
    entry["method"] = textOrNull(item.meth());
    entry["crc"] = textOrNull(item.crc_());
    const auto target = linkTargets.find(path);
    entry["link_target"] = target == linkTargets.end() ? nlohmann::ordered_json(nullptr)
                                                       : nlohmann::ordered_json(target->second);
    entry["comment"] = textOrNull(item.comt());
    // Bytes that are not UTF-8 (a comment, a method name) are replaced rather than stop the output.
    const std::string text = entry.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    written = std::fputs(first ? "\n  " : ",\n  ", file) >= 0 && written;
    written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && written;
    first = false;
    return written;
  });
  written = std::fputs(first ? "]\n" : "\n]\n", file) >= 0 && written;
  return std::fflush(file) == 0 && written;
}

}  // namespace tessaro::host
