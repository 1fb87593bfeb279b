#include "TarRewrite.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "HandlerRegistry.h"
#include "PathString.h"
#include "helpers.h"

namespace tessaro::host {

namespace {

constexpr size_t kReadBlock = 64 * 1024;
// The holes of a sparse entry are written out as zeros (GNU tar and pax sparse maps are not
// carried over: every reader can read the entry whole).
constexpr size_t kZeroBlock = 64 * 1024;
// What added files carry: as GNU tar writes by default, no extended attributes, ACLs or flags.
constexpr int kDiskBehaviour =
    ARCHIVE_READDISK_NO_XATTR | ARCHIVE_READDISK_NO_ACL | ARCHIVE_READDISK_NO_FFLAGS;

struct ReadFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};
struct ResolverFree {
  void operator()(archive_entry_linkresolver* r) const { archive_entry_linkresolver_free(r); }
};
using Reader = std::unique_ptr<archive, ReadFree>;
using Writer = std::unique_ptr<archive, WriteFree>;
using Entry = std::unique_ptr<archive_entry, EntryFree>;

// libarchive converts the UTF-8 names of pax headers into the encoding of the current locale,
// which in the program's C locale fails for every non-ASCII name; in a UTF-8 locale they pass
// unchanged, and the raw names of GNU and ustar headers are never converted.
class Utf8Names {
 public:
  Utf8Names() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr)) {
    if (locale_) previous_ = uselocale(locale_);
  }
  ~Utf8Names() {
    if (!locale_) return;
    uselocale(previous_);
    freelocale(locale_);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t locale_;
  locale_t previous_ = nullptr;
};

// An entry path as the listing and the command line name it: without leading "/" and "./" and
// without trailing "/".
std::string_view entryKey(std::string_view path) {
  for (;;) {
    if (path.starts_with('/')) {
      path.remove_prefix(1);
    } else if (path.starts_with("./")) {
      path.remove_prefix(2);
    } else {
      break;
    }
  }
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

bool atOrBelow(std::string_view key, std::string_view name) {
  return key.starts_with(name) && (key.size() == name.size() || key[name.size()] == '/');
}

bool atOrBelowAny(std::string_view key, const std::vector<std::string>& names) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return atOrBelow(key, name); });
}

const char* orEmpty(const char* text) { return text ? text : ""; }

// The writer's format for the reader's: GNU tar's own, else pax, which writes a plain ustar
// header wherever one holds everything, so that ustar archives stay ustar.
int writerFormat(int readFormat) {
  return readFormat == ARCHIVE_FORMAT_TAR_GNUTAR ? ARCHIVE_FORMAT_TAR_GNUTAR
                                                 : ARCHIVE_FORMAT_TAR_PAX_RESTRICTED;
}

class TarCopy {
 public:
  TarCopy(std::string archive, const TarChange& change, TerminalCallbackHandler* progress)
      : archive_(std::move(archive)), change_(change), progress_(progress) {}

  // The archive changed, or false after a message with nothing changed.
  bool run();

 private:
  bool failed(archive* a, std::string_view doing);
  bool failed(std::string_view message);
  Reader openReader();
  // Notes the kept hard links' targets that the change drops (a hard link names an entry
  // before it), reading the whole archive once.
  bool findOrphanedTargets();
  bool openWriter(const std::string& partial, int format);
  // Copies the old archive's entries, the first one already read into `entry`.
  bool copyEntries(archive_entry* entry);
  // The new name of a kept entry's path or link target, or none when the change leaves it.
  std::optional<std::string> renamed(const char* path) const;
  bool writeAdded(const std::string& partial);
  bool writeTree(const std::string& top, archive_entry_linkresolver* links, const struct stat& partial);
  bool writeEntry(archive* from, archive_entry* entry, std::string_view name);
  // A kept hard link whose target is dropped: the first becomes a file with the target's data,
  // the others hard links to it.
  bool writeOrphan(archive_entry* entry, const std::string& target, std::string_view name);
  using Sink = std::function<bool(const void* data, size_t size)>;
  // The entry's `size` bytes of data, holes written as zeros.
  bool copyData(archive* from, int64_t size, const Sink& sink, std::string_view name);
  bool toWriter(const void* data, size_t size, std::string_view name);

