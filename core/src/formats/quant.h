// The compact forms of an embedding: packed sign codes, ternary significance
// masks, unit normalisation and int8 codes with a scale. Every float step is a
// separate 32-bit operation in index order, so the same input gives the same
// bits on every machine; none of these functions fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessavine {

// Bytes of a packed code or mask of `dim` components: ceil(dim / 8).
constexpr std::size_t code_bytes_for(std::size_t dim) { return dim / 8 + (dim % 8 != 0); }

// Component i is bit i % 8 of byte i / 8, set when values[i] > 0.0 (so zero,
// negative zero and NaN give 0).
std::vector<std::uint8_t> quantize_binary(std::span<const float> values);

// The same code written to `out`, which must hold code_bytes_for(values.size())
// bytes. Used by batch quantisation to fill one buffer without a copy per row.
void quantize_binary_into(std::span<const float> values, std::uint8_t* out);

// The codes of `values` read as consecutive rows of `dim` floats, written
// row after row to `out` (code_bytes_for(dim) bytes per row). With dim 0
// nothing is written.
void quantize_binary_rows(std::span<const float> values, std::size_t dim, std::uint8_t* out);

// The one-comparison-per-bit definition of quantize_binary_into, kept as the
// oracle of the fast version.
void quantize_binary_plain(std::span<const float> values, std::uint8_t* out);

// Bit i set when |values[i]| > 0.7 × (mean of |values|). A non-finite mean
// (an infinite or NaN component, or an overflowing sum) gives all zeros.
std::vector<std::uint8_t> ternary_mask(std::span<const float> values);

// values / ||values||. A zero vector, or one whose squared norm underflows to
// zero or overflows, comes back unchanged.
std::vector<float> normalize_unit(std::span<const float> values);

struct Int8Code {
  std::vector<std::int8_t> codes;  // -127..127, one per component
  float scale = 0.0f;              // values[i] ≈ codes[i] × scale
};

// scale = max|values| / 127; codes are values / scale rounded half away from
// zero and clamped. A zero or non-finite maximum gives scale 0 and zero codes.
Int8Code quantize_int8(std::span<const float> values);

namespace detail {
// A vector kernel codes the leading components of a run (a multiple of 8,
// returned) into whole bytes. The kernels this CPU can run, so that tests can
// hold each one against quantize_binary_plain, not just the one dispatched.
using SignKernel = std::size_t (*)(const float* values, std::size_t n, std::uint8_t* out);
std::vector<SignKernel> usable_sign_kernels();
}  // namespace detail

}  // namespace tessavine
