// The host's side of the QuickLook interface: requests as the preview service makes them, what a
// generator answered, and counters that tell whether it kept the reference-counting rules.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "quicklook/QuickLook.h"

namespace tessaro::quicklook {

// One owned reference, given back when the holder goes.
template <typename T>
class CFRef {
 public:
  CFRef() = default;
  // Takes over a reference the caller owns (from a Create or Copy function).
  explicit CFRef(T ref) noexcept : ref_(ref) {}
  ~CFRef() { reset(); }
  CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ref_, nullptr));
    return *this;
  }
  CFRef(const CFRef&) = delete;
  CFRef& operator=(const CFRef&) = delete;

  // A new reference to a borrowed object (from a Get function).
  static CFRef retained(T ref) {
    if (ref) CFRetain(ref);
    return CFRef(ref);
  }

  T get() const noexcept { return ref_; }
  explicit operator bool() const noexcept { return ref_ != nullptr; }
  void reset(T ref = nullptr) noexcept {
    if (ref_) CFRelease(ref_);
    ref_ = ref;
  }

 private:
  T ref_ = nullptr;
};

// The UTF-8 text of a string; empty for null.
std::string toString(CFStringRef string);
// Null when the text is not UTF-8 or holds a NUL.
CFRef<CFStringRef> makeString(std::string_view text);
// The path bytes of a file URL; empty for null.
std::string filePath(CFURLRef url);
// A file URL; a relative path is taken relative to the current folder.
CFRef<CFURLRef> makeFileURL(std::string_view path, bool isDirectory);

// A request as the preview service makes it; `cancelled` is what the generator is told it is.
CFRef<QLPreviewRequestRef> createPreviewRequest(CFBundleRef generatorBundle, bool cancelled);
// What the generator set with QLPreviewRequestSetDataRepresentation, borrowed; all null when it
// set nothing.
struct PreviewReply {
  CFDataRef data = nullptr;
  CFStringRef contentType = nullptr;
  CFDictionaryRef properties = nullptr;
};
PreviewReply previewReply(QLPreviewRequestRef request);

CFRef<QLThumbnailRequestRef> createThumbnailRequest(CFBundleRef generatorBundle, bool cancelled);
// The image bytes the generator set, borrowed, or null.
CFDataRef thumbnailData(QLThumbnailRequestRef request);

// Objects made through QuickLook.h that are still alive (constants are not counted).
long liveObjectCount();
// Instances registered with CFPlugInAddInstanceForFactory and not yet removed, for one factory
// or for all of them.
long pluginInstanceCount(CFUUIDRef factoryID);
long pluginInstanceCount();
// Calls that broke the interface's rules (a null or foreign object, a wrong type, removing an
// instance never added...). Each one is also described on standard error.
long misuseCount();

}  // namespace tessaro::quicklook
