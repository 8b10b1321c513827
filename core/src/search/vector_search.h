// Vector search over a vectors file, in place: a first stage over packed bits
// (Hamming distances of sign codes, or ternary distances of codes with masks)
// that keeps the best candidates by a histogram selection, and a second stage
// that rescores only those with the int8 codes and scales.
//
// Every query passed in here is already unit-normalised and of the file's
// dimension (the reader checks and normalises it). The kernels default to the
// fastest this CPU runs; tests pass each path to hold them all to one result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "search/distance.h"
#include "base/error.h"
#include "search/topk.h"
#include "formats/vectors.h"

namespace tessavine {

// Distances are 16-bit: the ternary distance reaches 2 * dim, the binary one
// dim, so these are the largest dimensions whose distances always fit.
inline constexpr std::size_t kMaxTernaryDim = 32767;
inline constexpr std::size_t kMaxBinaryDim = 65535;

// The binary distance of the query's sign code to every stored code, by
// vector number.
std::vector<std::uint16_t> hamming_scan(const Vectors& vectors, std::span<const float> query,
                                        const DistanceKernels& kernels = best_kernels());

// dim - both + 2 * differ for every stored vector, where `both` counts the
// positions significant in the query's mask and the stored mask and `differ`
// those of them whose signs differ: dim minus the ternary dot product.
std::vector<std::uint16_t> ternary_scan(const Vectors& vectors, std::span<const float> query,
                                        const DistanceKernels& kernels = best_kernels());

// The int8 estimate of the cosine of the query and vector i: the dot product
// with its int8 codes (fixed lane order) times its scale.
float int8_dot(const Vectors& vectors, std::span<const float> query, std::size_t i,
               const DistanceKernels& kernels = best_kernels());

// The k best of `candidates` by int8_dot, best first (NaN counts as -inf,
// ties to the smaller number).
std::vector<Scored> rescore(const Vectors& vectors, std::span<const float> query,
                            std::vector<std::uint32_t> candidates, std::size_t k,
                            const DistanceKernels& kernels = best_kernels());

// The k best vectors for the query in the given mode, best first.
// `candidates` is the first-stage count of the two-stage modes (raised to k).
// InvalidArgument when the file's dimension is too large for the mode's
// 16-bit distances; "int8" works at any dimension.
Result<std::vector<Scored>> search_with(const Vectors& vectors, std::span<const float> query,
                                        std::size_t k, std::size_t candidates, VectorMode mode,
                                        const DistanceKernels& kernels = best_kernels());

}  // namespace tessavine
