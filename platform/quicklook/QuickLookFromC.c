/* Not linked anywhere: its compilation checks that QuickLook.h is valid C. */
#include "quicklook/QuickLook.h"

OSStatus tessaroQuickLookFromC(void* instance, QLPreviewRequestRef preview, CFURLRef url);

OSStatus tessaroQuickLookFromC(void* instance, QLPreviewRequestRef preview, CFURLRef url) {
  QLGeneratorInterfaceStruct** generator = (QLGeneratorInterfaceStruct**)instance;
  LPVOID queried = 0;
  CFMutableDictionaryRef properties;
  if ((*generator)
          ->QueryInterface(generator, CFUUIDGetUUIDBytes(kQLGeneratorCallbacksInterfaceID), &queried) != S_OK)
    return -1;
  properties = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                         &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(properties, kQLPreviewPropertyMIMETypeKey, CFSTR("text/html"));
  (*generator)->GeneratePreviewForURL(queried, preview, url, kUTTypeHTML, properties);
  CFRelease(properties);
  return (OSStatus)((*generator)->Release(generator) + (*generator)->Release(generator));
}
