#include "formats/quant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <ranges>

namespace tessavine {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Floats = std::vector<float>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
std::vector<std::uint32_t> all_bits(const Floats& v) { auto r = v | std::views::transform(bits); return {r.begin(), r.end()}; }

// Values that stress the sign test: signed zeros, NaNs, infinities, subnormals.
Floats random_values(std::mt19937& rng, std::size_t n) {
  const float specials[] = {0.0f, -0.0f, kNaN, -kNaN, kInf, -kInf, kTiny, -1e-40f};
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> pick(0, 9);
  Floats values(n);
  for (float& v : values) {
    const int p = pick(rng);
    v = p < 8 && pick(rng) == 0 ? specials[p] : normal(rng);
  }
  return values;
}

// The dispatched routine and every kernel this machine runs against the plain one (held to NumPy's
// packbits through Python); a guard byte past the end catches writes beyond the code.
TEST(QuantTest, FastBinaryCodesMatchPlainOracle) {
  std::mt19937 rng(7);
  for (std::size_t n = 0; n < 200; ++n) {
    for (int round = 0; round < 5; ++round) {
      const Floats values = random_values(rng, n);
      Bytes fast(code_bytes_for(n) + 1, 0xAB), plain(code_bytes_for(n) + 1, 0xAB);
      quantize_binary_into(values, fast.data());
      quantize_binary_plain(values, plain.data());
      ASSERT_EQ(fast, plain) << "n=" << n;
      ASSERT_EQ(fast.back(), 0xAB);
      ASSERT_TRUE(n % 8 == 0 || fast[n / 8] >> (n % 8) == 0) << "unused high bits must be 0";
      for (const detail::SignKernel kernel : detail::usable_sign_kernels()) {
        Bytes got(code_bytes_for(n) + 1, 0xAB);
        const std::size_t coded = kernel(values.data(), n, got.data());
        ASSERT_TRUE(coded % 8 == 0 && coded <= n && coded + 32 > n) << "coded " << coded << " of " << n;
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + coded / 8, plain.begin())) << "n=" << n;
        ASSERT_EQ(got[coded / 8], 0xAB) << "wrote past its bytes";
      }
    }
  }
}

TEST(QuantTest, TernaryMasks) {
  // 2^24, eighteen ones, then x: summed in index order the ones are lost and x is just above
  // the threshold; summed from the end it would fall just below.
  Floats index_order(20, 1.0f);
  index_order[0] = 16777216.0f;
  index_order[19] = std::bit_cast<float>(0x49148F42u);  // 608500.1
  // |values| sum to 10, mean 2.5: a component equal to the threshold 2.5 × 0.7f stays unmarked.
  const float threshold = 2.5f * 0.7f;
  const std::pair<Floats, Bytes> cases[] = {
      {{1.0f, 1.0f, 1.0f, 1.0f}, {0x0F}}, {{3.0f, 0.0f, 0.0f, 0.0f}, {0x01}}, {{-3.0f, 0.0f, 0.0f, 0.0f}, {0x01}},
      {{0.0f, 0.0f, 0.0f}, {0x00}}, {{kInf, 1.0f}, {0x00}}, {{kNaN, 1.0f}, {0x00}}, {{}, {}},
      {{3e38f, 3e38f, 1.0f}, {0x00}},  // the sum overflows
      // A mean that underflows to 0 marks every non-zero component.
      {{1e-45f, 0, 0, 0, 0, 0, 0, 0, 0, 1e-45f}, {0x01, 0x02}},
      {index_order, {0x01, 0x00, 0x08}},
      {{threshold, 10.0f - threshold, 0.0f, 0.0f}, {0x02}},
  };
  for (const auto& [values, want] : cases) EXPECT_EQ(ternary_mask(values), want);
}

TEST(QuantTest, UnitNormalisation) {
  const std::pair<Floats, Floats> cases[] = {
      {{3.0f, 4.0f}, {0.6f, 0.8f}}, {{0.0f, -0.0f}, {0.0f, -0.0f}}, {{}, {}},
      // Squares that underflow to zero, or overflow, leave the vector as it is.
      {{1e-30f, -1e-30f}, {1e-30f, -1e-30f}}, {{3e30f, 1.0f}, {3e30f, 1.0f}},
      // Adding b*b to a*a with one rounding (a fused multiply-add) would give
      // a norm one ulp off and change both outputs in the last bit.
      {{std::bit_cast<float>(0x3F87DB4Eu), std::bit_cast<float>(0x3F399882u)},
       {std::bit_cast<float>(0x3F536468u), std::bit_cast<float>(0x3F106499u)}},
  };
  for (const auto& [values, want] : cases) EXPECT_EQ(all_bits(normalize_unit(values)), all_bits(want));
}

TEST(QuantTest, Int8Codes) {
  const struct { Floats values; std::vector<std::int8_t> codes; float scale; } cases[] = {
      {{0.6f, -0.8f}, {95, -127}, 0.8f / 127.0f},
      {{0.0f, -0.0f, 0.0f}, {0, 0, 0}, 0.0f},
      {{}, {}, 0.0f},
      {{kInf, 1.0f}, {0, 0}, 0.0f},
      // With scale 1.0 the quotients are exact halves: away from zero, not to even.
      {{127.0f, 0.5f, -2.5f, 63.5f, -126.5f}, {127, 1, -3, 64, -127}, 1.0f},
      // A NaN beside finite values does not raise the maximum and codes as 0.
      {{kNaN, -2.0f, 1.0f}, {0, -127, 64}, 2.0f / 127.0f},
      // A subnormal maximum, scale 0: quotients are infinite (clamped to ±127) or 0/0 (stored as 0).
      {{1e-45f, -1e-45f, 0.0f}, {127, -127, 0}, 0.0f},
  };
  for (const auto& c : cases) {
    const Int8Code got = quantize_int8(c.values);
    EXPECT_EQ(std::pair(got.codes, bits(got.scale)), std::pair(c.codes, bits(c.scale)));
  }
}

}  // namespace
}  // namespace tessavine
