// XAR archives, read and written through libxar.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerXar : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "AHandlerXar";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

}  // namespace tessaro
