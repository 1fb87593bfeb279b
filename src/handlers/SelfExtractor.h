// Self-extracting archives: a Windows program (the stub) followed by a 7z archive or a zip
// archive, which the 7-Zip helper lists where it finds it.
#pragma once

#include <string>

namespace tessaro {

enum class EmbeddedArchive { kNone, kSevenZip, kZip };

// What follows the program at `path`: a 7z archive whose start header checks out, or a zip
// archive whose end record closes the file and whose central directory is where the record
// says. kNone for a plain program, for a file that is no PE program, and when it cannot be read.
EmbeddedArchive embeddedArchiveOf(const std::string& path);

}  // namespace tessaro
