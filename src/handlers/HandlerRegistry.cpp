#include "HandlerRegistry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <initializer_list>
#include <utility>

#include "ArchiveHandler7z.h"
#include "ArchiveHandlerMime.h"
#include "ArchiveHandlerRar.h"
#include "ArchiveHandlerSplit.h"
#include "ArchiveHandlerStream.h"
#include "ArchiveHandlerStreamFilter.h"
#include "ArchiveHandlerTar.h"
#include "ArchiveHandlerTarFilter.h"
#include "ArchiveHandlerXad.h"
#include "ArchiveHandlerXar.h"
#include "HostTexts.h"
#include "PathString.h"
#include "RecordedStreamSize.h"
#include "SelfExtractor.h"
#include "TextNumber.h"
#include "defaults/UserDefaults.h"
#include "helpers.h"

namespace tessaro {

namespace {

using namespace std::string_view_literals;

using MetaclassFn = const HandlerClass& (*)();

// The deepest signature ("ustar" at 257) ends at byte 262.
constexpr size_t kHeaderSize = 262;
using Header = std::array<unsigned char, kHeaderSize>;

// How a matching row names its class: directly, or, for a compressed stream, by whether the name
// says that a tar archive (or a cpio archive) is inside; for a Windows program, by the archive
// that follows it.
enum class StreamRule { kNone, kGzip, kBzip2, kXz, kZstd, kLzip, kLz4, kProgram };

struct Signature {
  std::string_view bytes;
  size_t offset;
  MetaclassFn handlerClass;
  std::string_view tag;
  StreamRule rule = StreamRule::kNone;
};

// Tested in this order; the first match decides. Signatures compare as zero-terminated texts: a
// zero byte of the signature that the file also has ends the comparison with success.
constexpr std::array kSignatures{
    Signature{"PK\x03\x04"sv, 0, &AHandlerZip::metaclass, "zip"},  // "PK" 03 04: local file header
    Signature{"PK00"sv, 0, &AHandlerZip::metaclass, "zip"},        // "PK00": spanning marker, one volume
    Signature{"PK\x05\x06"sv, 0, &AHandlerZip::metaclass, "zip"},  // "PK" 05 06: empty archive
    Signature{"PK\x07\x08"sv, 0, &AHandlerZip::metaclass, "zip"},  // "PK" 07 08: spanned archive
    Signature{"PK\x07\x08"sv, 4, &AHandlerZip::metaclass, "zip"},  // "PK" 07 08 four bytes in
    // 1F 9D 90: compress(1) ".Z", a single stream that gzip lists.
    Signature{"\x1F\x9D\x90"sv, 0, &AHandlerGZip::metaclass, "z"},
    // "Rar!" 1A 07 00: RAR 1.5 to 4. RAR 5 continues with 01 instead of 00 and is left to the name.
    Signature{"Rar!\x1A\x07\x00"sv, 0, &AHandlerRar::metaclass, "rar"},
    Signature{"7z\xBC\xAF\x27\x1C"sv, 0, &AHandler7zip::metaclass, "7z"},    // "7z" BC AF 27 1C
    Signature{"MSCF\x00\x00\x00\x00"sv, 0, &AHandlerCab::metaclass, "cab"},  // "MSCF" 00 00 00 00
    Signature{"ITSF\x03\x00\x00\x00"sv, 0, &AHandlerChm::metaclass, "chm"},  // "ITSF" 03 00 00 00
    Signature{"-l"sv, 2, &AHandlerLzh::metaclass, "lzh"},                    // "-l" of "-lh5-" at 2
    Signature{"\x60\xEA"sv, 0, &AHandlerArj::metaclass, "arj"},              // 60 EA: header id EA60
    Signature{"07070"sv, 0, &AHandlerCpio::metaclass, "cpio"},               // "07070": odc and newc
    Signature{"(This file must be converted with BinHex"sv, 0, &AHandlerHqx::metaclass, "hqx"},
    Signature{"StuffIt (c)1997-"sv, 0, &AHandlerSit::metaclass, "sit"},  // StuffIt 5
    Signature{"StuffIt!"sv, 0, &AHandlerSit::metaclass, "sit"},          // StuffIt X
    Signature{"SIT!"sv, 0, &AHandlerSit::metaclass, "sit"},              // classic StuffIt
    // "ustar" at 257 (POSIX tar). Before the compressed streams: a tar's first file name may
    // begin with "BZh" or any other bytes.
    Signature{"ustar"sv, 257, &AHandlerTar::metaclass, "tar"},
    Signature{"\x1F\x8B"sv, 0, &AHandlerTGz::metaclass, "tgz", StreamRule::kGzip},            // 1F 8B: gzip
    Signature{"BZh"sv, 0, &AHandlerTBz::metaclass, "tbz", StreamRule::kBzip2},                // "BZh": bzip2
    Signature{"\xFD\x37zXZ\x00"sv, 0, &AHandlerTXz::metaclass, "txz", StreamRule::kXz},       // FD "7zXZ" 00
    Signature{"\x28\xB5\x2F\xFD"sv, 0, &AHandlerTZst::metaclass, "tzst", StreamRule::kZstd},  // zstd frame
    Signature{"LZIP"sv, 0, &AHandlerTLz::metaclass, "tlz", StreamRule::kLzip},                // "LZIP"
    Signature{"\x04\x22\x4D\x18"sv, 0, &AHandlerTLz4::metaclass, "tlz4", StreamRule::kLz4},   // lz4 frame
    Signature{"\xED\xAB\xEE\xDB"sv, 0, &AHandlerRpm::metaclass, "rpm"},  // ED AB EE DB: rpm lead
    // "!<arch>" 0A "debian-binary": an ar archive whose first member is the package version.
    Signature{"!<arch>\ndebian-binary"sv, 0, &AHandlerDeb::metaclass, "deb"},
    Signature{"!<arch>\n"sv, 0, &AHandlerAr::metaclass, "ar"},  // any other ar archive
    // Binary cpio: the 16-bit magic 070707 in either byte order.
    Signature{"\xC7\x71"sv, 0, &AHandlerCpio::metaclass, "cpio"},
    Signature{"\x71\xC7"sv, 0, &AHandlerCpio::metaclass, "cpio"},
    Signature{"xar!"sv, 0, &AHandlerXar::metaclass, "xar"},  // "xar!"
    // 78 9F: the first two bytes of the TNEF signature 78 9F 3E 22.
    Signature{"\x78\x9F"sv, 0, &AHandlerMime::metaclass, "dat"},
    Signature{"MSWIM"sv, 0, &AHandlerWim::metaclass, "wim"},  // "MSWIM"
    // EF BE AD DE "NullsoftInst": DEADBEEF little-endian, then the installer's name.
    Signature{"\xEF\xBE\xAD\xDENullsoftInst"sv, 0, &AHandlerNsis::metaclass, "nsis"},
    Signature{"%PDF"sv, 0, &AHandlerPdf::metaclass, "pdf"},  // "%PDF"
    Signature{"CWS"sv, 0, &AHandlerSwf::metaclass, "swf"},   // "CWS": zlib-compressed Flash
    Signature{"FWS"sv, 0, &AHandlerSwf::metaclass, "swf"},   // "FWS": uncompressed Flash
    // "MZ": a Windows program, taken only when a 7z or zip archive follows it (a self-extractor).
    Signature{"MZ"sv, 0, &AHandler7zip::metaclass, "sfx", StreamRule::kProgram},
};
static_assert(kSignatures.size() == 37);

// Every class of the hierarchy, for lookups by name; sized by its entries, so that no empty
// slot is ever called.
constexpr MetaclassFn kAllClasses[] = {
    &ArchiveHandler::metaclass, &AHandlerTar::metaclass,          &AHandlerTGz::metaclass,
    &AHandlerTBz::metaclass,    &AHandlerTXz::metaclass,          &AHandlerGZip::metaclass,
    &AHandlerBZip::metaclass,   &AHandlerXz::metaclass,           &AHandler7ZipBase::metaclass,
    &AHandlerZip::metaclass,    &AHandler7zip::metaclass,         &AHandlerArj::metaclass,
    &AHandlerCab::metaclass,    &AHandlerChm::metaclass,          &AHandlerIso::metaclass,
    &AHandlerWim::metaclass,    &AHandlerRpm::metaclass,          &AHandlerNsis::metaclass,
    &AHandlerDmg::metaclass,    &AHandlerSplit::metaclass,        &AHandlerRar::metaclass,
    &AHandlerXar::metaclass,    &ArchiveHandlerXad::metaclass,    &AHandlerSit::metaclass,
    &AHandlerSitX::metaclass,   &AHandlerDd::metaclass,           &AHandlerHqx::metaclass,
    &AHandlerBin::metaclass,    &AHandlerLzh::metaclass,          &AHandlerDeb::metaclass,
    &AHandlerPdf::metaclass,    &AHandlerSwf::metaclass,          &AHandlerCpio::metaclass,
    &AHandlerMime::metaclass,   &AHandlerAr::metaclass,           &AHandlerTarFilter::metaclass,
    &AHandlerTZst::metaclass,   &AHandlerTLz::metaclass,          &AHandlerTLz4::metaclass,
    &AHandlerTLzma::metaclass,  &AHandlerStreamFilter::metaclass, &AHandlerZstd::metaclass,
    &AHandlerLzip::metaclass,   &AHandlerLz4::metaclass,          &AHandlerLzma::metaclass,
};

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The first bytes of a regular file; whatever cannot be read stays zero. Anything else (a FIFO,
// a device) is not opened for reading at all, so detection never blocks or disturbs it.
Header readHeader(const std::string& path) {
  Header header{};
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return header;
  // O_NONBLOCK: should the path have become a FIFO since the test above, opening must not wait.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return header;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    size_t filled = 0;
    while (filled < header.size()) {
      const ssize_t n = read(fd, header.data() + filled, header.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
  }
  close(fd);
  return header;
}

bool matches(const Header& header, const Signature& signature) {
  for (size_t i = 0; i < signature.bytes.size(); ++i) {
    const size_t at = signature.offset + i;
    if (at >= header.size()) return false;
    const auto expected = static_cast<unsigned char>(signature.bytes[i]);
    if (header[at] != expected) return false;
    if (expected == 0) return true;
  }
  return true;
}

const Signature* matchingSignature(const Header& header) {
  for (const Signature& signature : kSignatures) {
    if (matches(header, signature)) return &signature;
  }
  return nullptr;
}

bool isAny(std::string_view text, std::initializer_list<std::string_view> choices) {
  for (std::string_view choice : choices) {
    if (text == choice) return true;
  }
  return false;
}

// The class of a compressed stream: the name tells whether a tar (or cpio) archive is inside.
const HandlerClass& streamClass(const Signature& signature, std::string_view name,
                                std::string_view extension) {
  switch (signature.rule) {
    case StreamRule::kNone: return signature.handlerClass();
    case StreamRule::kGzip:
      if (hasSuffix(name, "tar.gz") || isAny(extension, {"tgz", "tar"})) return AHandlerTGz::metaclass();
      if (isAny(extension, {"cpio", "cpgz"}) || hasSuffix(name, "cpio.gz")) return AHandlerCpio::metaclass();
      return AHandlerGZip::metaclass();
    case StreamRule::kBzip2:
      if (isAny(extension, {"tbz", "tb2", "tbz2", "tar"}) || hasSuffix(name, "tar.bz2") ||
          hasSuffix(name, "tar.bz"))
        return AHandlerTBz::metaclass();
      return AHandlerBZip::metaclass();
    case StreamRule::kXz:
      // GNU tar's --lzma writes xz where lzma is xz's alias, under the lzma names.
      if (isAny(extension, {"txz", "tar", "tlz"}) || hasSuffix(name, "tar.xz") || hasSuffix(name, "tar.lzma"))
        return AHandlerTXz::metaclass();
      return AHandlerXz::metaclass();
    case StreamRule::kZstd:
      if (isAny(extension, {"tzst", "tar"}) || hasSuffix(name, "tar.zst")) return AHandlerTZst::metaclass();
      return AHandlerZstd::metaclass();
    // ".tlz" is tar's own ending for lzma and lzip's for its tar archives: the bytes decide.
    case StreamRule::kLzip:
      if (isAny(extension, {"tlz", "tar"}) || hasSuffix(name, "tar.lz")) return AHandlerTLz::metaclass();
      return AHandlerLzip::metaclass();
    case StreamRule::kLz4:
      if (isAny(extension, {"tlz4", "tar"}) || hasSuffix(name, "tar.lz4")) return AHandlerTLz4::metaclass();
      return AHandlerLz4::metaclass();
    case StreamRule::kProgram: return signature.handlerClass();
  }
  return signature.handlerClass();
}

// An lzma stream has no signature of its own, only a header of plausible values.
const HandlerClass& lzmaClass(std::string_view name, std::string_view extension) {
  if (isAny(extension, {"tlz", "tar"}) || hasSuffix(name, "tar.lzma")) return AHandlerTLzma::metaclass();
  return AHandlerLzma::metaclass();
}

// The handler of a Windows program: the 7z or zip one when such an archive follows the program.
const HandlerClass* programClass(const std::string& path) {
  switch (embeddedArchiveOf(path)) {
    case EmbeddedArchive::kSevenZip: return &AHandler7zip::metaclass();
    case EmbeddedArchive::kZip: return &AHandlerZip::metaclass();
    case EmbeddedArchive::kNone: return nullptr;
  }
  return nullptr;
}

// The class that the name alone suggests, when no signature matched.
const HandlerClass* classByName(std::string_view name, std::string_view extension) {
  if (hasSuffix(name, "tar.gz") || extension == "tgz") return &AHandlerTGz::metaclass();
  if (isAny(extension, {"tbz", "tb2", "tbz2"}) || hasSuffix(name, "tar.bz2") || hasSuffix(name, "tar.bz"))
    return &AHandlerTBz::metaclass();
  if (extension == "txz" || hasSuffix(name, "tar.xz")) return &AHandlerTXz::metaclass();
  if (extension == "tzst" || hasSuffix(name, "tar.zst")) return &AHandlerTZst::metaclass();
  if (hasSuffix(name, "tar.lz")) return &AHandlerTLz::metaclass();
  if (hasSuffix(name, "tar.lz4")) return &AHandlerTLz4::metaclass();
  if (extension == "tlz" || hasSuffix(name, "tar.lzma")) return &AHandlerTLzma::metaclass();

  struct ByExtension {
    std::string_view extension;
    MetaclassFn handlerClass;
  };
  // Formats with no signature at the start (iso, dmg, dd, bin, a split piece, a pre-POSIX tar)
  // or with variants that the table does not know (RAR 5, other StuffIt versions).
  static constexpr ByExtension kByExtension[] = {
      {"tar", &AHandlerTar::metaclass},   {"iso", &AHandlerIso::metaclass}, {"wim", &AHandlerWim::metaclass},
      {"dmg", &AHandlerDmg::metaclass},   {"dd", &AHandlerDd::metaclass},   {"bin", &AHandlerBin::metaclass},
      {"001", &AHandlerSplit::metaclass}, {"rar", &AHandlerRar::metaclass}, {"sit", &AHandlerSit::metaclass},
      {"tnef", &AHandlerMime::metaclass}, {"cbr", &AHandlerRar::metaclass},
  };
  for (const ByExtension& row : kByExtension) {
    if (extension == row.extension) return &row.handlerClass();
  }
  if (name == "winmail.dat" || name == "win.dat") return &AHandlerMime::metaclass();
  return nullptr;
}

bool isBlacklisted(std::string_view extension) {
  const std::optional<std::string> blacklist =
      UserDefaults::standard().stringForKey("HLVArchiveExtensionsBlacklist");
  if (!blacklist) return false;
  constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";
  std::string_view rest = *blacklist;
  while (true) {
    const size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    const size_t first = item.find_first_not_of(kWhiteSpace);
    item = first == std::string_view::npos ? std::string_view{} : item.substr(first);
    item = item.substr(0, item.find_last_not_of(kWhiteSpace) + 1);
    if (asciiLowercase(item) == extension) return true;
    if (comma == std::string_view::npos) return false;
    rest.remove_prefix(comma + 1);
  }
}

const HandlerClass* detect(std::string_view givenPath, bool ignoreBlacklist) {
  std::string path(givenPath);
  if (path.empty() || isFolder(path)) return nullptr;

  const std::string name = asciiLowercase(lastPathComponent(path));
  std::string extension(pathExtension(name));

  // A later numbered volume is detected as the first one; "7z" only looks like a number.
  if (intValue(extension) >= 2 && extension != "7z") {
    path = appendingPathExtension(deletingPathExtension(path), "001");
    extension = "001";
  }

  if (!ignoreBlacklist && isBlacklisted(extension)) return nullptr;

  const Header header = readHeader(path);
  if (const Signature* signature = matchingSignature(header)) {
    HLVLog(kLogTrace, "detected: %.*s", static_cast<int>(signature->tag.size()), signature->tag.data());
    if (extension == "001" && signature->handlerClass == &AHandlerRar::metaclass) {
      // Old-style RAR volumes each begin with the signature; the answer is RAR either way, the
      // second volume only tells whether the set looks whole.
      const std::string second = appendingPathExtension(deletingPathExtension(path), "002");
      const bool continues = matches(readHeader(second), *signature);
      HLVLog(kLogTrace, "second volume %s the RAR signature", continues ? "has" : "lacks");
    }
    if (signature->rule == StreamRule::kProgram) return programClass(path);
    return &streamClass(*signature, name, extension);
  }
  if (isLzmaAloneHeader(header.data(), header.size())) return &lzmaClass(name, extension);
  return classByName(name, extension);
}

// Titles are looked up on every call: the English text is the key.
MenuArray localizedMenu(std::initializer_list<std::pair<const char*, int32_t>> items) {
  MenuArray menu;
  for (const auto& [title, tag] : items) menu.push_back({hostText(title), tag});
  return menu;
}

MenuArray compressionMenu() {
  return localizedMenu({{"No compression", 0},
                        {"Fast, but larger archives", 1},
                        {"Normal", 2},
                        {"Best, but slower operation", 3},
                        {"High, but slower operation", 4},
                        {"Best (solid, slow extraction)", 5}});
}

MenuArray encryptionMenu() {
  return localizedMenu({{"Not encrypted", 0},
                        {"Weak (PKZip2 compatible)", 1},
                        {"Strong (AES-256)", 2},
                        {"Strong (AES-256) with header encryption", 3}});
}

template <typename Answer>
std::vector<std::string> savableClassTexts(Answer answer) {
  std::vector<std::string> texts;
  for (const HandlerClass* c : allHandlerClasses()) {
    if (c->canSave() != 0) texts.push_back(answer(*c));
  }
  return texts;
}

}  // namespace

const HandlerClass* handlerClassWithFilename(std::string_view path, bool ignoreBlacklist) {
  try {
    return detect(path, ignoreBlacklist);
  } catch (...) {
    return nullptr;
  }
}

std::optional<std::string> handlerClassNameWithFilename(std::string_view path, bool ignoreBlacklist) {
  try {
    const HandlerClass* c = handlerClassWithFilename(path, ignoreBlacklist);
    if (!c) return std::nullopt;
    return std::string(c->className());
  } catch (...) {
    return std::nullopt;
  }
}

std::shared_ptr<ArchiveHandler> handlerWithFilename(std::string_view path, bool ignoreBlacklist) {
  try {
    const HandlerClass* c = handlerClassWithFilename(path, ignoreBlacklist);
    if (!c || !exists(std::string(path))) return nullptr;
    return c->initWithURL(path);
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<ArchiveHandler> handlerWithFormat(int32_t tag) {
  try {
    HLVLog(kLogTrace, "%s %s", "ArchiveHandler", "handlerWithFormat");
    for (const HandlerClass* c : allHandlerClasses()) {
      if (c->formatTag() == tag) return c->alloc();
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

const std::vector<const HandlerClass*>& allHandlerClasses() {
  static const std::vector<const HandlerClass*> classes = [] {
    std::vector<const HandlerClass*> distinct;
    for (const Signature& signature : kSignatures) {
      const HandlerClass* c = &signature.handlerClass();
      if (std::find(distinct.begin(), distinct.end(), c) == distinct.end()) distinct.push_back(c);
    }
    return distinct;
  }();
  return classes;
}

const HandlerClass* handlerClassNamed(std::string_view className) {
  for (MetaclassFn metaclass : kAllClasses) {
    if (metaclass().className() == className) return &metaclass();
  }
  return nullptr;
}

bool filesAreOnlyArchives(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (!handlerClassWithFilename(path, false)) return false;
  }
  return true;
}

std::vector<std::string> saveTypeExtensions(bool /*unused*/) {
  try {
    return savableClassTexts([](const HandlerClass& c) { return c.defaultExtension().value_or(""); });
  } catch (...) {
    return {};
  }
}

std::vector<std::string> saveTypeNames(bool /*unused*/) {
  try {
    return savableClassTexts([](const HandlerClass& c) { return c.formatName(); });
  } catch (...) {
    return {};
  }
}

MenuArray allCompressionFactors() {
  try {
    return compressionMenu();
  } catch (...) {
    return {};
  }
}

MenuArray allEncryptionMethods() {
  try {
    return encryptionMenu();
  } catch (...) {
    return {};
  }
}

MenuArray menuArrayFromArray(const MenuArray& items, const std::vector<int32_t>& filter) {
  try {
    MenuArray selection;
    for (int32_t tag : filter) {
      const auto found =
          std::find_if(items.begin(), items.end(), [tag](const MenuItem& i) { return i.tag == tag; });
      if (found != items.end()) selection.push_back(*found);
    }
    return selection;
  } catch (...) {
    return {};
  }
}

}  // namespace tessaro
