// The plug-in's registration: the factory the preview service calls for the generator type, and
// the COM-style instance that hands out the generator call-backs.
#include <cstdlib>
#include <cstring>

#include "GeneratePreview.h"
#include "quicklook/QuickLook.h"

namespace {

constexpr const char* kPluginFactoryID = "D01B87A0-1BD3-47A0-B205-FB6EDBDB9445";

}  // namespace

extern "C" {

// One instance; the service sees a pointer to its first member, the interface table.
struct QuickLookGeneratorPluginType {
  QLGeneratorInterfaceStruct* conduitInterface;
  CFUUIDRef factoryID;
  UInt32 refCount;
};

QuickLookGeneratorPluginType* AllocQuickLookGeneratorPluginType(CFUUIDRef inFactoryID);
void DeallocQuickLookGeneratorPluginType(QuickLookGeneratorPluginType* thisInstance);
HRESULT QuickLookGeneratorQueryInterface(void* thisInstance, REFIID iid, LPVOID* ppv);
ULONG QuickLookGeneratorPluginAddRef(void* thisInstance);
ULONG QuickLookGeneratorPluginRelease(void* thisInstance);
void* QuickLookGeneratorPluginFactory(CFAllocatorRef allocator, CFUUIDRef typeID);

}  // extern "C"

namespace {

// Copied into every instance; the generator call-backs are filled in by the query, so an
// instance offers them only once it has been asked for that interface.
const QLGeneratorInterfaceStruct kInterfaceTemplate = {
    nullptr,
    QuickLookGeneratorQueryInterface,
    QuickLookGeneratorPluginAddRef,
    QuickLookGeneratorPluginRelease,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" {

QuickLookGeneratorPluginType* AllocQuickLookGeneratorPluginType(CFUUIDRef inFactoryID) {
  auto* instance =
      static_cast<QuickLookGeneratorPluginType*>(std::malloc(sizeof(QuickLookGeneratorPluginType)));
  if (!instance) return nullptr;
  auto* table = static_cast<QLGeneratorInterfaceStruct*>(std::malloc(sizeof(QLGeneratorInterfaceStruct)));
  if (!table) {
    std::free(instance);
    return nullptr;
  }
  std::memcpy(table, &kInterfaceTemplate, sizeof(QLGeneratorInterfaceStruct));
  instance->conduitInterface = table;
  instance->factoryID = static_cast<CFUUIDRef>(CFRetain(inFactoryID));
  CFPlugInAddInstanceForFactory(inFactoryID);
  instance->refCount = 1;
  return instance;
}

void DeallocQuickLookGeneratorPluginType(QuickLookGeneratorPluginType* thisInstance) {
  CFUUIDRef factoryID = thisInstance->factoryID;
  std::free(thisInstance->conduitInterface);
  std::free(thisInstance);
  if (factoryID) {
    CFPlugInRemoveInstanceForFactory(factoryID);
    CFRelease(factoryID);
  }
}

HRESULT QuickLookGeneratorQueryInterface(void* thisInstance, REFIID iid, LPVOID* ppv) {
  CFUUIDRef interfaceID = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, iid);
  // Only the call-backs interface: not even the base interface every interface derives from.
  const bool callbacks = interfaceID && CFEqual(interfaceID, kQLGeneratorCallbacksInterfaceID);
  if (interfaceID) CFRelease(interfaceID);
  if (!callbacks) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  auto* instance = static_cast<QuickLookGeneratorPluginType*>(thisInstance);
  QLGeneratorInterfaceStruct* table = instance->conduitInterface;
  table->GenerateThumbnailForURL = GenerateThumbnailForURL;
  table->CancelThumbnailGeneration = CancelThumbnailGeneration;
  table->GeneratePreviewForURL = GeneratePreviewForURL;
  table->CancelPreviewGeneration = CancelPreviewGeneration;
  table->AddRef(thisInstance);
  *ppv = thisInstance;
  return S_OK;
}

ULONG QuickLookGeneratorPluginAddRef(void* thisInstance) {
  auto* instance = static_cast<QuickLookGeneratorPluginType*>(thisInstance);
  return ++instance->refCount;
}

ULONG QuickLookGeneratorPluginRelease(void* thisInstance) {
  auto* instance = static_cast<QuickLookGeneratorPluginType*>(thisInstance);
  if (--instance->refCount == 0) {
    DeallocQuickLookGeneratorPluginType(instance);
    return 0;
  }
  return instance->refCount;
}

void* QuickLookGeneratorPluginFactory(CFAllocatorRef, CFUUIDRef typeID) {
  if (!typeID || !CFEqual(typeID, kQLGeneratorTypeID)) return nullptr;
  CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, kPluginFactoryID, kCFStringEncodingUTF8);
  CFUUIDRef factoryID = text ? CFUUIDCreateFromString(kCFAllocatorDefault, text) : nullptr;
  if (text) CFRelease(text);
  if (!factoryID) return nullptr;
  QuickLookGeneratorPluginType* instance = AllocQuickLookGeneratorPluginType(factoryID);
  CFRelease(factoryID);
  return instance;
}

OSStatus GenerateThumbnailForURL(void*, QLThumbnailRequestRef, CFURLRef, CFStringRef, CFDictionaryRef,
                                 CGSize) {
  return noErr;
}

void CancelThumbnailGeneration(void*, QLThumbnailRequestRef) {}

void CancelPreviewGeneration(void*, QLPreviewRequestRef) {}

}  // extern "C"
