#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tessavine {
namespace {

// The texts of the other kinds are checked where users see them, through
// Python; only the core can be handed a path that is not UTF-8.
TEST(ErrorTest, PathThatIsNotUtf8IsShownWithAReplacementCharacter) {
  const Error e = Error::io(std::filesystem::path("/tmp/a\xff" "b"), EACCES);
  EXPECT_EQ(e.to_string(), "I/O error on /tmp/a\xEF\xBF\xBD" "b: Permission denied (os error 13)");
  EXPECT_EQ(e.os_error(), EACCES);
}

}  // namespace
}  // namespace tessavine
