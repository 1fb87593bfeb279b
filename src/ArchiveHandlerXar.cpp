#include "ArchiveHandlerXar.h"

namespace tessaro {

class AHandlerXar::Class : public HandlerClassOf<AHandlerXar, ArchiveHandler::Class> {
 public:
  std::string formatName() const override { return "XAR Format"; }
  int32_t formatTag() const override { return 5; }
  std::optional<std::string> defaultExtension() const override { return "xar"; }
  std::optional<std::string> baseType() const override { return "xar"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"xar"};
  }
  int32_t canSave() const override { return 2; }
  bool hasMacMode() const override { return true; }
  // Creation keeps whatever it is given, resource-fork files included.
  bool canFilterRsrc() const override { return false; }
  // libxar stores either plain or gzip-compressed data.
  std::vector<int32_t> compressionFactorTags() const override { return {0, 2}; }
};

const HandlerClass& AHandlerXar::metaclass() {
  static const Class instance;
  return instance;
}

}  // namespace tessaro
