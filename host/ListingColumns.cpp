// The column forms of `tessaro list`. The columns have fixed widths, so a listing of millions of
// entries is written as it is walked, never gathered first.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>

#include "ListingViews.h"
#include "locale/LocaleFormat.h"

namespace tessaro::host {

namespace {

constexpr size_t kFlushSize = 64 * 1024;

bool needsEscape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; }

// Local time in `format`; entries of one archive often share a date, so the last text is kept.
class DateText {
 public:
  explicit DateText(bool seconds) : seconds_(seconds) {}
  std::string_view text(std::optional<Date> date) {
    if (!date) return "-";
    const time_t seconds = date->time_since_epoch().count();
    if (!valid_ || seconds != last_) {
      struct tm local {};
      const size_t length = localtime_r(&seconds, &local) ? format(local) : 0;
      text_[0] = length > 0 ? text_[0] : '?';
      length_ = length > 0 ? length : 1;
      last_ = seconds;
      valid_ = true;
    }
    return {text_, length_};
  }

 private:
  size_t format(const struct tm& local) {
    return seconds_ ? std::strftime(text_, sizeof text_, "%Y-%m-%d %H:%M:%S", &local)
                    : std::strftime(text_, sizeof text_, "%Y-%m-%d %H:%M", &local);
  }
  bool seconds_;
  bool valid_ = false;
  time_t last_ = 0;
  char text_[64] = {};
  size_t length_ = 0;
};

void appendPadded(std::string& out, std::string_view text, size_t width, bool right) {
  const size_t pad = text.size() < width ? width - text.size() : 0;
  if (right) out.append(pad, ' ');
  out += text;
  if (!right) out.append(pad, ' ');
}

// Unknown counts (negative in the listing) read "-".
std::string countText(int64_t value, bool inWords) {
  if (value < 0) return "-";
  if (!inWords) return std::to_string(value);
  return value == 0 ? "0" : formatByteCount(value, false);
}

// A field the archive supplied, on one line; "-" when it is empty.
std::string escaped(std::string_view text) {
  std::string out;
  if (text.empty()) out = "-";
  appendEscaped(out, text);
  return out;
}

bool flush(std::string& out, std::FILE* file) {
  const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  out.clear();
  return written;
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!needsEscape(c)) {
      out += ch;
      continue;
    }
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
      }
    }
  }
}

bool printColumns(const AZipItem& root, bool longForm, std::FILE* file) {
  std::string out;
  out.reserve(kFlushSize * 2);
  DateText dates(longForm);
  bool written = true;
  if (longForm) {
    out += "Attributes      Size    Packed  Modified             Method     CRC       Name\n";
  }
  forEachEntry(root, [&](const AZipItem& item, size_t) {
    appendPadded(out, escaped(item.attr()), 10, false);
    out += "  ";
    appendPadded(out, countText(item.uncoV(), !longForm), longForm ? 8 : 9, true);
    if (longForm) {
      out += "  ";
      appendPadded(out, countText(item.isDir() ? -1 : item.compV(), false), 8, true);
    }
    out += "  ";
    out += dates.text(item.timeV());
    if (longForm) {
      out += "  ";
      appendPadded(out, escaped(item.meth()), 9, false);
      out += "  ";
      appendPadded(out, escaped(item.crc_()), 8, false);
      out += item.isEncryptedEntry() ? " *" : "  ";
    }
    out += "  ";
    appendEscaped(out, item.path());
    if (item.isDir()) out += '/';
    out += '\n';
    if (out.size() >= kFlushSize) written = flush(out, file) && written;
    return true;
  });
  written = flush(out, file) && written;
  return std::fflush(file) == 0 && written;
}

}  // namespace tessaro::host
