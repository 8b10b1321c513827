#include "index/hybrid_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "index/reader.h"
#include "index/writer.h"
#include "quant.h"
#include "vector_search.h"

namespace tessavine {
namespace {

using Floats = std::vector<float>;

// Appended piece by piece: GCC 12 warns falsely on `"n" + std::to_string(i)`.
std::string path_of(std::size_t i) {
  std::string path = "n";
  path += std::to_string(i);
  path += ".md";
  return path;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Doc {
  std::string text;
  Floats vector;  // empty for a keyword-only index
};

// A reader over images built in memory; `spoil` names a chunk whose stored
// record is made undecodable.
IndexReader reader_of(const std::vector<Doc>& docs, std::size_t dim,
                      std::optional<std::uint32_t> spoil = std::nullopt) {
  WriterOptions options;
  options.dim = dim;
  IndexWriter writer(std::move(options));
  for (std::size_t i = 0; i < docs.size(); ++i) {
    const ChunkRecord record{path_of(i), {}, 1, 1, docs[i].text};
    auto added = dim ? writer.add(record, std::span<const float>(docs[i].vector)) : writer.add(record);
    EXPECT_TRUE(added) << added.error().to_string();
  }
  auto built = std::move(writer).build(1);
  EXPECT_TRUE(built) << built.error().to_string();
  if (spoil) {
    std::string head = "{\"path\":\"";
    head += path_of(*spoil);
    head += '"';
    auto& bytes = built->docs;
    const auto at = std::search(bytes.begin(), bytes.end(), head.begin(), head.end(),
                                [](std::byte b, char c) { return b == static_cast<std::byte>(c); });
    EXPECT_NE(at, bytes.end());
    *at = std::byte{'x'};
  }
  auto docs_file = Docs::from_bytes(Storage::from_bytes(std::move(built->docs)));
  auto bm25_file = Bm25::from_bytes(Storage::from_bytes(std::move(built->bm25)));
  EXPECT_TRUE(docs_file && bm25_file);
  std::optional<Vectors> vectors;
  if (built->vectors) vectors.emplace(*Vectors::from_bytes(Storage::from_bytes(std::move(*built->vectors))));
  auto reader = IndexReader::assemble("", std::move(built->manifest), std::move(*docs_file),
                                      std::move(*bm25_file), std::move(vectors));
  EXPECT_TRUE(reader) << reader.error().to_string();
  return std::move(*reader);
}

std::vector<Doc> texts(std::initializer_list<const char*> items) {
  std::vector<Doc> out;
  for (const char* t : items) out.push_back({t, {}});
  return out;
}

std::vector<Hit> hits_of(const IndexReader& reader, std::string_view text,
                         std::optional<std::span<const float>> vector = std::nullopt,
                         SearchParams params = {}) {
  auto hits = reader.search(text, vector, params);
  EXPECT_TRUE(hits) << hits.error().to_string();
  return hits ? *hits : std::vector<Hit>{};
}

std::vector<std::uint32_t> ids(const std::vector<Hit>& hits) {
  std::vector<std::uint32_t> out;
  for (const Hit& h : hits) out.push_back(h.id);
  return out;
}

TEST(VectorQueryTest, TheQueryIsNormalisedAndHugeCountsMeanEverything) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  std::vector<Doc> docs(30, {"doc", Floats(24)});
  for (Doc& d : docs) std::generate(d.vector.begin(), d.vector.end(), [&] { return normal(rng); });
  const IndexReader reader = reader_of(docs, 24);
  Floats query(24);
  for (float& x : query) x = 40.0f * normal(rng);
  for (VectorMode mode : {VectorMode::Int8, VectorMode::Binary, VectorMode::BinaryInt8, VectorMode::TernaryInt8}) {
    auto got = reader.search_vector_with(query, SIZE_MAX, SIZE_MAX, mode);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 30u);
    EXPECT_EQ(*got, *search_with(*reader.vectors(), normalize_unit(query), SIZE_MAX, SIZE_MAX, mode));
  }
}

TEST(HybridSearchTest, QuotedPhrasesComeFirst) {
  const IndexReader reader =
      reader_of(texts({"art gallery art gallery state", "state art", "state of the art", "art state state", "nothing"}), 0);
  for (const char* query : {"gallery \u201cstate of the art\u201d", "gallery \"state of the art", "gallery \u201dstate art\""}) {
    const auto hits = hits_of(reader, query, std::nullopt, {.phrase_boost = 0.0f});
    ASSERT_EQ(hits.size(), 4u) << query;
    // 1 and 2 hold "state art" (stop-words vanish on both sides); 0 scores
    // higher but follows them.
    EXPECT_EQ(ids(hits), (std::vector<std::uint32_t>{1, 2, 0, 3})) << query;
  }
  // A quoted part of stop-words only is no phrase: plain fusion.
  EXPECT_EQ(hits_of(reader, "art \"the a\"", std::nullopt, {.phrase_boost = 0.0f}),
            hits_of(reader, "art", std::nullopt, {.phrase_boost = 0.0f}));
}

TEST(HybridSearchTest, OnlyChunksThatPassThePostingsCheckAreDecoded) {
  // Chunk 1's record does not decode. It holds "plum" but not "kiwi".
  const IndexReader reader = reader_of(texts({"plum kiwi", "plum plum", "kiwi plum", "plum"}), 0, 1);
  // No re-ranking at all, or none that needs chunk 1's text: never decoded.
  const std::pair<const char*, float> untouched[] = {
      {"plum kiwi", 0.0f}, {"plum kiwi", kNaN}, {"plum kiwi", 1.0f}, {"\"kiwi\" plum", 1.0f},
      {"\"plum\" \"plum kiwi\" \"plum\"", 0.0f}, {"plum plum plum kiwi plum", 1.0f}};
  for (const auto& [query, boost] : untouched) {
    EXPECT_EQ(hits_of(reader, query, std::nullopt, {.phrase_boost = boost}).size(), 4u) << query;
  }
  // Chunk 1 holds every term of these: it is decoded and the search fails,
  // also when no hit is to be returned (k = 0 with re-ranking on).
  for (const char* query : {"plum plum", "\"plum\"", "plum plum plum", "\"plum\" \"plum plum\""}) {
    for (std::uint64_t k : {0, 10}) {
      auto r = reader.search(query, std::nullopt, {.k = k});
      ASSERT_FALSE(r) << query;
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
      EXPECT_TRUE(r.error().message().starts_with("docs: record 1: ")) << r.error().message();
    }
  }
}

}  // namespace
}  // namespace tessavine
