#include "quicklook/QuickLook.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "bundle/Bundle.h"
#include "quicklook/QuickLookHost.h"

namespace tessaro::quicklook {

// Written into every live object so that a pointer from elsewhere is recognised ("TQCF").
constexpr uint32_t kObjectMagic = 0x54514346;

enum class ObjectType : CFTypeID {
  string = 1,
  data,
  dictionary,
  url,
  uuid,
  bundle,
  previewRequest,
  thumbnailRequest,
};

std::atomic<long> liveObjects{0};
std::atomic<long> misuses{0};

// Common head of every object; the object types derive from it without virtual functions, so
// the head sits at the start of each object and is found from any reference.
struct ObjectHeader {
  explicit ObjectHeader(ObjectType t) : type(t) { ++liveObjects; }
  ObjectHeader(const ObjectHeader&) = delete;
  ObjectHeader& operator=(const ObjectHeader&) = delete;

  uint32_t magic = kObjectMagic;
  ObjectType type;
  std::atomic<CFIndex> count{1};
  // Constants are never freed; retaining and releasing them does nothing.
  bool constant = false;
};

}  // namespace tessaro::quicklook

using tessaro::quicklook::CFRef;
using tessaro::quicklook::ObjectHeader;
using tessaro::quicklook::ObjectType;

struct OpaqueCFString : ObjectHeader {
  explicit OpaqueCFString(std::string t) : ObjectHeader(ObjectType::string), text(std::move(t)) {}
  std::string text;
};

struct OpaqueCFData : ObjectHeader {
  explicit OpaqueCFData(std::string b) : ObjectHeader(ObjectType::data), bytes(std::move(b)) {}
  std::string bytes;
};

struct OpaqueCFDictionary : ObjectHeader {
  OpaqueCFDictionary() : ObjectHeader(ObjectType::dictionary) {}
  ~OpaqueCFDictionary() {
    for (auto& [text, entry] : entries) {
      CFRelease(entry.first);
      CFRelease(entry.second);
    }
  }
  // Keyed by the key's text; holds the key object and the value, both retained.
  std::map<std::string, std::pair<CFStringRef, CFTypeRef>, std::less<>> entries;
};

struct OpaqueCFURL : ObjectHeader {
  OpaqueCFURL(std::string p, bool directory)
      : ObjectHeader(ObjectType::url), path(std::move(p)), isDirectory(directory) {}
  std::string path;
  bool isDirectory;
};

struct OpaqueCFUUID : ObjectHeader {
  explicit OpaqueCFUUID(const CFUUIDBytes& b) : ObjectHeader(ObjectType::uuid), bytes(b) {}
  CFUUIDBytes bytes;
};

struct OpaqueCFBundle : ObjectHeader {
  explicit OpaqueCFBundle(std::string p) : ObjectHeader(ObjectType::bundle), path(std::move(p)) {}
  std::string path;
};

struct OpaqueQLPreviewRequest : ObjectHeader {
  OpaqueQLPreviewRequest(CFBundleRef b, bool c)
      : ObjectHeader(ObjectType::previewRequest), bundle(b), cancelled(c) {
    CFRetain(bundle);
  }
  ~OpaqueQLPreviewRequest() { CFRelease(bundle); }
  CFBundleRef bundle;
  bool cancelled;
  CFRef<CFDataRef> data;
  CFRef<CFStringRef> contentType;
  CFRef<CFDictionaryRef> properties;
};

struct OpaqueQLThumbnailRequest : ObjectHeader {
  OpaqueQLThumbnailRequest(CFBundleRef b, bool c)
      : ObjectHeader(ObjectType::thumbnailRequest), bundle(b), cancelled(c) {
    CFRetain(bundle);
  }
  ~OpaqueQLThumbnailRequest() { CFRelease(bundle); }
  CFBundleRef bundle;
  bool cancelled;
  CFRef<CFDataRef> data;
  CFRef<CFDictionaryRef> properties;
};

