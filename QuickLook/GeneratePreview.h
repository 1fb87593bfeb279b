// The four generator call-backs the preview service calls through the plug-in's interface table.
#pragma once

#include "quicklook/QuickLook.h"

extern "C" {

// Answers success without a thumbnail, so the service keeps its own.
OSStatus GenerateThumbnailForURL(void* thisInterface, QLThumbnailRequestRef thumbnail, CFURLRef url,
                                 CFStringRef contentTypeUTI, CFDictionaryRef options, CGSize maxSize);
void CancelThumbnailGeneration(void* thisInterface, QLThumbnailRequestRef thumbnail);
// Lists the archive at `url` and answers with the preview page; always returns noErr, and shows
// a failure by setting no data.
OSStatus GeneratePreviewForURL(void* thisInterface, QLPreviewRequestRef preview, CFURLRef url,
                               CFStringRef contentTypeUTI, CFDictionaryRef options);
void CancelPreviewGeneration(void* thisInterface, QLPreviewRequestRef preview);
}
