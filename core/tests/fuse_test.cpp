#include "search/fuse.h"

#include <gtest/gtest.h>

#include <limits>

#include "scored_test_util.h"

namespace tessavine {
namespace {

using testing::expect_same;

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
using Ids = std::vector<std::uint32_t>;

// The contribution of 0-based position r, in the prescribed float order.
float at(float rrf_k, std::size_t r) { return 1.0f / ((rrf_k + static_cast<float>(r)) + 1.0f); }

TEST(RrfTest, FusesTwoRankings) {
  const Ids bm25 = {7, 3}, vector = {3, 9};
  expect_same(rrf(60.0f, {bm25, vector}, kNoLimit),
              {{(0.0f + at(60, 1)) + at(60, 0), 3}, {at(60, 0), 7}, {at(60, 1), 9}});
  EXPECT_EQ(at(60, 0), 1.0f / 61.0f);
  expect_same(rrf(60.0f, {bm25, vector}, 2), {{at(60, 1) + at(60, 0), 3}, {at(60, 0), 7}});
  EXPECT_TRUE(rrf(60.0f, {bm25, vector}, 0).empty());
  EXPECT_TRUE(rrf(60.0f, {Ids{}, Ids{}}, kNoLimit).empty());
  // Repeats within one ranking count once but keep their position.
  const Ids repeated = {5, 5, 6, 5};
  expect_same(rrf(60.0f, {repeated}, kNoLimit), {{at(60, 0), 5}, {at(60, 2), 6}});
  // The same chunk in two rankings still adds up.
  expect_same(rrf(60.0f, {repeated, Ids{5}}, kNoLimit),
              {{at(60, 0) + at(60, 0), 5}, {at(60, 2), 6}});
}

TEST(RrfTest, EqualScoresGoToTheSmallerIdAndNanIsNegativeInfinity) {
  expect_same(rrf(60.0f, {Ids{8}, Ids{2}}, kNoLimit), {{at(60, 0), 2}, {at(60, 0), 8}});
  const float inf = std::numeric_limits<float>::infinity();
  expect_same(rrf(std::numeric_limits<float>::quiet_NaN(), {Ids{8, 4}}, kNoLimit),
              {{-inf, 4}, {-inf, 8}});
  // rrf_k = -1 puts the first position at 1 / 0 and the second at 1 / 1.
  expect_same(rrf(-1.0f, {Ids{1, 2}}, kNoLimit), {{inf, 1}, {1.0f, 2}});
}

}  // namespace
}  // namespace tessavine
