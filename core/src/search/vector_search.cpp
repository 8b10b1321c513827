#include "search/vector_search.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/quant.h"

namespace tessavine {
namespace {

// A query of the wrong length cannot come through the reader, which checks
// it; reaching this is a fault in the caller, not a condition to report.
[[noreturn]] void broken_invariant(const char* what) {
  std::fprintf(stderr, "tessavine: internal fault: %s\n", what);
  std::abort();
}

Error too_many_dimensions(const char* what, std::size_t limit, std::size_t dim) {
  return Error::invalid_argument(std::string(what) + " search supports at most " +
                                 std::to_string(limit) + " dimensions, not " +
                                 std::to_string(dim));
}

// The refusal of a mode whose distances could not be held in 16 bits.
Status check_dimension(const Vectors& vectors, VectorMode mode) {
  const std::size_t dim = vectors.dim();
  switch (mode.kind()) {
    case VectorMode::TernaryInt8:
      if (dim > kMaxTernaryDim) return fail(too_many_dimensions("ternary", kMaxTernaryDim, dim));
      break;
    case VectorMode::Binary:
    case VectorMode::BinaryInt8:
      if (dim > kMaxBinaryDim) return fail(too_many_dimensions("binary", kMaxBinaryDim, dim));
      break;
    case VectorMode::Int8:
      break;
  }
  return {};
}

// 1 - 2d / D: the cosine of two sign vectors d bits apart.
std::vector<Scored> binary_scores(std::span<const std::uint16_t> distances,
                                  std::span<const std::uint32_t> list, std::size_t dim) {
  const float d = static_cast<float>(dim);
  std::vector<Scored> result;
  result.reserve(list.size());
  for (const std::uint32_t n : list) {
    const float doubled = 2.0f * static_cast<float>(distances[n]);
    result.push_back({1.0f - doubled / d, n});
  }
  return result;
}

// Every row once, in batches that stay in cache between the kernel and the
// selection. A batch's rows are numbered above every row the selection
// holds, so one of them enters a full selection only with a score above the
// worst held: a batch whose best score does not get in is passed over whole.
std::vector<Scored> score_all(const Vectors& vectors, std::span<const float> query,
                              std::size_t k, const DistanceKernels& kernels) {
  constexpr std::size_t kBatch = 256;
  const std::size_t n = vectors.count(), dim = vectors.dim();
  const std::byte* const base = vectors.bytes().data();
  const auto* codes = reinterpret_cast<const std::int8_t*>(base + vectors.int8_offset());
  const std::byte* const scales = base + vectors.scales_offset();  // little-endian floats
  float dots[kBatch];
  float scores[kBatch];
  TopK selection(k, n);
  for (std::size_t start = 0; start < n; start += kBatch) {
    const std::size_t m = std::min(kBatch, n - start);
    kernels.int8_dots(query.data(), codes + start * dim, m, dim, dots);
    for (std::size_t j = 0; j < m; ++j) {
      float scale;
      std::memcpy(&scale, scales + 4 * (start + j), 4);
      scores[j] = dots[j] * scale;
    }
    // The best key, in a loop without branches (NaN counts as -inf, as in
    // the selection), and back to the score it is the key of.
    std::uint32_t best_key = 0;
    for (std::size_t j = 0; j < m; ++j) {
      const std::uint32_t bits = std::bit_cast<std::uint32_t>(nan_to_neg_inf(scores[j]));
      const std::uint32_t negative = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
      best_key = std::max(best_key, bits ^ (negative | 0x80000000u));
    }
    const std::uint32_t best_bits = (best_key & 0x80000000u) ? best_key & 0x7FFFFFFFu : ~best_key;
    const auto last = static_cast<std::uint32_t>(start + m - 1);
    if (!selection.would_keep(last, std::bit_cast<float>(best_bits))) continue;
    for (std::size_t j = 0; j < m; ++j) {
      const auto id = static_cast<std::uint32_t>(start + j);
      if (selection.would_keep(id, scores[j])) selection.push(id, scores[j]);
    }
  }
  return std::move(selection).finish();
}

}  // namespace

std::vector<std::uint16_t> hamming_scan(const Vectors& vectors, std::span<const float> query,
                                        const DistanceKernels& kernels) {
  const std::vector<std::uint8_t> code = quantize_binary(query);
  if (code.size() != vectors.code_bytes()) broken_invariant("binary codes must have equal length");
  std::vector<std::uint16_t> distances(vectors.count());
  kernels.hamming(code.data(), vectors.binary_codes().data(), vectors.count(),
                  vectors.code_bytes(), distances.data());
  return distances;
}

std::vector<std::uint16_t> ternary_scan(const Vectors& vectors, std::span<const float> query,
                                        const DistanceKernels& kernels) {
  const std::vector<std::uint8_t> code = quantize_binary(query);
  const std::vector<std::uint8_t> mask = ternary_mask(query);
  if (code.size() != vectors.code_bytes() || mask.size() != vectors.code_bytes())
    broken_invariant("ternary codes must have equal length");
  std::vector<std::uint16_t> distances(vectors.count());
  kernels.ternary(code.data(), mask.data(), vectors.binary_codes().data(),
                  vectors.masks().data(), vectors.count(), vectors.code_bytes(), vectors.dim(),
                  distances.data());
  return distances;
}

float int8_dot(const Vectors& vectors, std::span<const float> query, std::size_t i,
               const DistanceKernels& kernels) {
  const float dot = kernels.int8_dot(query.data(), vectors.int8_codes(i).data(), vectors.dim());
  return dot * vectors.scale(i);
}

std::vector<Scored> rescore(const Vectors& vectors, std::span<const float> query,
                            std::vector<std::uint32_t> candidates, std::size_t k,
                            const DistanceKernels& kernels) {
  if (k == 0) return {};
  BestOf selection(k, candidates.size());
  for (const std::uint32_t n : candidates) selection.push(n, int8_dot(vectors, query, n, kernels));
  return std::move(selection).finish();
}

Result<std::vector<Scored>> search_with(const Vectors& vectors, std::span<const float> query,
                                        std::size_t k, std::size_t candidates, VectorMode mode,
                                        const DistanceKernels& kernels) {
  if (auto ok = check_dimension(vectors, mode); !ok) return fail(std::move(ok).error());
  // Nothing to rank: skip the scan, whose result could not be used.
  if (k == 0 || vectors.count() == 0) return std::vector<Scored>{};
  const std::size_t wide = std::max(k, candidates);
  switch (mode.kind()) {
    case VectorMode::Binary: {
      const std::vector<std::uint16_t> distances = hamming_scan(vectors, query, kernels);
      return binary_scores(distances, smallest_k_by_histogram(distances, k), vectors.dim());
    }
    case VectorMode::BinaryInt8: {
      const std::vector<std::uint16_t> distances = hamming_scan(vectors, query, kernels);
      return rescore(vectors, query, smallest_k_by_histogram(distances, wide), k, kernels);
    }
    case VectorMode::TernaryInt8: {
      const std::vector<std::uint16_t> distances = ternary_scan(vectors, query, kernels);
      return rescore(vectors, query, smallest_k_by_histogram(distances, wide), k, kernels);
    }
    case VectorMode::Int8:
      return score_all(vectors, query, k, kernels);
  }
  return std::vector<Scored>{};
}

}  // namespace tessavine
