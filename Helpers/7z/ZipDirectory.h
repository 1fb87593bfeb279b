// The listing of a plain zip archive read from its central directory, without running 7zz: the
// same lines that SltRecords makes of 7zz's listing of it, at a fraction of the cost.
#pragma once

#include <optional>
#include <string>

namespace tessaro::sevenzip {

// The comment block and records of the zip archive at `path`, or none when the archive holds
// anything this reader does not render exactly as 7zz would (a name in a legacy code page,
// encryption, a Windows-made archive, damage of any kind): the caller then asks 7zz.
std::optional<std::string> listZipDirectly(const std::string& path);

}  // namespace tessaro::sevenzip
