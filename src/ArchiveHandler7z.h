// The 7-Zip family: formats listed through the 7-Zip helper (zip, 7z, arj, cab, chm, iso, wim,
// rpm, nsis, disk images). The subclasses differ in their class properties and in when an entry
// counts as encrypted.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandler7ZipBase : public ArchiveHandler {
 public:
  using Super = ArchiveHandler;
  static constexpr std::string_view kClassName = "AHandler7ZipBase";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerZip : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerZip";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }

  bool isItemEncrypted(const AZipItem& item) const override;
  int32_t itemEncryptionMethod(const AZipItem& item) const override;
  // set.zip.001 gives "set".
  std::string baseName() const override;
  // True for the volume numbered 1.
  bool isFirstFile(std::string_view path) const override;
  std::optional<std::string> rsrcFolder() const override;
  // Only a single-volume archive can be updated in place.
  bool canUpdate() const override;
};

class AHandler7zip : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandler7zip";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }

  bool isItemEncrypted(const AZipItem& item) const override;
  int32_t itemEncryptionMethod(const AZipItem& item) const override;
  std::string baseName() const override;
  bool isFirstFile(std::string_view path) const override;
  std::optional<std::string> rsrcFolder() const override;
  bool canUpdate() const override;
};

class AHandlerArj : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerArj";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }

  bool isItemEncrypted(const AZipItem& item) const override;
  bool isFirstFile(std::string_view path) const override;
};

class AHandlerCab : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerCab";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerChm : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerChm";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerIso : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerIso";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerWim : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerWim";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerRpm : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerRpm";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerNsis : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerNsis";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

class AHandlerDmg : public AHandler7ZipBase {
 public:
  using Super = AHandler7ZipBase;
  static constexpr std::string_view kClassName = "AHandlerDmg";
  class Class;
  static const HandlerClass& metaclass();
  const HandlerClass& isa() const override { return metaclass(); }
};

}  // namespace tessaro
