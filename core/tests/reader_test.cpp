#include "index/reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "index/writer.h"

namespace tessavine {
namespace {

// Unreachable through files: a generation with a dimension opens its vector
// file before assembling, so a missing one fails earlier as an I/O error.
TEST(ReaderAssembleTest, DimensionWithoutVectorsIsRefused) {
  IndexWriter writer(WriterOptions{});
  ASSERT_TRUE(writer.add(ChunkRecord{"a.md", {}, 1, 1, "text"}));
  auto built = std::move(writer).build(1);
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

using Corpus = std::vector<std::vector<std::string>>;

Bm25 bm25_of(const Corpus& docs, float k1 = 1.2f, float b = 0.75f) {
  Bm25Builder builder;
  for (const auto& d : docs) builder.add_tokens(std::span<const std::string>(d));
  auto bm25 = Bm25::from_bytes(Storage::from_bytes(*std::move(builder).finish(k1, b)));
  EXPECT_TRUE(bm25) << bm25.error().to_string();
  return std::move(*bm25);
}

// Scores compared by their bits, so that -0.0, NaN and the last place count.
std::vector<std::pair<std::uint32_t, std::uint32_t>> bits(const std::vector<Scored>& hits) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const Scored& s : hits) out.emplace_back(s.id, std::bit_cast<std::uint32_t>(s.score));
  return out;
}

TEST(Bm25SearchTest, Rules) {
  const Bm25 bm25 = bm25_of({{"alpha", "beta", "beta"},
                             {"alpha", "gamma"},
                             {"alpha", "beta", "delta", "delta"},
                             {"alpha", "gamma"},
                             {}});
  EXPECT_TRUE(search_bm25(bm25, "alpha", 0).empty());
  // A term in every non-empty document still ranks them, shorter first,
  // equal scores by ascending chunk number.
  const auto all = search_bm25(bm25, "alpha", 10);
  std::vector<std::uint32_t> ids;
  for (const Scored& s : all) ids.push_back(s.id);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 3, 0, 2}));
  EXPECT_GT(all.back().score, 0.0f);
  EXPECT_EQ(all[0].score, all[1].score);
  EXPECT_EQ(bits(search_bm25(bm25, "alpha", 1)), bits({all[0]}));
  // Repeats and word order change nothing, to the last bit.
  EXPECT_EQ(bits(search_bm25(bm25, "beta gamma", 10)), bits(search_bm25(bm25, "gamma beta beta GAMMA", 10)));
  // Only matching documents come back, however large k is.
  EXPECT_EQ(search_bm25(bm25, "delta", std::numeric_limits<std::size_t>::max()).size(), 1u);
  for (const char* q : {"", "the and of", "zeta", "!!"}) EXPECT_TRUE(search_bm25(bm25, q, 10).empty()) << q;
  EXPECT_TRUE(search_bm25(bm25_of({}), "alpha", 10).empty());
  EXPECT_TRUE(search_bm25(bm25_of({{}, {}}), "alpha", 10).empty());
}

// Parameters no writer of ours stores, but a file can hold.
TEST(Bm25SearchTest, OddParametersStillGiveEachMatchOnce) {
  const Corpus docs = {{"alpha", "beta"}, {"beta"}, {"alpha", "alpha", "gamma"}, {"gamma"}};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (const auto& [k1, b] : {std::pair{nan, 0.75f}, {1.2f, nan}, {-1.0f, 0.75f}, {0.0f, 0.0f},
                             {-1.2f, 3.0f}, {inf, 0.5f}, {1.2f, -inf}}) {
    const Bm25 bm25 = bm25_of(docs, k1, b);
    const auto hits = search_bm25(bm25, "alpha beta gamma", 10);
    std::set<std::uint32_t> seen;
    for (const Scored& s : hits) {
      seen.insert(s.id);
      EXPECT_FALSE(std::isnan(s.score));
    }
    EXPECT_EQ(hits.size(), 4u) << "k1 " << k1 << " b " << b;
    EXPECT_EQ(seen.size(), 4u) << "k1 " << k1 << " b " << b;
    EXPECT_EQ(bits(hits), bits(search_bm25_plain(bm25, "alpha beta gamma", 10)));
  }
}

TEST(Bm25SearchTest, FastFormMatchesThePlainOneOnRandomCorpora) {
  const std::vector<std::string> vocab = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta",
                                          "theta", "iota", "kappa", "lambda", "mu", "nu", "xi",
                                          "omicron", "pi", "rho", "sigma", "tau", "upsilon", "phi"};
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    // Skewed term choice: a few terms are in most documents, most are rare.
    std::geometric_distribution<std::size_t> pick(0.25);
    Corpus docs(std::uniform_int_distribution<std::size_t>(0, 300)(rng));
    for (auto& d : docs) {
      for (std::size_t n = rng() % 41; n > 0; --n) d.push_back(vocab[std::min(pick(rng), vocab.size() - 1)]);
    }
    const Bm25 bm25 = bm25_of(docs, round % 5 == 4 ? 2.0f : 1.2f, round % 3 == 2 ? 0.3f : 0.75f);
    for (int q = 0; q < 20; ++q) {
      std::string query;
      for (std::size_t n = 1 + rng() % 6; n > 0; --n) query += vocab[rng() % vocab.size()] + " ";
      for (const std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{1000}}) {
        ASSERT_EQ(bits(search_bm25(bm25, query, k)), bits(search_bm25_plain(bm25, query, k)))
            << "round " << round << " query " << query << " k " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tessavine
