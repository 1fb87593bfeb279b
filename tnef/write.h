// Writing one decoded record (an attachment or a message body) into the output folder.
#pragma once

#include <string_view>

#include "file.h"
#include "util.h"

namespace tessaro::tnef {

// Writes `file` as the munged form of its name inside `folder`. An existing file (or link) of that
// name is never replaced: the record is skipped with the "File exists" message. A file that cannot
// be created or written stops the decoding; the files written before it stay where they are.
void file_write(File& file, std::string_view folder, const Context& ctx);

}  // namespace tessaro::tnef
