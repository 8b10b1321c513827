// Comparison of selection results for the tests: ids in order and scores by
// their bits, so that -0.0 and +0.0 (and NaNs) are told apart.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

#include "search/topk.h"

namespace tessavine::testing {

inline std::vector<std::pair<std::uint32_t, std::uint32_t>> score_bits(const std::vector<Scored>& scored) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const Scored& s : scored) out.emplace_back(s.id, std::bit_cast<std::uint32_t>(s.score));
  return out;
}

inline void expect_same(const std::vector<Scored>& got, const std::vector<Scored>& want) {
  EXPECT_EQ(score_bits(got), score_bits(want));
}

}  // namespace tessavine::testing
