// Comparison of selection results for the tests: ids in order and scores by
// their bits, so that -0.0 and +0.0 (and NaNs) are told apart.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "search/topk.h"

namespace tessavine::testing {

inline void expect_same(const std::vector<Scored>& got, const std::vector<Scored>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].id, want[i].id) << "at " << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score),
              std::bit_cast<std::uint32_t>(want[i].score))
        << "at " << i << ": " << got[i].score << " vs " << want[i].score;
  }
}

}  // namespace tessavine::testing
