// A test suite whose archives a shell script makes once, in a folder that lives as long as the
// suite. Derive `class XTest : public test::SuiteFixtures<XTest>` and give XTest a
// `static constexpr const char* kFixtureScript`.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro::test {

template <typename Suite>
class SuiteFixtures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = std::make_unique<TempDir>();
    shell(folder_->path(), Suite::kFixtureScript);
  }
  static void TearDownTestSuite() { folder_.reset(); }

  static const TempDir& fixtures() { return *folder_; }
  static std::string fixture(const std::string& name) { return (folder_->path() / name).string(); }

 private:
  static inline std::unique_ptr<TempDir> folder_;
};

}  // namespace tessaro::test
