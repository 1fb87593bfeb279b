#include "ArchiveHandlerStreamFilter.h"

#include "ArchiveHandlerStream.h"
#include "PathString.h"
#include "helpers.h"

namespace tessaro {

std::optional<StreamFormat> filterStreamFormat(const HandlerClass& handlerClass) {
  if (&handlerClass == &AHandlerZstd::metaclass()) return StreamFormat::kZstd;
  if (&handlerClass == &AHandlerLzip::metaclass()) return StreamFormat::kLzip;
  if (&handlerClass == &AHandlerLz4::metaclass()) return StreamFormat::kLz4;
  if (&handlerClass == &AHandlerLzma::metaclass()) return StreamFormat::kLzma;
  return std::nullopt;
}

// ---- Class properties

class AHandlerStreamFilter::Class : public HandlerClassOf<AHandlerStreamFilter, ArchiveHandler::Class> {};

class AHandlerZstd::Class : public HandlerClassOf<AHandlerZstd, AHandlerStreamFilter::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "zst"; }
  std::optional<std::string> baseType() const override { return "zst"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"zst"};
  }
};

class AHandlerLzip::Class : public HandlerClassOf<AHandlerLzip, AHandlerStreamFilter::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "lz"; }
  std::optional<std::string> baseType() const override { return "lz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"lz"};
  }
};

class AHandlerLz4::Class : public HandlerClassOf<AHandlerLz4, AHandlerStreamFilter::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "lz4"; }
  std::optional<std::string> baseType() const override { return "lz4"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"lz4"};
  }
};

class AHandlerLzma::Class : public HandlerClassOf<AHandlerLzma, AHandlerStreamFilter::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "lzma"; }
  std::optional<std::string> baseType() const override { return "lzma"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"lzma"};
  }
};

const HandlerClass& AHandlerStreamFilter::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerZstd::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerLzip::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerLz4::metaclass() { return theInstance<Class>(); }
const HandlerClass& AHandlerLzma::metaclass() { return theInstance<Class>(); }

// ---- Listing, extraction; adding is refused

int32_t AHandlerStreamFilter::doGetInfo(std::vector<std::string>& records) {
  // As for gzip: no archive, and a class that is no stream, cannot be listed.
  if (!url()) return kStatusNoFileURL;
  const std::optional<StreamFormat> format = filterStreamFormat(isa());
  if (!format) return kStatusNotSupported;
  // notes.txt.zst holds notes.txt.
  const std::string entry(deletingPathExtension(lastPathComponent(*url())));
  records.push_back(attributeRecord(*url(), entry, recordedStreamSize(*url(), *format)));
  return kStatusOK;
}

int32_t AHandlerStreamFilter::doExtract(const AZipItem::List& /*items*/, const std::string& toFolder,
                                        int32_t /*mode*/) {
  return extractStream(*this, toFolder);
}

int32_t AHandlerStreamFilter::doAddFiles(const std::vector<std::string>&, const std::string&,
                                         const std::string&, AZipItem*, const Preset&,
                                         std::vector<std::string>*) {
  setOperationCancelled(false);
  return kStatusNotSupported;
}

}  // namespace tessaro
