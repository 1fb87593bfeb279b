// Formats read through the XAD framework (StuffIt, BinHex, MacBinary, lzh, deb, pdf, swf, cpio,
// disk images): one subclass per format, naming only its extensions.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class ArchiveHandlerXad : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "ArchiveHandlerXad";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }

  // Entries the framework reports as encrypted carry type "Y".
  bool isItemEncrypted(const AZipItem& item) const override;
  std::optional<std::string> rsrcFolder() const override;
};

class AHandlerSit : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerSit";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerSitX : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerSitX";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerDd : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerDd";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerHqx : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerHqx";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerBin : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerBin";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerLzh : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerLzh";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerDeb : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerDeb";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerPdf : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerPdf";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerSwf : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerSwf";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerCpio : public ArchiveHandlerXad {
 public:
  using Super = ArchiveHandlerXad;
  static constexpr std::string_view kClassName = "AHandlerCpio";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }

  // Resource forks are kept beside their files, not in a folder of their own.
  std::optional<std::string> rsrcFolder() const override;
};

}  // namespace tessaro
