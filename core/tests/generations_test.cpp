#include "index/generations.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <limits>

#include "temp_root.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using testing::TempRoot;
using testing::write_file;

TEST(GenerationNameTest, ParseRule) {
  struct Case {
    const char* name;
    std::optional<std::uint64_t> number;
  };
  const Case cases[] = {
      {"gen-1", 1},
      {"gen-000001", 1},
      {"gen-007", 7},
      {"gen-+3", 3},
      {"gen-0", 0},
      {"gen-18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"gen-0000000000000000000000018446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"gen-18446744073709551616", std::nullopt},
      {"gen-", std::nullopt},
      {"gen-+", std::nullopt},
      {"gen--", std::nullopt},
      {"gen--3", std::nullopt},
      {"gen-++3", std::nullopt},
      {"gen-x", std::nullopt},
      {"gen-3x", std::nullopt},
      {"gen- 3", std::nullopt},
      {"gen-3 ", std::nullopt},
      {"gen-\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
      {"Gen-3", std::nullopt},
      {"gen3", std::nullopt},
      {"latest", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_generation_name(c.name), c.number) << c.name;
  }
}

TEST(GenerationNameTest, WriterPadsToSixDigits) {
  EXPECT_EQ(generation_dir_name(1), "gen-000001");
  EXPECT_EQ(generation_dir_name(999999), "gen-999999");
  EXPECT_EQ(generation_dir_name(1000000), "gen-1000000");
  EXPECT_EQ(generation_dir_name(std::numeric_limits<std::uint64_t>::max()), "gen-18446744073709551615");
}

TEST(ListGenerationsTest, KeepsOnlyDirectoriesWithGenerationNames) {
  TempRoot root("gens");
  for (const char* dir : {"gen-2", "gen-10", "gen-1", "gen-x", "gen-", ".tmp-gen-4-abc", "gen-05", "gen-5"}) {
    fs::create_directory(root / dir);
  }
  write_file(root / "gen-3", "not a directory");
  fs::create_directory(root / "target");
  fs::create_directory_symlink(root / "target", root / "gen-7");
  fs::create_directory_symlink(root / "nowhere", root / "gen-8");
  fs::create_directory(root / "gen-9\xff");  // not UTF-8
  auto numbers = list_generations(root.path());
  ASSERT_TRUE(numbers) << numbers.error().to_string();
  EXPECT_EQ(*numbers, (std::vector<std::uint64_t>{1, 2, 5, 5, 7, 10}));
}

TEST(ListGenerationsTest, MissingRootHasNoneButAFileRootIsAnError) {
  TempRoot root("gens");
  auto none = list_generations(root / "missing");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  write_file(root / "file", "x");
  auto error = list_generations(root / "file");
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error().kind(), ErrorKind::Io);
  EXPECT_EQ(error.error().path(), root / "file");
  EXPECT_EQ(error.error().os_error(), ENOTDIR);
}

TEST(CurrentGenerationDirTest, ResolvesTrimmedNameExactly) {
  TempRoot root("gens");
  const std::pair<const char*, const char*> cases[] = {
      {"gen-3\n", "gen-3"},
      {"  \n\tgen-000003 \n\n", "gen-000003"},
      {"gen-+3", "gen-+3"},
      {"\xe2\x80\x83gen-9\xe3\x80\x80", "gen-9"},  // EM SPACE, IDEOGRAPHIC SPACE
  };
  for (const auto& [content, name] : cases) {
    write_file(root / "CURRENT", content);
    auto dir = current_generation_dir(root.path());
    ASSERT_TRUE(dir) << dir.error().to_string();
    EXPECT_EQ(*dir, root / name);
  }
}

TEST(CurrentGenerationDirTest, MalformedContentIsQuotedInTheMessage) {
  TempRoot root("gens");
  const std::pair<const char*, const char*> cases[] = {
      {"latest\n", "CURRENT names \"latest\", not a generation"},
      {"gen--3", "CURRENT names \"gen--3\", not a generation"},
      {"gen-", "CURRENT names \"gen-\", not a generation"},
      {"", "CURRENT names \"\", not a generation"},
      {"gen-1\ngen-2", "CURRENT names \"gen-1\\ngen-2\", not a generation"},
      {"a\"b\\c\x01", "CURRENT names \"a\\\"b\\\\c\\u{1}\", not a generation"},
  };
  for (const auto& [content, message] : cases) {
    write_file(root / "CURRENT", content);
    auto dir = current_generation_dir(root.path());
    ASSERT_FALSE(dir) << content;
    EXPECT_EQ(dir.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(dir.error().message(), message);
    EXPECT_FALSE(tessavine::exists(root.path()));
  }
}

TEST(CurrentGenerationDirTest, UnreadableCurrentIsAnIoErrorOnItsPath) {
  TempRoot root("gens");
  auto missing = current_generation_dir(root.path());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  EXPECT_EQ(missing.error().path(), root / "CURRENT");
  EXPECT_EQ(missing.error().os_error(), ENOENT);

  write_file(root / "CURRENT", "gen-1\xff");
  auto not_utf8 = current_generation_dir(root.path());
  ASSERT_FALSE(not_utf8);
  EXPECT_EQ(not_utf8.error().kind(), ErrorKind::Io);
  EXPECT_EQ(not_utf8.error().path(), root / "CURRENT");

  fs::remove(root / "CURRENT");
  fs::create_directory(root / "CURRENT");
  auto directory = current_generation_dir(root.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().path(), root / "CURRENT");
}

TEST(ExistsTest, NeedsCurrentNamingAGenerationWithAManifestFile) {
  TempRoot root("gens");
  EXPECT_FALSE(tessavine::exists(root / "missing"));
  EXPECT_FALSE(tessavine::exists(root.path()));
  write_file(root / "CURRENT", "gen-9\n");
  EXPECT_EQ(*current_generation_dir(root.path()), root / "gen-9");
  EXPECT_FALSE(tessavine::exists(root.path()));
  fs::create_directory(root / "gen-9");
  EXPECT_FALSE(tessavine::exists(root.path()));
  fs::create_directory(root / "gen-9" / "manifest.json");
  EXPECT_FALSE(tessavine::exists(root.path()));
  fs::remove(root / "gen-9" / "manifest.json");
  write_file(root / "gen-9" / "manifest.json", "");
  EXPECT_TRUE(tessavine::exists(root.path()));
}

}  // namespace
}  // namespace tessavine
