#include "ArchiveHandlerRar.h"

#include "PathString.h"
#include "TextNumber.h"

namespace tessaro {

namespace {

// The number of a "partN" extension, 0 when the text is no such extension.
int32_t partExtensionNumber(std::string_view extension) {
  if (!extension.starts_with("part")) return 0;
  return intValue(extension.substr(4));
}

}  // namespace

// ---- Class properties

class AHandlerRar::Class : public HandlerClassOf<AHandlerRar, ArchiveHandler::Class> {
 public:
  std::string formatName() const override { return "RAR Format"; }
  int32_t formatTag() const override { return 6; }
  std::optional<std::string> defaultExtension() const override { return "rar"; }
  std::optional<std::string> baseType() const override { return "rar"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"rar", "cbr"};
  }
  // Creating and repairing need the `rar` tool, which is not looked up yet: read-only until then.
  int32_t canSave() const override { return 0; }
  bool canRepair() const override { return false; }
  bool hasCompressionFactor() const override { return true; }
  bool canSplit() const override { return true; }
  bool canDelete() const override { return true; }
  bool canWriteComments() const override { return true; }
  bool canEncrypt() const override { return true; }
  bool canTest() const override { return true; }
  bool hasMacMode() const override { return true; }
  bool canMoveItems() const override { return true; }
  std::vector<int32_t> compressionFactorTags() const override { return {0, 1, 2, 4, 5}; }
  // RAR ciphers with AES only, optionally hiding the names too.
  std::vector<int32_t> encryptionMethodTags() const override { return {0, 2, 3}; }
};

const HandlerClass& AHandlerRar::metaclass() {
  static const Class instance;
  return instance;
}

// ---- Pure rules of entries and names

bool AHandlerRar::isItemEncrypted(const AZipItem& item) const { return item.type() == "*"; }

int32_t AHandlerRar::itemEncryptionMethod(const AZipItem& item) const {
  if (isListingEncrypted()) return 3;
  return isItemEncrypted(item) ? 2 : 0;
}

std::string AHandlerRar::baseName() const {
  try {
    std::string base = Super::baseName();
    if (partExtensionNumber(pathExtension(base)) > 0) return std::string(deletingPathExtension(base));
    return base;
  } catch (...) {
    return {};
  }
}

bool AHandlerRar::isFirstFile(std::string_view path) const {
  const std::string_view extension = pathExtension(path);
  if (extension == "rar") {
    const int32_t part = partExtensionNumber(pathExtension(deletingPathExtension(path)));
    if (part > 0) return part == 1;
  }
  return extension == "rar" || extension == "001";
}

std::optional<std::string> AHandlerRar::rsrcFolder() const { return std::string("__MACOSX"); }

bool AHandlerRar::canUpdate() const { return isa().canSave() != 0 && parts().size() < 2; }

}  // namespace tessaro
