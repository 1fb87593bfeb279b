/* The part of the QuickLook and Core Foundation interface that a preview generator calls: reference-
 * counted opaque objects (strings, data, dictionaries, file URLs, UUIDs, bundles), the plug-in
 * instance registry, the COM-style generator interface table and the preview and thumbnail
 * requests. A plain C interface, so that a generator in any language can be loaded into the host.
 *
 * The host process implements every function (it is linked with its symbols exported); a
 * generator only declares them and finds them in the host when it is loaded.
 *
 * Ownership follows the platform's rule: what a function named Create or Copy returns belongs to
 * the caller, who gives it back with CFRelease; what a Get function returns is borrowed. Constants
 * (CFSTR, the property keys, CFUUIDGetConstantUUIDWithBytes) live as long as the process, and
 * retaining or releasing them does nothing. */
#ifndef TESSARO_PLATFORM_QUICKLOOK_QUICKLOOK_H
#define TESSARO_PLATFORM_QUICKLOOK_QUICKLOOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Scalar types ---- */

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef SInt32 OSStatus;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef double CGFloat;
typedef struct CGSize {
  CGFloat width;
  CGFloat height;
} CGSize;

enum { noErr = 0 };

/* ---- Objects ---- */

typedef const void* CFTypeRef;
typedef const struct OpaqueCFAllocator* CFAllocatorRef;
typedef const struct OpaqueCFString* CFStringRef;
typedef const struct OpaqueCFData* CFDataRef;
typedef const struct OpaqueCFDictionary* CFDictionaryRef;
typedef struct OpaqueCFDictionary* CFMutableDictionaryRef;
typedef const struct OpaqueCFURL* CFURLRef;
typedef const struct OpaqueCFUUID* CFUUIDRef;
typedef struct OpaqueCFBundle* CFBundleRef;
typedef struct OpaqueQLPreviewRequest* QLPreviewRequestRef;
typedef struct OpaqueQLThumbnailRequest* QLThumbnailRequestRef;

/* Every allocator argument must be this one (memory always comes from the host's heap). */
#define kCFAllocatorDefault ((CFAllocatorRef)0)

/* The object itself, with one more reference. */
CFTypeRef CFRetain(CFTypeRef object);
/* Gives back one reference; the object goes with the last one. Null is a fault (reported). */
void CFRelease(CFTypeRef object);
CFIndex CFGetRetainCount(CFTypeRef object);
/* Same type and same contents (strings, data, URLs, UUIDs); other types only when identical. */
Boolean CFEqual(CFTypeRef a, CFTypeRef b);
CFTypeID CFGetTypeID(CFTypeRef object);

CFTypeID CFStringGetTypeID(void);
CFTypeID CFDataGetTypeID(void);
CFTypeID CFDictionaryGetTypeID(void);
CFTypeID CFURLGetTypeID(void);
CFTypeID CFUUIDGetTypeID(void);
CFTypeID CFBundleGetTypeID(void);

/* ---- Strings (held as UTF-8) ---- */

typedef UInt32 CFStringEncoding;
enum { kCFStringEncodingASCII = 0x0600, kCFStringEncodingUTF8 = 0x08000100 };

/* Null when the text is not valid in the encoding (only ASCII and UTF-8 are known). */
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text, CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
/* The NUL-terminated UTF-8 text, valid while the string lives; null for other encodings. */
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding);
/* Copies the text with its NUL into buffer; false (buffer untouched) when it does not fit. */
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
/* Length in UTF-16 code units, as the platform counts it. */
CFIndex CFStringGetLength(CFStringRef string);
/* A constant string for a literal, one per distinct text; what CFSTR expands to. */
CFStringRef CFStringMakeConstantString(const char* text);
#define CFSTR(literal) CFStringMakeConstantString("" literal "")

/* ---- Data ---- */

CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);
const UInt8* CFDataGetBytePtr(CFDataRef data);
CFIndex CFDataGetLength(CFDataRef data);

/* ---- Dictionaries: string keys, any object as value, both retained ---- */

typedef struct CFDictionaryKeyCallBacks CFDictionaryKeyCallBacks;
typedef struct CFDictionaryValueCallBacks CFDictionaryValueCallBacks;
/* The only call-backs there are: keys and values are retained while in the dictionary. */
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

/* Null unless the call-backs are the two above; capacity is a hint. */
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks);
/* Adds or replaces; a key that is not a string or a null value is a fault (reported, ignored). */
void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value);
/* The value for an equal string key, borrowed, or null. */
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);

/* ---- File URLs ---- */

typedef CFIndex CFURLPathStyle;
enum { kCFURLPOSIXPathStyle = 0 };

/* A relative path is taken relative to the current folder at the time of the call. */
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef path, CFURLPathStyle style,
                                       Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* path, CFIndex length,
                                                 Boolean isDirectory);
/* The absolute path, without a trailing slash (except for "/"). */
CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle style);
/* The path with its NUL into buffer; false when it does not fit. */
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufferLength);

