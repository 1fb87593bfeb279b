#include "ArchiveHandler7z.h"

#include "PathString.h"
#include "TextNumber.h"

namespace tessaro {

namespace {

// The one metaclass object of a handler class.
template <typename C>
const HandlerClass& theInstance() {
  static const C instance;
  return instance;
}

// Folder in which zip tools keep the resource forks and Finder information of Mac files.
constexpr std::string_view kMacOSXFolder = "__MACOSX";

// The base name, without the volume number of a numbered set: set.zip.001 gives "set".
std::string volumeBaseName(std::string inherited, const std::optional<std::string>& url) {
  if (url && pathExtension(*url) == "001") return std::string(deletingPathExtension(inherited));
  return inherited;
}

bool isNumberedOne(std::string_view path) { return intValue(pathExtension(path)) == 1; }

// Splitting writes new volumes; only a single file can be changed in place.
bool isSingleVolume(const std::vector<VolumePart>& parts) { return parts.size() < 2; }

}  // namespace

// ---- Class properties

class AHandler7ZipBase::Class : public HandlerClassOf<AHandler7ZipBase, ArchiveHandler::Class> {
 public:
  bool canTest() const override { return true; }
};

class AHandlerZip::Class : public HandlerClassOf<AHandlerZip, AHandler7ZipBase::Class> {
 public:
  std::string formatName() const override { return "Zip Format (recommended)"; }
  int32_t formatTag() const override { return 0; }
  std::optional<std::string> defaultExtension() const override { return "zip"; }
  std::optional<std::string> baseType() const override { return "zip"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"zip", "jar", "war", "cbz", "pk3", "pk4"};
  }
  int32_t canSave() const override { return 2; }
  bool hasMacMode() const override { return true; }
  bool hasCompressionFactor() const override { return true; }
  bool canSplit() const override { return true; }
  bool canDelete() const override { return true; }
  bool canEncrypt() const override { return true; }
  bool canWriteComments() const override { return true; }
  // No "High" and no solid mode in zip.
  std::vector<int32_t> compressionFactorTags() const override { return {0, 1, 2, 3}; }
  // Zip cannot hide its names.
  std::vector<int32_t> encryptionMethodTags() const override { return {0, 1, 2}; }
};

class AHandler7zip::Class : public HandlerClassOf<AHandler7zip, AHandler7ZipBase::Class> {
 public:
  std::string formatName() const override { return "7-Zip Format (best compression)"; }
  int32_t formatTag() const override { return 4; }
  std::optional<std::string> defaultExtension() const override { return "7z"; }
  std::optional<std::string> baseType() const override { return "7z"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"7z"};
  }
  int32_t canSave() const override { return 2; }
  bool hasMacMode() const override { return true; }
  bool hasCompressionFactor() const override { return true; }
  bool canSplit() const override { return true; }
  bool canDelete() const override { return true; }
  bool canEncrypt() const override { return true; }
  bool canMoveItems() const override { return true; }
  std::vector<int32_t> compressionFactorTags() const override { return {0, 1, 2, 4, 5}; }
  // 7z has no weak cipher.
  std::vector<int32_t> encryptionMethodTags() const override { return {0, 2, 3}; }
};

class AHandlerArj::Class : public HandlerClassOf<AHandlerArj, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "arj"; }
  std::optional<std::string> baseType() const override { return "arj"; }
};

class AHandlerCab::Class : public HandlerClassOf<AHandlerCab, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "cab"; }
  std::optional<std::string> baseType() const override { return "cab"; }
};

class AHandlerChm::Class : public HandlerClassOf<AHandlerChm, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "chm"; }
  std::optional<std::string> baseType() const override { return "chm"; }
};

class AHandlerIso::Class : public HandlerClassOf<AHandlerIso, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "iso"; }
  std::optional<std::string> baseType() const override { return "iso"; }
};

class AHandlerWim::Class : public HandlerClassOf<AHandlerWim, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "wim"; }
  std::optional<std::string> baseType() const override { return "wim"; }
};

class AHandlerRpm::Class : public HandlerClassOf<AHandlerRpm, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "rpm"; }
  std::optional<std::string> baseType() const override { return "rpm"; }
};

class AHandlerNsis::Class : public HandlerClassOf<AHandlerNsis, AHandler7ZipBase::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "nsis"; }
  std::optional<std::string> baseType() const override { return "nsis"; }
};

class AHandlerDmg::Class : public HandlerClassOf<AHandlerDmg, AHandler7ZipBase::Class> {
 public:
  std::string formatName() const override { return "Apple Disk Image"; }
  int32_t formatTag() const override { return 99; }
  std::optional<std::string> defaultExtension() const override { return "dmg"; }
  // Empty: the 7-Zip helper recognises the image kind by itself.
  std::optional<std::string> baseType() const override { return ""; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"dmg"};
  }
};

const HandlerClass& AHandler7ZipBase::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerZip::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandler7zip::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerArj::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerCab::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerChm::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerIso::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerWim::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerRpm::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerNsis::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerDmg::metaclass() { return theInstance<Class>(); }

// ---- Zip

bool AHandlerZip::isItemEncrypted(const AZipItem& item) const {
  // The type values the 7-Zip helper writes for an encrypted zip entry.
  const std::string& type = item.type();
  return type == "1" || type == "+" || type.starts_with('B') || type.starts_with('T');
}

int32_t AHandlerZip::itemEncryptionMethod(const AZipItem& item) const {
  const std::string& meth = item.meth();
  if (meth.find("ZipCrypto") != std::string::npos) return 1;
  if (meth.find("AES") != std::string::npos) return 2;
  return 0;
}

std::string AHandlerZip::baseName() const {
  try {
    return volumeBaseName(Super::baseName(), url());
  } catch (...) {
    return {};
  }
}

bool AHandlerZip::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

std::optional<std::string> AHandlerZip::rsrcFolder() const { return std::string(kMacOSXFolder); }

bool AHandlerZip::canUpdate() const { return isSingleVolume(parts()); }

// ---- 7z

bool AHandler7zip::isItemEncrypted(const AZipItem& item) const {
  return item.meth().find("7zAES") != std::string::npos;
}

int32_t AHandler7zip::itemEncryptionMethod(const AZipItem& item) const {
  if (isListingEncrypted()) return 3;
  return isItemEncrypted(item) ? 2 : 0;
}

std::string AHandler7zip::baseName() const {
  try {
    return volumeBaseName(Super::baseName(), url());
  } catch (...) {
    return {};
  }
}

bool AHandler7zip::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

std::optional<std::string> AHandler7zip::rsrcFolder() const { return std::string(kMacOSXFolder); }

bool AHandler7zip::canUpdate() const { return isSingleVolume(parts()); }

// ---- arj

bool AHandlerArj::isItemEncrypted(const AZipItem& item) const { return item.type() == "1"; }

bool AHandlerArj::isFirstFile(std::string_view path) const { return isNumberedOne(path); }

}  // namespace tessaro
