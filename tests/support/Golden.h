// Long expected texts kept as files in tests/golden rather than as literals in the suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/Files.h"

namespace tessaro::test {

// `text` must equal tests/golden/`name`; TESSARO_UPDATE_GOLDEN=1 rewrites the file instead.
inline void expectGolden(const std::string& name, const std::string& text) {
  const std::filesystem::path path = std::filesystem::path(TESSARO_GOLDEN_DIR) / name;
  if (std::getenv("TESSARO_UPDATE_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << text;
    return;
  }
  ASSERT_TRUE(std::filesystem::exists(path))
      << "missing golden file " << path << " (run with TESSARO_UPDATE_GOLDEN=1)";
  EXPECT_EQ(text, readFile(path)) << "text differs from " << path;
}

}  // namespace tessaro::test
