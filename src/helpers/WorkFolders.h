// The temporary folders the operations work in, the trash and the user's standard folders.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "folders/UserFolders.h"

namespace tessaro {

// HLVTempFolderPath (with "~" expanded) when it names an existing folder, else the platform's.
std::string userTempPath();
// A new, uniquely named folder inside `base` named after HLVTempFolderName when
// `useNamePreference` is set, ".TessaroTempFolder.XXXXXX" otherwise; none on failure.
std::optional<std::string> createTempFolderInside(std::string_view base, bool useNamePreference);
std::string userTrashPath();
std::optional<std::string> specialFolderPath(SpecialFolder kind);

}  // namespace tessaro
