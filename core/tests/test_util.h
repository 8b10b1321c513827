// Helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "search/distance.h"
#include "search/topk.h"

namespace tessavine::testing {

// Ids in order and scores by their bits, so that -0.0 and +0.0 (and NaNs) are told apart.
inline std::vector<std::pair<std::uint32_t, std::uint32_t>> score_bits(const std::vector<Scored>& scored) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const Scored& s : scored) out.emplace_back(s.id, std::bit_cast<std::uint32_t>(s.score));
  return out;
}

inline void expect_same(const std::vector<Scored>& got, const std::vector<Scored>& want) {
  EXPECT_EQ(score_bits(got), score_bits(want));
}

// For tables of expected failures: "<ok>", or the error's display text (its prefix tells the kind).
template <class T>
std::string result_text(const Result<T>& result) {
  return result ? "<ok>" : result.error().to_string();
}

inline std::vector<const DistanceKernels*> supported_kernels() {
  std::vector<const DistanceKernels*> out;
  for (KernelPath p : kKernelPaths)
    if (const DistanceKernels* k = kernels_for(p)) out.push_back(k);
  return out;
}

}  // namespace tessavine::testing
