#include "index/writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <map>

#include "index/generations.h"
#include "text/tokenize.h"
#include "temp_root.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempRoot;
using testing::write_file;
using Names = std::vector<std::string>;

ChunkRecord record(std::string text, std::vector<std::string> headings = {"Intro", "Setup"}) {
  return ChunkRecord{"notes/a.md", std::move(headings), 3, 9, std::move(text)};
}

std::vector<float> embedding(std::size_t dim, float seed) {
  std::vector<float> v(dim);
  for (std::size_t i = 0; i < dim; ++i) v[i] = std::sin(seed + static_cast<float>(i));
  return v;
}

WriterOptions options_with(std::uint64_t dim) {
  WriterOptions options;
  options.dim = dim;
  return options;
}

Result<CommitInfo> commit(const fs::path& root, std::uint64_t dim = 0, std::size_t chunks = 2,
                          FileSystem& fsys = posix_file_system()) {
  IndexWriter writer(options_with(dim));
  for (std::size_t i = 0; i < chunks; ++i) {
    const auto v = embedding(dim, static_cast<float>(i));
    auto id = writer.add(record("chunk number " + std::to_string(i)),
                         dim ? std::optional<std::span<const float>>(v) : std::nullopt);
    EXPECT_TRUE(id) << id.error().to_string();
  }
  return std::move(writer).commit(root, fsys);
}

// Every file of a directory tree with its content, by relative path.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
  }
  return files;
}

