// Reciprocal-rank fusion of several rankings of chunk numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "search/topk.h"

namespace tessavine {

// What a chunk at 0-based position r of a ranking gains: 1 / ((rrf_k + r) + 1),
// each step in 32-bit floats in that order.
inline float rrf_contribution(float rrf_k, std::size_t r) {
  return 1.0f / ((rrf_k + static_cast<float>(r)) + 1.0f);
}

// Fuses the rankings (each best first) by reciprocal rank: a chunk at 0-based
// position r of a ranking gains rrf_contribution(rrf_k, r); a repeat within
// one ranking gains nothing but still takes its position.
// Returns at most `limit` (id, fused score) pairs, best first, selected and
// ordered as `top_k` does (NaN counts and comes back as -inf). SIZE_MAX means
// no limit. Cannot fail.
std::vector<Scored> rrf(float rrf_k, std::span<const std::span<const std::uint32_t>> rankings,
                        std::size_t limit);
// `rrf` of one ranking whose chunks are distinct (a search's result): its
// fused scores mostly fall with the position, and then the ranking's own
// order is the result's, with nothing to sort.
std::vector<Scored> rrf_one(float rrf_k, std::span<const std::uint32_t> ranking, std::size_t limit);
// The same by a hash map of chunks, as the definition reads: the oracle of
// `rrf` and `rrf_one`.
std::vector<Scored> rrf_plain(float rrf_k, std::span<const std::span<const std::uint32_t>> rankings,
                              std::size_t limit);

}  // namespace tessavine