  const std::string archive_;
  const TarChange& change_;
  TerminalCallbackHandler* progress_;  // told of every byte written, for the progress line
  std::vector<std::string> removed_;   // keys of the removed entries and of those the added replace
  std::string from_, to_;              // keys of a rename
  Reader reader_;
  Writer writer_;
  std::unordered_set<std::string> orphaned_;  // keys of dropped entries that kept hard links name
  struct Spool {
    std::unique_ptr<FILE, int (*)(FILE*)> file{nullptr, std::fclose};
    int64_t size = 0;
    std::optional<std::string> writtenAs;  // the path of the link that took the data
  };
  std::unordered_map<std::string, Spool> spools_;
};

bool TarCopy::failed(archive* a, std::string_view doing) {
  std::fprintf(stderr, "tessaro: %s: %.*s: %s\n", archive_.c_str(), static_cast<int>(doing.size()),
               doing.data(), a && archive_error_string(a) ? archive_error_string(a) : "failed");
  return false;
}

bool TarCopy::failed(std::string_view message) {
  std::fprintf(stderr, "tessaro: %s: %.*s\n", archive_.c_str(), static_cast<int>(message.size()),
               message.data());
  return false;
}

Reader TarCopy::openReader() {
  Reader reader(archive_read_new());
  archive* a = reader.get();
  if (!a || archive_read_support_filter_all(a) != ARCHIVE_OK ||
      archive_read_support_format_tar(a) != ARCHIVE_OK ||
      archive_read_open_filename(a, archive_.c_str(), kReadBlock) != ARCHIVE_OK) {
    failed(a, "reading");
    return nullptr;
  }
  return reader;
}

bool TarCopy::findOrphanedTargets() {
  const Reader reader = openReader();
  if (!reader) return false;
  const Entry entry(archive_entry_new());
  if (!entry) return failed(nullptr, "reading");
  std::unordered_set<std::string> dropped;
  for (;;) {
    const int read = archive_read_next_header2(reader.get(), entry.get());
    if (read == ARCHIVE_EOF) return true;
    if (read != ARCHIVE_OK) return failed(reader.get(), "reading");
    std::string key(entryKey(orEmpty(archive_entry_pathname(entry.get()))));
    if (atOrBelowAny(key, removed_)) {
      dropped.insert(std::move(key));
    } else if (const char* link = archive_entry_hardlink(entry.get())) {
      std::string target(entryKey(link));
      if (dropped.contains(target)) orphaned_.insert(std::move(target));
    }
  }
}

bool TarCopy::openWriter(const std::string& partial, int format) {
  writer_.reset(archive_write_new());
  if (!writer_) return failed(nullptr, "writing");
  archive* w = writer_.get();
  // Filter 0 is the outermost one read; the last is always "none".
  const int filters = archive_filter_count(reader_.get());
  if (filters > 2) return failed("more than one layer of compression");
  if (filters == 2 && archive_write_add_filter(w, archive_filter_code(reader_.get(), 0)) != ARCHIVE_OK)
    return failed(w, "compressing");
  if (archive_write_set_format(w, format) != ARCHIVE_OK ||
      archive_write_open_filename(w, partial.c_str()) != ARCHIVE_OK)
    return failed(w, "writing");
  return true;
}

std::optional<std::string> TarCopy::renamed(const char* path) const {
  if (!path || !change_.renamed) return std::nullopt;
  const std::string_view key = entryKey(path);
  if (!atOrBelow(key, from_)) return std::nullopt;
  return to_ + std::string(key.substr(from_.size()));
}

