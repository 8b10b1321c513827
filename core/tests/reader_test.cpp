#include "index/reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <set>

#include "index/writer.h"
#include "temp_root.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempRoot;
using testing::write_file;

ChunkRecord record(std::uint32_t i) {
  return ChunkRecord{"notes/" + std::to_string(i) + ".md", {"Top", "Part " + std::to_string(i)}, i,
                     i + 2, "chunk number " + std::to_string(i) + " about readers"};
}

std::vector<float> embedding(std::size_t dim, float seed) {
  std::vector<float> v(dim);
  for (std::size_t i = 0; i < dim; ++i) v[i] = std::sin(seed + static_cast<float>(i));
  return v;
}

IndexWriter writer_with(std::uint32_t dim, std::uint32_t chunks) {
  WriterOptions options;
  options.dim = dim;
  IndexWriter writer(std::move(options));
  for (std::uint32_t i = 0; i < chunks; ++i) {
    const auto v = embedding(dim, static_cast<float>(i));
    auto id = writer.add(record(i), dim ? std::optional<std::span<const float>>(v) : std::nullopt);
    EXPECT_TRUE(id) << id.error().to_string();
  }
  return writer;
}

fs::path commit(const fs::path& root, std::uint32_t dim, std::uint32_t chunks) {
  auto info = writer_with(dim, chunks).commit(root);
  EXPECT_TRUE(info) << info.error().to_string();
  return info ? info->dir : fs::path();
}

Manifest manifest_of(const fs::path& gen) {
  auto manifest = Manifest::from_json(read_file(gen / "manifest.json"));
  EXPECT_TRUE(manifest) << manifest.error().to_string();
  return manifest ? std::move(*manifest) : Manifest{};
}

void store_manifest(const fs::path& gen, const Manifest& manifest) {
  write_file(gen / "manifest.json", *manifest.to_json());
}

// Replaces an index file and makes the manifest list its new size, so that
// the check that follows the size check gets to see it.
void replace_file(const fs::path& gen, const std::string& name, const std::string& bytes) {
  write_file(gen / name, bytes);
  Manifest m = manifest_of(gen);
  m.files[name] = bytes.size();
  store_manifest(gen, m);
}

std::string open_error(const fs::path& root, bool mmap = true) {
  auto reader = IndexReader::open(root, mmap);
  EXPECT_FALSE(reader);
  return reader ? std::string() : reader.error().to_string();
}

TEST(ReaderOpenTest, OpensTheGenerationCurrentNames) {
  TempRoot root("reader");
  commit(root.path(), 0, 2);
  const fs::path gen = commit(root.path(), 0, 3);
  for (const bool mmap : {true, false}) {
    auto reader = IndexReader::open(root.path(), mmap);
    ASSERT_TRUE(reader) << reader.error().to_string();
    EXPECT_EQ(reader->dir(), root.path() / "gen-000002");
    EXPECT_EQ(reader->dir(), gen);
    EXPECT_EQ(reader->size(), 3u);
    EXPECT_FALSE(reader->has_vectors());
    EXPECT_EQ(reader->vectors(), nullptr);
    EXPECT_EQ(reader->manifest(), manifest_of(gen));
  }
}

TEST(ReaderOpenTest, VectorsAreOpenedWhenTheManifestHasADimension) {
  TempRoot root("reader");
  commit(root.path(), 4, 3);
  auto reader = IndexReader::open(root.path());
  ASSERT_TRUE(reader) << reader.error().to_string();
  ASSERT_TRUE(reader->has_vectors());
  EXPECT_EQ(reader->vectors()->count(), 3u);
  EXPECT_EQ(reader->vectors()->dim(), 4u);
}

TEST(ReaderOpenTest, FilesMustAgreeWithEachOther) {
  TempRoot root("reader");
  const fs::path gen = commit(root / "a", 4, 4);
  const fs::path other = commit(root / "b", 4, 3);
  const fs::path wide = commit(root / "c", 8, 4);

  Manifest m = manifest_of(gen);
  m.n_chunks = 5;
  store_manifest(gen, m);
  EXPECT_EQ(open_error(root / "a"), "invalid index data: chunk counts disagree between files");
  m.n_chunks = 4;
  store_manifest(gen, m);

  // The BM25 file of a three-chunk generation next to a four-chunk docs file.
  const std::string bm25 = read_file(gen / "bm25.bin");
  replace_file(gen, "bm25.bin", read_file(other / "bm25.bin"));
  EXPECT_EQ(open_error(root / "a"), "invalid index data: chunk counts disagree between files");
  replace_file(gen, "bm25.bin", bm25);

  replace_file(gen, "vectors.bin", read_file(other / "vectors.bin"));
  EXPECT_EQ(open_error(root / "a"), "invalid index data: vector file disagrees with manifest");
  replace_file(gen, "vectors.bin", read_file(wide / "vectors.bin"));
  EXPECT_EQ(open_error(root / "a"), "invalid index data: vector file disagrees with manifest");
}

