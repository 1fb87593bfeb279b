// An immutable text in one reference-counted allocation. Items of one path chain share the
// buffer of the deepest path and keep only their prefix length, so a listing's memory stays
// proportional to its records however deep its paths are.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace tessaro {

class SharedText {
 public:
  SharedText() = default;
  explicit SharedText(std::string_view text) {
    if (text.empty()) return;
    void* memory = std::malloc(sizeof(Header) + text.size());
    if (!memory) throw std::bad_alloc();
    header_ = new (memory) Header{};
    std::memcpy(reinterpret_cast<char*>(header_) + sizeof(Header), text.data(), text.size());
    header_->size = text.size();
  }
  SharedText(const SharedText& other) noexcept : header_(other.header_) { retain(); }
  SharedText(SharedText&& other) noexcept : header_(std::exchange(other.header_, nullptr)) {}
  SharedText& operator=(SharedText other) noexcept {
    std::swap(header_, other.header_);
    return *this;
  }
  ~SharedText() { release(); }

  const char* data() const noexcept {
    return header_ ? reinterpret_cast<const char*>(header_) + sizeof(Header) : "";
  }
  size_t size() const noexcept { return header_ ? header_->size : 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  // True when `text` lies inside this buffer.
  bool contains(std::string_view text) const noexcept {
    return header_ && text.data() >= data() && text.data() + text.size() <= data() + size();
  }

 private:
  struct Header {
    std::atomic<uint32_t> references{1};
    size_t size = 0;
  };
  void retain() noexcept {
    if (header_) header_->references.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (header_ && header_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      header_->~Header();
      std::free(header_);
    }
  }

  Header* header_ = nullptr;
};

}  // namespace tessaro
