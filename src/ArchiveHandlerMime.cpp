#include "ArchiveHandlerMime.h"

namespace tessaro {

// Name, tag and capabilities are the base answers: a mail container is only read.
class AHandlerMime::Class : public HandlerClassOf<AHandlerMime, ArchiveHandler::Class> {};

const HandlerClass& AHandlerMime::metaclass() {
  static const Class instance;
  return instance;
}

}  // namespace tessaro