namespace tessaro::quicklook {
namespace {

using UUIDKey = std::array<UInt8, 16>;

// Constants and the instance registry live as long as the process: allocated once and never
// freed, so nothing that runs during exit (a generator's last release) finds them gone.
struct Registry {
  std::mutex mutex;
  std::map<std::string, OpaqueCFString*, std::less<>> strings;
  std::map<UUIDKey, OpaqueCFUUID*> uuids;
  std::map<UUIDKey, long> instances;
};

Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

void reportMisuse(const char* function, const char* fault) {
  ++misuses;
  std::fprintf(stderr, "QuickLook host: %s: %s\n", function, fault);
}

const char* typeName(ObjectType type) {
  switch (type) {
    case ObjectType::string: return "string";
    case ObjectType::data: return "data";
    case ObjectType::dictionary: return "dictionary";
    case ObjectType::url: return "URL";
    case ObjectType::uuid: return "UUID";
    case ObjectType::bundle: return "bundle";
    case ObjectType::previewRequest: return "preview request";
    case ObjectType::thumbnailRequest: return "thumbnail request";
  }
  return "object";
}

// The head of a live object of this host, else null (reported).
ObjectHeader* header(CFTypeRef ref, const char* function) {
  if (!ref) {
    reportMisuse(function, "null object");
    return nullptr;
  }
  auto* object = static_cast<ObjectHeader*>(const_cast<void*>(ref));
  if (object->magic != kObjectMagic) {
    reportMisuse(function, "not an object of this host");
    return nullptr;
  }
  return object;
}

// The object as its type, else null (reported).
template <typename T>
T* as(CFTypeRef ref, ObjectType type, const char* function) {
  ObjectHeader* object = header(ref, function);
  if (!object) return nullptr;
  if (object->type != type) {
    std::string fault = std::string("expected a ") + typeName(type) + ", got a " + typeName(object->type);
    reportMisuse(function, fault.c_str());
    return nullptr;
  }
  return static_cast<T*>(object);
}

void destroy(ObjectHeader* object) {
  --liveObjects;
  switch (object->type) {
    case ObjectType::string: delete static_cast<OpaqueCFString*>(object); return;
    case ObjectType::data: delete static_cast<OpaqueCFData*>(object); return;
    case ObjectType::dictionary: delete static_cast<OpaqueCFDictionary*>(object); return;
    case ObjectType::url: delete static_cast<OpaqueCFURL*>(object); return;
    case ObjectType::uuid: delete static_cast<OpaqueCFUUID*>(object); return;
    case ObjectType::bundle: delete static_cast<OpaqueCFBundle*>(object); return;
    case ObjectType::previewRequest: delete static_cast<OpaqueQLPreviewRequest*>(object); return;
    case ObjectType::thumbnailRequest: delete static_cast<OpaqueQLThumbnailRequest*>(object); return;
  }
}

template <typename T>
T* makeConstant(T* object) {
  object->constant = true;
  --liveObjects;
  return object;
}

bool checkAllocator(CFAllocatorRef allocator, const char* function) {
  if (allocator == kCFAllocatorDefault) return true;
  reportMisuse(function, "only the default allocator is supported");
  return false;
}

// Well-formed UTF-8 without NUL: no overlong forms, surrogates or values beyond U+10FFFF.
bool isValidUTF8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead == 0) return false;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    uint32_t min;
    uint32_t cp;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, min = 0x80, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, min = 0x800, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, cp = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool isASCII(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

bool fitsEncoding(std::string_view text, CFStringEncoding encoding) {
  switch (encoding) {
    case kCFStringEncodingUTF8: return isValidUTF8(text);
    case kCFStringEncodingASCII: return isValidUTF8(text) && isASCII(text);
    default: return false;
  }
}

CFStringRef newString(std::string_view text) {
  if (!isValidUTF8(text)) return nullptr;
  return new OpaqueCFString(std::string(text));
}

UUIDKey keyOf(const CFUUIDBytes& bytes) {
  UUIDKey key;
  static_assert(sizeof bytes == sizeof key);
  std::memcpy(key.data(), &bytes, key.size());
  return key;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parseUUID(std::string_view text, CFUUIDBytes& out) {
  // 8-4-4-4-12 hexadecimal digits.
  if (text.size() != 36) return false;
  UUIDKey key{};
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    const int hi = hexValue(text[i]);
    const int lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    key[byte++] = static_cast<UInt8>(hi * 16 + lo);
    i += 2;
  }
  std::memcpy(&out, key.data(), key.size());
  return true;
}

// An absolute path without trailing slashes ("/" stays); relative paths are joined to the
// current folder without resolving "." or "..".
bool absolutePath(std::string_view path, std::string& out) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  out.clear();
  if (path.front() != '/') {
    std::string cwd(256, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE || cwd.size() > (size_t{1} << 20)) return false;
      cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    out = cwd;
    if (out.back() != '/') out += '/';
  }
  out += path;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return true;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path, bool& directory) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return false;
  directory = S_ISDIR(info.st_mode);
  return true;
}

