#include "xar/Xar.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/FileIO.h"
#include "io/LibraryOnFirstUse.h"
#include "io/ReadAt.h"

namespace tessaro {

namespace {

constexpr size_t kHeaderSize = 28;
// A table of contents lists every entry in a few hundred bytes of XML; 256 MiB covers archives of
// far more than a million entries while keeping a hostile header from claiming gigabytes.
constexpr uint64_t kMaxTocSize = 256u << 20;
// Folders nested deeper than this are refused rather than walked (libxml2 stops at 256 anyway).
constexpr int kMaxDepth = 200;
constexpr size_t kChunk = 64 * 1024;

uint64_t bigEndian(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int f) : fd(f) {}
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
};

bool parseDecimal(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// Every checksum style archivers write, by the names they give it in either case.
const EVP_MD* digestNamed(const std::string& style) {
  std::string name;
  for (const char c : style) name.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  if (name == "sha1") return EVP_sha1();
  if (name == "md5") return EVP_md5();
  if (name == "sha224") return EVP_sha224();
  if (name == "sha256") return EVP_sha256();
  if (name == "sha384") return EVP_sha384();
  if (name == "sha512") return EVP_sha512();
  return nullptr;
}

thread_local std::string openFailure;

std::string hex(const unsigned char* bytes, unsigned int size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

std::string lowercase(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

struct Digest {
  EVP_MD_CTX* ctx = nullptr;
  explicit Digest(const EVP_MD* md) {
    if (!md) return;
    ctx = EVP_MD_CTX_new();
    if (ctx && EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
      EVP_MD_CTX_free(ctx);
      ctx = nullptr;
    }
  }
  ~Digest() { EVP_MD_CTX_free(ctx); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  void update(const void* data, size_t size) {
    if (ctx) EVP_DigestUpdate(ctx, data, size);
  }
  std::string finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!ctx || EVP_DigestFinal_ex(ctx, out, &size) != 1) return {};
    return hex(out, size);
  }
};

// libxml2, opened on the first table of contents read or written: only XAR archives need it, and
// loading it costs every other preview a share of its time.
struct LibXml {
  decltype(&::xmlCheckUTF8) checkUTF8 = nullptr;
  decltype(&::xmlDocDumpFormatMemoryEnc) docDumpFormatMemoryEnc = nullptr;
  decltype(&::xmlDocGetRootElement) docGetRootElement = nullptr;
  decltype(&::xmlDocSetRootElement) docSetRootElement = nullptr;
  decltype(&::xmlFreeDoc) freeDoc = nullptr;
  decltype(&::xmlGetProp) getProp = nullptr;
  decltype(&::xmlNewChild) newChild = nullptr;
  decltype(&::xmlNewDoc) newDoc = nullptr;
  decltype(&::xmlNewNode) newNode = nullptr;
  decltype(&::xmlNewProp) newProp = nullptr;
  decltype(&::xmlNewTextChild) newTextChild = nullptr;
  decltype(&::xmlReadMemory) readMemory = nullptr;
  decltype(&::xmlSetGenericErrorFunc) setGenericErrorFunc = nullptr;
  decltype(&::__xmlGenericError) genericError = nullptr;
  decltype(&::__xmlGenericErrorContext) genericErrorContext = nullptr;
  // The library's deallocator is a variable its memory setup may change: read at each use.
  xmlFreeFunc* freeFunction = nullptr;

  void free(void* memory) const { (*freeFunction)(memory); }
};

// Null when the library or one of its functions is missing: no table of contents is read or
// written then.
const LibXml* libxml() {
  return libraryOnFirstUse<LibXml>("libxml2.so.2", [](void* library, LibXml& table) {
    return resolveSymbol(library, "xmlCheckUTF8", table.checkUTF8) &&
           resolveSymbol(library, "xmlDocDumpFormatMemoryEnc", table.docDumpFormatMemoryEnc) &&
           resolveSymbol(library, "xmlDocGetRootElement", table.docGetRootElement) &&
           resolveSymbol(library, "xmlDocSetRootElement", table.docSetRootElement) &&
           resolveSymbol(library, "xmlFreeDoc", table.freeDoc) &&
           resolveSymbol(library, "xmlGetProp", table.getProp) &&
           resolveSymbol(library, "xmlNewChild", table.newChild) &&
           resolveSymbol(library, "xmlNewDoc", table.newDoc) &&
           resolveSymbol(library, "xmlNewNode", table.newNode) &&
           resolveSymbol(library, "xmlNewProp", table.newProp) &&
           resolveSymbol(library, "xmlNewTextChild", table.newTextChild) &&
           resolveSymbol(library, "xmlReadMemory", table.readMemory) &&
           resolveSymbol(library, "xmlSetGenericErrorFunc", table.setGenericErrorFunc) &&
           resolveSymbol(library, "__xmlGenericError", table.genericError) &&
           resolveSymbol(library, "__xmlGenericErrorContext", table.genericErrorContext) &&
           resolveSymbol(library, "xmlFree", table.freeFunction) && *table.freeFunction;
  });
}

std::string nodeText(const xmlNode* node) {
  std::string text;
  for (const xmlNode* c = node->children; c; c = c->next) {
    if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content) {
      text += reinterpret_cast<const char*>(c->content);
    }
  }
  return text;
}

bool named(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && node->name &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

std::string attribute(const LibXml& xml, const xmlNode* node, const char* name) {
  xmlChar* value = xml.getProp(node, reinterpret_cast<const xmlChar*>(name));
  if (!value) return {};
  std::string out(reinterpret_cast<const char*>(value));
  xml.free(value);
  return out;
}

void ignoreXmlMessage(void*, const char*, ...) {}

// libxml2 prints encoding and I/O complaints through its generic handler, whatever the parse
// options say; a damaged archive is reported by xar_open's result, not on standard error.
class QuietXml {
 public:
  explicit QuietXml(const LibXml& xml)
      : xml_(xml), savedHandler_(*xml.genericError()), savedContext_(*xml.genericErrorContext()) {
    xml_.setGenericErrorFunc(nullptr, ignoreXmlMessage);
  }
  ~QuietXml() { xml_.setGenericErrorFunc(savedContext_, savedHandler_); }
  QuietXml(const QuietXml&) = delete;
  QuietXml& operator=(const QuietXml&) = delete;

 private:
  const LibXml& xml_;
  xmlGenericErrorFunc savedHandler_;
  void* savedContext_;
};

struct XmlDocument {
  explicit XmlDocument(const LibXml& library) : xml(library) {}
  ~XmlDocument() {
    if (doc) xml.freeDoc(doc);
  }
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  const LibXml& xml;
  xmlDocPtr doc = nullptr;
};

}  // namespace

struct XarFile {
  std::string path;
  // Property path ("data/size") to its text; an empty element maps to none.
  std::map<std::string, std::optional<std::string>> props;
  // "property@attribute" ("data/encoding@style") to the attribute's value.
  std::map<std::string, std::string> attrs;
};

struct XarArchive {
  int fd = -1;
  uint64_t fileSize = 0;
  uint64_t heapStart = 0;
  std::vector<std::unique_ptr<XarFile>> files;
  std::map<std::string, std::string> options;
  // Folders extracted so far (paths relative to the folder of their extraction) with their
  // dates, which take effect at close: every entry extracted into a folder changes the folder's
  // date again.
  struct FolderTime {
    int base;  // an entry of extractBases, or AT_FDCWD
    std::string path;
    time_t time;
  };
  std::vector<FolderTime> folderTimes;
  // Duplicates of the folders extracted into, kept open for the dates set at close.
  std::vector<int> extractBases;

  // Writing: the archive's path, the heap so far in an unnamed temporary file (after the
  // table-of-contents checksum's place), and the entries in the order they were added.
  bool writing = false;
  bool writeFailed = false;
  std::string outPath;
  FILE* heap = nullptr;
  uint64_t heapSize = 0;
  std::map<std::string, XarFile*> byPath;

  ~XarArchive() {
    if (fd >= 0) ::close(fd);
    for (const int base : extractBases) ::close(base);
    if (heap) std::fclose(heap);
  }
};

struct XarIterator {
  XarArchive* archive = nullptr;
  size_t next = 0;
};

namespace {

// Records an element's text and attributes under `prefix`, and those of its child elements one
// and two levels down ("data/size", "ea/name"), which is as deep as any property goes.
void collectProps(const LibXml& xml, const xmlNode* node, const std::string& prefix, int levels,
                  XarFile& file) {
  for (const xmlNode* c = node->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE || named(c, "file")) continue;
    const std::string key = prefix + reinterpret_cast<const char*>(c->name);
    std::string text = nodeText(c);
    if (!file.props.count(key)) {
      file.props[key] = text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
      for (const xmlAttr* a = c->properties; a; a = a->next) {
        const std::string value = attribute(xml, c, reinterpret_cast<const char*>(a->name));
        file.attrs[key + "@" + reinterpret_cast<const char*>(a->name)] = value;
      }
    }
    if (levels > 1) collectProps(xml, c, key + "/", levels - 1, file);
  }
}

bool collectFiles(const LibXml& xml, const xmlNode* parent, const std::string& parentPath, int depth,
                  std::vector<std::unique_ptr<XarFile>>& files) {
  if (depth > kMaxDepth) return false;
  for (const xmlNode* c = parent->children; c; c = c->next) {
    if (!named(c, "file")) continue;
    auto file = std::make_unique<XarFile>();
    collectProps(xml, c, "", 3, *file);
    const auto name = file->props.find("name");
    if (name == file->props.end() || !name->second || name->second->empty()) return false;
    file->path = parentPath.empty() ? *name->second : parentPath + "/" + *name->second;
    const std::string path = file->path;
    files.push_back(std::move(file));
    if (!collectFiles(xml, c, path, depth + 1, files)) return false;
  }
  return true;
}

struct Toc {
  std::vector<std::unique_ptr<XarFile>> files;
  std::string checksumStyle;
  uint64_t checksumOffset = 0;
  uint64_t checksumSize = 0;
  bool hasChecksum = false;
};

bool parseToc(const char* xml, size_t size, Toc& toc) {
  if (size > kMaxTocSize || size > static_cast<size_t>(INT32_MAX)) return false;
  const LibXml* library = libxml();
  if (!library) return false;
  const QuietXml quiet(*library);
  XmlDocument document(*library);
  // No network, no entity substitution, no DTD loading: the text is untrusted.
  document.doc = library->readMemory(xml, static_cast<int>(size), "toc.xml", nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!document.doc) return false;
  const xmlNode* root = library->docGetRootElement(document.doc);
  if (!root || !named(root, "xar")) return false;
  const xmlNode* tocNode = nullptr;
  for (const xmlNode* c = root->children; c; c = c->next) {
    if (named(c, "toc")) {
      tocNode = c;
      break;
    }
  }
  if (!tocNode) return false;
  for (const xmlNode* c = tocNode->children; c; c = c->next) {
    if (!named(c, "checksum")) continue;
    toc.hasChecksum = true;
    toc.checksumStyle = attribute(*library, c, "style");
    for (const xmlNode* d = c->children; d; d = d->next) {
      if (named(d, "offset") && !parseDecimal(nodeText(d), toc.checksumOffset)) return false;
      if (named(d, "size") && !parseDecimal(nodeText(d), toc.checksumSize)) return false;
    }
    break;
  }
  return collectFiles(*library, tocNode, "", 0, toc.files);
}

// Inflates exactly `expected` bytes of zlib data; anything else is a damaged table of contents.
bool inflateToc(const std::vector<unsigned char>& in, uint64_t expected, std::string& out) {
  out.resize(static_cast<size_t>(expected));
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<unsigned char*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<unsigned char*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_FINISH);
  const bool ok = result == Z_STREAM_END && z.total_out == expected;
  inflateEnd(&z);
  return ok;
}

std::unique_ptr<XarArchive> openArchive(const char* file) {
  auto archive = std::make_unique<XarArchive>();
  archive->fd = ::open(file, O_RDONLY | O_CLOEXEC);
  if (archive->fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(archive->fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  archive->fileSize = static_cast<uint64_t>(st.st_size);

  unsigned char header[kHeaderSize];
  if (archive->fileSize < kHeaderSize || !readFullyAt(archive->fd, header, kHeaderSize, 0)) return nullptr;
  if (std::memcmp(header, "xar!", 4) != 0) return nullptr;
  const uint64_t headerSize = bigEndian(header + 4, 2);
  const uint64_t version = bigEndian(header + 6, 2);
  const uint64_t tocCompressed = bigEndian(header + 8, 8);
  const uint64_t tocSize = bigEndian(header + 16, 8);
  const uint64_t checksumAlgorithm = bigEndian(header + 24, 4);
  if (headerSize < kHeaderSize || version != 1) return nullptr;
  if (tocCompressed == 0 || tocSize == 0 || tocSize > kMaxTocSize) return nullptr;
  if (headerSize > archive->fileSize || tocCompressed > archive->fileSize - headerSize) return nullptr;
  // Deflate expands by at most 1032 to 1: a larger claim cannot be true, and refusing it keeps
  // the allocation proportional to the file.
  if (tocSize / 1032 > tocCompressed) return nullptr;
  archive->heapStart = headerSize + tocCompressed;

  std::vector<unsigned char> compressed(static_cast<size_t>(tocCompressed));
  if (!readFullyAt(archive->fd, compressed.data(), compressed.size(), headerSize)) return nullptr;
  std::string xml;
  if (!inflateToc(compressed, tocSize, xml)) return nullptr;
  Toc toc;
  if (!parseToc(xml.data(), xml.size(), toc)) return nullptr;

  // Algorithm 0 means the archive carries no checksum of its table of contents.
  if (checksumAlgorithm != 0) {
    if (!toc.hasChecksum) return nullptr;
    const EVP_MD* md = digestNamed(toc.checksumStyle);
    if (!md) {
      openFailure = "unsupported checksum " + toc.checksumStyle.substr(0, 40);
      return nullptr;
    }
    const uint64_t heapSize = archive->fileSize - archive->heapStart;
    if (toc.checksumSize != static_cast<uint64_t>(EVP_MD_get_size(md)) || toc.checksumOffset > heapSize ||
        toc.checksumSize > heapSize - toc.checksumOffset) {
      return nullptr;
    }
    unsigned char stored[EVP_MAX_MD_SIZE];
    if (!readFullyAt(archive->fd, stored, toc.checksumSize, archive->heapStart + toc.checksumOffset))
      return nullptr;
    Digest digest(md);
    digest.update(compressed.data(), compressed.size());
    if (digest.finish() != hex(stored, static_cast<unsigned int>(toc.checksumSize))) return nullptr;
  }
  archive->files = std::move(toc.files);
  return archive;
}

// A path that stays below the folder it is taken in: relative, no empty, "." or ".." component.
bool isContainedPath(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// Creates the folders above `path` in `dir` as needed; an existing component must be a real
// folder, so nothing is ever written through a symbolic link.
bool makeParents(int dir, const std::string& path) {
  size_t slash = path.find('/');
  while (slash != std::string::npos) {
    const std::string parent = path.substr(0, slash);
    struct stat st {};
    if (::fstatat(dir, parent.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;
    } else if (::mkdirat(dir, parent.c_str(), 0755) != 0 && errno != EEXIST) {
      return false;
    }
    slash = path.find('/', slash + 1);
  }
  return true;
}

const std::string* prop(const XarFile& f, const char* key) {
  const auto it = f.props.find(key);
  return it == f.props.end() || !it->second ? nullptr : &*it->second;
}

std::string attr(const XarFile& f, const char* key) {
  const auto it = f.attrs.find(key);
  return it == f.attrs.end() ? std::string() : it->second;
}

std::optional<mode_t> modeOf(const XarFile& f) {
  const std::string* text = prop(f, "mode");
  if (!text || text->empty() || text->size() > 7) return std::nullopt;
  mode_t mode = 0;
  for (char c : *text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = static_cast<mode_t>(mode * 8 + static_cast<mode_t>(c - '0'));
  }
  // Set-id bits from an archive are not honoured.
  return static_cast<mode_t>(mode & 01777);
}

std::optional<time_t> mtimeOf(const XarFile& f) {
  const std::string* text = prop(f, "mtime");
  if (!text) return std::nullopt;
  struct tm tm {};
  const char* end = ::strptime(text->c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (!end) return std::nullopt;
  return ::timegm(&tm);
}

void applyTime(int dir, const std::string& path, const XarFile& f) {
  const std::optional<time_t> mtime = mtimeOf(f);
  if (!mtime) return;
  struct timespec times[2];
  times[0].tv_sec = *mtime;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ::utimensat(dir, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Copies the file's heap data into `out`, decoding and checking it on the way.
bool writeData(const XarArchive& x, const XarFile& f, int out) {
  uint64_t offset = 0, length = 0, size = 0;
  const std::string* offsetText = prop(f, "data/offset");
  const std::string* lengthText = prop(f, "data/length");
  const std::string* sizeText = prop(f, "data/size");
  if (!offsetText && !lengthText) {  // an empty file stores no data
    return !sizeText || *sizeText == "0";
  }
  if (!offsetText || !lengthText || !sizeText || !parseDecimal(*offsetText, offset) ||
      !parseDecimal(*lengthText, length) || !parseDecimal(*sizeText, size)) {
    return false;
  }
  const uint64_t heapSize = x.fileSize - x.heapStart;
  if (offset > heapSize || length > heapSize - offset) return false;

  const std::string encoding = attr(f, "data/encoding@style");
  const bool gzip = encoding == "application/x-gzip";
  if (!gzip && !encoding.empty() && encoding != "application/octet-stream") return false;

  const std::string archivedStyle = attr(f, "data/archived-checksum@style");
  const std::string extractedStyle = attr(f, "data/extracted-checksum@style");
  const std::string* archivedSum = prop(f, "data/archived-checksum");
  const std::string* extractedSum = prop(f, "data/extracted-checksum");
  Digest archived(archivedSum ? digestNamed(archivedStyle) : nullptr);
  Digest extracted(extractedSum ? digestNamed(extractedStyle) : nullptr);
  if ((archivedSum && !archived.ctx) || (extractedSum && !extracted.ctx)) return false;

  z_stream z{};
  // 15 + 32: zlib or gzip framing, whichever the stream starts with.
  if (gzip && inflateInit2(&z, 15 + 32) != Z_OK) return false;
  struct ZEnd {
    z_stream* z;
    bool active;
    ~ZEnd() {
      if (active) inflateEnd(z);
    }
  } zEnd{&z, gzip};

  std::vector<unsigned char> in(kChunk), decoded(kChunk);
  uint64_t written = 0;
  bool streamEnded = !gzip;
  auto emit = [&](const unsigned char* data, size_t n) {
    if (n > size - written) return false;
    extracted.update(data, n);
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(out, data + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += static_cast<size_t>(w);
    }
    written += n;
    return true;
  };
  for (uint64_t pos = 0; pos < length;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, length - pos));
    if (!readFullyAt(x.fd, in.data(), n, x.heapStart + offset + pos)) return false;
    pos += n;
    archived.update(in.data(), n);
    if (!gzip) {
      if (!emit(in.data(), n)) return false;
      continue;
    }
    if (streamEnded) return false;  // bytes after the end of the compressed stream
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(n);
    // A full output buffer may hide more output even when the input is used up.
    do {
      z.next_out = decoded.data();
      z.avail_out = static_cast<uInt>(decoded.size());
      const int result = inflate(&z, Z_NO_FLUSH);
      if (result == Z_BUF_ERROR) break;  // needs the next chunk
      if (result != Z_OK && result != Z_STREAM_END) return false;
      if (!emit(decoded.data(), decoded.size() - z.avail_out)) return false;
      if (result == Z_STREAM_END) streamEnded = true;
    } while (!streamEnded && (z.avail_in > 0 || z.avail_out == 0));
    if (streamEnded && z.avail_in != 0) return false;
  }
  if (!streamEnded || written != size) return false;
  if (archivedSum && archived.finish() != lowercase(*archivedSum)) return false;
  if (extractedSum && extracted.finish() != lowercase(*extractedSum)) return false;
  return true;
}

bool removeExisting(int dir, const std::string& path) {
  struct stat st {};
  if (::fstatat(dir, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return false;
  return ::unlinkat(dir, path.c_str(), 0) == 0;
}

// The folder `dir` as the archive keeps it for the dates set at close.
int extractBase(XarArchive& x, int dir) {
  if (dir == AT_FDCWD) return AT_FDCWD;
  struct stat wanted {};
  if (::fstat(dir, &wanted) != 0) return -1;
  for (const int base : x.extractBases) {
    struct stat st {};
    if (::fstat(base, &st) == 0 && st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino) return base;
  }
  const int base = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (base >= 0) x.extractBases.push_back(base);
  return base;
}

int32_t extractFile(XarArchive& x, const XarFile& f, int dir) {
  const std::string& path = f.path;
  if (!isContainedPath(path) || !makeParents(dir, path)) return -1;
  const std::string* typeText = prop(f, "type");
  const std::string type = typeText ? *typeText : "file";
  const std::optional<mode_t> mode = modeOf(f);

  if (type == "directory") {
    struct stat st {};
    if (::fstatat(dir, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISDIR(st.st_mode)) return -1;
    } else if (::mkdirat(dir, path.c_str(), 0755) != 0) {
      return -1;
    }
    if (mode) ::fchmodat(dir, path.c_str(), *mode, 0);
    const std::optional<time_t> mtime = mtimeOf(f);
    if (!mtime) return 0;
    if (dir == AT_FDCWD) {
      // The current directory may change before close: the date goes to the full path.
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd))
        x.folderTimes.push_back({AT_FDCWD, std::string(cwd) + "/" + path, *mtime});
    } else if (const int base = extractBase(x, dir); base >= 0) {
      x.folderTimes.push_back({base, path, *mtime});
    }
    return 0;
  }
  if (type == "symlink") {
    const std::string* target = prop(f, "link");
    if (!target || target->empty() || !removeExisting(dir, path)) return -1;
    if (::symlinkat(target->c_str(), dir, path.c_str()) != 0) return -1;
    applyTime(dir, path, f);
    return 0;
  }
  if (type != "file") return -1;

  if (!removeExisting(dir, path)) return -1;
  const int fd = ::openat(dir, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  bool ok = writeData(x, f, fd);
  if (ok && mode) ok = ::fchmod(fd, *mode) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlinkat(dir, path.c_str(), 0);
    return -1;
  }
  applyTime(dir, path, f);
  return 0;
}

// ---- Writing

// The SHA-1 digest takes the first 20 bytes of the heap; file data follows it.
constexpr uint64_t kTocChecksumSize = 20;

// Names go into XML text: they must be UTF-8 without control characters.
bool isWritableName(const std::string& path) {
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  const LibXml* library = libxml();
  return library && library->checkUTF8(reinterpret_cast<const xmlChar*>(path.c_str())) != 0;
}

std::string isoTime(time_t t) {
  struct tm tm {};
  if (!::gmtime_r(&t, &tm)) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

bool appendHeap(XarArchive& x, const unsigned char* data, size_t size) {
  if (size == 0) return true;
  if (std::fwrite(data, 1, size, x.heap) != size) return false;
  x.heapSize += size;
  return true;
}

// Stores the file's bytes in the heap, gzip-encoded when asked, and records where they went.
bool storeData(XarArchive& x, int in, XarFile& f) {
  const bool gzip = x.options.count("compression") && x.options.at("compression") == "gzip";
  Digest archived(EVP_sha1()), extracted(EVP_sha1());
  z_stream z{};
  if (gzip && deflateInit(&z, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
  struct ZEnd {
    z_stream* z;
    bool active;
    ~ZEnd() {
      if (active) deflateEnd(z);
    }
  } zEnd{&z, gzip};
  const uint64_t offset = x.heapSize;
  uint64_t size = 0;
  std::vector<unsigned char> buffer(kChunk), packed(kChunk);
  for (bool done = false; !done;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done = n == 0;
    size += static_cast<uint64_t>(n);
    extracted.update(buffer.data(), static_cast<size_t>(n));
    if (!gzip) {
      archived.update(buffer.data(), static_cast<size_t>(n));
      if (!appendHeap(x, buffer.data(), static_cast<size_t>(n))) return false;
      continue;
    }
    z.next_in = buffer.data();
    z.avail_in = static_cast<uInt>(n);
    int result = Z_OK;
    do {
      z.next_out = packed.data();
      z.avail_out = static_cast<uInt>(packed.size());
      result = deflate(&z, done ? Z_FINISH : Z_NO_FLUSH);
      if (result == Z_STREAM_ERROR) return false;
      const size_t produced = packed.size() - z.avail_out;
      archived.update(packed.data(), produced);
      if (!appendHeap(x, packed.data(), produced)) return false;
    } while (z.avail_out == 0 || (done && result != Z_STREAM_END));
  }
  if (size == 0 && !gzip) return true;  // an empty file stores no data
  auto& props = f.props;
  props["data/offset"] = std::to_string(kTocChecksumSize + offset);
  props["data/length"] = std::to_string(x.heapSize - offset);
  props["data/size"] = std::to_string(size);
  props["data/encoding"] = std::nullopt;
  f.attrs["data/encoding@style"] = gzip ? "application/x-gzip" : "application/octet-stream";
  props["data/archived-checksum"] = archived.finish();
  f.attrs["data/archived-checksum@style"] = "sha1";
  props["data/extracted-checksum"] = extracted.finish();
  f.attrs["data/extracted-checksum@style"] = "sha1";
  return true;
}

XarFile* addEntry(XarArchive& x, int dir, const std::string& path) {
  if (!isContainedPath(path) || !isWritableName(path)) return nullptr;
  const auto known = x.byPath.find(path);
  if (known != x.byPath.end()) return known->second;
  // Parents come first, as in every table of contents.
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && !addEntry(x, dir, path.substr(0, slash))) return nullptr;

  struct stat st {};
  if (::fstatat(dir, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
  auto file = std::make_unique<XarFile>();
  file->path = path;
  file->props["name"] = slash == std::string::npos ? path : path.substr(slash + 1);
  char mode[16];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  file->props["mode"] = std::string(mode);
  file->props["uid"] = std::to_string(st.st_uid);
  file->props["gid"] = std::to_string(st.st_gid);
  file->props["mtime"] = isoTime(st.st_mtime);
  if (S_ISDIR(st.st_mode)) {
    file->props["type"] = std::string("directory");
  } else if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(static_cast<size_t>(std::max<off_t>(st.st_size, 0)) + 1 + 4096);
    const ssize_t n = ::readlinkat(dir, path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return nullptr;
    const std::string text(target.data(), static_cast<size_t>(n));
    if (!isWritableName(text)) return nullptr;
    file->props["type"] = std::string("symlink");
    file->props["link"] = text;
    struct stat pointed {};
    file->attrs["link@type"] = ::fstatat(dir, path.c_str(), &pointed, 0) != 0 ? "broken"
                               : S_ISDIR(pointed.st_mode)                     ? "directory"
                                                                              : "file";
  } else if (S_ISREG(st.st_mode)) {
    file->props["type"] = std::string("file");
    const FileDescriptor in(::openat(dir, path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.fd < 0 || !storeData(x, in.fd, *file)) {
      x.writeFailed = true;
      return nullptr;
    }
  } else {
    return nullptr;  // devices, pipes and sockets are not archived
  }
  XarFile* added = file.get();
  x.byPath[path] = added;
  x.files.push_back(std::move(file));
  return added;
}

xmlNodePtr textChild(const LibXml& xml, xmlNodePtr parent, const char* name, const std::string& text) {
  return xml.newTextChild(parent, nullptr, reinterpret_cast<const xmlChar*>(name),
                          reinterpret_cast<const xmlChar*>(text.c_str()));
}

// The order in which a file's properties are written; "data/..." go inside one <data> element.
constexpr const char* kWrittenProps[] = {"name", "type", "link", "mode", "uid", "gid", "mtime"};
constexpr const char* kWrittenData[] = {
    "length", "offset", "size", "encoding", "archived-checksum", "extracted-checksum"};

void setAttribute(const LibXml& xml, xmlNodePtr node, const XarFile& f, const std::string& key,
                  const char* attributeName) {
  const auto it = f.attrs.find(key + "@" + attributeName);
  if (it != f.attrs.end()) {
    xml.newProp(node, reinterpret_cast<const xmlChar*>(attributeName),
                reinterpret_cast<const xmlChar*>(it->second.c_str()));
  }
}

std::string tocXml(const XarArchive& x) {
  const LibXml* library = libxml();
  if (!library) return {};
  const LibXml& xml = *library;
  XmlDocument document(xml);
  document.doc = xml.newDoc(reinterpret_cast<const xmlChar*>("1.0"));
  xmlNodePtr root = xml.newNode(nullptr, reinterpret_cast<const xmlChar*>("xar"));
  xml.docSetRootElement(document.doc, root);
  xmlNodePtr toc = xml.newChild(root, nullptr, reinterpret_cast<const xmlChar*>("toc"), nullptr);
  textChild(xml, toc, "creation-time", isoTime(std::time(nullptr)));
  xmlNodePtr checksum = xml.newChild(toc, nullptr, reinterpret_cast<const xmlChar*>("checksum"), nullptr);
  xml.newProp(checksum, reinterpret_cast<const xmlChar*>("style"), reinterpret_cast<const xmlChar*>("sha1"));
  textChild(xml, checksum, "offset", "0");
  textChild(xml, checksum, "size", std::to_string(kTocChecksumSize));

  std::map<std::string, xmlNodePtr> nodes;
  size_t id = 0;
  for (const auto& f : x.files) {
    const size_t slash = f->path.rfind('/');
    const auto parent = slash == std::string::npos ? nodes.end() : nodes.find(f->path.substr(0, slash));
    xmlNodePtr node = xml.newChild(parent == nodes.end() ? toc : parent->second, nullptr,
                                   reinterpret_cast<const xmlChar*>("file"), nullptr);
    xml.newProp(node, reinterpret_cast<const xmlChar*>("id"),
                reinterpret_cast<const xmlChar*>(std::to_string(++id).c_str()));
    nodes[f->path] = node;
    for (const char* key : kWrittenProps) {
      const std::string* text = prop(*f, key);
      if (!text) continue;
      xmlNodePtr child = textChild(xml, node, key, *text);
      setAttribute(xml, child, *f, key, "type");
    }
    if (!f->props.count("data/offset")) continue;
    xmlNodePtr data = xml.newChild(node, nullptr, reinterpret_cast<const xmlChar*>("data"), nullptr);
    for (const char* key : kWrittenData) {
      const std::string full = std::string("data/") + key;
      const std::string* text = prop(*f, full.c_str());
      xmlNodePtr child = text ? textChild(xml, data, key, *text)
                              : xml.newChild(data, nullptr, reinterpret_cast<const xmlChar*>(key), nullptr);
      setAttribute(xml, child, *f, full, "style");
    }
  }
  xmlChar* text = nullptr;
  int size = 0;
  xml.docDumpFormatMemoryEnc(document.doc, &text, &size, "UTF-8", 1);
  if (!text) return {};
  std::string out(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
  xml.free(text);
  return out;
}

bool writeBytes(int fd, const void* data, size_t size) {
  return tessaro::writeAll(fd, std::string_view(static_cast<const char*>(data), size)) == 0;
}

// Header, compressed table of contents, its SHA-1, then the heap.
bool writeArchive(XarArchive& x) {
  if (x.writeFailed || std::fflush(x.heap) != 0) return false;
  const std::string xml = tocXml(x);
  if (xml.empty()) return false;
  uLongf packedSize = compressBound(static_cast<uLong>(xml.size()));
  std::vector<unsigned char> packed(packedSize);
  if (compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(xml.data()),
                static_cast<uLong>(xml.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
    return false;
  }
  packed.resize(packedSize);
  std::string header = "xar!";
  auto put = [&header](uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) header.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  };
  put(kHeaderSize, 2);
  put(1, 2);
  put(packed.size(), 8);
  put(xml.size(), 8);
  put(1, 4);  // SHA-1
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int sumSize = 0;
  if (EVP_Digest(packed.data(), packed.size(), sum, &sumSize, EVP_sha1(), nullptr) != 1) return false;

  const FileDescriptor out(::open(x.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.fd < 0) return false;
  if (!writeBytes(out.fd, header.data(), header.size()) ||
      !writeBytes(out.fd, packed.data(), packed.size()) || !writeBytes(out.fd, sum, sumSize)) {
    return false;
  }
  const int heapFd = ::fileno(x.heap);
  std::vector<unsigned char> buffer(kChunk);
  for (uint64_t pos = 0; pos < x.heapSize;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, x.heapSize - pos));
    if (!readFullyAt(heapFd, buffer.data(), n, pos) || !writeBytes(out.fd, buffer.data(), n)) return false;
    pos += n;
  }
  return true;
}

}  // namespace

const char* xar_open_failure() { return openFailure.c_str(); }

xar_t xar_open(const char* file, int32_t flags) {
  openFailure.clear();
  if (!file) return nullptr;
  try {
    if (flags == WRITE) {
      auto archive = std::make_unique<XarArchive>();
      archive->writing = true;
      archive->outPath = file;
      archive->heap = std::tmpfile();
      if (!archive->heap) return nullptr;
      archive->options["compression"] = "gzip";
      return archive.release();
    }
    if (flags != READ) return nullptr;
    return openArchive(file).release();
  } catch (...) {
    return nullptr;
  }
}

xar_file_t xar_add(xar_t x, const char* path) { return xar_add_at(x, AT_FDCWD, path); }

xar_file_t xar_add_at(xar_t x, int dir, const char* path) {
  if (!x || !x->writing || !path) return nullptr;
  try {
    return addEntry(*x, dir, path);
  } catch (...) {
    x->writeFailed = true;
    return nullptr;
  }
}

int xar_close(xar_t x) {
  if (!x) return 0;
  int result = 0;
  if (x->writing) {
    try {
      if (!writeArchive(*x)) result = -1;
    } catch (...) {
      result = -1;
    }
  }
  // Deepest first, so setting a folder's date does not disturb its parent's.
  for (auto it = x->folderTimes.rbegin(); it != x->folderTimes.rend(); ++it) {
    struct timespec times[2];
    times[0].tv_sec = it->time;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::utimensat(it->base, it->path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  delete x;
  return result;
}

xar_iter_t xar_iter_new() { return new (std::nothrow) XarIterator; }

void xar_iter_free(xar_iter_t i) { delete i; }

xar_file_t xar_file_first(xar_t x, xar_iter_t i) {
  if (!x || !i) return nullptr;
  i->archive = x;
  i->next = 0;
  return xar_file_next(i);
}

xar_file_t xar_file_next(xar_iter_t i) {
  if (!i || !i->archive || i->next >= i->archive->files.size()) return nullptr;
  return i->archive->files[i->next++].get();
}

char* xar_get_path(xar_file_t f) {
  if (!f) return nullptr;
  return ::strdup(f->path.c_str());
}

int32_t xar_prop_get(xar_file_t f, const char* key, const char** value) {
  if (!f || !key || !value) return -1;
  try {
    const auto it = f->props.find(key);
    if (it == f->props.end()) return -1;
    *value = it->second ? it->second->c_str() : nullptr;
    return 0;
  } catch (...) {
    return -1;
  }
}

int32_t xar_extract(xar_t x, xar_file_t f) { return xar_extract_at(x, f, AT_FDCWD); }

int32_t xar_extract_at(xar_t x, xar_file_t f, int dir) {
  if (!x || !f) return -1;
  try {
    return extractFile(*x, *f, dir);
  } catch (...) {
    return -1;
  }
}

int32_t xar_opt_set(xar_t x, const char* option, const char* value) {
  if (!x || !option) return -1;
  try {
    x->options[option] = value ? value : "";
    return 0;
  } catch (...) {
    return -1;
  }
}

bool xarParseTocForTesting(const char* xml, size_t size) {
  try {
    Toc toc;
    return parseToc(xml, size, toc);
  } catch (...) {
    return false;
  }
}

}  // namespace tessaro
