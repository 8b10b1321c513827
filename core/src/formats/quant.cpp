#include "formats/quant.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TESSAVINE_X86_SIMD 1
#endif

namespace tessavine {
namespace {

// The 32-bit float nearest to 0.7 (bits 0x3F333333).
constexpr float kMaskFactor = 0.7f;

// Sets bit i of `out` (zeroed by the caller) where keep(values[i]).
// Without a branch: which components pass is as good as random, and a
// mispredicted branch per component made the ternary mask the costliest step
// of adding a vector.
template <class Keep>
void pack_bits(std::span<const float> values, std::uint8_t* out, Keep keep) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    out[i / 8] |= static_cast<std::uint8_t>(static_cast<unsigned>(keep(values[i])) << (i % 8));
  }
}

#if TESSAVINE_X86_SIMD
// Ordered compares (false for NaN) and their sign masks put component i on
// bit i. Both kernels return how many leading components they coded (a
// multiple of 8); the caller codes the rest.

std::size_t sign_bytes_sse2(const float* v, std::size_t n, std::uint8_t* out) {
  const __m128 zero = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const auto m0 = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(v + i), zero)));
    const auto m1 = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(v + i + 4), zero)));
    const auto m2 = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(v + i + 8), zero)));
    const auto m3 = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(v + i + 12), zero)));
    const unsigned bits = m0 | m1 << 4 | m2 << 8 | m3 << 12;
    out[i / 8] = static_cast<std::uint8_t>(bits);
    out[i / 8 + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
  return i;
}

__attribute__((target("avx2"))) std::size_t sign_bytes_avx2(const float* v, std::size_t n,
                                                            std::uint8_t* out) {
  const __m256 zero = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const auto m0 = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(v + i), zero, _CMP_GT_OQ)));
    const auto m1 = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(v + i + 8), zero, _CMP_GT_OQ)));
    const auto m2 = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(v + i + 16), zero, _CMP_GT_OQ)));
    const auto m3 = static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(v + i + 24), zero, _CMP_GT_OQ)));
    out[i / 8] = static_cast<std::uint8_t>(m0);
    out[i / 8 + 1] = static_cast<std::uint8_t>(m1);
    out[i / 8 + 2] = static_cast<std::uint8_t>(m2);
    out[i / 8 + 3] = static_cast<std::uint8_t>(m3);
  }
  for (; i + 8 <= n; i += 8) {
    out[i / 8] = static_cast<std::uint8_t>(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(v + i), zero, _CMP_GT_OQ)));
  }
  return i;
}

bool has_avx2() { return __builtin_cpu_supports("avx2"); }

// Resolved once per process from the CPU's features; constant afterwards.
detail::SignKernel sign_kernel() {
  static const detail::SignKernel kernel = has_avx2() ? sign_bytes_avx2 : sign_bytes_sse2;
  return kernel;
}
#endif

// One byte from eight floats.
inline std::uint8_t sign_byte(const float* v) {
  unsigned byte = 0;
  for (unsigned j = 0; j < 8; ++j) byte |= static_cast<unsigned>(v[j] > 0.0f) << j;
  return static_cast<std::uint8_t>(byte);
}

}  // namespace

std::vector<detail::SignKernel> detail::usable_sign_kernels() {
#if TESSAVINE_X86_SIMD
  if (has_avx2()) return {sign_bytes_sse2, sign_bytes_avx2};
  return {sign_bytes_sse2};
#else
  return {};
#endif
}

void quantize_binary_plain(std::span<const float> values, std::uint8_t* out) {
  std::memset(out, 0, code_bytes_for(values.size()));
  pack_bits(values, out, [](float v) { return v > 0.0f; });
}

void quantize_binary_into(std::span<const float> values, std::uint8_t* out) {
  const float* v = values.data();
  const std::size_t n = values.size();
  std::size_t i = 0;
#if TESSAVINE_X86_SIMD
  i = sign_kernel()(v, n, out);
#endif
  for (; i + 8 <= n; i += 8) out[i / 8] = sign_byte(v + i);
  if (i < n) {
    // The last partial byte: its unused high bits stay 0.
    unsigned byte = 0;
    for (std::size_t j = i; j < n; ++j) byte |= static_cast<unsigned>(v[j] > 0.0f) << (j - i);
    out[i / 8] = static_cast<std::uint8_t>(byte);
  }
}

void quantize_binary_rows(std::span<const float> values, std::size_t dim, std::uint8_t* out) {
  if (dim == 0) return;
  // A batch is one long sequential read, bound by memory rather than by the
  // compares; asking for the lines a few kilobytes ahead keeps more loads in
  // flight than the hardware prefetcher alone. Never past the end of the run.
  constexpr std::size_t kAheadBytes = 8192;
  constexpr std::size_t kLineBytes = 64;
  const char* base = reinterpret_cast<const char*>(values.data());
  const std::size_t total_bytes = values.size() * sizeof(float);
  std::size_t next_line = kAheadBytes;
  const std::size_t bytes = code_bytes_for(dim);
  for (std::size_t start = 0; start + dim <= values.size(); start += dim, out += bytes) {
    const std::size_t wanted = std::min((start + dim) * sizeof(float) + kAheadBytes, total_bytes);
    for (; next_line < wanted; next_line += kLineBytes) __builtin_prefetch(base + next_line);
    quantize_binary_into(values.subspan(start, dim), out);
  }
}

std::vector<std::uint8_t> quantize_binary(std::span<const float> values) {
  std::vector<std::uint8_t> code(code_bytes_for(values.size()));
  quantize_binary_into(values, code.data());
  return code;
}

std::vector<std::uint8_t> ternary_mask(std::span<const float> values) {
  std::vector<std::uint8_t> mask(code_bytes_for(values.size()));
  if (values.empty()) return mask;
  // One accumulator, index order: the order decides the last bits of the sum.
  float sum = 0.0f;
  for (const float v : values) sum += std::fabs(v);
  const float mean = sum / static_cast<float>(values.size());
  if (!std::isfinite(mean)) return mask;
  const float threshold = mean * kMaskFactor;
  pack_bits(values, mask.data(), [threshold](float v) { return std::fabs(v) > threshold; });
  return mask;
}

std::vector<float> normalize_unit(std::span<const float> values) {
  float sumsq = 0.0f;
  for (const float v : values) {
    const float square = v * v;  // rounded on its own: never fused with the add
    sumsq += square;
  }
  const float norm = std::sqrt(sumsq);
  std::vector<float> out(values.begin(), values.end());
  if (sumsq == 0.0f || !std::isfinite(norm)) return out;
  for (float& v : out) v = v / norm;
  return out;
}

Int8Code quantize_int8(std::span<const float> values) {
  Int8Code result;
  result.codes.assign(values.size(), 0);
  float max_abs = 0.0f;
  for (const float v : values) {
    const float a = std::fabs(v);
    if (a > max_abs) max_abs = a;  // NaN never wins the comparison
  }
  if (!std::isfinite(max_abs) || max_abs == 0.0f) return result;
  result.scale = max_abs / 127.0f;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const float q = std::round(values[i] / result.scale);  // halves away from zero
    // NaN has no integer value: it stores as 0 rather than reaching the cast.
    if (std::isnan(q)) continue;
    result.codes[i] = static_cast<std::int8_t>(std::clamp(q, -127.0f, 127.0f));
  }
  return result;
}

}  // namespace tessavine
