#include "XADArchive.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "LibarchiveEntries.h"
#include "process/Subprocess.h"

namespace tessaro {

namespace {

using Json = nlohmann::json;

// The listing is one JSON object; its entries are the objects of the "lsarContents" array.
constexpr int kEntryDepth = 2;

// The key every entry of lsar's listing has once, quotes included.
constexpr std::string_view kIndexKey = "\"XADIndex\"";
// What lsar writes for an entry beside its name (a few dozen keys, some 500 bytes), and for a
// byte of a name (more only for control characters, escaped as \uXXXX).
constexpr size_t kJsonBytesPerEntry = 2048;
constexpr size_t kJsonBytesPerNameByte = 2;

size_t saturatingAdd(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }
size_t saturatingMultiply(size_t a, size_t b) { return b != 0 && a > SIZE_MAX / b ? SIZE_MAX : a * b; }

std::string toolPath(const char* name) {
  return programOnPath(name).value_or(std::string("/usr/bin/") + name);
}

int64_t integerOf(const Json& object, const char* key, int64_t fallback = 0) {
  const auto it = object.find(key);
  if (it == object.end()) return fallback;
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_number_unsigned()) {
    const uint64_t v = it->get<uint64_t>();
    return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v);
  }
  if (it->is_number_float()) {
    const double d = it->get<double>();
    return d > -9.2e18 && d < 9.2e18 ? static_cast<int64_t>(d) : fallback;
  }
  if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
  return fallback;
}

bool flagOf(const Json& object, const char* key) { return integerOf(object, key) != 0; }

// Sizes come from the archive: negative ones count as nothing and the sum stops at the largest.
int64_t addSize(int64_t sum, int64_t size) {
  if (size <= 0) return sum;
  return sum > INT64_MAX - size ? INT64_MAX : sum + size;
}

int64_t bytesOf(const XADArchive::Entry& e) {
  return addSize(e.data.index >= 0 ? std::max<int64_t>(e.data.size, 0) : 0,
                 e.rsrc.index >= 0 ? e.rsrc.size : 0);
}

// lsar writes dates as "2023-02-03 22:42:45 +0000".
bool parseDate(const Json& object, const char* key, int64_t& seconds) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  const std::string& text = it->get_ref<const std::string&>();
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char sign = '+';
  int zone = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d %c%d", &y, &mo, &d, &h, &mi, &s, &sign, &zone) < 6)
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60)
    return false;
  if (y < -100000 || y > 100000 || zone < 0 || zone > 2400) return false;
  using namespace std::chrono;
  const sys_days day{
      year_month_day{year{y}, month{static_cast<unsigned>(mo)}, std::chrono::day{static_cast<unsigned>(d)}}};
  const int64_t offset = (zone / 100) * 3600 + (zone % 100) * 60;
  seconds =
      day.time_since_epoch().count() * 86400LL + h * 3600 + mi * 60 + s - (sign == '-' ? -offset : offset);
  return true;
}

XADArchive::Fork forkOf(const Json& object, int64_t fallbackIndex) {
  XADArchive::Fork fork;
  fork.index = integerOf(object, "XADIndex", fallbackIndex);
  fork.size = integerOf(object, "XADFileSize");
  fork.compressedSize = integerOf(object, "XADCompressedSize", fork.size);
  fork.hasModified = parseDate(object, "XADLastModificationDate", fork.modified);
  if (object.contains("XADPosixPermissions")) {
    fork.hasPermissions = true;
    fork.permissions = static_cast<uint32_t>(integerOf(object, "XADPosixPermissions") & 07777);
  }
  fork.isDirectory = flagOf(object, "XADIsDirectory");
  fork.isEncrypted = flagOf(object, "XADIsEncrypted");
  return fork;
}

}  // namespace