/* ---- UUIDs ---- */

typedef struct CFUUIDBytes {
  UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
  UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;

/* From the text form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (either case); null otherwise. */
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef allocator, CFStringRef text);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef allocator, CFUUIDBytes bytes);
/* One constant object per distinct value. */
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7,
                                         UInt8 byte8, UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12,
                                         UInt8 byte13, UInt8 byte14, UInt8 byte15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
/* The upper-case text form. */
CFStringRef CFUUIDCreateString(CFAllocatorRef allocator, CFUUIDRef uuid);

/* ---- Bundles ---- */

/* Null unless the URL names an existing folder. */
CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
/* Contents/Resources of the bundle (the bundle folder itself when it has no Contents folder). */
CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
/* The existing file "name.type" (type may be null) in the resources folder or subDirectory of it,
 * else in the preferred localisation's .lproj folder; null when there is none. */
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirectory);

/* ---- Plug-in instances ---- */

/* A plug-in factory: an instance of the type, or null when the factory does not make that type. */
typedef void* (*CFPlugInFactoryFunction)(CFAllocatorRef allocator, CFUUIDRef typeUUID);
/* Every instance a factory makes is registered while it lives, so the host can tell when the
 * plug-in's code is no longer in use. */
void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID);
void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID);

/* ---- COM-style interfaces ---- */

typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;

#define S_OK ((HRESULT)0)
#define E_NOINTERFACE ((HRESULT)0x80000004L)

/* The base interface every plug-in interface starts with. */
#define IUnknownUUID                                                                                        \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, \
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

#define IUNKNOWN_C_GUTS                                                  \
  void* _reserved;                                                       \
  HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
  ULONG (*AddRef)(void* thisPointer);                                    \
  ULONG (*Release)(void* thisPointer)

/* ---- Generators ---- */

/* 5E2D9680-5022-40FA-B806-43349622E5B9: the plug-in type of preview generators. */
#define kQLGeneratorTypeID                                                                                  \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x5E, 0x2D, 0x96, 0x80, 0x50, 0x22, 0x40, 0xFA, 0xB8, \
                                 0x06, 0x43, 0x34, 0x96, 0x22, 0xE5, 0xB9)
/* 865AF5E0-6D30-4345-951B-D37105754F2D: the generator call-backs interface. */
#define kQLGeneratorCallbacksInterfaceID                                                                    \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x86, 0x5A, 0xF5, 0xE0, 0x6D, 0x30, 0x43, 0x45, 0x95, \
                                 0x1B, 0xD3, 0x71, 0x05, 0x75, 0x4F, 0x2D)

/* The generator call-backs interface: the base interface's slots, then the four call-backs. */
typedef struct QLGeneratorInterfaceStruct {
  IUNKNOWN_C_GUTS;
  OSStatus (*GenerateThumbnailForURL)(void* thisInterface, QLThumbnailRequestRef thumbnail, CFURLRef url,
                                      CFStringRef contentTypeUTI, CFDictionaryRef options, CGSize maxSize);
  void (*CancelThumbnailGeneration)(void* thisInterface, QLThumbnailRequestRef thumbnail);
  OSStatus (*GeneratePreviewForURL)(void* thisInterface, QLPreviewRequestRef preview, CFURLRef url,
                                    CFStringRef contentTypeUTI, CFDictionaryRef options);
  void (*CancelPreviewGeneration)(void* thisInterface, QLPreviewRequestRef preview);
} QLGeneratorInterfaceStruct;

/* ---- Requests ---- */

Boolean QLPreviewRequestIsCancelled(QLPreviewRequestRef preview);
/* The generator's own bundle (the .qlgenerator folder), borrowed. */
CFBundleRef QLPreviewRequestGetGeneratorBundle(QLPreviewRequestRef preview);
/* The preview's document: its bytes, their content type and reply properties (null for none).
 * The request keeps references to all three; a later call replaces an earlier one. */
void QLPreviewRequestSetDataRepresentation(QLPreviewRequestRef preview, CFDataRef data,
                                           CFStringRef contentTypeUTI, CFDictionaryRef properties);

Boolean QLThumbnailRequestIsCancelled(QLThumbnailRequestRef thumbnail);
CFBundleRef QLThumbnailRequestGetGeneratorBundle(QLThumbnailRequestRef thumbnail);
/* The thumbnail as encoded image bytes (PNG, JPEG...); properties may be null. */
void QLThumbnailRequestSetImageWithData(QLThumbnailRequestRef thumbnail, CFDataRef data,
                                        CFDictionaryRef properties);

/* Reply property keys and content types. */
extern const CFStringRef kQLPreviewPropertyTextEncodingNameKey;
extern const CFStringRef kQLPreviewPropertyMIMETypeKey;
extern const CFStringRef kQLPreviewPropertyAttachmentsKey;
extern const CFStringRef kUTTypeHTML;

#ifdef __cplusplus
}
#endif

#endif
