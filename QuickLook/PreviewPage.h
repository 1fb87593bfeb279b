// One preview page: the archive listed into an item tree and a template from the plug-in's
// resources filled with facts about the archive, the table rows, labels, settings and icons.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

class Bundle;
struct ArchiveFacts;

// The finished page for the archive at `archivePath`, using the resources in bundlePath(); none
// when the archive cannot be listed (no handler, or the handler failed to list anything) or the
// plug-in's own resources are missing.
std::optional<std::string> makePreviewPage(std::string_view archivePath);

// The header's rows (<dt>/<dd> pairs) about extraction, the volume set, solid, encryption and
// volume count, the comment and the safety flags, labelled through `labels`. Every text from the
// archive is escaped, and no "%" is left, so no later placeholder can be filled inside them.
std::string archiveReport(const ArchiveFacts& facts, std::string_view totalSize, const Bundle& labels);

}  // namespace tessaro