std::string resourcesDirectory(const OpaqueCFBundle& bundle) {
  const std::string contents = bundle.path == "/" ? "/Contents" : bundle.path + "/Contents";
  return isFolder(contents) ? contents + "/Resources" : bundle.path;
}

}  // namespace

std::string toString(CFStringRef string) {
  if (!string) return {};
  const auto* object = as<const OpaqueCFString>(string, ObjectType::string, "toString");
  return object ? object->text : std::string();
}

CFRef<CFStringRef> makeString(std::string_view text) {
  try {
    return CFRef<CFStringRef>(newString(text));
  } catch (...) {
    return {};
  }
}

std::string filePath(CFURLRef url) {
  if (!url) return {};
  const auto* object = as<const OpaqueCFURL>(url, ObjectType::url, "filePath");
  return object ? object->path : std::string();
}

CFRef<CFURLRef> makeFileURL(std::string_view path, bool isDirectory) {
  return CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()),
      isDirectory));
}

CFRef<QLPreviewRequestRef> createPreviewRequest(CFBundleRef generatorBundle, bool cancelled) {
  if (!as<OpaqueCFBundle>(generatorBundle, ObjectType::bundle, "createPreviewRequest")) return {};
  try {
    return CFRef<QLPreviewRequestRef>(new OpaqueQLPreviewRequest(generatorBundle, cancelled));
  } catch (...) {
    return {};
  }
}

PreviewReply previewReply(QLPreviewRequestRef request) {
  const auto* object = as<const OpaqueQLPreviewRequest>(request, ObjectType::previewRequest, "previewReply");
  if (!object) return {};
  return {object->data.get(), object->contentType.get(), object->properties.get()};
}

CFRef<QLThumbnailRequestRef> createThumbnailRequest(CFBundleRef generatorBundle, bool cancelled) {
  if (!as<OpaqueCFBundle>(generatorBundle, ObjectType::bundle, "createThumbnailRequest")) return {};
  try {
    return CFRef<QLThumbnailRequestRef>(new OpaqueQLThumbnailRequest(generatorBundle, cancelled));
  } catch (...) {
    return {};
  }
}

CFDataRef thumbnailData(QLThumbnailRequestRef request) {
  const auto* object =
      as<const OpaqueQLThumbnailRequest>(request, ObjectType::thumbnailRequest, "thumbnailData");
  return object ? object->data.get() : nullptr;
}

long liveObjectCount() { return liveObjects.load(); }

long pluginInstanceCount(CFUUIDRef factoryID) {
  const auto* uuid = as<const OpaqueCFUUID>(factoryID, ObjectType::uuid, "pluginInstanceCount");
  if (!uuid) return 0;
  std::lock_guard lock(registry().mutex);
  const auto it = registry().instances.find(keyOf(uuid->bytes));
  return it == registry().instances.end() ? 0 : it->second;
}

long pluginInstanceCount() {
  std::lock_guard lock(registry().mutex);
  long total = 0;
  for (const auto& [key, count] : registry().instances) total += count;
  return total;
}