TEST(ReaderAssembleTest, DimensionWithoutVectorsIsRefused) {
  auto built = writer_with(0, 2).build(1);
  ASSERT_TRUE(built) << built.error().to_string();
  auto docs = Docs::from_bytes(Storage::from_bytes(std::move(built->docs)));
  auto bm25 = Bm25::from_bytes(Storage::from_bytes(std::move(built->bm25)));
  ASSERT_TRUE(docs && bm25);
  built->manifest.dim = 4;
  auto reader = IndexReader::assemble("gen-000001", std::move(built->manifest), std::move(*docs),
                                      std::move(*bm25), std::nullopt);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().to_string(), "invalid index data: manifest has a dimension but no vectors");
}

TEST(ReaderOpenTest, EarlierFailuresComeFirstAndUnchanged) {
  TempRoot root("reader");
  auto missing = IndexReader::open(root / "nowhere");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  EXPECT_EQ(missing.error().path(), root / "nowhere" / "CURRENT");

  const fs::path gen = commit(root.path(), 0, 2);
  // Without a manifest nothing else is looked at, not even a missing file.
  fs::remove(gen / "docs.bin");
  fs::rename(gen / "manifest.json", gen / "manifest.old");
  auto no_manifest = IndexReader::open(root.path());
  ASSERT_FALSE(no_manifest);
  EXPECT_EQ(no_manifest.error().kind(), ErrorKind::Io);
  EXPECT_EQ(no_manifest.error().path(), gen / "manifest.json");

  fs::rename(gen / "manifest.old", gen / "manifest.json");
  for (const bool mmap : {true, false}) {
    auto no_docs = IndexReader::open(root.path(), mmap);
    ASSERT_FALSE(no_docs);
    EXPECT_EQ(no_docs.error().kind(), ErrorKind::Io);
    EXPECT_EQ(no_docs.error().path(), gen / "docs.bin");
  }
}

TEST(ReaderChunkTest, IdsAreChecked) {
  TempRoot root("reader");
  commit(root.path(), 0, 3);
  auto reader = IndexReader::open(root.path());
  ASSERT_TRUE(reader);
  EXPECT_EQ(*reader->chunk(2), record(2));
  for (const std::uint32_t id : {3u, std::numeric_limits<std::uint32_t>::max()}) {
    auto bad = reader->chunk(id);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(bad.error().to_string(), "chunk id " + std::to_string(id) + " out of range");
  }
}

TEST(ReaderChunkTest, AnUndecodableRecordSpoilsOnlyItself) {
  TempRoot root("reader");
  const fs::path gen = commit(root.path(), 0, 3);
  std::string docs = read_file(gen / "docs.bin");
  // Record 1 starts right after record 0; break its opening brace.
  const std::size_t second = docs.find("}{", 24 + 8 * 4) + 1;
  docs[second] = 'x';
  write_file(gen / "docs.bin", docs);
  auto reader = IndexReader::open(root.path());
  ASSERT_TRUE(reader) << reader.error().to_string();
  auto bad = reader->chunk(1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::InvalidData);
  EXPECT_TRUE(bad.error().message().starts_with("docs: record 1: ")) << bad.error().message();
  EXPECT_TRUE(reader->chunk(0));
  EXPECT_TRUE(reader->chunk(2));
}

// --- BM25 search ---------------------------------------------------------

using Docs_ = std::vector<std::vector<std::string>>;

Bm25 bm25_of(const Docs_& docs, float k1 = 1.2f, float b = 0.75f) {
  Bm25Builder builder;
  for (const auto& d : docs) builder.add_tokens(std::span<const std::string>(d));
  auto bytes = std::move(builder).finish(k1, b);
  EXPECT_TRUE(bytes);
  auto bm25 = Bm25::from_bytes(Storage::from_bytes(std::move(*bytes)));
  EXPECT_TRUE(bm25) << bm25.error().to_string();
  return std::move(*bm25);
}

// Scores compared by their bits, so that -0.0, NaN and the last place count.
std::vector<std::pair<std::uint32_t, std::uint32_t>> bits(const std::vector<Scored>& hits) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const Scored& s : hits) out.emplace_back(s.id, std::bit_cast<std::uint32_t>(s.score));
  return out;
}

std::vector<std::uint32_t> ids(const std::vector<Scored>& hits) {
  std::vector<std::uint32_t> out;
  for (const Scored& s : hits) out.push_back(s.id);
  return out;
}

