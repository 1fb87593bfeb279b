// The listing of a plain zip archive read from its central directory, without running 7zz: the
// same lines that SltRecords makes of 7zz's listing of it, at a fraction of the cost.
#pragma once

#include <optional>
#include <string>

namespace tessaro::sevenzip {

// The comment block and records of the zip archive at `path`, whichever common tool made it
// (Info-ZIP, 7-Zip, Windows, macOS, Java, Python, Go; zip64, encrypted entries, a self-extractor
// stub before it), or none when it holds anything this reader does not render exactly as 7zz
// would (a name in a legacy code page, a method other than store and deflate, strong
// encryption, several disks, damage of any kind): the caller then asks 7zz. One difference is
// kept on purpose: UTC times are shown with the local offset of their own date, where 7zz uses
// today's.
std::optional<std::string> listZipDirectly(const std::string& path);

}  // namespace tessaro::sevenzip
