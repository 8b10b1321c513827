#include "search/topk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "test_util.h"

namespace tessavine {
namespace {

using testing::expect_same;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

TEST(TopKTest, NanIsNegativeInfinityAndTotalOrderSeparatesSignedZeros) {
  const std::vector<Scored> pairs = {{1.0f, 5}, {kNaN, 2}, {1.0f, 9}};
  expect_same(top_k(pairs, 2), {{1.0f, 5}, {1.0f, 9}});
  expect_same(top_k(pairs, kNoLimit), {{1.0f, 5}, {1.0f, 9}, {-kInf, 2}});
  EXPECT_TRUE(top_k(pairs, 0).empty());
  // A negative NaN is -inf as well, and ties with a real -inf go to the smaller id.
  expect_same(top_k(std::vector<Scored>{{-kInf, 4}, {-kNaN, 3}}, 2), {{-kInf, 3}, {-kInf, 4}});
  const std::vector<Scored> zeros = {{-0.0f, 0}, {0.0f, 7}, {-1.0f, 1}, {kInf, 9}};
  expect_same(top_k(zeros, 4), {{kInf, 9}, {0.0f, 7}, {-0.0f, 0}, {-1.0f, 1}});
  EXPECT_TRUE(total_order_less(-0.0f, 0.0f) && total_order_less(kInf, kNaN) && total_order_less(-kNaN, -kInf));
}

// The prefix of the whole input sorted best first, from the selection of a
// whole array and from the streaming one; few distinct scores make ties
// common, and long inputs with small k make the array selection cut back
// many times.
TEST(TopKTest, EqualsPrefixOfFullSortOnRandomInputs) {
  std::mt19937 rng(7);
  const float values[] = {-kInf, -1.5f, -0.0f, 0.0f, 0.25f, 1.0f, 3.0f, kInf, kNaN};
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = round % 4 == 0 ? rng() % 2000 : rng() % 60;
    std::vector<std::uint32_t> ids(n);
    std::iota(ids.begin(), ids.end(), 100u);
    std::shuffle(ids.begin(), ids.end(), rng);
    std::vector<Scored> pairs;
    for (std::uint32_t id : ids) pairs.push_back({values[rng() % std::size(values)], id});

    std::vector<Scored> sorted = pairs;
    for (Scored& s : sorted) s.score = nan_to_neg_inf(s.score);
    std::sort(sorted.begin(), sorted.end(), better);
    const std::size_t k = round % 8 == 0 ? rng() % 12 : rng() % (n + 3);
    sorted.resize(std::min(k, n));
    expect_same(top_k(pairs, k), sorted);
    TopK streamed(k);
    for (const Scored& p : pairs) streamed.push(p.id, p.score);
    expect_same(std::move(streamed).finish(), sorted);
  }
}

std::vector<std::uint32_t> histogram_oracle(const std::vector<std::uint16_t>& d, std::size_t k) {
  std::vector<std::uint32_t> numbers(d.size());
  std::iota(numbers.begin(), numbers.end(), 0u);
  std::stable_sort(numbers.begin(), numbers.end(), [&](std::uint32_t a, std::uint32_t b) { return d[a] < d[b]; });
  numbers.resize(std::min(k, d.size()));
  return numbers;
}

TEST(SmallestKByHistogramTest, MatchesStableSortOnRandomInputs) {
  std::mt19937 rng(11);
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = rng() % 200;
    // Narrow ranges: many ties at the threshold; wide: a sparse histogram and 65535 itself.
    const std::uint32_t range = round % 3 == 0 ? 4 : round % 3 == 1 ? 300 : 65536;
    std::vector<std::uint16_t> d(n);
    for (auto& x : d) x = static_cast<std::uint16_t>(rng() % range);
    if (range == 65536 && n > 1) d[0] = d[n - 1] = 65535;
    const std::size_t k = round % 10 == 0 ? kNoLimit : rng() % (n + 5);
    EXPECT_EQ(smallest_k_by_histogram(d, k), histogram_oracle(d, k)) << "n=" << n << " k=" << k;
  }
}

}  // namespace
}  // namespace tessavine