bool TarCopy::copyEntries(archive_entry* entry) {
  archive* a = reader_.get();
  for (;;) {
    const std::string key(entryKey(orEmpty(archive_entry_pathname(entry))));
    if (atOrBelowAny(key, removed_)) {
      // The data of a dropped file that a kept hard link names waits for the link.
      if (orphaned_.contains(key) && archive_entry_filetype(entry) == AE_IFREG &&
          !archive_entry_hardlink(entry)) {
        Spool& spool = spools_[key];
        spool.file.reset(std::tmpfile());
        if (!spool.file) return failed(key + ": no temporary file for its data");
        const Sink toSpool = [&spool](const void* data, size_t size) {
          return std::fwrite(data, 1, size, spool.file.get()) == size;
        };
        if (!copyData(a, archive_entry_size(entry), toSpool, key)) return false;
        spool.size = archive_entry_size(entry);
      }
    } else {
      if (!from_.empty() && !atOrBelow(key, from_) && atOrBelow(key, to_))
        return failed(to_ + ": an entry of that name exists already");
      std::optional<std::string> orphanOf;
      if (const char* link = archive_entry_hardlink(entry)) {
        const std::string target(entryKey(link));
        if (spools_.contains(target)) {
          orphanOf = target;
        } else if (orphaned_.contains(target)) {
          std::fprintf(stderr, "tessaro: %s: the hard link %s loses its target %s\n", archive_.c_str(),
                       key.c_str(), link);
        }
        if (auto renamedTarget = renamed(link)) archive_entry_copy_hardlink(entry, renamedTarget->c_str());
      }
      if (auto path = renamed(archive_entry_pathname(entry)))
        archive_entry_copy_pathname(entry, path->c_str());
      if (orphanOf ? !writeOrphan(entry, *orphanOf, key) : !writeEntry(a, entry, key)) return false;
    }
    const int next = archive_read_next_header2(a, entry);
    if (next == ARCHIVE_EOF) return true;
    // A warning is damage too (a skipped bad header, a broken extended header): nothing read
    // in doubt is written.
    if (next != ARCHIVE_OK) return failed(a, "reading");
  }
}

bool TarCopy::writeOrphan(archive_entry* entry, const std::string& target, std::string_view name) {
  Spool& spool = spools_.at(target);
  if (spool.writtenAs) {
    archive_entry_copy_hardlink(entry, spool.writtenAs->c_str());
    return writeEntry(nullptr, entry, name);
  }
  spool.writtenAs = orEmpty(archive_entry_pathname(entry));
  archive_entry_copy_hardlink(entry, nullptr);
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_size(entry, spool.size);
  if (archive_write_header(writer_.get(), entry) != ARCHIVE_OK) return failed(writer_.get(), name);
  std::rewind(spool.file.get());
  std::vector<char> buffer(kReadBlock);
  for (int64_t left = spool.size; left > 0;) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size())));
    if (std::fread(buffer.data(), 1, want, spool.file.get()) != want || !toWriter(buffer.data(), want, name))
      return failed(std::string(name) + ": the data of its target cannot be read back");
    left -= static_cast<int64_t>(want);
  }
  return true;
}

bool TarCopy::toWriter(const void* data, size_t size, std::string_view name) {
  if (progress_) progress_->processData(nullptr, static_cast<int64_t>(size), 1);
  return archive_write_data(writer_.get(), data, size) >= 0 || failed(writer_.get(), name);
}