long misuseCount() { return misuses.load(); }

}  // namespace tessaro::quicklook

using namespace tessaro::quicklook;

// ---- Objects ----

CFTypeRef CFRetain(CFTypeRef object) {
  ObjectHeader* h = header(object, "CFRetain");
  if (h && !h->constant) ++h->count;
  return object;
}

void CFRelease(CFTypeRef object) {
  ObjectHeader* h = header(object, "CFRelease");
  if (!h || h->constant) return;
  if (--h->count == 0) destroy(h);
}

CFIndex CFGetRetainCount(CFTypeRef object) {
  ObjectHeader* h = header(object, "CFGetRetainCount");
  return h ? h->count.load() : 0;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
  ObjectHeader* x = header(a, "CFEqual");
  ObjectHeader* y = header(b, "CFEqual");
  if (!x || !y) return false;
  if (x == y) return true;
  if (x->type != y->type) return false;
  switch (x->type) {
    case ObjectType::string:
      return static_cast<OpaqueCFString*>(x)->text == static_cast<OpaqueCFString*>(y)->text;
    case ObjectType::data:
      return static_cast<OpaqueCFData*>(x)->bytes == static_cast<OpaqueCFData*>(y)->bytes;
    case ObjectType::url: {
      const auto* u = static_cast<OpaqueCFURL*>(x);
      const auto* v = static_cast<OpaqueCFURL*>(y);
      return u->path == v->path && u->isDirectory == v->isDirectory;
    }
    case ObjectType::uuid:
      return keyOf(static_cast<OpaqueCFUUID*>(x)->bytes) == keyOf(static_cast<OpaqueCFUUID*>(y)->bytes);
    case ObjectType::dictionary:
    case ObjectType::bundle:
    case ObjectType::previewRequest:
    case ObjectType::thumbnailRequest: return false;
  }
  return false;
}

CFTypeID CFGetTypeID(CFTypeRef object) {
  ObjectHeader* h = header(object, "CFGetTypeID");
  return h ? static_cast<CFTypeID>(h->type) : 0;
}

CFTypeID CFStringGetTypeID(void) { return static_cast<CFTypeID>(ObjectType::string); }
CFTypeID CFDataGetTypeID(void) { return static_cast<CFTypeID>(ObjectType::data); }
CFTypeID CFDictionaryGetTypeID(void) { return static_cast<CFTypeID>(ObjectType::dictionary); }
CFTypeID CFURLGetTypeID(void) { return static_cast<CFTypeID>(ObjectType::url); }
CFTypeID CFUUIDGetTypeID(void) { return static_cast<CFTypeID>(ObjectType::uuid); }
CFTypeID CFBundleGetTypeID(void) { return static_cast<CFTypeID>(ObjectType::bundle); }

// ---- Strings ----

CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text, CFStringEncoding encoding) {
  if (!checkAllocator(allocator, "CFStringCreateWithCString")) return nullptr;
  if (!text) {
    reportMisuse("CFStringCreateWithCString", "null text");
    return nullptr;
  }
  try {
    if (!fitsEncoding(text, encoding)) return nullptr;
    return newString(text);
  } catch (...) {
    return nullptr;
  }
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
  if (!checkAllocator(allocator, "CFStringCreateWithBytes")) return nullptr;
  if (length < 0 || (!bytes && length > 0)) {
    reportMisuse("CFStringCreateWithBytes", "bad byte range");
    return nullptr;
  }
  try {
    std::string_view text(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    // An external representation may start with a byte-order mark, which is not part of the text.
    if (isExternalRepresentation && encoding == kCFStringEncodingUTF8 && text.starts_with("\xEF\xBB\xBF"))
      text.remove_prefix(3);
    if (!fitsEncoding(text, encoding)) return nullptr;
    return newString(text);
  } catch (...) {
    return nullptr;
  }
}

const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding) {
  const auto* object = as<const OpaqueCFString>(string, ObjectType::string, "CFStringGetCStringPtr");
  if (!object || !fitsEncoding(object->text, encoding)) return nullptr;
  return object->text.c_str();
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
  const auto* object = as<const OpaqueCFString>(string, ObjectType::string, "CFStringGetCString");
  if (!object || !buffer || bufferSize <= 0 || !fitsEncoding(object->text, encoding)) return false;
  if (object->text.size() >= static_cast<size_t>(bufferSize)) return false;
  std::memcpy(buffer, object->text.c_str(), object->text.size() + 1);
  return true;
}