TEST(Bm25SearchTest, Rules) {
  const Bm25 bm25 = bm25_of({{"alpha", "beta", "beta"},
                             {"alpha", "gamma"},
                             {"alpha", "beta", "delta", "delta"},
                             {"alpha", "gamma"},
                             {}});
  // k = 0 is empty even for a query that matches.
  EXPECT_TRUE(search_bm25(bm25, "alpha", 0).empty());
  // A term in every non-empty document still ranks them, shorter first,
  // equal scores by ascending chunk number.
  const auto all = search_bm25(bm25, "alpha", 10);
  EXPECT_EQ(ids(all), (std::vector<std::uint32_t>{1, 3, 0, 2}));
  EXPECT_GT(all.back().score, 0.0f);
  EXPECT_EQ(all[0].score, all[1].score);
  EXPECT_EQ(ids(search_bm25(bm25, "alpha", 1)), (std::vector<std::uint32_t>{1}));
  // Repeats and word order change nothing, to the last bit.
  EXPECT_EQ(bits(search_bm25(bm25, "beta gamma", 10)), bits(search_bm25(bm25, "gamma beta beta GAMMA", 10)));
  // Only matching documents come back, however large k is.
  EXPECT_EQ(search_bm25(bm25, "delta", std::numeric_limits<std::size_t>::max()).size(), 1u);
  EXPECT_EQ(search_bm25(bm25, "beta", 10).size(), 2u);
  // Queries without known terms.
  for (const char* q : {"", "the and of", "zeta", "!!"}) EXPECT_TRUE(search_bm25(bm25, q, 10).empty()) << q;
}

TEST(Bm25SearchTest, EmptyIndexes) {
  EXPECT_TRUE(search_bm25(bm25_of({}), "alpha", 10).empty());
  EXPECT_TRUE(search_bm25(bm25_of({{}, {}}), "alpha", 10).empty());
}

// Parameters no writer of ours stores, but a file can hold.
TEST(Bm25SearchTest, OddParametersStillGiveEachMatchOnce) {
  const Docs_ docs = {{"alpha", "beta"}, {"beta"}, {"alpha", "alpha", "gamma"}, {"gamma"}};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const auto& [k1, b] : {std::pair{nan, 0.75f}, {1.2f, nan}, {-1.0f, 0.75f}, {0.0f, 0.0f},
                             {-1.2f, 3.0f}, {inf, 0.5f}, {1.2f, -inf}}) {
    const Bm25 bm25 = bm25_of(docs, k1, b);
    const auto hits = search_bm25(bm25, "alpha beta gamma", 10);
    std::set<std::uint32_t> seen;
    for (const Scored& s : hits) {
      EXPECT_TRUE(seen.insert(s.id).second) << "k1 " << k1 << " b " << b << " id " << s.id;
      EXPECT_FALSE(std::isnan(s.score));
    }
    EXPECT_EQ(hits.size(), 4u) << "k1 " << k1 << " b " << b;
    EXPECT_EQ(bits(hits), bits(search_bm25_plain(bm25, "alpha beta gamma", 10)));
  }
}

TEST(Bm25SearchTest, FastFormMatchesThePlainOneOnRandomCorpora) {
  const std::vector<std::string> vocab = {"alpha", "beta",   "gamma", "delta", "epsilon", "zeta",  "eta",
                                          "theta", "iota",   "kappa", "lambda", "mu",     "nu",    "xi",
                                          "omicron", "pi",   "rho",   "sigma", "tau",     "upsilon", "phi"};
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    const std::size_t n_docs = std::uniform_int_distribution<std::size_t>(0, 300)(rng);
    // Skewed term choice: a few terms are in most documents, most are rare.
    std::geometric_distribution<std::size_t> pick(0.25);
    std::uniform_int_distribution<std::size_t> len(0, 40);
    Docs_ docs(n_docs);
    for (auto& d : docs) {
      const std::size_t n = len(rng);
      for (std::size_t i = 0; i < n; ++i) d.push_back(vocab[std::min(pick(rng), vocab.size() - 1)]);
    }
    const Bm25 bm25 = bm25_of(docs, round % 5 == 4 ? 2.0f : 1.2f, round % 3 == 2 ? 0.3f : 0.75f);
    for (int q = 0; q < 20; ++q) {
      std::string query;
      const std::size_t terms = std::uniform_int_distribution<std::size_t>(1, 6)(rng);
      for (std::size_t i = 0; i < terms; ++i) query += vocab[rng() % vocab.size()] + " ";
      for (const std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{1000}}) {
        ASSERT_EQ(bits(search_bm25(bm25, query, k)), bits(search_bm25_plain(bm25, query, k)))
            << "round " << round << " query " << query << " k " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tessavine
