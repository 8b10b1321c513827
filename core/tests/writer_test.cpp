#include "index/writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>

#include "index/generations.h"
#include "temp_root.h"
#include "tokenize.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempRoot;
using testing::write_file;

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

IndexWriter writer_with(std::uint64_t dim, std::size_t chunks) {
  IndexWriter writer(options_with(dim));
  for (std::size_t i = 0; i < chunks; ++i) {
    const auto v = embedding(static_cast<std::size_t>(dim), static_cast<float>(i));
    auto id = writer.add(record("chunk number " + std::to_string(i)),
                         dim ? std::optional<std::span<const float>>(v) : std::nullopt);
    EXPECT_TRUE(id) << id.error().to_string();
  }
  return writer;
}

Result<CommitInfo> commit(const fs::path& root, std::uint64_t dim = 0, std::size_t chunks = 2,
                          FileSystem& fsys = posix_file_system()) {
  return writer_with(dim, chunks).commit(root, fsys);
}

// Every file of a directory tree with its content, by relative path.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
  }
  return files;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The generation CURRENT names has a manifest and every file it lists, each
// with the listed size.
void expect_complete(const fs::path& root, const std::string& name) {
  ASSERT_EQ(read_file(root / "CURRENT"), name + "\n");
  auto manifest = Manifest::from_json(read_file(root / name / "manifest.json"));
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  for (const auto& [file, size] : manifest->files) {
    EXPECT_EQ(fs::file_size(root / name / file), size) << file;
  }
  EXPECT_EQ(manifest->generation, *parse_generation_name(name));
}

TEST(SearchTextTest, JoinsHeadingsBySpacesThenALineFeed) {
  EXPECT_EQ(search_text(record("T", {"A", "B"})), "A B\nT");
  EXPECT_EQ(search_text(record("T", {})), "\nT");
  EXPECT_EQ(search_text(record("", {"A b", ""})), "A b \n");
}

TEST(WriterAddTest, DimensionRules) {
  const std::vector<float> four = embedding(4, 0);
  const std::vector<float> three = embedding(3, 0);
  IndexWriter keyword_only(WriterOptions{});
  auto given = keyword_only.add(record("x"), four);
  ASSERT_FALSE(given);
  EXPECT_EQ(given.error().to_string(), "this index is keyword-only (dim = 0); remove the embedding");

  IndexWriter with_vectors(options_with(4));
  auto missing = with_vectors.add(record("x"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string(), "this index stores embeddings; every chunk needs one");
  auto wrong = with_vectors.add(record("x"), three);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), ErrorKind::DimensionMismatch);
  std::vector<float> nan = four;
  nan[2] = std::nanf("");
  ASSERT_FALSE(with_vectors.add(record("x"), nan));
  EXPECT_EQ(with_vectors.size(), 0u);
  EXPECT_EQ(*with_vectors.add(record("x"), four), 0u);
  EXPECT_EQ(*with_vectors.add(record("y"), four), 1u);
}