bool TarCopy::copyData(archive* from, int64_t size, const Sink& sink, std::string_view name) {
  static const char zeros[kZeroBlock] = {};
  const auto zeroFill = [&](int64_t count) {
    for (; count > 0; count -= static_cast<int64_t>(kZeroBlock)) {
      if (!sink(zeros, static_cast<size_t>(std::min<int64_t>(count, kZeroBlock)))) return false;
    }
    return true;
  };
  int64_t written = 0;
  for (;;) {
    const void* block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    const int read = archive_read_data_block(from, &block, &length, &offset);
    // A sparse entry's data may end in a hole.
    if (read == ARCHIVE_EOF)
      return zeroFill(size - written) || failed(std::string(name) + ": cannot be written");
    if (read != ARCHIVE_OK) return failed(from, name);
    if (offset < written) return failed(std::string(name) + ": overlapping data blocks");
    if (!zeroFill(offset - written) || (length > 0 && !sink(block, length)))
      return failed(std::string(name) + ": cannot be written");
    written = offset + static_cast<int64_t>(length);
  }
}

bool TarCopy::writeEntry(archive* from, archive_entry* entry, std::string_view name) {
  // The data goes in whole, holes as zeros; the size is the entry's full size already.
  archive_entry_sparse_clear(entry);
  const int header = archive_write_header(writer_.get(), entry);
  // A warning: the entry was written, a name or owner perhaps in a form of the writer's choice.
  if (header == ARCHIVE_WARN) {
    std::fprintf(stderr, "tessaro: %.*s: %s\n", static_cast<int>(name.size()), name.data(),
                 orEmpty(archive_error_string(writer_.get())));
  } else if (header != ARCHIVE_OK) {
    return failed(writer_.get(), name);
  }
  const int64_t size = archive_entry_size(entry);
  const Sink sink = [&](const void* data, size_t length) { return toWriter(data, length, name); };
  return size <= 0 || !from || copyData(from, size, sink, name);
}

bool TarCopy::writeTree(const std::string& top, archive_entry_linkresolver* links,
                        const struct stat& partial) {
  Reader disk(archive_read_disk_new());
  archive* d = disk.get();
  if (!d || archive_read_disk_set_symlink_physical(d) != ARCHIVE_OK ||
      archive_read_disk_set_standard_lookup(d) != ARCHIVE_OK ||
      archive_read_disk_set_behavior(d, kDiskBehaviour) != ARCHIVE_OK ||
      archive_read_disk_open(d, top.c_str()) != ARCHIVE_OK)
    return failed(d, top);
  // Names below the folder that holds `top`, under the --into folder.
  const size_t parentLength = deletingLastPathComponent(top).size();
  std::string into(entryKey(change_.into));
  if (!into.empty()) into += '/';
  for (;;) {
    Entry entry(archive_entry_new());
    if (!entry) return failed(nullptr, top);
    const int read = archive_read_next_header2(d, entry.get());
    if (read == ARCHIVE_EOF) return true;
    if (read != ARCHIVE_OK) return failed(d, top);
    const std::string path = orEmpty(archive_entry_sourcepath(entry.get()));
    if (archive_read_disk_descend(d) != ARCHIVE_OK) return failed(d, path);
    if (archive_entry_dev(entry.get()) == partial.st_dev &&
        static_cast<ino_t>(archive_entry_ino64(entry.get())) == partial.st_ino)
      continue;  // the archive being written, inside an added folder
    if (archive_entry_filetype(entry.get()) == AE_IFSOCK) {
      std::fprintf(stderr, "tessaro: %s: a socket is left out\n", path.c_str());
      continue;
    }
    std::string_view relative(path);
    relative.remove_prefix(std::min(relative.size(), parentLength));
    while (relative.starts_with('/')) relative.remove_prefix(1);
    archive_entry_copy_pathname(entry.get(), (into + std::string(relative)).c_str());
    archive_entry_unset_atime(entry.get());
    archive_entry_unset_ctime(entry.get());
    archive_entry_unset_birthtime(entry.get());
    // A second name of a file already written becomes a hard link to the first.
    archive_entry* linked = entry.release();
    archive_entry* spare = nullptr;
    archive_entry_linkify(links, &linked, &spare);
    entry.reset(linked);
    Entry spareEntry(spare);
    if (!writeEntry(d, entry.get(), path)) return false;
  }
}

