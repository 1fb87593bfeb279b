// tessaro list ARCHIVE: the archive's entries, one per line in tree order:
//   path[/] TAB size TAB packed size TAB date TAB attributes
// Control characters and backslashes in paths are escaped, so every entry stays on one line and
// a TAB always separates fields.
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "AZipItem.h"
#include "ArchiveFacts.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "HostPaths.h"
#include "ListingPipeline.h"
#include "StoredPasswords.h"
#include "TerminationCleanup.h"
#include "helpers.h"

namespace tessaro::host {

const char* const kListUsage = "list ARCHIVE   print the archive's entries: path, size, packed size, date, attributes\n";

namespace {

// Written out whenever this much has gathered: few system calls, little memory.
constexpr size_t kFlushSize = 64 * 1024;

bool needsEscape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; }

void appendEscaped(std::string& out, std::string_view text) {
  size_t plain = 0;
  while (plain < text.size() && !needsEscape(static_cast<unsigned char>(text[plain]))) ++plain;
  out.append(text.substr(0, plain));
  for (size_t i = plain; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needsEscape(c)) {
      out += static_cast<char>(c);
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

void appendNumber(std::string& out, int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// Local time; entries of one archive often share a date, so the last text is kept.
class DateText {
 public:
  void append(std::string& out, std::optional<Date> date) {
    if (!date) {
      out += '-';
      return;
    }
    const time_t seconds = date->time_since_epoch().count();
    if (!valid_ || seconds != last_) {
      struct tm local{};
      const size_t length =
          localtime_r(&seconds, &local) ? std::strftime(text_, sizeof text_, "%Y-%m-%d %H:%M:%S", &local) : 0;
      length_ = length > 0 ? length : 1;
      if (length == 0) text_[0] = '?';
      last_ = seconds;
      valid_ = true;
    }
    out.append(text_, length_);
  }

 private:
  bool valid_ = false;
  time_t last_ = 0;
  char text_[64] = {};
  size_t length_ = 0;
};

bool flush(std::string& out) {
  const bool written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
  out.clear();
  return written;
}

// Depth first with an explicit stack: a hostile archive's nesting cannot exhaust the call stack.
bool printTree(const AZipItem& root) {
  std::string out;
  out.reserve(kFlushSize * 2);
  DateText dates;
  std::vector<const AZipItem*> stack;
  const auto pushChildren = [&stack](const AZipItem& item) {
    for (auto it = item.children().rbegin(); it != item.children().rend(); ++it) stack.push_back(it->get());
  };
  pushChildren(root);
  bool written = true;
  while (!stack.empty()) {
    const AZipItem& item = *stack.back();
    stack.pop_back();
    appendEscaped(out, item.path());
    if (item.isDir()) out += '/';
    out += '\t';
    appendNumber(out, item.uncoV());
    out += '\t';
    appendNumber(out, item.compV());
    out += '\t';
    dates.append(out, item.timeV());
    out += '\t';
    if (item.attr().empty()) {
      out += '-';
    } else {
      appendEscaped(out, item.attr());
    }
    out += '\n';
    if (out.size() >= kFlushSize) written = flush(out) && written;
    pushChildren(item);
  }
  written = flush(out) && written;
  return std::fflush(stdout) == 0 && written;
}

}  // namespace

int listCommand(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::printf("usage: tessaro %s", kListUsage);
      return kExitOK;
    }
  }
  if (args.size() != 1 || args[0].empty()) {
    std::fprintf(stderr, "usage: tessaro %s", kListUsage);
    return kExitUsage;
  }
  const std::string& file = args[0];
  if (const std::string complaint = notReadableAsArchive(file); !complaint.empty()) {
    std::fprintf(stderr, "tessaro: %s: %s\n", file.c_str(), complaint.c_str());
    return kExitUsage;
  }
  // Asked first, so that "no handler" is told apart from a handler that could not list.
  if (!handlerClassWithFilename(file, false)) {
    std::fprintf(stderr, "tessaro: no handler for %s\n", file.c_str());
    return kExitUsage;
  }

  // Killed, the listing leaves no tool running and no temporary folder behind.
  if (usePrivateTemporaryFolder()) cleanUpOnTerminationSignals();
  struct FolderRemoval {
    ~FolderRemoval() { removePrivateTemporaryFolder(); }
  } folderRemoval;

  locateHelpers();
  AZipItem::Ptr root;
  ArchiveFacts facts;
  int32_t status = getInfo(file, root, facts);
  // Names hidden behind a password: the ones kept in the store are tried, in their order.
  if (status == kStatusListingEncrypted) {
    for (const std::string& password : storedArchivePasswords()) {
      AZipItem::Ptr opened;
      if (getInfo(file, opened, password) != 0) continue;
      root = std::move(opened);
      status = 0;
      break;
    }
  }
  // Whatever was listed before a failure is shown too.
  const bool printed = !root || printTree(*root);
  if (!printed) {
    std::fprintf(stderr, "tessaro: could not write the listing: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  if (facts.cutShortAt) {
    std::fprintf(stderr,
                 "tessaro: the listing of %s was cut short at %lld entries (raise HLVListingMaxEntries or "
                 "HLVListingMaxNameBytes to see more)\n",
                 file.c_str(), static_cast<long long>(*facts.cutShortAt));
    return kExitFailed;
  }
  if (status == kStatusListingEncrypted) {
    std::fprintf(stderr, "tessaro: the listing of %s is encrypted (status 100)\n", file.c_str());
    return kExitFailed;
  }
  if (status != kStatusOK) {
    std::fprintf(stderr, "tessaro: listing %s failed with status %d\n", file.c_str(), status);
    return kExitFailed;
  }
  return kExitOK;
}

}  // namespace tessaro::host