CFIndex CFStringGetLength(CFStringRef string) {
  const auto* object = as<const OpaqueCFString>(string, ObjectType::string, "CFStringGetLength");
  if (!object) return 0;
  CFIndex units = 0;
  for (char c : object->text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) ++units;  // every lead byte starts a code point
    if (byte >= 0xF0) ++units;           // four-byte forms lie beyond U+FFFF: a surrogate pair
  }
  return units;
}

CFStringRef CFStringMakeConstantString(const char* text) {
  if (!text) {
    reportMisuse("CFStringMakeConstantString", "null text");
    return nullptr;
  }
  try {
    if (!isValidUTF8(text)) {
      reportMisuse("CFStringMakeConstantString", "text is not UTF-8");
      return nullptr;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.strings.find(std::string_view(text));
    if (it == r.strings.end()) it = r.strings.emplace(text, makeConstant(new OpaqueCFString(text))).first;
    return it->second;
  } catch (...) {
    return nullptr;
  }
}

// ---- Data ----

CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length) {
  if (!checkAllocator(allocator, "CFDataCreate")) return nullptr;
  if (length < 0 || (!bytes && length > 0)) {
    reportMisuse("CFDataCreate", "bad byte range");
    return nullptr;
  }
  try {
    return new OpaqueCFData(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length)));
  } catch (...) {
    return nullptr;
  }
}

const UInt8* CFDataGetBytePtr(CFDataRef data) {
  const auto* object = as<const OpaqueCFData>(data, ObjectType::data, "CFDataGetBytePtr");
  return object ? reinterpret_cast<const UInt8*>(object->bytes.data()) : nullptr;
}

CFIndex CFDataGetLength(CFDataRef data) {
  const auto* object = as<const OpaqueCFData>(data, ObjectType::data, "CFDataGetLength");
  return object ? static_cast<CFIndex>(object->bytes.size()) : 0;
}

// ---- Dictionaries ----

struct CFDictionaryKeyCallBacks {
  int unused;
};
struct CFDictionaryValueCallBacks {
  int unused;
};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks{0};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks{0};

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
  if (!checkAllocator(allocator, "CFDictionaryCreateMutable")) return nullptr;
  if (capacity < 0 || keyCallBacks != &kCFTypeDictionaryKeyCallBacks ||
      valueCallBacks != &kCFTypeDictionaryValueCallBacks) {
    reportMisuse("CFDictionaryCreateMutable", "only the CFType call-backs are supported");
    return nullptr;
  }
  try {
    return new OpaqueCFDictionary;
  } catch (...) {
    return nullptr;
  }
}

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value) {
  auto* object = as<OpaqueCFDictionary>(dictionary, ObjectType::dictionary, "CFDictionarySetValue");
  const auto* keyString = as<const OpaqueCFString>(key, ObjectType::string, "CFDictionarySetValue");
  if (!object || !keyString || !header(value, "CFDictionarySetValue")) return;
  try {
    CFRetain(value);
    auto it = object->entries.find(keyString->text);
    if (it != object->entries.end()) {
      CFRelease(it->second.second);
      it->second.second = value;
    } else {
      CFRetain(keyString);
      try {
        object->entries.emplace(keyString->text, std::pair<CFStringRef, CFTypeRef>(keyString, value));
      } catch (...) {
        CFRelease(keyString);
        throw;
      }
    }
  } catch (...) {
    CFRelease(value);
  }
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
  const auto* object =
      as<const OpaqueCFDictionary>(dictionary, ObjectType::dictionary, "CFDictionaryGetValue");
  const auto* keyString = as<const OpaqueCFString>(key, ObjectType::string, "CFDictionaryGetValue");
  if (!object || !keyString) return nullptr;
  const auto it = object->entries.find(keyString->text);
  return it == object->entries.end() ? nullptr : it->second.second;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary) {
  const auto* object =
      as<const OpaqueCFDictionary>(dictionary, ObjectType::dictionary, "CFDictionaryGetCount");
  return object ? static_cast<CFIndex>(object->entries.size()) : 0;
}