TEST(WriterBuildTest, ImagesAgreeWithTheManifestAndHoldEveryChunk) {
  for (const std::uint64_t dim : {0, 9}) {
    IndexWriter writer(WriterOptions{.dim = dim,
                                     .embedder = "model-x",
                                     .metadata = nlohmann::json{{"b", 1}, {"a", "x"}},
                                     .bm25 = {1.2f, 0.75f}});
    const auto v = embedding(9, 1);
    const auto e = dim ? std::optional<std::span<const float>>(v) : std::nullopt;
    ASSERT_TRUE(writer.add(record("alpha beta", {"Heading"}), e));
    ASSERT_TRUE(writer.add(record("gamma alpha", {}), e));
    EXPECT_EQ(writer.size(), 2u);
    auto built = std::move(writer).build(7);
    ASSERT_TRUE(built) << built.error().to_string();
    const Manifest& m = built->manifest;
    EXPECT_EQ(m.format, "tessavine-index");
    EXPECT_EQ(m.schema_version, 2u);
    EXPECT_EQ(m.created_by, "tessavine-core 0.2.0");
    EXPECT_EQ(m.generation, 7u);
    EXPECT_EQ(m.n_chunks, 2u);
    EXPECT_EQ(m.dim, dim);
    EXPECT_EQ(m.embedder, "model-x");
    EXPECT_EQ(m.bm25, (Bm25Settings{1.2f, 0.75f}));
    EXPECT_EQ(m.metadata, (nlohmann::json{{"a", "x"}, {"b", 1}}));
    std::map<std::string, std::uint64_t> sizes = {{"docs.bin", built->docs.size()},
                                                  {"bm25.bin", built->bm25.size()}};
    if (dim) sizes["vectors.bin"] = built->vectors->size();
    EXPECT_EQ(m.files, sizes);
    EXPECT_EQ(built->vectors.has_value(), dim != 0);

    auto docs = Docs::from_bytes(Storage::from_bytes(built->docs));
    ASSERT_TRUE(docs);
    EXPECT_EQ(*docs->get_record(1), record("gamma alpha", {}));
    auto bm25 = Bm25::from_bytes(Storage::from_bytes(built->bm25));
    ASSERT_TRUE(bm25);
    EXPECT_EQ(bm25->doc_count(), 2u);
    EXPECT_EQ(bm25->doc_len(0), tokenize("Heading\nalpha beta").size());
    EXPECT_TRUE(bm25->contains_all(0, std::vector<std::string>{"heading", "alpha", "beta"}));
    EXPECT_TRUE(bm25->contains_all(1, std::vector<std::string>{"gamma", "alpha"}));
    EXPECT_FALSE(bm25->contains_all(1, std::vector<std::string>{"heading"}));
    if (dim) {
      auto vectors = Vectors::from_bytes(Storage::from_bytes(*built->vectors));
      ASSERT_TRUE(vectors);
      EXPECT_EQ(vectors->count(), 2u);
      EXPECT_EQ(vectors->dim(), 9u);
    }
  }
}

TEST(WriterCommitTest, FirstCommitCreatesTheRootAndPublishesGenerationOne) {
  TempRoot tmp("writer");
  const fs::path root = tmp / "a" / "b" / "ix";
  auto info = commit(root, 0, 3);
  ASSERT_TRUE(info) << info.error().to_string();
  EXPECT_EQ(info->generation, 1u);
  EXPECT_EQ(info->n_chunks, 3u);
  EXPECT_EQ(info->dir, root / "gen-000001");
  EXPECT_EQ(read_file(root / "CURRENT"), "gen-000001\n");
  EXPECT_EQ(entries(root), (std::vector<std::string>{"CURRENT", "gen-000001"}));
  EXPECT_EQ(entries(root / "gen-000001"), (std::vector<std::string>{"bm25.bin", "docs.bin", "manifest.json"}));
  expect_complete(root, "gen-000001");
  EXPECT_TRUE(tessavine::exists(root));
}

TEST(WriterCommitTest, RootThatIsAFileFailsBeforeWritingAnything) {
  TempRoot tmp("writer");
  write_file(tmp / "file", "x");
  auto info = commit(tmp / "file");
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().kind(), ErrorKind::Io);
  EXPECT_EQ(info.error().path(), tmp / "file");
  EXPECT_EQ(read_file(tmp / "file"), "x");
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"file"}));
}

TEST(WriterCommitTest, OnlyTheNewAndThePreviousGenerationsRemain) {
  TempRoot tmp("writer");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(commit(tmp.path()));
  EXPECT_EQ(entries(tmp.path()), (std::vector<std::string>{"CURRENT", "gen-000002", "gen-000003"}));
  expect_complete(tmp.path(), "gen-000003");
}

