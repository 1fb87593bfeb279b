// The built 7-Zip helper in tests (TESSARO_HELPER_7Z): run with arguments, and its direct readers
// of zip and 7z directories held against its records of 7zz's own listing and against damage.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/Subprocess.h"

namespace tessaro::test {

// The helper run with `arguments`, its standard output and error kept apart.
inline SubprocessResult sevenZipHelper(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{TESSARO_HELPER_7Z};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SubprocessOptions options;
  options.separateErrorOutput = true;
  return run(argv, options);
}

// Lists an archive without 7zz, or declines (nullopt) and so leaves it to 7zz.
using DirectReader = std::optional<std::string> (*)(const std::string& path);

// `archive` must be read by `direct`, to exactly the records the helper makes of 7zz's listing
// of it as `type`; the helper itself, asked for that type, answers the same.
inline void expectDirectEquals7zz(DirectReader direct, const std::string& archive, const std::string& type) {
  const SubprocessResult via7zz = sevenZipHelper({"l", "-slt", "-p-", "-t" + type, "--via-7zz", archive});
  EXPECT_EQ(via7zz.exitStatus, 0) << via7zz.errorOutput;
  EXPECT_EQ(sevenZipHelper({"l", "-slt", "-p-", "-t" + type, archive}).output, via7zz.output);
  const std::optional<std::string> listing = direct(archive);
  ASSERT_TRUE(listing) << "left to 7zz";
  EXPECT_EQ(*listing, via7zz.output);
}

// Copies of `original` with one byte set to each of `values`, then cut at every length, written
// to `scratch` and read by `direct`: a changed copy is declined or listed within bounds, a cut
// one always declined. `changed` sees each changed copy with whether it was listed.
inline void expectDirectReaderSurvivesDamage(
    DirectReader direct, const std::string& original, const std::filesystem::path& scratch,
    std::string_view values,
    const std::function<void(size_t at, const std::string&, bool listed)>& changed = {}) {
  const auto read = [&](const std::string& bytes) {
    std::ofstream(scratch, std::ios::binary | std::ios::trunc) << bytes;
    return direct(scratch.string());
  };
  for (size_t at = 0; at < original.size(); ++at) {
    for (const char value : values) {
      std::string bytes = original;
      bytes[at] = value;
      const std::optional<std::string> listing = read(bytes);
      if (listing) {
        EXPECT_LE(listing->size(), 4096u) << "byte " << at;
      }
      if (changed) changed(at, bytes, listing.has_value());
    }
  }
  for (size_t length = 0; length < original.size(); ++length)
    EXPECT_FALSE(read(original.substr(0, length))) << "cut at " << length;
}

}  // namespace tessaro::test
