#include "index/reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "scored_test_util.h"

namespace tessavine {
namespace {

using testing::score_bits;
using Corpus = std::vector<std::vector<std::string>>;

Bm25 bm25_of(const Corpus& docs, float k1 = 1.2f, float b = 0.75f) {
  Bm25Builder builder;
  for (const auto& d : docs) builder.add_tokens(std::span<const std::string>(d));
  auto bm25 = Bm25::from_bytes(Storage::from_bytes(*std::move(builder).finish(k1, b)));
  EXPECT_TRUE(bm25) << bm25.error().to_string();
  return std::move(*bm25);
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
    EXPECT_EQ(score_bits(hits), score_bits(search_bm25_plain(bm25, "alpha beta gamma", 10)));
  }
}

// The ranking rules themselves (ties, repeats, stop-words, k) are held to a
// plain float32 evaluation of the formula in the Python suite.
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
      for (const std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, SIZE_MAX}) {
        ASSERT_EQ(score_bits(search_bm25(bm25, query, k)), score_bits(search_bm25_plain(bm25, query, k)))
            << "round " << round << " query " << query << " k " << k;
      }
    }
  }
}

}  // namespace
}  // namespace tessavine
