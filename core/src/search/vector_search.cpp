#include "search/vector_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
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

constexpr std::size_t kBatch = 256;

// The best score of a batch in the selection's order (NaN counts as -inf), in
// a loop without branches.
float best_of(const float* scores, std::size_t m) {
  std::uint32_t best_key = 0;
  for (std::size_t j = 0; j < m; ++j) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(nan_to_neg_inf(scores[j]));
    const std::uint32_t negative = static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
    best_key = std::max(best_key, bits ^ (negative | 0x80000000u));
  }
  return from_total_order_key(best_key);
}

// Every row scored, in batches that stay in cache between the kernel and the
// selection. A batch's rows are numbered above every row the selection
// holds, so one of them enters a full selection only with a score above the
// worst held: a batch whose best score does not get in is passed over whole.
std::vector<Scored> score_every_row(const Vectors& vectors, std::span<const float> query,
                                    std::size_t k, const DistanceKernels& kernels) {
  const std::size_t n = vectors.count(), dim = vectors.dim();
  const std::int8_t* const codes = vectors.int8_codes(0).data();
  float dots[kBatch];
  float scores[kBatch];
  TopK selection(k, n);
  for (std::size_t start = 0; start < n; start += kBatch) {
    const std::size_t m = std::min(kBatch, n - start);
    kernels.int8_dots(query.data(), codes + start * dim, m, dim, dots);
    for (std::size_t j = 0; j < m; ++j) scores[j] = dots[j] * vectors.scale(start + j);
    const auto last = static_cast<std::uint32_t>(start + m - 1);
    if (!selection.would_keep(last, best_of(scores, m))) continue;
    for (std::size_t j = 0; j < m; ++j) {
      const auto id = static_cast<std::uint32_t>(start + j);
      if (selection.would_keep(id, scores[j])) selection.push(id, scores[j]);
    }
  }
  return std::move(selection).finish();
}

// The query in whole steps for the integer pass: q[j] = step * steps[j] +
// r[j]. A row's float dot product then lies within `slack` of step times its
// integer dot product with the steps: the integer pass leaves out
// sum r[j] * c[j], at most 128 * sum |r[j]| for codes of at most 128 in
// magnitude; and the float kernel rounds each product once and passes it
// through at most dim / 16 + 32 additions, each within a relative 2^-24,
// which keeps its sum within gamma * sum |q[j] * c[j]| of the exact one.
struct SteppedQuery {
  std::vector<std::int16_t> steps;
  double step = 0.0;
  double slack = 0.0;
};

// Nothing for a query whose steps could not bound the rows well: one too
// long for 32-bit integer sums with enough steps, or one with no magnitude.
std::optional<SteppedQuery> stepped(std::span<const float> query) {
  const std::size_t dim = query.size();
  double max_abs = 0.0, sum_abs = 0.0;
  for (const float x : query) {
    max_abs = std::max(max_abs, std::fabs(static_cast<double>(x)));
    sum_abs += std::fabs(static_cast<double>(x));
  }
  // Every partial integer sum within 32 bits: 128 * dim * limit < 2^31.
  const double limit =
      std::min(32767.0, std::floor(2147483647.0 / (128.0 * static_cast<double>(dim))));
  if (!(max_abs > 0.0) || !(sum_abs < 1e30) || limit < 256.0) return std::nullopt;
  SteppedQuery s;
  s.step = max_abs / limit;
  s.steps.resize(dim);
  double rest = 0.0;
  for (std::size_t j = 0; j < dim; ++j) {
    const double t = std::clamp(std::nearbyint(query[j] / s.step), -limit, limit);
    s.steps[j] = static_cast<std::int16_t>(t);
    rest += std::fabs(query[j] - s.step * t);
  }
  const double additions = static_cast<double>(dim / 16 + 34);
  const double gamma = 2.0 * additions * 0x1p-24;
  // The last two terms: this arithmetic's own rounding in doubles, and
  // products or sums below the smallest normal float.
  s.slack = 128.0 * rest * (1.0 + 1e-9) + gamma * 128.0 * sum_abs +
            1e-12 * 128.0 * (sum_abs + rest) + additions * static_cast<double>(dim) * 0x1p-149;
  return s;
}

// Every row through the integer pass, which reads the codes once and costs a
// third of the float kernel's arithmetic; through the float kernel only the
// rows whose bound reaches the worst score held, or every row of a batch
// while the selection has room or where a quarter of its rows reach. The
// same selection as score_every_row, to the bit.
std::vector<Scored> score_all(const Vectors& vectors, std::span<const float> query,
                              std::size_t k, const DistanceKernels& kernels) {
  const std::size_t n = vectors.count(), dim = vectors.dim();
  const std::optional<SteppedQuery> steps = k < n ? stepped(query) : std::nullopt;
  if (!steps) return score_every_row(vectors, query, k, kernels);
  const std::int8_t* const codes = vectors.int8_codes(0).data();
  std::int32_t sums[kBatch];
  double bounds[kBatch];
  float dots[kBatch];
  TopK selection(k, n);
  const auto push_scored = [&](std::size_t id, float dot) {
    const float score = dot * vectors.scale(id);
    if (selection.would_keep(static_cast<std::uint32_t>(id), score)) {
      selection.push(static_cast<std::uint32_t>(id), score);
    }
  };
  for (std::size_t start = 0; start < n; start += kBatch) {
    const std::size_t m = std::min(kBatch, n - start);
    const std::int8_t* const rows = codes + start * dim;
    const double floor = selection.floor();
    // While the selection has room, and where many rows reach it (a large
    // k), every row of the batch is scored by the batched kernel.
    bool every_row = floor == -std::numeric_limits<double>::infinity();
    if (!every_row) {
      kernels.int16_dots(steps->steps.data(), rows, m, dim, sums);
      // The highest score each row could have: the dot product's bounds times
      // the scale, whichever its sign, widened for the rounding of that
      // product in floats. A NaN bound (a NaN scale, or zero times an infinite
      // one) and one past the largest float become infinite, so that the row
      // is scored; an infinite scale otherwise gives an infinite bound of the
      // score's own sign. This loop runs for every row, so it asks meanwhile
      // for the rows after the batch, which the integer pass would otherwise
      // wait for.
      std::size_t reaching = 0;
      const char* const next = reinterpret_cast<const char*>(rows + m * dim) + kPrefetchAhead;
      for (std::size_t j = 0; j < m; ++j) {
        __builtin_prefetch(next + 64 * j);
        const double centre = steps->step * sums[j];
        const double scale = vectors.scale(start + j);
        const double low = (centre - steps->slack) * scale, high = (centre + steps->slack) * scale;
        const double top = low > high ? low : high;
        const double bound = top + std::fabs(top) * 0x1p-20 + 0x1p-140;
        bounds[j] = bound <= std::numeric_limits<float>::max() ? bound : std::numeric_limits<double>::infinity();
        reaching += bounds[j] >= floor;
      }
      if (reaching == 0) continue;
      every_row = 4 * reaching > m;
    }
    if (every_row) {
      kernels.int8_dots(query.data(), rows, m, dim, dots);
      for (std::size_t j = 0; j < m; ++j) push_scored(start + j, dots[j]);
      continue;
    }
    for (std::size_t j = 0; j < m; ++j) {
      if (bounds[j] >= selection.floor()) {
        push_scored(start + j, kernels.int8_dot(query.data(), rows + j * dim, dim));
      }
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
