#include "ArchiveHandlerXad.h"

namespace tessaro {

namespace {

// The one metaclass object of a handler class.
template <typename C>
const HandlerClass& theInstance() {
  static const C instance;
  return instance;
}

}  // namespace

// ---- Class properties

class ArchiveHandlerXad::Class : public HandlerClassOf<ArchiveHandlerXad, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "sit"; }
  std::optional<std::string> baseType() const override { return "sit"; }
  bool hasMacMode() const override { return true; }
};

class AHandlerSit::Class : public HandlerClassOf<AHandlerSit, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "sit"; }
  std::optional<std::string> baseType() const override { return "sit"; }
};

class AHandlerSitX::Class : public HandlerClassOf<AHandlerSitX, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "sitx"; }
  std::optional<std::string> baseType() const override { return "sitx"; }
};

class AHandlerDd::Class : public HandlerClassOf<AHandlerDd, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "dd"; }
  std::optional<std::string> baseType() const override { return "dd"; }
};

class AHandlerHqx::Class : public HandlerClassOf<AHandlerHqx, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "hqx"; }
  std::optional<std::string> baseType() const override { return "hqx"; }
};

class AHandlerBin::Class : public HandlerClassOf<AHandlerBin, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "bin"; }
  std::optional<std::string> baseType() const override { return "bin"; }
};

class AHandlerLzh::Class : public HandlerClassOf<AHandlerLzh, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "lzh"; }
  std::optional<std::string> baseType() const override { return "lzh"; }
};

class AHandlerDeb::Class : public HandlerClassOf<AHandlerDeb, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "deb"; }
  std::optional<std::string> baseType() const override { return "deb"; }
};

class AHandlerPdf::Class : public HandlerClassOf<AHandlerPdf, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "pdf"; }
  std::optional<std::string> baseType() const override { return "pdf"; }
};

class AHandlerSwf::Class : public HandlerClassOf<AHandlerSwf, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "swf"; }
  std::optional<std::string> baseType() const override { return "swf"; }
};

class AHandlerCpio::Class : public HandlerClassOf<AHandlerCpio, ArchiveHandlerXad::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "cpio"; }
  std::optional<std::string> baseType() const override { return "cpio"; }
  std::string formatName() const override { return "CPIO Format, uncompressed (cpio)"; }
  int32_t formatTag() const override { return 7; }
};

const HandlerClass& ArchiveHandlerXad::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerSit::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerSitX::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerDd::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerHqx::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerBin::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerLzh::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerDeb::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerPdf::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerSwf::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerCpio::metaclass() { return theInstance<Class>(); }

// ---- Entries

bool ArchiveHandlerXad::isItemEncrypted(const AZipItem& item) const { return item.type() == "Y"; }

std::optional<std::string> ArchiveHandlerXad::rsrcFolder() const { return std::string(); }

std::optional<std::string> AHandlerCpio::rsrcFolder() const { return std::string("."); }

}  // namespace tessaro