Names entries(const fs::path& dir) {
  Names names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// CURRENT names `name`, whose manifest lists files that all exist with the
// listed sizes.
void expect_complete(const fs::path& root, const std::string& name) {
  ASSERT_EQ(read_file(root / "CURRENT"), name + "\n");
  auto manifest = Manifest::from_json(read_file(root / name / "manifest.json"));
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  EXPECT_EQ(manifest->generation, *parse_generation_name(name));
  for (const auto& [file, size] : manifest->files) EXPECT_EQ(fs::file_size(root / name / file), size) << file;
}

TEST(SearchTextTest, JoinsHeadingsBySpacesThenALineFeed) {
  EXPECT_EQ(search_text(record("T", {"A", "B"})), "A B\nT");
  EXPECT_EQ(search_text(record("T", {})), "\nT");
  EXPECT_EQ(search_text(record("", {"A b", ""})), "A b \n");
}

TEST(WriterBuildTest, ManifestCarriesTheOptionsAndTheImageSizes) {
  for (const std::uint64_t dim : {0, 9}) {
    IndexWriter writer(WriterOptions{.dim = dim,
                                     .embedder = "model-x",
                                     .metadata = nlohmann::json{{"b", 1}, {"a", "x"}},
                                     .bm25 = {1.2f, 0.75f}});
    const auto v = embedding(9, 1);
    const auto e = dim ? std::optional<std::span<const float>>(v) : std::nullopt;
    ASSERT_TRUE(writer.add(record("alpha beta"), e));
    ASSERT_TRUE(writer.add(record("gamma"), e));
    auto built = std::move(writer).build(7);
    ASSERT_TRUE(built) << built.error().to_string();
    const Manifest& m = built->manifest;
    EXPECT_EQ(std::tie(m.format, m.schema_version, m.created_by, m.generation, m.n_chunks, m.dim),
              std::make_tuple("tessavine-index", 2u, "tessavine-core 0.2.0", 7u, 2u, dim));
    EXPECT_EQ(m.embedder, "model-x");
    EXPECT_EQ(m.bm25, (Bm25Settings{1.2f, 0.75f}));
    EXPECT_EQ(m.metadata, (nlohmann::json{{"a", "x"}, {"b", 1}}));
    std::map<std::string, std::uint64_t> sizes = {{"docs.bin", built->docs.size()},
                                                  {"bm25.bin", built->bm25.size()}};
    if (dim) sizes["vectors.bin"] = built->vectors->size();
    EXPECT_EQ(m.files, sizes);
  }
}

// Each image is made in the memory of the image before it, which is larger
// for bm25.bin and smaller for vectors.bin: none may keep a byte of another,
// so each equals its builder's own.
TEST(WriterBuildTest, ImagesEqualThoseOfTheirOwnBuilders) {
  for (const std::uint64_t dim : {0, 384}) {
    IndexWriter writer(options_with(dim));
    DocsBuilder docs;
    Bm25Builder bm25;
    VectorBuilder vectors(384);
    for (int i = 0; i < 300; ++i) {
      const ChunkRecord r = record(std::string(static_cast<std::size_t>(i % 7) * 60, 'x') + " w" + std::to_string(i % 13));
      const auto v = embedding(384, static_cast<float>(i));
      ASSERT_TRUE(writer.add(r, dim ? std::optional<std::span<const float>>(v) : std::nullopt));
      ASSERT_TRUE(docs.add(r) && vectors.add(v));
      bm25.add_tokens(tokenize(search_text(r)));
    }
    auto built = std::move(writer).build(1);
    ASSERT_TRUE(built);
    EXPECT_EQ(built->docs, *std::move(docs).finish());
    EXPECT_EQ(built->bm25, *std::move(bm25).finish(1.2f, 0.75f));
    if (dim) {
      EXPECT_EQ(*built->vectors, *std::move(vectors).finish());
    }
  }
}

TEST(WriterCommitTest, EmptyCommitsIntoAMissingRootKeepTheLastTwoGenerations) {
  for (const std::uint64_t dim : {0, 384}) {
    TempRoot tmp("writer");
    const fs::path root = tmp / "a" / "b" / "ix";
    auto info = commit(root, dim, 0);
    ASSERT_TRUE(info) << info.error().to_string();
    EXPECT_EQ(std::tie(info->dir, info->generation, info->n_chunks), std::make_tuple(root / "gen-000001", 1u, 0u));
    expect_complete(root, "gen-000001");
    Names files = {"bm25.bin", "docs.bin", "manifest.json"};
    if (dim) files.push_back("vectors.bin");
    EXPECT_EQ(entries(root / "gen-000001"), files);
    if (dim) {
      EXPECT_EQ(fs::file_size(root / "gen-000001" / "vectors.bin"), 16u);
    }

    ASSERT_TRUE(commit(root, dim, 0));
    ASSERT_TRUE(commit(root, dim, 0));
    EXPECT_EQ(entries(root), (Names{"CURRENT", "gen-000002", "gen-000003"}));
    expect_complete(root, "gen-000003");
  }
}

TEST(WriterCommitTest, SweepsUnpublishedGenerations) {
  struct Case {
    const char* current;  // null: no CURRENT file
    Names dirs;
    std::uint64_t generation;
    Names left;
  };
  const Case cases[] = {
      // Without CURRENT every generation is unpublished.
      {nullptr, {"gen-000005"}, 1, {"CURRENT", "gen-000001"}},
      {"gen-000003\n", {"gen-000003", "gen-000004", "gen-000007"}, 4, {"CURRENT", "gen-000003", "gen-000004"}},
      // Only the writer's own form is removed: gen-7 stays and is skipped.
      {"gen-000003\n", {"gen-000003", "gen-7"}, 8, {"CURRENT", "gen-000003", "gen-000008", "gen-7"}},
      // White space, a plus sign and leading zeros in CURRENT.
      {"  \n gen-+0003 \n\n", {"gen-+0003"}, 4, {"CURRENT", "gen-+0003", "gen-000004"}},
      {"gen-999999\n", {"gen-999999"}, 1000000, {"CURRENT", "gen-1000000", "gen-999999"}},
      // CURRENT naming a directory that does not exist still counts.
      {"gen-000006\n", {"gen-000002"}, 7, {"CURRENT", "gen-000007"}},
  };
  for (const Case& c : cases) {
    TempRoot tmp("writer");
    if (c.current) write_file(tmp / "CURRENT", c.current);
    for (const auto& dir : c.dirs) {
      fs::create_directory(tmp / dir);
      write_file(tmp / dir / "manifest.json", "{}");
    }
    auto info = commit(tmp.path());
    ASSERT_TRUE(info) << info.error().to_string();
    EXPECT_EQ(info->generation, c.generation);
    EXPECT_EQ(entries(tmp.path()), c.left) << (c.current ? c.current : "no CURRENT");
    expect_complete(tmp.path(), generation_dir_name(c.generation));
  }
}

// Temporaries go even when the build then fails, and a link named like one is
// removed itself, never followed.
TEST(WriterCommitTest, SweepsTemporariesEvenWhenBuildThenFails) {
  TempRoot tmp("writer");
  fs::create_directories(tmp / "outside" / "kept");
  fs::create_directories(tmp / "ix" / ".tmp-gen-000002-1-2" / "sub");
  write_file(tmp / "ix" / ".tmp-gen-000002-1-2" / "sub" / "docs.bin", "x");
  write_file(tmp / "ix" / "CURRENT.tmp-1-2", "gen-000002\n");
  write_file(tmp / "ix" / ".tmp-file", "a file, not a temporary directory");
  fs::create_directory_symlink(tmp / "outside", tmp / "ix" / ".tmp-link");
  // A dimension beyond 32 bits is refused only when the generation is built.
  auto info = IndexWriter(options_with(std::uint64_t{1} << 32)).commit(tmp / "ix");
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().to_string(), "invalid index data: dimension exceeds u32::MAX");
  EXPECT_EQ(entries(tmp / "ix"), Names{".tmp-file"});
  EXPECT_TRUE(fs::is_directory(tmp / "outside" / "kept"));
}

