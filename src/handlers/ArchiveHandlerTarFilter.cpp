#include "ArchiveHandlerTarFilter.h"

#include "HostTexts.h"
#include "PathString.h"
#include "helpers.h"

namespace tessaro {

namespace {

// The extensions a compressor adds after ".tar".
bool isCompressorExtension(std::string_view extension) {
  return extension == "zst" || extension == "lz" || extension == "lz4" || extension == "lzma";
}

}  // namespace

// ---- Class properties: none of them is written here, so nothing of the tar class's saving
// properties is inherited.

class AHandlerTarFilter::Class : public HandlerClassOf<AHandlerTarFilter, ArchiveHandler::Class> {
 public:
  bool writtenArchiveNeedsWholeRead() const override { return true; }
};

class AHandlerTZst::Class : public HandlerClassOf<AHandlerTZst, AHandlerTarFilter::Class> {
 public:
  std::optional<std::string> tarFilterProgram() const override { return "/usr/bin/zstd"; }
  std::string formatName() const override { return hostText("TAR Format, zstd compressed (tzst)"); }
  std::optional<std::string> defaultExtension() const override { return "tzst"; }
  std::optional<std::string> baseType() const override { return "tzst"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tzst", "zst"};
  }
};

class AHandlerTLz::Class : public HandlerClassOf<AHandlerTLz, AHandlerTarFilter::Class> {
 public:
  std::optional<std::string> tarFilterProgram() const override { return "/usr/bin/lzip"; }
  std::string formatName() const override { return hostText("TAR Format, lzip compressed (tar.lz)"); }
  std::optional<std::string> defaultExtension() const override { return "tar.lz"; }
  std::optional<std::string> baseType() const override { return "tlz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tlz", "lz"};
  }
};

class AHandlerTLz4::Class : public HandlerClassOf<AHandlerTLz4, AHandlerTarFilter::Class> {
 public:
  std::optional<std::string> tarFilterProgram() const override { return "/usr/bin/lz4"; }
  std::string formatName() const override { return hostText("TAR Format, LZ4 compressed (tar.lz4)"); }
  std::optional<std::string> defaultExtension() const override { return "tar.lz4"; }
  std::optional<std::string> baseType() const override { return "tlz4"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"lz4"};
  }
};

class AHandlerTLzma::Class : public HandlerClassOf<AHandlerTLzma, AHandlerTarFilter::Class> {
 public:
  std::optional<std::string> tarFilterProgram() const override { return "/usr/bin/lzma"; }
  std::string formatName() const override { return hostText("TAR Format, LZMA compressed (tar.lzma)"); }
  std::optional<std::string> defaultExtension() const override { return "tar.lzma"; }
  std::optional<std::string> baseType() const override { return "tlzma"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tlz", "lzma"};
  }
};

const HandlerClass& AHandlerTarFilter::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerTZst::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerTLz::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerTLz4::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerTLzma::metaclass() { return theInstance<Class>(); }

// ---- Instance properties and listing

bool AHandlerTarFilter::canUpdate() const { return false; }

std::string AHandlerTarFilter::baseName() const {
  try {
    std::string name = ArchiveHandler::baseName();
    if (url() && isCompressorExtension(pathExtension(*url())))
      return std::string(deletingPathExtension(name));
    return name;
  } catch (...) {
    return {};
  }
}

std::vector<std::string> AHandlerTarFilter::listArguments() const {
  const std::optional<std::string> program = isa().tarFilterProgram();
  // The shared class itself has no compressor: tar is left to find one by the file's bytes.
  if (!program) return {"tvaf"};
  return {"tv", "--use-compress-program=" + *program, "-f"};
}

}  // namespace tessaro
