#include "ArchiveCheck.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace tessaro::host {

namespace {

struct ReaderDeleter {
  void operator()(archive* reader) const { archive_read_free(reader); }
};

std::string problemOf(archive* reader, const char* fallback) {
  const char* text = archive_error_string(reader);
  return text && *text ? std::string(text) : std::string(fallback);
}

}  // namespace

ArchiveCheck checkWholeArchive(const std::string& path, const std::optional<std::string>& password) {
  ArchiveCheck result;
  std::unique_ptr<archive, ReaderDeleter> reader(archive_read_new());
  if (!reader) {
    result.problem = "out of memory";
    return result;
  }
  archive_read_support_filter_all(reader.get());
  archive_read_support_format_all(reader.get());
  // Bids only when no archive format does: a lone compressed stream is its own one entry.
  archive_read_support_format_raw(reader.get());
  if (password) archive_read_add_passphrase(reader.get(), password->c_str());
  if (archive_read_open_filename(reader.get(), path.c_str(), 1 << 16) != ARCHIVE_OK) {
    result.problem = problemOf(reader.get(), "cannot be opened");
    return result;
  }
  for (;;) {
    archive_entry* entry = nullptr;
    const int header = archive_read_next_header(reader.get(), &entry);
    if (header == ARCHIVE_EOF) break;
    if (header < ARCHIVE_WARN) {
      result.problem = problemOf(reader.get(), "a damaged header");
      return result;
    }
    const char* name = archive_entry_pathname(entry);
    result.entry = name ? name : "";
    ++result.entries;
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
      const int data = archive_read_data_block(reader.get(), &block, &size, &offset);
      if (data == ARCHIVE_EOF) break;
      if (data < ARCHIVE_WARN) {
        result.problem = problemOf(reader.get(), "damaged data");
        return result;
      }
      result.bytes += static_cast<int64_t>(size);
    }
  }
  // Closing reads what follows the last entry; a stream cut after it is reported here.
  if (archive_read_close(reader.get()) != ARCHIVE_OK) {
    result.problem = problemOf(reader.get(), "the archive ends early");
    return result;
  }
  result.entry.clear();
  result.ok = true;
  return result;
}

}  // namespace tessaro::host
