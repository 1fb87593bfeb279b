#include "util.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "alloc.h"

namespace tessaro::tnef {

namespace {

// Unknown-size streams are read in steps of this size, so a lying length costs at most one step
// beyond the bytes that really arrive.
constexpr uint64_t kReadStep = 1 << 20;

}  // namespace

void report(const Context& ctx, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(ctx.err, format, args);
  va_end(args);
}

void stop(const Context& ctx, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(ctx.err, format, args);
  va_end(args);
  throw DecodeStopped{};
}

void Input::unexpectedEnd(const Context& ctx) const {
  // A plain end of file has no error of its own: it reads as "Success".
  const int error = std::ferror(file_) ? errno : 0;
  stop(ctx, "Unexpected end of input: %s\n", std::strerror(error));
}

Input::Input(FILE* file) : file_(file) {
  struct stat st;
  const int fd = file ? fileno(file) : -1;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<uint64_t>(st.st_size);
}

std::optional<uint64_t> Input::remaining() const {
  if (!size_) return std::nullopt;
  const long pos = std::ftell(file_);
  if (pos < 0 || static_cast<uint64_t>(pos) > *size_) return 0;
  return *size_ - static_cast<uint64_t>(pos);
}

bool Input::read(Bytes& bytes, uint64_t count, const Context& ctx) {
  bytes.clear();
  const std::optional<uint64_t> left = remaining();
  if (left && count > *left) {
    // Nothing is allocated for a length the file cannot hold; move to the end as a short read would.
    std::fseek(file_, 0, SEEK_END);
    return false;
  }
  while (bytes.size() < count) {
    const uint64_t step = std::min<uint64_t>(count - bytes.size(), left ? count : kReadStep);
    const size_t old = bytes.size();
    checked_resize(bytes, old + step, ctx);
    const size_t got = std::fread(bytes.data() + old, 1, step, file_);
    bytes.resize(old + got);
    if (got < step) return false;
  }
  return true;
}

std::optional<uint8_t> Input::readByte() {
  const int c = std::fgetc(file_);
  if (c == EOF) return std::nullopt;
  return static_cast<uint8_t>(c);
}

void Input::readOrStop(Bytes& bytes, uint64_t count, const Context& ctx) {
  if (!read(bytes, count, ctx)) unexpectedEnd(ctx);
}

uint32_t Input::read32OrStop(const Context& ctx) {
  uint8_t b[4];
  if (std::fread(b, 1, 4, file_) != 4) unexpectedEnd(ctx);
  return get32(b);
}

uint16_t Input::read16OrStop(const Context& ctx) {
  uint8_t b[2];
  if (std::fread(b, 1, 2, file_) != 2) unexpectedEnd(ctx);
  return get16(b);
}

bool Cursor::read32(uint32_t& value) {
  if (left() < 4) return false;
  value = get32(data_ + pos_);
  pos_ += 4;
  return true;
}

bool Cursor::read16(uint16_t& value) {
  if (left() < 2) return false;
  value = get16(data_ + pos_);
  pos_ += 2;
  return true;
}

bool Cursor::take(size_t count, const uint8_t*& out, size_t align) {
  if (left() < count) return false;
  out = data_ + pos_;
  const size_t padded = align > 1 ? count + (align - count % align) % align : count;
  pos_ += std::min(padded, left());
  return true;
}

std::string unicode_to_utf8(const uint8_t* data, size_t length) {
  std::string text;
  text.reserve(length / 2 * 3);
  for (size_t i = 0; i + 1 < length; i += 2) {
    const uint16_t unit = get16(data + i);
    if (unit == 0) break;
    if (unit < 0x80) {
      text.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (unit >> 6)));
      text.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xE0 | (unit >> 12)));
      text.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
  return text;
}

}  // namespace tessaro::tnef
