#include "PerlPipeline.h"
#include "support/Processes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace tessaro {
namespace {

using test::noChildrenLeft;

using namespace std::chrono_literals;

TEST(PerlPipelineTest, OutputLargerThanEveryBufferArrivesWholeAndInOrder) {
  std::string expected;
  for (int i = 1; i <= 400000; ++i) expected += "n" + std::to_string(i) + "\n";
  const std::optional<std::string> text = pipeThroughPerl({"/usr/bin/seq", "1", "400000"}, {}, "s/^/n/");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->size(), expected.size());
  EXPECT_TRUE(*text == expected);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(PerlPipelineTest, APerlThatStopsEarlyEndsTheToolAndKeepsWhatItWrote) {
  const auto began = std::chrono::steady_clock::now();
  // Perl leaves after two lines; the tool would write for a long time yet.
  const std::optional<std::string> text = pipeThroughPerl({"/usr/bin/yes"}, {}, "exit if $. > 2");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
  EXPECT_EQ(text, "y\ny\n");
  EXPECT_TRUE(noChildrenLeft());
}

TEST(PerlPipelineTest, ToolOptionsReachTheToolAndAMissingToolGivesNone) {
  SubprocessOptions options;
  options.environment = {{"ONLY", "this"}};
  options.replaceEnvironment = true;
  EXPECT_EQ(pipeThroughPerl({"/usr/bin/env"}, options, "s/this/that/"), "ONLY=that\n");
  EXPECT_EQ(pipeThroughPerl({"/bin/true"}, {}, "s/x/y/"), "");
  EXPECT_EQ(pipeThroughPerl({"/nonexistent/tool"}, {}, "s/x/y/"), std::nullopt);
  EXPECT_EQ(pipeThroughPerl({}, {}, "s/x/y/"), std::nullopt);
  EXPECT_TRUE(noChildrenLeft());
}

}  // namespace
}  // namespace tessaro
