#include <climits>
#include <filesystem>
#include <string>

#include "GeneratePreview.h"
#include "PathString.h"
#include "PreviewPage.h"
#include "PreviewRecords.h"
#include "ProcessGlobals.h"
#include "StoredPasswords.h"
#include "quicklook/QuickLook.h"

namespace {

// The file-system path of a file URL, also for names that are not valid UTF-8.
std::string pathOfURL(CFURLRef url) {
  if (!url) return {};
  std::string buffer(PATH_MAX * 4, '\0');
  if (!CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(buffer.data()),
                                        static_cast<CFIndex>(buffer.size())))
    return {};
  buffer.resize(buffer.find('\0'));
  return buffer;
}

void reply(QLPreviewRequestRef preview, const std::string& page) {
  CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(page.data()),
                                static_cast<CFIndex>(page.size()));
  CFMutableDictionaryRef properties = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFMutableDictionaryRef attachments = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  if (data && properties && attachments) {
    CFDictionarySetValue(properties, kQLPreviewPropertyTextEncodingNameKey, CFSTR("UTF-8"));
    CFDictionarySetValue(properties, kQLPreviewPropertyMIMETypeKey, CFSTR("text/html"));
    CFDictionarySetValue(properties, kQLPreviewPropertyAttachmentsKey, attachments);
    QLPreviewRequestSetDataRepresentation(preview, data, kUTTypeHTML, properties);
  }
  if (attachments) CFRelease(attachments);
  if (properties) CFRelease(properties);
  if (data) CFRelease(data);
}

}  // namespace

extern "C" OSStatus GeneratePreviewForURL(void*, QLPreviewRequestRef preview, CFURLRef url, CFStringRef,
                                          CFDictionaryRef) {
  // The only cancellation check: once past it the request runs to the end.
  if (QLPreviewRequestIsCancelled(preview)) return noErr;
  try {
    CFURLRef resources = CFBundleCopyResourcesDirectoryURL(QLPreviewRequestGetGeneratorBundle(preview));
    tessaro::bundlePath() = pathOfURL(resources);
    if (resources) CFRelease(resources);
    tessaro::helpersPath() = tessaro::appendingPathComponent(tessaro::bundlePath(), "../../../../../Helpers");

    // The page's links name the archive by this path, and the link handler takes absolute ones only.
    std::string path = pathOfURL(url);
    if (!path.empty() && path.front() != '/') path = std::filesystem::absolute(path).string();
    if (auto page = tessaro::makePreviewPage(path, tessaro::host::storedArchivePasswords)) {
      // Only archives a preview has shown are opened through the page's links.
      tessaro::recordPreview(path);
      reply(preview, *page);
    }
  } catch (...) {
    // Out of memory on the way: the service keeps its own preview.
  }
  return noErr;
}
