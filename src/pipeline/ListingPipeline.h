// The one way the preview obtains an archive's contents: choose the handler, give it a private
// temporary folder, let it list, and build the item tree from its records.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "AZipItem.h"
#include "HandlerStatus.h"

namespace tessaro {

class ArchiveHandler;
struct ArchiveFacts;

// Lists the archive at `path` into `root` (always set, empty when nothing was listed). -1 when no
// handler accepts the file or it is no regular file, otherwise the handler's own status (0
// listed, 100 listing encrypted) or kStatusListingCutShort: `root` then holds the entries up to the
// bound. Only the overloads without facts answer that; with facts the listing is 0 and
// ArchiveFacts::cutShortAt tells.
int32_t getInfo(std::string_view path, AZipItem::Ptr& root);
// The same listing with `password` for an archive whose names are enciphered.
int32_t getInfo(std::string_view path, AZipItem::Ptr& root, const std::string& password);
// The same listing, and what the preview header tells beyond it: the volume set, the handler's
// comment, solid and encryption state, and the safety counts and extraction verdict of the tree.
int32_t getInfo(std::string_view path, AZipItem::Ptr& root, ArchiveFacts& facts);
// The listing with facts, with `password` for an archive whose names are enciphered.
int32_t getInfo(std::string_view path, AZipItem::Ptr& root, ArchiveFacts& facts, const std::string& password);

// The user-interface framework version the listing runs against; tests may change it.
double userInterfaceFrameworkVersion();
void setUserInterfaceFrameworkVersionForTesting(double version);

// Tests hand getInfo a handler of their own instead of the registry's; an empty function
// restores the registry.
using HandlerLookup = std::function<std::shared_ptr<ArchiveHandler>(std::string_view path)>;
void setHandlerLookupForTesting(HandlerLookup lookup);

}  // namespace tessaro
