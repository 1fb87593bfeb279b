// One preview page: the archive listed into an item tree and a template from the plug-in's
// resources filled with facts about the archive, the table rows, labels, settings and icons.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// The finished page for the archive at `archivePath`, using the resources in bundlePath(); none
// when the archive cannot be listed (no handler, or the handler failed to list anything) or the
// plug-in's own resources are missing.
std::optional<std::string> makePreviewPage(std::string_view archivePath);

}  // namespace tessaro
