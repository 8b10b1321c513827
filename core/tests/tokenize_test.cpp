#include "text/tokenize.h"

#include <gtest/gtest.h>

namespace tessavine {
namespace {

// The terms themselves are checked through the Python `tokenize`; only the
// core can be handed ill-formed UTF-8, and it must not crash or over-read.
TEST(TokenizeTest, InvalidUtf8NeverCrashes) {
  const std::string bad = "ab\xFF\xC3" "cd\xE2\x82";
  EXPECT_EQ(tokenize(bad), (std::vector<std::string>{"ab", "cd"}));
  EXPECT_TRUE(tokenize("\xF0\x9F").empty());
}

}  // namespace
}  // namespace tessavine
