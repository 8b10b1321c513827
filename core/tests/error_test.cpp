#include "base/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tessavine {
namespace {

TEST(ErrorTest, DisplayTextOfEveryKind) {
  EXPECT_EQ(Error::io("/tmp/x/CURRENT", ENOENT).to_string(),
            "I/O error on /tmp/x/CURRENT: No such file or directory (os error 2)");
  EXPECT_EQ(Error::io_message("/a/b", "failed to write whole buffer").to_string(),
            "I/O error on /a/b: failed to write whole buffer");
  EXPECT_EQ(Error::invalid_data("docs: file is too short").to_string(), "invalid index data: docs: file is too short");
  EXPECT_EQ(Error::unsupported_schema(7).to_string(),
            "index schema version 7 is not supported (this build reads 2); rebuild the index");
  EXPECT_EQ(Error::dimension_mismatch(4, 3).to_string(), "expected 4-dimensional vector, got 3");
  EXPECT_EQ(Error::invalid_argument("chunk id 3 out of range").to_string(), "chunk id 3 out of range");
  EXPECT_EQ(exceeds_u32("chunk count").to_string(), "invalid index data: chunk count exceeds u32::MAX");
  // A path that is not UTF-8 is shown with a replacement character.
  const Error e = Error::io(std::filesystem::path("/tmp/a\xff" "b"), EACCES);
  EXPECT_EQ(e.to_string(), "I/O error on /tmp/a\xEF\xBF\xBD" "b: Permission denied (os error 13)");
  EXPECT_EQ(e.os_error(), EACCES);
}

}  // namespace
}  // namespace tessavine
