// TNEF mail attachment containers (winmail.dat): decoded into a scratch folder that is then listed.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerMime : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "AHandlerMime";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

}  // namespace tessaro
