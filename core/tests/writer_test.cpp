#include "index/writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <map>

#include "crash_file_system.h"
#include "faulty_file_system.h"
#include "index/generations.h"
#include "index/reader.h"
#include "text/tokenize.h"
#include "temp_root.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using Names = std::vector<std::string>;

WriterOptions options_with(std::uint64_t dim, nlohmann::json metadata = nlohmann::json::object()) {
  WriterOptions options;
  options.dim = dim, options.metadata = std::move(metadata);
  return options;
}

ChunkRecord record(std::string text, std::vector<std::string> headings = {"Intro", "Setup"}) {
  return ChunkRecord{"notes/a.md", std::move(headings), 3, 9, std::move(text)};
}

std::vector<float> embedding(std::size_t dim, float seed) {
  std::vector<float> v(dim);
  for (std::size_t i = 0; i < dim; ++i) v[i] = std::sin(seed + static_cast<float>(i));
  return v;
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

std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) files[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
  return files;
}

Names entries(const fs::path& dir) {
  Names names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// CURRENT names `name`, which holds its manifest and just the files it lists, at their sizes.
void expect_complete(const fs::path& root, const std::string& name) {
  ASSERT_EQ(read_file(root / "CURRENT"), name + "\n");
  auto manifest = Manifest::from_json(read_file(root / name / "manifest.json"));
  ASSERT_TRUE(manifest) << manifest.error().to_string();
  EXPECT_EQ(manifest->generation, *parse_generation_name(name));
  EXPECT_EQ(manifest->created_by, "tessavine-core 0.2.0");
  EXPECT_EQ(manifest->bm25, (Bm25Settings{1.2f, 0.75f}));
  Names files = {"bm25.bin", "docs.bin", "manifest.json"};
  if (manifest->dim) files.push_back("vectors.bin");
  EXPECT_EQ(entries(root / name), files);
  for (const auto& [file, size] : manifest->files) EXPECT_EQ(fs::file_size(root / name / file), size) << file;
}

// Each image is made in the memory of the one before (larger for bm25.bin, smaller for
// vectors.bin): none may keep a byte of another, so each equals its builder's own. A commit
// also hands back the memory of what it has written while it writes (in whole huge pages,
// so the records here span several), which must cost no byte of any file.
TEST(WriterBuildTest, ImagesEqualThoseOfTheirOwnBuilders) {
  for (const std::uint64_t dim : {0, 384}) {
    IndexWriter writer(options_with(dim));
    IndexWriter committed(options_with(dim));
    DocsBuilder docs;
    Bm25Builder bm25;
    VectorBuilder vectors(384);
    for (int i = 0; i < 300; ++i) {
      const ChunkRecord r = record(std::string(static_cast<std::size_t>(i % 7) * 9000, 'x') + " w" + std::to_string(i % 13));
      const auto v = embedding(384, static_cast<float>(i));
      for (IndexWriter* w : {&writer, &committed}) {
        ASSERT_TRUE(w->add(r, dim ? std::optional<std::span<const float>>(v) : std::nullopt));
        const std::vector<float> bad(dim ? dim : 1, NAN);  // refused, and nothing of it kept
        ASSERT_TRUE(i % 100 != 1 || !w->add(r, std::span<const float>(bad)));
      }
      ASSERT_TRUE(docs.add(r) && vectors.add(v));
      bm25.add_tokens(tokenize(search_text(r)));
    }
    const auto as_text = [](const std::vector<std::byte>& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); };
    std::map<std::string, std::string> expected = {{"docs.bin", as_text(*std::move(docs).finish())},
                                                   {"bm25.bin", as_text(*std::move(bm25).finish(1.2f, 0.75f))}};
    if (dim) expected["vectors.bin"] = as_text(*std::move(vectors).finish());
    ASSERT_GT(expected["docs.bin"].size(), std::size_t{6} << 20);

    auto built = std::move(writer).build(1);
    ASSERT_TRUE(built);
    EXPECT_TRUE(as_text(built->docs) == expected["docs.bin"]);
    EXPECT_TRUE(as_text(built->bm25) == expected["bm25.bin"]);
    EXPECT_TRUE(built->vectors.has_value() == (dim != 0) &&
                (!dim || as_text(*built->vectors) == expected["vectors.bin"]));

    TempRoot root("images");
    auto info = std::move(committed).commit(root.path());
    ASSERT_TRUE(info) << info.error().to_string();
    auto files = snapshot(info->dir);
    files.erase("manifest.json");
    EXPECT_TRUE(files == expected);
  }
}

TEST(WriterCommitTest, SweepsUnpublishedGenerations) {
  struct Case { const char* current; Names dirs; std::uint64_t generation; Names left; };  // current null: none
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
    for (const auto& dir : c.dirs) fs::create_directory(tmp / dir), write_file(tmp / dir / "manifest.json", "{}");
    auto info = commit(tmp.path());
    ASSERT_TRUE(info) << info.error().to_string();
    EXPECT_EQ(info->generation, c.generation);
    EXPECT_EQ(entries(tmp.path()), c.left) << (c.current ? c.current : "no CURRENT");
    expect_complete(tmp.path(), generation_dir_name(c.generation));
  }
}

