// cpio and Debian package listings read with libarchive, giving the forks lsar's parsers would
// report for the same file: far quicker than running lsar on a big archive.
#pragma once

#include <string>
#include <vector>

#include "XADArchive.h"

namespace tessaro {

// Fills `listing` with the forks lsar would report, in its order (AppleDouble "._" files already
// turned into resource forks), when the file is a cpio archive (newc, crc, odc or binary; with
// `recursive`, also one inside gzip) or a Debian package. False, with `listing` left empty,
// whenever the answer might differ from lsar's: another format, damage anywhere, names lsar
// would rewrite, dates or AppleDouble files it might read otherwise. The caller then asks lsar.
// Past `bound` the listing stops with the entries before it and listing.cutShort set.
bool listWithLibarchive(const std::string& path, bool recursive, XADListingBound bound,
                        XADArchive::Listing& listing);

}  // namespace tessaro