// ---- File URLs ----

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* path, CFIndex length,
                                                 Boolean isDirectory) {
  if (!checkAllocator(allocator, "CFURLCreateFromFileSystemRepresentation")) return nullptr;
  if (length < 0 || (!path && length > 0)) {
    reportMisuse("CFURLCreateFromFileSystemRepresentation", "bad byte range");
    return nullptr;
  }
  try {
    std::string absolute;
    if (!absolutePath(std::string_view(reinterpret_cast<const char*>(path), static_cast<size_t>(length)),
                      absolute))
      return nullptr;
    return new OpaqueCFURL(std::move(absolute), isDirectory != 0);
  } catch (...) {
    return nullptr;
  }
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef path, CFURLPathStyle style,
                                       Boolean isDirectory) {
  const auto* text = as<const OpaqueCFString>(path, ObjectType::string, "CFURLCreateWithFileSystemPath");
  if (!text) return nullptr;
  if (style != kCFURLPOSIXPathStyle) {
    reportMisuse("CFURLCreateWithFileSystemPath", "only POSIX paths are supported");
    return nullptr;
  }
  return CFURLCreateFromFileSystemRepresentation(allocator, reinterpret_cast<const UInt8*>(text->text.data()),
                                                 static_cast<CFIndex>(text->text.size()), isDirectory);
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle style) {
  const auto* object = as<const OpaqueCFURL>(url, ObjectType::url, "CFURLCopyFileSystemPath");
  if (!object) return nullptr;
  if (style != kCFURLPOSIXPathStyle) {
    reportMisuse("CFURLCopyFileSystemPath", "only POSIX paths are supported");
    return nullptr;
  }
  try {
    // A name that is not UTF-8 has no string form; CFURLGetFileSystemRepresentation still gives it.
    return newString(object->path);
  } catch (...) {
    return nullptr;
  }
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8* buffer, CFIndex maxBufferLength) {
  const auto* object = as<const OpaqueCFURL>(url, ObjectType::url, "CFURLGetFileSystemRepresentation");
  if (!object || !buffer || maxBufferLength <= 0) return false;
  if (object->path.size() >= static_cast<size_t>(maxBufferLength)) return false;
  std::memcpy(buffer, object->path.c_str(), object->path.size() + 1);
  return true;
}

// ---- UUIDs ----

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef allocator, CFStringRef text) {
  if (!checkAllocator(allocator, "CFUUIDCreateFromString")) return nullptr;
  const auto* string = as<const OpaqueCFString>(text, ObjectType::string, "CFUUIDCreateFromString");
  CFUUIDBytes bytes;
  if (!string || !parseUUID(string->text, bytes)) return nullptr;
  try {
    return new OpaqueCFUUID(bytes);
  } catch (...) {
    return nullptr;
  }
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef allocator, CFUUIDBytes bytes) {
  if (!checkAllocator(allocator, "CFUUIDCreateFromUUIDBytes")) return nullptr;
  try {
    return new OpaqueCFUUID(bytes);
  } catch (...) {
    return nullptr;
  }
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7,
                                         UInt8 byte8, UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12,
                                         UInt8 byte13, UInt8 byte14, UInt8 byte15) {
  if (!checkAllocator(allocator, "CFUUIDGetConstantUUIDWithBytes")) return nullptr;
  const CFUUIDBytes bytes{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                          byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
  try {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.uuids.find(keyOf(bytes));
    if (it == r.uuids.end()) it = r.uuids.emplace(keyOf(bytes), makeConstant(new OpaqueCFUUID(bytes))).first;
    return it->second;
  } catch (...) {
    return nullptr;
  }
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
  const auto* object = as<const OpaqueCFUUID>(uuid, ObjectType::uuid, "CFUUIDGetUUIDBytes");
  return object ? object->bytes : CFUUIDBytes{};
}

CFStringRef CFUUIDCreateString(CFAllocatorRef allocator, CFUUIDRef uuid) {
  if (!checkAllocator(allocator, "CFUUIDCreateString")) return nullptr;
  const auto* object = as<const OpaqueCFUUID>(uuid, ObjectType::uuid, "CFUUIDCreateString");
  if (!object) return nullptr;
  const UUIDKey key = keyOf(object->bytes);
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7], key[8], key[9], key[10],
                key[11], key[12], key[13], key[14], key[15]);
  try {
    return newString(text);
  } catch (...) {
    return nullptr;
  }
}