bool TarCopy::writeAdded(const std::string& partial) {
  if (change_.added.empty()) return true;
  struct stat written;
  if (::stat(partial.c_str(), &written) != 0) return failed(partial + ": cannot be read back");
  std::unique_ptr<archive_entry_linkresolver, ResolverFree> links(archive_entry_linkresolver_new());
  if (!links) return failed(nullptr, "adding");
  archive_entry_linkresolver_set_strategy(links.get(), archive_format(writer_.get()));
  for (const std::string& top : change_.added) {
    if (!writeTree(top, links.get(), written)) return false;
  }
  return true;
}

bool TarCopy::run() {
  for (const std::string& name : change_.removed) removed_.emplace_back(entryKey(name));
  const std::string into(entryKey(change_.into));
  for (const std::string& file : change_.added) {
    const std::string name(lastPathComponent(file));
    removed_.push_back(into.empty() ? name : into + "/" + name);
  }
  if (change_.renamed) {
    from_ = entryKey(change_.renamed->first);
    to_ = entryKey(change_.renamed->second);
    if (to_.empty() || atOrBelow(to_, from_))
      return failed(change_.renamed->second + ": not a name to rename to");
  }
  if (std::any_of(removed_.begin(), removed_.end(), [](const std::string& key) { return key.empty(); }) ||
      (change_.renamed && from_.empty()))
    return failed("an empty entry name");

  const Utf8Names names;
  if (!removed_.empty() && !findOrphanedTargets()) return false;
  reader_ = openReader();
  if (!reader_) return false;
  Entry first(archive_entry_new());
  if (!first) return failed(nullptr, "reading");
  const int read = archive_read_next_header2(reader_.get(), first.get());
  if (read != ARCHIVE_OK && read != ARCHIVE_EOF) return failed(reader_.get(), "reading");
  // An archive without entries was written by GNU tar in its own format.
  const int format =
      read == ARCHIVE_EOF ? ARCHIVE_FORMAT_TAR_GNUTAR : writerFormat(archive_format(reader_.get()));

  const std::string target = resolvedArchivePath(archive_);
  const std::optional<std::string> partial = createFileBeside(target);
  if (!partial) return failed("cannot create a file beside the archive");
  const bool written =
      openWriter(*partial, format) && (read == ARCHIVE_EOF || copyEntries(first.get())) &&
      writeAdded(*partial) &&
      (archive_write_close(writer_.get()) == ARCHIVE_OK || failed(writer_.get(), "writing")) &&
      (archive_read_close(reader_.get()) == ARCHIVE_OK || failed(reader_.get(), "reading"));
  if (!written || std::rename(partial->c_str(), target.c_str()) != 0) {
    if (written) failed("cannot replace the archive");
    std::remove(partial->c_str());
    return false;
  }
  return true;
}

}  // namespace

bool isTarFamily(const ArchiveHandler& handler) {
  const HandlerClass* tar = handlerClassNamed("AHandlerTar");
  return tar && handler.isa().isSubclassOf(*tar);
}

TarChange TarChange::removing(std::vector<std::string> names) {
  TarChange change;
  change.removed = std::move(names);
  return change;
}

TarChange TarChange::renaming(std::string from, std::string to) {
  TarChange change;
  change.renamed.emplace(std::move(from), std::move(to));
  return change;
}

TarChange TarChange::adding(std::vector<std::string> files, std::string into) {
  TarChange change;
  change.added = std::move(files);
  change.into = std::move(into);
  return change;
}

int32_t rewriteTar(ArchiveSession& session, const TarChange& change) {
  try {
    TerminalCallbackHandler& progress = session.callback();
    const bool copied = TarCopy(session.archive(), change, &progress).run();
    progress.endProgress();
    return copied ? 0 : kStatusFailed;
  } catch (...) {
    session.callback().endProgress();
    return kStatusFailed;
  }
}

}  // namespace tessaro::host