TEST(WriterCommitTest, BadCurrentStopsTheCommitBeforeAnythingIsRemoved) {
  const std::pair<const char*, std::string> cases[] = {
      {"latest\n", "invalid index data: CURRENT names \"latest\", not a generation"},
      // The largest number has no successor; wrapping to 0 would make the
      // next commit sweep away every generation.
      {"gen-18446744073709551615", "invalid index data: generation number exceeds u64::MAX"},
      {nullptr, ""},  // CURRENT is a directory
  };
  for (const auto& [content, message] : cases) {
    TempRoot tmp("writer");
    fs::create_directory(tmp / "gen-000009");
    fs::create_directory(tmp / ".tmp-gen-000009-1-1");
    content ? write_file(tmp / "CURRENT", content) : (void)fs::create_directory(tmp / "CURRENT");
    const auto before = entries(tmp.path());
    auto info = commit(tmp.path());
    ASSERT_FALSE(info);
    if (content) {
      EXPECT_EQ(info.error().to_string(), message);
    } else {
      EXPECT_EQ(info.error().path(), tmp / "CURRENT");
    }
    if (message.find("u64") == std::string::npos) {
      EXPECT_EQ(entries(tmp.path()), before);
    }
  }
}

// ---- fault injection ----

// A root holding generations 1 and 2 (CURRENT at 2) and the leftovers of an
// interrupted commit, so that every kind of step of a commit has work to do.
void make_faulty_fixture(const fs::path& root) {
  ASSERT_TRUE(commit(root, 9, 2));
  ASSERT_TRUE(commit(root, 9, 3));
  fs::create_directories(root / ".tmp-gen-000003-1-1");
  write_file(root / ".tmp-gen-000003-1-1" / "docs.bin", "partial");
  write_file(root / "CURRENT.tmp-1-1", "gen-000003\n");
  fs::create_directory(root / "gen-000009");
}

// Each operation of a commit in turn fails, before or after taking effect.
// Failing the final sync of the root, after CURRENT was replaced, leaves the
// new generation published and every older one in place.
TEST(WriterFaultTest, EveryFailingOperationLeavesAReadableRoot) {
  std::vector<FaultyFileSystem::Call> reference;
  {
    TempRoot tmp("reference");
    make_faulty_fixture(tmp.path());
    FaultyFileSystem recorder;
    ASSERT_TRUE(commit(tmp.path(), 9, 4, recorder));
    reference = recorder.calls();
  }
  std::size_t current_rename = reference.size();
  for (std::size_t i = 0; i < reference.size(); ++i) {
    if (reference[i].op == FsOp::Rename && reference[i].path.filename() == "CURRENT") current_rename = i;
  }
  ASSERT_LT(current_rename, reference.size());

  for (const auto when : {FaultyFileSystem::When::Before, FaultyFileSystem::When::After}) {
    const bool after = when == FaultyFileSystem::When::After;
    const int os_error = after ? ENOSPC : EIO;
    for (std::size_t i = 0; i < reference.size(); ++i) {
      const FsOp op = reference[i].op;
      SCOPED_TRACE(std::to_string(i) + ": " + std::string(fs_op_name(op)) + " " + reference[i].path.string() +
                   (after ? " (after)" : " (before)"));
      TempRoot tmp("fault");
      const fs::path root = tmp.path();
      make_faulty_fixture(root);
      const auto previous = snapshot(root / "gen-000002");

      FaultyFileSystem faulty;
      faulty.fail_call(i, when, os_error);
      auto info = commit(root, 9, 4, faulty);
      ASSERT_TRUE(faulty.fired());
      ASSERT_EQ(faulty.calls()[i].op, op) << "the commit's calls are not reproducible";

      // Only failures to remove or examine a leftover may let a commit
      // succeed (a leftover that stays is skipped: the generation may be 10).
      const bool ignorable = op == FsOp::RemoveAll || op == FsOp::RemoveFile || op == FsOp::Stat;
      EXPECT_EQ(info.has_value(), ignorable) << (info ? "" : info.error().to_string());
      if (info) {
        expect_complete(root, generation_dir_name(info->generation));
      } else {
        EXPECT_EQ(info.error().kind(), ErrorKind::Io);
        EXPECT_EQ(info.error().path(), faulty.calls()[i].path);
        EXPECT_EQ(info.error().os_error(), os_error);
        const bool published = i > current_rename || (i == current_rename && after);
        expect_complete(root, published ? "gen-000003" : "gen-000002");
        EXPECT_TRUE(fs::exists(root / "gen-000001"));
      }
      EXPECT_EQ(snapshot(root / "gen-000002"), previous);

      // The next commit succeeds and leaves only its own and CURRENT's.
      const auto before = *current_generation_dir(root);
      auto next = commit(root, 9, 1);
      ASSERT_TRUE(next) << next.error().to_string();
      expect_complete(root, next->dir.filename());
      Names left = {"CURRENT", before.filename(), next->dir.filename()};
      std::sort(left.begin(), left.end());
      EXPECT_EQ(entries(root), left);
    }
  }
}

}  // namespace
}  // namespace tessavine
