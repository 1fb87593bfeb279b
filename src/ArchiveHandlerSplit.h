// A file cut into numbered pieces (name.001, name.002, …) that is no archive of its own: listed
// as the one file that the joined pieces make.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerSplit : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "AHandlerSplit";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

}  // namespace tessaro
