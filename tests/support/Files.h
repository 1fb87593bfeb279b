// Reading files and folders whole, for tests that compare what a command left behind.
#pragma once

#include <filesystem>
#include <string>

namespace tessaro::test {

// The bytes of the file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Every path below `folder`, hidden ones too, relative to it, sorted, one a line (folders end
// in "/"); empty for an empty or missing folder.
std::string folderListing(const std::filesystem::path& folder);

}  // namespace tessaro::test
