#include "ArchiveHandlerStreamFilter.h"

#include "ArchiveHandlerStream.h"
#include "PathString.h"
#include "helpers.h"

namespace tessaro {

namespace {

template <typename C>
const HandlerClass& theInstance() {
  static const C instance;
  return instance;
}

// What getInfo answers without an archive, and when listing fails otherwise, as for gzip.
constexpr int32_t kNoArchive = 6;
constexpr int32_t kListingImpossible = -1;

}  // namespace

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

int32_t AHandlerStreamFilter::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    if (!url()) return kNoArchive;
    const std::optional<StreamFormat> format = filterStreamFormat(isa());
    if (!format) return kListingImpossible;
    // notes.txt.zst holds notes.txt.
    const std::string entry(deletingPathExtension(lastPathComponent(*url())));
    records.push_back(attributeRecord(*url(), entry, recordedStreamSize(*url(), *format)));
    return 0;
  } catch (...) {
    return kListingImpossible;
  }
}

int32_t AHandlerStreamFilter::extract(const AZipItem::List& /*items*/, const std::string& toFolder,
                                      int32_t /*mode*/) {
  traceOperation("extract");
  return extractStream(*this, toFolder);
}

int32_t AHandlerStreamFilter::addFiles(const std::vector<std::string>&, const std::string&, const std::string&,
                                       AZipItem*, const Preset&, std::vector<std::string>*) {
  setOperationCancelled(false);
  traceOperation("addFiles");
  return -1;
}

}  // namespace tessaro