// ---- Bundles ----

CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL) {
  if (!checkAllocator(allocator, "CFBundleCreate")) return nullptr;
  const auto* url = as<const OpaqueCFURL>(bundleURL, ObjectType::url, "CFBundleCreate");
  if (!url || !isFolder(url->path)) return nullptr;
  try {
    return new OpaqueCFBundle(url->path);
  } catch (...) {
    return nullptr;
  }
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
  const auto* object = as<const OpaqueCFBundle>(bundle, ObjectType::bundle, "CFBundleCopyBundleURL");
  if (!object) return nullptr;
  try {
    return new OpaqueCFURL(object->path, true);
  } catch (...) {
    return nullptr;
  }
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle) {
  const auto* object =
      as<const OpaqueCFBundle>(bundle, ObjectType::bundle, "CFBundleCopyResourcesDirectoryURL");
  if (!object) return nullptr;
  try {
    return new OpaqueCFURL(resourcesDirectory(*object), true);
  } catch (...) {
    return nullptr;
  }
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirectory) {
  constexpr const char* kFunction = "CFBundleCopyResourceURL";
  const auto* object = as<const OpaqueCFBundle>(bundle, ObjectType::bundle, kFunction);
  const auto* name = as<const OpaqueCFString>(resourceName, ObjectType::string, kFunction);
  const auto* type =
      resourceType ? as<const OpaqueCFString>(resourceType, ObjectType::string, kFunction) : nullptr;
  const auto* sub =
      subDirectory ? as<const OpaqueCFString>(subDirectory, ObjectType::string, kFunction) : nullptr;
  if (!object || !name || (resourceType && !type) || (subDirectory && !sub) || name->text.empty())
    return nullptr;
  try {
    std::string relative = sub && !sub->text.empty() ? sub->text + "/" : std::string();
    relative += name->text;
    if (type && !type->text.empty()) {
      if (type->text.front() != '.') relative += '.';
      relative += type->text;
    }
    const std::string resources = resourcesDirectory(*object);
    // Resources that are not localised come first, then the preferred localisation's.
    std::string candidates[] = {
        resources + "/" + relative,
        resources + "/" + tessaro::Bundle(resources).preferredLocalization() + ".lproj/" + relative,
    };
    for (std::string& candidate : candidates) {
      bool directory = false;
      if (exists(candidate, directory)) return new OpaqueCFURL(std::move(candidate), directory);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

// ---- Plug-in instances ----

void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID) {
  const auto* uuid = as<const OpaqueCFUUID>(factoryID, ObjectType::uuid, "CFPlugInAddInstanceForFactory");
  if (!uuid) return;
  try {
    std::lock_guard lock(registry().mutex);
    ++registry().instances[keyOf(uuid->bytes)];
  } catch (...) {
    reportMisuse("CFPlugInAddInstanceForFactory", "out of memory");
  }
}

void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID) {
  const auto* uuid = as<const OpaqueCFUUID>(factoryID, ObjectType::uuid, "CFPlugInRemoveInstanceForFactory");
  if (!uuid) return;
  bool known = false;
  {
    std::lock_guard lock(registry().mutex);
    auto& instances = registry().instances;
    const auto it = instances.find(keyOf(uuid->bytes));
    if (it != instances.end() && it->second > 0) {
      known = true;
      if (--it->second == 0) instances.erase(it);
    }
  }
  if (!known) reportMisuse("CFPlugInRemoveInstanceForFactory", "no instance of this factory is registered");
}

// ---- Requests ----

Boolean QLPreviewRequestIsCancelled(QLPreviewRequestRef preview) {
  const auto* object =
      as<const OpaqueQLPreviewRequest>(preview, ObjectType::previewRequest, "QLPreviewRequestIsCancelled");
  return object && object->cancelled;
}

CFBundleRef QLPreviewRequestGetGeneratorBundle(QLPreviewRequestRef preview) {
  const auto* object = as<const OpaqueQLPreviewRequest>(preview, ObjectType::previewRequest,
                                                        "QLPreviewRequestGetGeneratorBundle");
  return object ? object->bundle : nullptr;
}

void QLPreviewRequestSetDataRepresentation(QLPreviewRequestRef preview, CFDataRef data,
                                           CFStringRef contentTypeUTI, CFDictionaryRef properties) {
  constexpr const char* kFunction = "QLPreviewRequestSetDataRepresentation";
  auto* object = as<OpaqueQLPreviewRequest>(preview, ObjectType::previewRequest, kFunction);
  const bool valid =
      object && as<const OpaqueCFData>(data, ObjectType::data, kFunction) &&
      as<const OpaqueCFString>(contentTypeUTI, ObjectType::string, kFunction) &&
      (!properties || as<const OpaqueCFDictionary>(properties, ObjectType::dictionary, kFunction));
  if (!valid) return;
  object->data = CFRef<CFDataRef>::retained(data);
  object->contentType = CFRef<CFStringRef>::retained(contentTypeUTI);
  object->properties = CFRef<CFDictionaryRef>::retained(properties);
}

Boolean QLThumbnailRequestIsCancelled(QLThumbnailRequestRef thumbnail) {
  const auto* object = as<const OpaqueQLThumbnailRequest>(thumbnail, ObjectType::thumbnailRequest,
                                                          "QLThumbnailRequestIsCancelled");
  return object && object->cancelled;
}

CFBundleRef QLThumbnailRequestGetGeneratorBundle(QLThumbnailRequestRef thumbnail) {
  const auto* object = as<const OpaqueQLThumbnailRequest>(thumbnail, ObjectType::thumbnailRequest,
                                                          "QLThumbnailRequestGetGeneratorBundle");
  return object ? object->bundle : nullptr;
}

void QLThumbnailRequestSetImageWithData(QLThumbnailRequestRef thumbnail, CFDataRef data,
                                        CFDictionaryRef properties) {
  constexpr const char* kFunction = "QLThumbnailRequestSetImageWithData";
  auto* object = as<OpaqueQLThumbnailRequest>(thumbnail, ObjectType::thumbnailRequest, kFunction);
  const bool valid =
      object && as<const OpaqueCFData>(data, ObjectType::data, kFunction) &&
      (!properties || as<const OpaqueCFDictionary>(properties, ObjectType::dictionary, kFunction));
  if (!valid) return;
  object->data = CFRef<CFDataRef>::retained(data);
  object->properties = CFRef<CFDictionaryRef>::retained(properties);
}

const CFStringRef kQLPreviewPropertyTextEncodingNameKey = CFStringMakeConstantString("TextEncoding");
const CFStringRef kQLPreviewPropertyMIMETypeKey = CFStringMakeConstantString("MimeType");
const CFStringRef kQLPreviewPropertyAttachmentsKey = CFStringMakeConstantString("Attachments");
const CFStringRef kUTTypeHTML = CFStringMakeConstantString("public.html");
