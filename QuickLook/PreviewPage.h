// One preview page: the archive listed into an item tree and a template from the plug-in's
// resources filled with facts about the archive, the table rows, labels, settings and icons.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

class Bundle;
struct ArchiveFacts;

// The finished page for the archive at `archivePath`, using the resources in bundlePath(); none
// when no handler takes the file or the plug-in's own resources are missing. A listing that
// stopped early or failed still makes a page, which says so.
// An archive whose names are enciphered is listed again with each of `storedPasswords()`, in
// their order, before the page says it is encrypted.
using PasswordSource = std::function<std::vector<std::string>()>;
std::optional<std::string> makePreviewPage(std::string_view archivePath,
                                           const PasswordSource& storedPasswords = {});

// The header's rows (<dt>/<dd> pairs) about an incomplete or failed listing, extraction, the
// volume set, solid, encryption and volume count, the comment and the safety flags, labelled
// through `labels`; what was not read is not judged. Every text from the
// archive is escaped, and no "%" is left, so no later placeholder can be filled inside them.
std::string archiveReport(const ArchiveFacts& facts, std::string_view totalSize, const Bundle& labels);

}  // namespace tessaro
