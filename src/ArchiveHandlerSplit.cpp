#include "ArchiveHandlerSplit.h"

namespace tessaro {

// Never offered for new archives: every capability keeps its base answer.
class AHandlerSplit::Class : public HandlerClassOf<AHandlerSplit, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "001"; }
  std::optional<std::string> baseType() const override { return "split"; }
};

const HandlerClass& AHandlerSplit::metaclass() {
  static const Class instance;
  return instance;
}

}  // namespace tessaro
