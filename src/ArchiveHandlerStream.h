// Single compressed streams (gzip, bzip2, xz): shown as an archive of one entry, the file that
// decompression would produce.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerGZip : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "AHandlerGZip";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
  int32_t getInfo(std::vector<std::string>& records) override;
};

class AHandlerBZip : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "AHandlerBZip";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
  int32_t getInfo(std::vector<std::string>& records) override;
};

class AHandlerXz : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "AHandlerXz";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
  int32_t getInfo(std::vector<std::string>& records) override;
};

}  // namespace tessaro
