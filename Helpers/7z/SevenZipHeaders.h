// The listing of a 7z archive read from its headers, without running 7zz: the same lines that
// SltRecords makes of 7zz's listing of it, at a fraction of the cost.
#pragma once

#include <optional>
#include <string>

namespace tessaro::sevenzip {

// The records of the 7z archive at `path`, its end header plain or packed with LZMA or LZMA2,
// or none when it holds anything this reader does not render exactly as 7zz would: an
// encrypted header (7zz then asks for the password), a volume of a split archive, a method or
// property this reader does not know, anti-items, names that are not plain, damage of any kind,
// data after the archive. The caller then asks 7zz. As with zip archives, times are shown with
// the local offset of their own date, where 7zz uses today's.
std::optional<std::string> listSevenZipDirectly(const std::string& path);

}  // namespace tessaro::sevenzip