bool isSafeEntryName(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

std::unique_ptr<XADArchive> XADArchive::initWithFile(const std::string& path, XADListingBound bound,
                                                     XADLister lister) {
  return open(path, false, bound, lister);
}

std::unique_ptr<XADArchive> XADArchive::recursiveArchiveForFile(const std::string& path,
                                                                XADListingBound bound, XADLister lister) {
  return open(path, true, bound, lister);
}

std::unique_ptr<XADArchive> XADArchive::open(const std::string& path, bool recursive, XADListingBound bound,
                                             XADLister lister) {
  try {
    if (path.empty()) return nullptr;
    std::unique_ptr<XADArchive> archive(new XADArchive);
    archive->path_ = path;
    archive->recursive_ = recursive;
    if (lister == XADLister::preferLibarchive) {
      Listing listing;
      if (listWithLibarchive(path, recursive, bound, listing)) {
        archive->cutShort_ = listing.cutShort;
        archive->assemble(std::move(listing));
        return archive;
      }
    }
    std::vector<std::string> argv{toolPath("lsar"), "-ja"};
    if (!recursive) argv.push_back("-nr");
    argv.push_back("--");
    argv.push_back(path);
    SubprocessOptions options;
    options.separateErrorOutput = true;
    Subprocess lsar;
    if (!lsar.start(argv, options)) return nullptr;
    // lsar is stopped once its output holds more entries than the bound, or more bytes than
    // that many entries with names of the bound's length could take. Every entry has one
    // "XADIndex" key, and the text of a key appears nowhere else (quotes in names are escaped).
    const size_t byteBudget = saturatingAdd(saturatingMultiply(bound.maxNameBytes, kJsonBytesPerNameByte),
                                            saturatingMultiply(bound.maxEntries, kJsonBytesPerEntry));
    const size_t entryBudget = saturatingAdd(bound.maxEntries, 1);
    std::string json;
    size_t counted = 0;  // where the search for the next key starts
    size_t entries = 0;
    bool truncated = false;
    const auto collect = [&](std::string_view chunk) {
      json.append(chunk);
      for (size_t at; (at = json.find(kIndexKey, counted)) != std::string::npos;
           counted = at + kIndexKey.size())
        ++entries;
      counted = std::max(counted, json.size() - std::min(json.size(), kIndexKey.size() - 1));
      if (entries > entryBudget || json.size() > byteBudget) {
        truncated = true;
        throw std::runtime_error("bound");
      }
    };
    lsar.wait(collect);
    if (!archive->parseListing(json, truncated)) return nullptr;
    return archive;
  } catch (...) {
    return nullptr;
  }
}

bool XADArchive::parseListing(const std::string& json, bool truncated) {
  // Entries are turned into forks as the parser finishes each one and then dropped, so a big
  // listing never exists as a whole document.
  Listing listing;
  bool recognised = false;
  int64_t counter = 0;
  const Json::parser_callback_t keep = [&](int depth, Json::parse_event_t event, Json& parsed) -> bool {
    if (event == Json::parse_event_t::key && depth == 1 && parsed.is_string() &&
        parsed.get_ref<const std::string&>() == "lsarFormatName")
      recognised = true;
    if (event != Json::parse_event_t::object_end || depth != kEntryDepth || !parsed.is_object()) return true;
    if (!parsed.contains("XADFileName") && !parsed.contains("XADIndex")) return true;
    const auto name = parsed.find("XADFileName");
    const bool isRsrc = flagOf(parsed, "XADIsResourceFork");
    Entry e;
    e.name = name != parsed.end() && name->is_string() ? name->get<std::string>() : std::string();
    (isRsrc ? e.rsrc : e.data) = forkOf(parsed, counter++);
    const auto original = parsed.find("MacOriginalDictionary");
    if (isRsrc && original != parsed.end() && original->is_object()) {
      const auto originalName = original->find("XADFileName");
      e.original = static_cast<int32_t>(listing.originals.size());
      listing.originals.push_back({originalName != original->end() && originalName->is_string()
                                       ? originalName->get<std::string>()
                                       : std::string(),
                                   forkOf(*original, -1)});
    }
    listing.forks.push_back(std::move(e));
    listing.isResourceFork.push_back(isRsrc);
    return false;
  };
  Json top = Json::parse(json, keep, /*allow_exceptions=*/false);
  // Cut off, the document never closes and lsar's format name, written after the entries, is
  // missing: the entries read up to the cut are the listing.
  if (truncated) {
    if (listing.forks.empty()) return false;
    cutShort_ = true;
    assemble(std::move(listing));
    return true;
  }
  if (top.is_discarded() || !top.is_object() || !recognised) return false;
  // A damaged archive keeps the entries lsar could read before the damage; with none it is
  // unreadable.
  if (integerOf(top, "lsarError") != 0 && listing.forks.empty()) return false;
  encrypted_ = top.contains("lsarProperties") && top["lsarProperties"].is_object() &&
               flagOf(top["lsarProperties"], "XADIsEncrypted");
  assemble(std::move(listing));
  return true;
}

void XADArchive::assemble(Listing listing) {
  originals_ = std::move(listing.originals);
  std::vector<Entry>& forks = listing.forks;
  for (const Entry& f : forks) encrypted_ = encrypted_ || f.data.isEncrypted || f.rsrc.isEncrypted;
  // Without resource forks no two forks join, and a big listing is kept as it is.
  const std::vector<bool>& isResourceFork = listing.isResourceFork;
  if (std::find(isResourceFork.begin(), isResourceFork.end(), true) == isResourceFork.end()) {
    entries_ = std::move(forks);
    return;
  }
  // A resource fork joins the data fork of the same name that lacks one, and the other way round.
  std::unordered_map<std::string_view, size_t> open;
  open.reserve(forks.size());
  entries_.clear();
  entries_.reserve(forks.size());
  for (size_t i = 0; i < forks.size(); ++i) {
    Entry& listed = forks[i];
    const bool isRsrc = i < isResourceFork.size() && isResourceFork[i];
    const Fork& fork = isRsrc ? listed.rsrc : listed.data;
    const auto it = open.find(listed.name);
    if (it != open.end()) {
      Entry& e = entries_[it->second];
      Fork& slot = isRsrc ? e.rsrc : e.data;
      if (slot.index < 0 && !e.data.isDirectory && !fork.isDirectory) {
        slot = fork;
        if (isRsrc) e.original = listed.original;
        open.erase(it);
        continue;
      }
      open.erase(it);
    }
    entries_.push_back(std::move(listed));
    // The keys view names inside entries_, which was reserved above and so never moves.
    open[entries_.back().name] = entries_.size() - 1;
  }
}

const XADArchive::Entry* XADArchive::entry(int n) const {
  if (n < 0 || static_cast<size_t>(n) >= entries_.size()) return nullptr;
  return &entries_[static_cast<size_t>(n)];
}

PlistDictionary XADArchive::forkDictionary(const Entry& e, const Fork& fork, bool resourceFork) const {
  // Keys go in in their sorted order, each at the end: no searching the map, once per entry of
  // a listing that may hold a hundred thousand.
  PlistDictionary d;
  const auto add = [&d](const char* key, PropertyList value) {
    d.emplace_hint(d.end(), key, std::move(value));
  };
  add("XADCompressedSize", fork.compressedSize);
  add("XADFileName", e.name);
  add("XADFileSize", fork.size);
  add("XADIndex", fork.index);
  if (fork.isDirectory) add("XADIsDirectory", true);
  if (fork.isEncrypted) add("XADIsEncrypted", true);
  if (resourceFork) add("XADIsResourceFork", true);
  if (fork.hasModified) add("XADLastModificationDate", PlistDate{static_cast<double>(fork.modified)});
  if (fork.hasPermissions) add("XADPosixPermissions", static_cast<int64_t>(fork.permissions));
  return d;
}

PlistDictionary XADArchive::attributesOfEntry(int n) const {
  try {
    const Entry* e = entry(n);
    if (!e) return {};
    const Fork& fork = e->data.index >= 0 ? e->data : e->rsrc;
    // In the keys' sorted order, as in forkDictionary.
    PlistDictionary d;
    if (fork.hasModified)
      d.emplace_hint(d.end(), kXADFileModificationDate, PlistDate{static_cast<double>(fork.modified)});
    if (fork.hasPermissions)
      d.emplace_hint(d.end(), kXADFilePosixPermissions, static_cast<int64_t>(fork.permissions));
    d.emplace_hint(d.end(), kXADFileSize, e->data.index >= 0 ? e->data.size : int64_t{0});
    d.emplace_hint(d.end(), kXADFileType, fork.isDirectory ? "NSFileTypeDirectory" : "NSFileTypeRegular");
    return d;
  } catch (...) {
    return {};
  }
}

PlistDictionary XADArchive::combinedParserDictionaryForEntry(int n) const {
  try {
    const Entry* e = entry(n);
    if (!e) return {};
    return e->data.index >= 0 ? forkDictionary(*e, e->data, false) : forkDictionary(*e, e->rsrc, true);
  } catch (...) {
    return {};
  }
}

std::string XADArchive::nameOfEntry(int n) const {
  const Entry* e = entry(n);
  return e ? e->name : std::string();
}

bool XADArchive::entryIsDirectory(int n) const {
  const Entry* e = entry(n);
  return e && e->data.isDirectory;
}

bool XADArchive::entryIsEncrypted(int n) const {
  const Entry* e = entry(n);
  return e && (e->data.isEncrypted || e->rsrc.isEncrypted);
}

bool XADArchive::entryHasResourceFork(int n) const {
  const Entry* e = entry(n);
  return e && e->rsrc.index >= 0;
}

PlistDictionary XADArchive::resourceForkParserDictionaryForEntry(int n) const {
  try {
    const Entry* e = entry(n);
    if (!e || e->rsrc.index < 0) return {};
    PlistDictionary d;
    d["XADIndex"] = e->rsrc.index;
    if (e->original >= 0 && static_cast<size_t>(e->original) < originals_.size()) {
      const Original& original = originals_[static_cast<size_t>(e->original)];
      PlistDictionary o;
      o["XADFileName"] = original.name;
      o["XADFileSize"] = original.fork.size;
      o["XADCompressedSize"] = original.fork.compressedSize;
      if (original.fork.hasModified)
        o["XADLastModificationDate"] = PlistDate{static_cast<double>(original.fork.modified)};
      d["MacOriginalDictionary"] = std::move(o);
    } else {
      d["MacOriginalDictionary"] = forkDictionary(*e, e->rsrc, true);
    }
    return d;
  } catch (...) {
    return {};
  }
}

bool XADArchive::extractTo(const std::string& folder) {
  try {
    std::vector<int64_t> indices;
    bool allSafe = true;
    int64_t total = 0;
    for (size_t n = 0; n < entries_.size(); ++n) {
      const Entry& e = entries_[n];
      if (!isSafeEntryName(e.name)) {
        allSafe = false;
        if (delegate_ &&
            delegate_->archiveExtractionOfEntryDidFail(*this, static_cast<int>(n), kXADErrorUnsafeName) == 0)
          return false;
        continue;
      }
      total = addSize(total, bytesOf(e));
      if (e.data.index >= 0) indices.push_back(e.data.index);
      if (e.rsrc.index >= 0) indices.push_back(e.rsrc.index);
    }
    if (!allSafe && indices.empty()) return true;
    // With every name safe, unar takes the whole archive without a list of indices.
    if (allSafe) indices.clear();
    return runUnar(indices, folder, total, -1);
  } catch (...) {
    return false;
  }
}

bool XADArchive::extractEntry(int n, const std::string& folder, bool /*overrideWritePermissions*/) {
  try {
    const Entry* e = entry(n);
    if (!e) {
      if (delegate_) delegate_->archiveExtractionOfEntryDidFail(*this, n, kXADErrorFailed);
      return false;
    }
    if (!isSafeEntryName(e->name)) {
      if (delegate_) delegate_->archiveExtractionOfEntryDidFail(*this, n, kXADErrorUnsafeName);
      return false;
    }
    std::vector<int64_t> indices;
    if (e->data.index >= 0) indices.push_back(e->data.index);
    if (e->rsrc.index >= 0) indices.push_back(e->rsrc.index);
    return runUnar(indices, folder, bytesOf(*e), n);
  } catch (...) {
    return false;
  }
}

bool XADArchive::runUnar(const std::vector<int64_t>& indices, const std::string& folder, int64_t total,
                         int entryForErrors) {
  // unar writes one line per file as it goes: each line is a moment to report progress and to
  // ask whether to stop. "-k hidden" stores resource forks as AppleDouble "._" files.
  // unar reads a password from its -p argument, visible in /proc to every local user, or from a
  // prompt on its controlling terminal: neither is a private way in, so an encrypted archive is
  // not unpacked with one.
  if (!password_.empty() && encrypted_) {
    if (delegate_)
      delegate_->archiveExtractionOfEntryDidFail(*this, entryForErrors, kXADErrorPasswordRefused);
    return false;
  }
  std::vector<std::string> argv{toolPath("unar"), "-o", folder, "-f", "-D", "-k", "hidden"};
  if (!recursive_) argv.push_back("-nr");
  if (!indices.empty()) argv.push_back("-i");
  argv.push_back("--");
  argv.push_back(path_);
  for (int64_t index : indices) argv.push_back(std::to_string(index));

  SubprocessOptions options;
  options.separateErrorOutput = true;
  Subprocess child;
  if (!child.start(argv, options)) {
    if (delegate_) delegate_->archiveExtractionOfEntryDidFail(*this, entryForErrors, kXADErrorTool);
    return false;
  }
  bool stopped = false;
  int64_t lines = 0;
  const size_t count = indices.empty() ? entries_.size() : indices.size();
  const auto onOutput = [&](std::string_view chunk) {
    for (char c : chunk) lines += c == '\n';
    if (delegate_) {
      // Progress by finished lines, scaled to the bytes the extraction covers.
      const double share =
          count == 0 ? 1.0 : std::min(1.0, static_cast<double>(lines) / static_cast<double>(count));
      const int64_t done = static_cast<int64_t>(static_cast<double>(total) * share);
      delegate_->archiveExtractionProgressBytes(*this, done, total);
      if (delegate_->archiveExtractionShouldStop(*this)) {
        stopped = true;
        throw std::runtime_error("stopped");
      }
    }
  };
  if (delegate_ && delegate_->archiveExtractionShouldStop(*this)) {
    child.terminate();
    child.wait();
    return false;
  }
  const SubprocessResult result = child.wait(onOutput);
  if (stopped) return false;
  if (result.exitStatus != 0) {
    if (delegate_) delegate_->archiveExtractionOfEntryDidFail(*this, entryForErrors, kXADErrorFailed);
    return false;
  }
  return true;
}

}  // namespace tessaro
