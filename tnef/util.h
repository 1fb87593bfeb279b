// Byte-level reading shared by the decoder's steps: the input stream with its bounds, little-endian
// fields, the end-of-decoding signal and UTF-16 text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tessaro::tnef {

using Bytes = std::vector<uint8_t>;

// Where one decode prints its messages and what it may allocate; nothing is shared between decodes.
struct Context {
  FILE* out = stdout;
  FILE* err = stderr;
  // Largest single allocation the checked allocators accept; 0 means no limit.
  size_t maxAllocation = 0;
};

// Thrown once a "decoding stops" message is printed; parse_file turns it into a failure status.
struct DecodeStopped {};

// Prints to the context's error stream.
void report(const Context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Prints the message and ends the decoding of this file.
[[noreturn]] void stop(const Context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The TNEF stream being decoded. Knows how many bytes are left when the stream is a regular file,
// so a declared length can be checked before anything is allocated for it.
class Input {
 public:
  explicit Input(FILE* file);
  // Bytes after the current position, or none when the stream's size is unknown.
  std::optional<uint64_t> remaining() const;
  bool isRegularFile() const { return size_.has_value(); }
  // Reads exactly `count` bytes; false at the end of input (`bytes` then holds what was read).
  // Memory grows with what actually arrives, never with `count` alone.
  bool read(Bytes& bytes, uint64_t count, const Context& ctx);
  // One byte, or none at the end of input.
  std::optional<uint8_t> readByte();
  // Reads exactly `count` bytes or stops the decoding with "Unexpected end of input".
  void readOrStop(Bytes& bytes, uint64_t count, const Context& ctx);
  uint32_t read32OrStop(const Context& ctx);
  uint16_t read16OrStop(const Context& ctx);
  // Stops the decoding with "Unexpected end of input" and the stream's error, if it has one.
  [[noreturn]] void unexpectedEnd(const Context& ctx) const;

 private:
  FILE* file_;
  std::optional<uint64_t> size_;
};

inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// A bounded view of an attribute's data, read front to back; every read checks what is left.
class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t left() const { return size_ - pos_; }
  bool read32(uint32_t& value);
  bool read16(uint16_t& value);
  // Points `out` at the next `count` bytes and moves past them plus padding to `align`;
  // false when fewer than `count` bytes are left (padding past the end is tolerated).
  bool take(size_t count, const uint8_t*& out, size_t align = 1);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Each complete UTF-16LE unit on its own (pairs are not combined, an odd last byte is ignored),
// cut at the first zero; 0 or 1 bytes give "".
std::string unicode_to_utf8(const uint8_t* data, size_t length);

}  // namespace tessaro::tnef
