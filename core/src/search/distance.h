// The hot kernels of vector search over packed codes laid out as in the
// vectors file (vector i's B bytes at i * B): Hamming distances of binary
// codes, ternary distances of codes with masks, and the int8 dot product in
// its fixed lane order.
//
// Each kernel exists in several implementations, one per KernelPath, chosen
// at run time for the machine. All paths give bit-identical results; the
// plain loops in `reference` are the oracles the tests hold them to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessavine {

enum class KernelPath : std::uint8_t {
  Portable,  // 64-bit words, population count without special instructions
  Popcnt,    // the same loop with the POPCNT instruction
  Avx2,      // nibble-table counts of 32-byte chunks; AVX2 int8 dot product
  Avx512,    // VPOPCNTDQ counts of 32-byte chunks; AVX-512 int8 dot product
};

inline constexpr std::array<KernelPath, 4> kKernelPaths = {
    KernelPath::Portable, KernelPath::Popcnt, KernelPath::Avx2, KernelPath::Avx512};

std::string_view kernel_path_name(KernelPath path);

// Number of differing bits of query_code and each of the n codes of
// code_bytes bytes, low 16 bits kept.
using HammingFn = void (*)(const std::uint8_t* query_code, const std::uint8_t* codes,
                           std::size_t n, std::size_t code_bytes, std::uint16_t* out);

// dim - both + 2 * differ for each vector, where both counts the positions set
// in both masks and differ those of them whose code bits differ; clamped to
// 0..65535. The query mask must have no bits at positions >= dim (masks made
// by the quantiser never do) for the lower clamp never to apply.
using TernaryFn = void (*)(const std::uint8_t* query_code, const std::uint8_t* query_mask,
                           const std::uint8_t* codes, const std::uint8_t* masks, std::size_t n,
                           std::size_t code_bytes, std::size_t dim, std::uint16_t* out);

// The unscaled int8 dot product: 16 lane sums over the full blocks of 16
// components (lane l of block b adds q[16b + l] * c[16b + l]), the lanes added
// left to right, the remaining components summed in index order from -0.0,
// result lanes + remainder (just the lanes without remainder). Products and
// sums in 32-bit floats, never fused.
using Int8DotFn = float (*)(const float* q, const std::int8_t* codes, std::size_t dim);

// The same dot product of q with each of n consecutive rows of dim codes (row
// i at codes + i * dim) into out[i], every row read once: the exhaustive scan.
using Int8DotsFn = void (*)(const float* q, const std::int8_t* codes, std::size_t n,
                            std::size_t dim, float* out);

// Exact integer dot products of a 16-bit query with each of n consecutive rows
// of dim int8 codes into out[i]: the cheap pass of the exhaustive scan, whose
// results bound the float dot products. The caller keeps every partial sum
// within 32 bits (128 * dim * max |q| < 2^31).
using Int16DotsFn = void (*)(const std::int16_t* q, const std::int8_t* codes, std::size_t n,
                             std::size_t dim, std::int32_t* out);

// How far ahead of the rows being read (in bytes) the batched scans ask for
// the next ones, so that memory and arithmetic overlap.
inline constexpr std::size_t kPrefetchAhead = 3072;

struct DistanceKernels {
  KernelPath path;
  HammingFn hamming;
  TernaryFn ternary;
  Int8DotFn int8_dot;
  Int8DotsFn int8_dots;
  Int16DotsFn int16_dots;
};

// Whether this CPU (and its operating system) runs the path's instructions.
bool kernel_path_supported(KernelPath path);

// The kernels of `path`, or nullptr when this CPU cannot run them.
const DistanceKernels* kernels_for(KernelPath path);

// The fastest kernels this CPU runs, chosen on first use.
const DistanceKernels& best_kernels();

inline void hamming_distances(const std::uint8_t* query_code, const std::uint8_t* codes,
                              std::size_t n, std::size_t code_bytes, std::uint16_t* out) {
  best_kernels().hamming(query_code, codes, n, code_bytes, out);
}

inline void ternary_distances(const std::uint8_t* query_code, const std::uint8_t* query_mask,
                              const std::uint8_t* codes, const std::uint8_t* masks, std::size_t n,
                              std::size_t code_bytes, std::size_t dim, std::uint16_t* out) {
  best_kernels().ternary(query_code, query_mask, codes, masks, n, code_bytes, dim, out);
}

inline float int8_dot(const float* q, const std::int8_t* codes, std::size_t dim) {
  return best_kernels().int8_dot(q, codes, dim);
}

// The plain loops, one byte or one component at a time: the test oracles.
namespace reference {
void hamming_distances(const std::uint8_t* query_code, const std::uint8_t* codes, std::size_t n,
                       std::size_t code_bytes, std::uint16_t* out);
void ternary_distances(const std::uint8_t* query_code, const std::uint8_t* query_mask,
                       const std::uint8_t* codes, const std::uint8_t* masks, std::size_t n,
                       std::size_t code_bytes, std::size_t dim, std::uint16_t* out);
float int8_dot(const float* q, const std::int8_t* codes, std::size_t dim);
void int8_dots(const float* q, const std::int8_t* codes, std::size_t n, std::size_t dim,
               float* out);
void int16_dots(const std::int16_t* q, const std::int8_t* codes, std::size_t n, std::size_t dim,
                std::int32_t* out);
}  // namespace reference

}  // namespace tessavine