TEST(WriterCommitTest, SweepsUnpublishedGenerations) {
  struct Case {
    const char* current;  // null: no CURRENT file
    std::vector<std::string> dirs;
    std::uint64_t generation;
    std::vector<std::string> left;
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

TEST(WriterCommitTest, SweepsTemporariesEvenWhenBuildThenFails) {
  TempRoot tmp("writer");
  fs::create_directories(tmp / "outside" / "kept");
  fs::create_directories(tmp / "ix" / ".tmp-gen-000002-1-2" / "sub");
  write_file(tmp / "ix" / ".tmp-gen-000002-1-2" / "sub" / "docs.bin", "x");
  write_file(tmp / "ix" / "CURRENT.tmp-1-2", "gen-000002\n");
  write_file(tmp / "ix" / ".tmp-file", "a file, not a temporary directory");
  fs::create_directory_symlink(tmp / "outside", tmp / "ix" / ".tmp-link");
  // A dimension beyond 32 bits is refused only when the generation is built.
  IndexWriter writer(options_with(std::uint64_t{1} << 32));
  auto info = std::move(writer).commit(tmp / "ix");
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().to_string(), "invalid index data: dimension exceeds u32::MAX");
  EXPECT_EQ(entries(tmp / "ix"), (std::vector<std::string>{".tmp-file"}));
  EXPECT_TRUE(fs::is_directory(tmp / "outside" / "kept"));
}

TEST(WriterCommitTest, EmptyCommitsWithAndWithoutVectors) {
  for (const std::uint64_t dim : {0, 384}) {
    TempRoot tmp("writer");
    auto info = commit(tmp.path(), dim, 0);
    ASSERT_TRUE(info) << info.error().to_string();
    EXPECT_EQ(info->n_chunks, 0u);
    expect_complete(tmp.path(), "gen-000001");
    EXPECT_EQ(fs::exists(tmp / "gen-000001" / "vectors.bin"), dim != 0);
    if (dim) {
      EXPECT_EQ(fs::file_size(tmp / "gen-000001" / "vectors.bin"), 16u);
    }
  }
}

TEST(WriterCommitTest, BadCurrentStopsTheCommitBeforeAnythingIsRemoved) {
  struct Case {
    const char* content;  // null: CURRENT is a directory
    ErrorKind kind;
    std::string message;
  };
  const Case cases[] = {
      {"latest\n", ErrorKind::InvalidData, "invalid index data: CURRENT names \"latest\", not a generation"},
      {"gen-18446744073709551616", ErrorKind::InvalidData,
       "invalid index data: CURRENT names \"gen-18446744073709551616\", not a generation"},
      // The largest number has no successor; wrapping to 0 would lose data.
      {"gen-18446744073709551615", ErrorKind::InvalidData, "invalid index data: generation number exceeds u64::MAX"},
      {nullptr, ErrorKind::Io, ""},
  };
  for (const Case& c : cases) {
    TempRoot tmp("writer");
    fs::create_directory(tmp / "gen-000009");
    fs::create_directory(tmp / ".tmp-gen-000009-1-1");
    if (c.content) {
      write_file(tmp / "CURRENT", c.content);
    } else {
      fs::create_directory(tmp / "CURRENT");
    }
    const auto before = entries(tmp.path());
    auto info = commit(tmp.path());
    ASSERT_FALSE(info);
    EXPECT_EQ(info.error().kind(), c.kind);
    if (c.kind == ErrorKind::Io) {
      EXPECT_EQ(info.error().path(), tmp / "CURRENT");
    } else {
      EXPECT_EQ(info.error().to_string(), c.message);
    }
    if (c.content == nullptr || c.message.find("u64") == std::string::npos) {
      EXPECT_EQ(entries(tmp.path()), before);
    }
  }
}

TEST(UniqueSuffixTest, ProcessIdThenNanoseconds) {
  const std::string suffix = unique_suffix();
  const auto dash = suffix.find('-');
  ASSERT_NE(dash, std::string::npos);
  EXPECT_EQ(suffix.substr(0, dash), std::to_string(::getpid()));
  const std::string nanos = suffix.substr(dash + 1);
  ASSERT_GE(nanos.size(), 19u);  // after 2001-09-09
  EXPECT_TRUE(std::all_of(nanos.begin(), nanos.end(), [](char ch) { return ch >= '0' && ch <= '9'; }));
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

bool removal_or_status(FsOp op) {
  return op == FsOp::RemoveAll || op == FsOp::RemoveFile || op == FsOp::Stat;
}

std::vector<FaultyFileSystem::Call> reference_calls() {
  TempRoot tmp("reference");
  make_faulty_fixture(tmp.path());
  FaultyFileSystem recorder;
  EXPECT_TRUE(commit(tmp.path(), 9, 4, recorder));
  return recorder.calls();
}

TEST(WriterFaultTest, EveryFailingOperationLeavesAReadableRoot) {
  const auto reference = reference_calls();
  std::size_t current_rename = reference.size();
  for (std::size_t i = 0; i < reference.size(); ++i) {
    if (reference[i].op == FsOp::Rename && reference[i].path.filename() == "CURRENT") current_rename = i;
  }
  ASSERT_LT(current_rename, reference.size());

  for (const auto when : {FaultyFileSystem::When::Before, FaultyFileSystem::When::After}) {
    for (std::size_t i = 0; i < reference.size(); ++i) {
      const FsOp op = reference[i].op;
      SCOPED_TRACE(std::to_string(i) + ": " + std::string(fs_op_name(op)) + " " + reference[i].path.string() +
                   (when == FaultyFileSystem::When::Before ? " (before)" : " (after)"));
      TempRoot tmp("fault");
      const fs::path root = tmp.path();
      make_faulty_fixture(root);
      const auto previous = snapshot(root / "gen-000002");

      FaultyFileSystem faulty;
      faulty.fail_call(i, when);
      auto info = commit(root, 9, 4, faulty);
      ASSERT_TRUE(faulty.fired());
      ASSERT_EQ(faulty.calls()[i].op, op) << "the commit's calls are not reproducible";

      if (info) {
        // Only failures the protocol ignores may let a commit succeed (a
        // leftover that stays is skipped: the generation may then be 10).
        EXPECT_TRUE(removal_or_status(op));
        expect_complete(root, generation_dir_name(info->generation));
      } else {
        EXPECT_FALSE(removal_or_status(op)) << info.error().to_string();
        EXPECT_EQ(info.error().kind(), ErrorKind::Io);
        EXPECT_EQ(info.error().path(), faulty.calls()[i].path);
        EXPECT_EQ(info.error().os_error(), EIO);
        const bool published =
            i > current_rename || (i == current_rename && when == FaultyFileSystem::When::After);
        expect_complete(root, published ? "gen-000003" : "gen-000002");
        EXPECT_EQ(tessavine::exists(root), true);
      }
      EXPECT_EQ(snapshot(root / "gen-000002"), previous);

      auto next = commit(root, 9, 1);
      ASSERT_TRUE(next) << next.error().to_string();
      const std::string name = generation_dir_name(next->generation);
      expect_complete(root, name);
      for (const std::string& entry : entries(root)) {
        EXPECT_FALSE(entry.starts_with(".tmp-") || entry.starts_with("CURRENT.tmp-")) << entry;
      }
    }
  }
}

TEST(WriterFaultTest, FailedFinalSyncKeepsTheNewGenerationAndTheOlderOnes) {
  TempRoot tmp("fault");
  const fs::path root = tmp.path();
  ASSERT_TRUE(commit(root));
  ASSERT_TRUE(commit(root));
  FaultyFileSystem faulty;
  FaultyFileSystem recorder;
  // The last sync of the root is the one after CURRENT was replaced.
  {
    TempRoot ref("reference");
    ASSERT_TRUE(commit(ref.path()));
    ASSERT_TRUE(commit(ref.path()));
    ASSERT_TRUE(commit(ref.path(), 0, 2, recorder));
  }
  std::size_t last_sync = 0;
  for (std::size_t i = 0; i < recorder.calls().size(); ++i) {
    if (recorder.calls()[i].op == FsOp::SyncDir) last_sync = i;
  }
  faulty.fail_call(last_sync);
  auto info = commit(root, 0, 2, faulty);
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().path(), root);
  EXPECT_EQ(read_file(root / "CURRENT"), "gen-000003\n");
  EXPECT_EQ(entries(root), (std::vector<std::string>{"CURRENT", "gen-000001", "gen-000002", "gen-000003"}));
  ASSERT_TRUE(commit(root));
  EXPECT_EQ(entries(root), (std::vector<std::string>{"CURRENT", "gen-000003", "gen-000004"}));
}

TEST(WriterFaultTest, OtherErrorNumbersAndMessagesReachTheCaller) {
  TempRoot tmp("fault");
  FaultyFileSystem first_write;
  std::size_t index = 0;
  {
    TempRoot ref("reference");
    FaultyFileSystem recorder;
    ASSERT_TRUE(commit(ref.path(), 0, 2, recorder));
    while (recorder.calls()[index].op != FsOp::WriteSynced) ++index;
  }
  first_write.fail_call(index, FaultyFileSystem::When::Before, ENOSPC);
  auto info = commit(tmp.path(), 0, 2, first_write);
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().os_error(), ENOSPC);
  EXPECT_EQ(info.error().path().filename(), "docs.bin");
  EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace tessavine
