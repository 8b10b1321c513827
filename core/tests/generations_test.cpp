#include "index/generations.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <limits>

#include "test_util.h"
#include "temp_root.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using testing::result_text;
using testing::TempRoot;
using testing::write_file;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(GenerationNameTest, ParseAndFormat) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"gen-1", 1}, {"gen-000001", 1}, {"gen-+3", 3}, {"gen-0", 0},
      {"gen-18446744073709551615", kMax}, {"gen-0000000000000000000000018446744073709551615", kMax},
      {"gen-18446744073709551616", std::nullopt}, {"gen-", std::nullopt}, {"gen-+", std::nullopt},
      {"gen--3", std::nullopt}, {"gen-++3", std::nullopt}, {"gen-3x", std::nullopt},
      {"gen- 3", std::nullopt}, {"gen-3 ", std::nullopt}, {"Gen-3", std::nullopt}, {"latest", std::nullopt},
      {"gen-\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
  };
  for (const auto& [name, number] : cases) EXPECT_EQ(parse_generation_name(name), number) << name;

  // Smaller numbers are formatted in the writer's tests.
  EXPECT_EQ(generation_dir_name(kMax), "gen-18446744073709551615");
}

TEST(ListGenerationsTest, DirectoriesWithGenerationNamesOnly) {
  TempRoot root("gens");
  for (const char* dir : {"gen-2", "gen-10", "gen-1", "gen-x", ".tmp-gen-4-abc", "gen-05", "gen-5", "target"})
    fs::create_directory(root / dir);
  write_file(root / "gen-3", "not a directory");
  fs::create_directory_symlink(root / "target", root / "gen-7");
  fs::create_directory_symlink(root / "nowhere", root / "gen-8");
  fs::create_directory(root / "gen-9\xff");  // not UTF-8
  auto numbers = list_generations(root.path());
  ASSERT_TRUE(numbers) << numbers.error().to_string();
  EXPECT_EQ(*numbers, (std::vector<std::uint64_t>{1, 2, 5, 5, 7, 10}));

  auto none = list_generations(root / "missing");
  EXPECT_TRUE(none && none->empty());
  auto file = list_generations(root / "gen-3");
  ASSERT_FALSE(file);
  EXPECT_EQ(std::pair(file.error().path(), file.error().os_error()), std::pair(root / "gen-3", ENOTDIR));
}

TEST(CurrentGenerationDirTest, TrimsWhiteSpaceAndQuotesMalformedContent) {
  TempRoot root("gens");
  // The directory CURRENT resolves to, or the quoted content its message shows.
  const std::pair<const char*, std::string> cases[] = {
      {"  \n\tgen-000003 \n\n", "gen-000003"},
      {"\xe2\x80\x83gen-9\xe3\x80\x80", "gen-9"},  // EM SPACE, IDEOGRAPHIC SPACE
      {"", "\"\""},
      {"gen-1\ngen-2", "\"gen-1\\ngen-2\""},
      {"a\"b\\c\x01", "\"a\\\"b\\\\c\\u{1}\""},
  };
  for (const auto& [content, expected] : cases) {
    write_file(root / "CURRENT", content);
    const auto dir = current_generation_dir(root.path());
    const std::string want = expected.starts_with("gen-")
                                 ? (root / expected).string()
                                 : "invalid index data: CURRENT names " + expected + ", not a generation";
    EXPECT_EQ(dir ? dir->string() : result_text(dir), want);
  }
  write_file(root / "CURRENT", "gen-1\xff");  // not UTF-8
  auto not_utf8 = current_generation_dir(root.path());
  EXPECT_EQ(std::pair(not_utf8.error().kind(), not_utf8.error().path()), std::pair(ErrorKind::Io, root / "CURRENT"));
}

TEST(ExistsTest, NeedsCurrentNamingAGenerationWithAManifestFile) {
  TempRoot root("gens");
  EXPECT_FALSE(tessavine::exists(root / "missing") || tessavine::exists(root.path()));
  for (const char* current : {"latest\n", "gen-9\n"}) {
    write_file(root / "CURRENT", current);
    EXPECT_FALSE(tessavine::exists(root.path()));
  }
  fs::create_directories(root / "gen-9" / "manifest.json");  // a directory is no manifest
  EXPECT_FALSE(tessavine::exists(root.path()));
  fs::remove(root / "gen-9" / "manifest.json");
  write_file(root / "gen-9" / "manifest.json", "");
  EXPECT_TRUE(tessavine::exists(root.path()));
}

// A commit between reading CURRENT and opening may remove the generation: the open starts again
// only when a file is missing and CURRENT has moved on, at most kOpenAttempts times.
TEST(OpenCurrentTest, StartsAgainOnlyWhenTheGenerationVanishedAndCurrentMovedOn) {
  // Every failing open fails with os_error and, if current_moves, moves CURRENT on; 0: none succeeds.
  struct Case { int os_error; bool current_moves; int succeed_at, tries; };
  const Case cases[] = {
      {ENOENT, true, 3, 3},
      {ENOENT, false, 3, 1},  // missing while CURRENT still names it
      {EACCES, true, 3, 1},
      {ENOENT, true, 0, kOpenAttempts},
  };
  for (const Case& c : cases) {
    TempRoot root("gens");
    write_file(root / "CURRENT", "gen-1\n");
    std::vector<fs::path> tried;
    auto opened = open_current(root.path(), posix_file_system(), [&](const fs::path& dir) -> Result<int> {
      tried.push_back(dir);
      const int n = static_cast<int>(tried.size());
      if (n == c.succeed_at) return n;
      if (c.current_moves) write_file(root / "CURRENT", "gen-" + std::to_string(n + 1));
      return fail(Error::io(dir / "docs.bin", c.os_error));
    });
    ASSERT_EQ(static_cast<int>(tried.size()), c.tries);
    EXPECT_EQ(tried.back(), root / ("gen-" + std::to_string(c.tries)));
    EXPECT_EQ(opened ? std::to_string(*opened) : opened.error().path().string(),
              c.tries == c.succeed_at ? std::to_string(c.succeed_at) : (tried.back() / "docs.bin").string());
  }
}

}  // namespace
}  // namespace tessavine