// Temporaries go even when the build then fails; a link named like one is removed, not followed.
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
      // No successor: wrapping to 0 would make the next commit sweep every generation.
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
    EXPECT_EQ(content ? info.error().to_string() : info.error().path().string(),
              content ? message : (tmp / "CURRENT").string());
    if (message.find("u64") == std::string::npos) { EXPECT_EQ(entries(tmp.path()), before); }
  }
}

// Generations 1 and 2 and an interrupted commit's leftovers: every kind of step has work.
void make_faulty_fixture(const fs::path& root) {
  ASSERT_TRUE(commit(root, 9, 2));
  ASSERT_TRUE(commit(root, 9, 3));
  fs::create_directories(root / ".tmp-gen-000003-1-1");
  write_file(root / ".tmp-gen-000003-1-1" / "docs.bin", "partial");
  write_file(root / "CURRENT.tmp-1-1", "gen-000003\n");
  fs::create_directory(root / "gen-000009");
}

// Each operation of a commit in turn fails, before or after taking effect. Failing the final
// root sync, after CURRENT was replaced, leaves the new generation published, the older kept.
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
  for (std::size_t i = 0; i < reference.size(); ++i)
    if (reference[i].op == FsOp::Rename && reference[i].path.filename() == "CURRENT") current_rename = i;
  ASSERT_LT(current_rename, reference.size());

  for (const auto when : {FaultyFileSystem::When::Before, FaultyFileSystem::When::After}) {
    const bool after = when == FaultyFileSystem::When::After;
    const int os_error = after ? ENOSPC : EIO;
    for (std::size_t i = 0; i < reference.size(); ++i) {
      const FsOp op = reference[i].op;
      SCOPED_TRACE(std::to_string(i) + ": " + reference[i].path.string() + (after ? " (after)" : " (before)"));
      TempRoot tmp("fault");
      const fs::path root = tmp.path();
      make_faulty_fixture(root);
      const auto previous = snapshot(root / "gen-000002");

      FaultyFileSystem faulty;
      faulty.fail_call(i, when, os_error);
      auto info = commit(root, 9, 4, faulty);
      ASSERT_TRUE(faulty.fired());
      ASSERT_EQ(faulty.calls()[i].op, op) << "the commit's calls are not reproducible";

      // Only failing to remove or examine a leftover may let it succeed (as generation 10).
      const bool ignorable = op == FsOp::RemoveAll || op == FsOp::RemoveFile || op == FsOp::Stat;
      EXPECT_EQ(info.has_value(), ignorable) << (info ? "" : info.error().to_string());
      if (info) expect_complete(root, generation_dir_name(info->generation));
      else {
        EXPECT_EQ(std::tuple(info.error().kind(), info.error().path(), info.error().os_error()),
                  std::tuple(ErrorKind::Io, faulty.calls()[i].path, os_error));
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

// marker + 1 chunks naming the marker: files of two commits never pass the cross-file checks.
Result<CommitInfo> commit_marked(const fs::path& root, int marker, FileSystem& fsys) {
  IndexWriter writer(options_with(marker % 2 ? 0 : 8, {{"marker", marker}}));
  const auto v = embedding(8, 1);
  for (int i = 0; i <= marker; ++i)
    (void)writer.add(record("marker " + std::to_string(marker)),
                     marker % 2 ? std::nullopt : std::optional<std::span<const float>>(v));
  return std::move(writer).commit(root, fsys);
}

// The opened generation's marker; -1 without CURRENT, -2 if unopenable or mixed.
int opened_marker(const fs::path& root) {
  auto reader = IndexReader::open(root);
  if (!reader) return fs::exists(root / "CURRENT") ? -2 : -1;
  const int marker = reader->manifest().metadata.value("marker", -2);
  return reader->chunk(0)->text == "marker " + std::to_string(marker) ? marker : -2;
}

// Power fails before each operation of four commits in turn, the first into a missing root: it then
// opens to the last commit that returned or the one in flight; the next commit succeeds, leaves no temporary.
TEST(WriterCrashTest, PowerLossAtEveryStepLeavesACommittedGeneration) {
  const fs::path root = "/a/ix";
  std::size_t points = 0, broken = 0;
  for (bool finished = false; !finished; ++points) {
    CrashFileSystem mem;
    FaultyFileSystem dying(mem);
    dying.die_at(points);
    int returned = -1;
    while (returned < 3 && commit_marked(root, returned + 1, dying)) ++returned;
    finished = !dying.fired();
    mem.crash();

    TempRoot tmp("crash");
    mem.copy_out(root, tmp / "ix");
    const int seen = opened_marker(tmp / "ix");
    bool sound = seen == returned || (seen == returned + 1 && !finished);
    auto next = commit_marked(tmp / "ix", 4, posix_file_system());
    sound = sound && next && opened_marker(tmp / "ix") == 4;
    for (const auto& name : entries(tmp / "ix")) sound = sound && (name == "CURRENT" || name.starts_with("gen-"));
    EXPECT_TRUE(sound) << "power lost before operation " << points << ": opened " << seen << ", returned "
                       << returned << (next ? "" : ", next commit: " + next.error().to_string());
    broken += !sound;
  }
  std::cout << "power-loss points: " << points << ", broken roots: " << broken << "\n";
}

}  // namespace
}  // namespace tessavine
