#include "ArchiveCheck.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace tessaro::host {

namespace {

struct ReaderDeleter {
  void operator()(archive* reader) const { archive_read_free(reader); }
};

std::string problemOf(archive* reader, const char* fallback) {
  const char* text = archive_error_string(reader);
  return text && *text ? std::string(text) : std::string(fallback);
}

// libarchive inflates gzip members without looking at their CRC-32 and length trailers, so a
// flipped bit in the compressed data passes it; zlib's own gzip decoding checks both. Every member
// of the file is checked. Empty when sound, else what is wrong; none when the file is no gzip.
std::optional<std::string> gzipProblem(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
    ::close(*f);
    delete f;
  });
  unsigned char magic[2];
  if (::pread(fd, magic, 2, 0) != 2 || magic[0] != 0x1f || magic[1] != 0x8b) return std::nullopt;

  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::string("out of memory");
  std::unique_ptr<z_stream, int (*)(z_stream*)> ender(&stream, inflateEnd);
  std::vector<unsigned char> input(1 << 16);
  std::vector<unsigned char> output(1 << 16);
  bool memberEnded = false;
  for (;;) {
    if (stream.avail_in == 0) {
      ssize_t n = ::read(fd, input.data(), input.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::string("cannot be read");
      if (n == 0) return memberEnded ? std::string() : std::string("truncated gzip input");
      stream.next_in = input.data();
      stream.avail_in = static_cast<uInt>(n);
    }
    // Another member may follow an ended one; anything else after it is left to libarchive.
    if (memberEnded) {
      if (stream.next_in[0] != 0x1f) return std::string();
      inflateReset(&stream);
      memberEnded = false;
    }
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = inflate(&stream, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      memberEnded = true;
    } else if (status != Z_OK && !(status == Z_BUF_ERROR && stream.avail_in == 0)) {
      return std::string(stream.msg ? stream.msg : "damaged gzip data");
    }
  }
}

}  // namespace

ArchiveCheck checkWholeArchive(const std::string& path, const std::optional<std::string>& password) {
  ArchiveCheck result;
  if (const std::optional<std::string> gzip = gzipProblem(path); gzip && !gzip->empty()) {
    result.problem = *gzip;
    return result;
  }
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
