#include "quant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

namespace tessavine {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(QuantTest, BinaryCodes) {
  const std::pair<std::vector<float>, Bytes> cases[] = {
      {{0.5f, -0.5f, 0.0f, kNaN, 1.0f, 1.0f, 1.0f, 1.0f, 2.0f}, {0xF1, 0x01}},
      {{-0.0f}, {0x00}},
      {{}, {}},
      {{kInf, -kInf, std::numeric_limits<float>::denorm_min(), -kNaN}, {0x05}},
      {{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {0xFF, 0xFF, 0x01}},
  };
  for (const auto& [values, want] : cases) EXPECT_EQ(quantize_binary(values), want);
}

// Values that stress the sign test: signed zeros, NaNs, infinities, subnormals.
std::vector<float> random_values(std::mt19937& rng, std::size_t n) {
  const float specials[] = {0.0f, -0.0f, kNaN, -kNaN, kInf, -kInf,
                            std::numeric_limits<float>::denorm_min(), -1e-40f};
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> pick(0, 9);
  std::vector<float> values(n);
  for (float& v : values) {
    const int p = pick(rng);
    v = p < 8 && pick(rng) == 0 ? specials[p] : normal(rng);
  }
  return values;
}

TEST(QuantTest, FastBinaryCodeMatchesPlainOracle) {
  std::mt19937 rng(7);
  for (std::size_t n = 0; n < 200; ++n) {
    for (int round = 0; round < 5; ++round) {
      const std::vector<float> values = random_values(rng, n);
      // A guard byte past the end catches writes beyond the code.
      Bytes fast(code_bytes_for(n) + 1, 0xAB), plain(code_bytes_for(n) + 1, 0xAB);
      quantize_binary_into(values, fast.data());
      quantize_binary_plain(values, plain.data());
      ASSERT_EQ(fast, plain) << "n=" << n;
      ASSERT_EQ(fast.back(), 0xAB);
      if (n % 8 != 0) {
        ASSERT_EQ(fast[n / 8] >> (n % 8), 0) << "unused high bits must be 0";
      }
    }
  }
}

TEST(QuantTest, EveryVectorKernelMatchesPlainOracle) {
  std::mt19937 rng(5);
  for (const detail::SignKernel kernel : detail::usable_sign_kernels()) {
    for (std::size_t n = 0; n < 150; ++n) {
      const std::vector<float> values = random_values(rng, n);
      Bytes got(code_bytes_for(n) + 1, 0xAB), want(code_bytes_for(n) + 1, 0xAB);
      const std::size_t coded = kernel(values.data(), n, got.data());
      ASSERT_EQ(coded % 8, 0u);
      ASSERT_LE(coded, n);
      ASSERT_GT(coded + 32, n) << "a kernel leaves fewer than one step of components";
      quantize_binary_plain(values, want.data());
      ASSERT_TRUE(std::equal(got.begin(), got.begin() + coded / 8, want.begin())) << "n=" << n;
      ASSERT_EQ(got[coded / 8], 0xAB) << "wrote past its bytes";
    }
  }
}

TEST(QuantTest, TernaryMasks) {
  const std::pair<std::vector<float>, Bytes> cases[] = {
      {{1.0f, 1.0f, 1.0f, 1.0f}, {0x0F}},
      {{3.0f, 0.0f, 0.0f, 0.0f}, {0x01}},  // mean 0.75, threshold 0.525
      {{-3.0f, 0.0f, 0.0f, 0.0f}, {0x01}},
      {{0.0f, 0.0f, 0.0f}, {0x00}},
      {{kInf, 1.0f}, {0x00}},
      {{kNaN, 1.0f}, {0x00}},
      {{3e38f, 3e38f, 1.0f}, {0x00}},  // the sum overflows
      {{}, {}},
      // The stored example: codes 13, 25, 38, -51, 6, 0, -1, 127, 3.
      {{13, 25, 38, -51, 6, 0, -1, 127, 3}, {0x8E, 0x00}},
      // A mean that underflows to 0 marks every non-zero component.
      {{1e-45f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1e-45f}, {0x01, 0x02}},
  };
  for (const auto& [values, want] : cases) EXPECT_EQ(ternary_mask(values), want);
}

TEST(QuantTest, ComponentEqualToThresholdGetsNoMaskBit) {
  // |values| sum to 10, mean 2.5, threshold 2.5 × 0.7f; a component equal to
  // it (computed the same way) stays unmarked.
  const float threshold = 2.5f * 0.7f;
  const std::vector<float> values = {threshold, 10.0f - threshold, 0.0f, 0.0f};
  ASSERT_EQ(std::fabs(values[0]) + std::fabs(values[1]), 10.0f);
  EXPECT_EQ(ternary_mask(values), Bytes{0x02});
  EXPECT_EQ(std::bit_cast<std::uint32_t>(0.7f), 0x3F333333u);
}

TEST(QuantTest, TernaryMeanIsSummedInIndexOrder) {
  // 2^24, eighteen ones, then x: summed in index order every 1 is lost against
  // 2^24 and x lies just above the threshold; summed from the end the ones
  // count and x would fall just below it.
  std::vector<float> values(20, 1.0f);
  values[0] = 16777216.0f;
  values[19] = std::bit_cast<float>(0x49148F42u);  // 608500.1
  EXPECT_EQ(ternary_mask(values), (Bytes{0x01, 0x00, 0x08}));
}

TEST(QuantTest, UnitNormalisation) {
  EXPECT_EQ(normalize_unit(std::vector<float>{3.0f, 4.0f}), (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(normalize_unit(std::vector<float>{0.0f, -0.0f}), (std::vector<float>{0.0f, -0.0f}));
  EXPECT_TRUE(normalize_unit(std::vector<float>{}).empty());
  // Squares that underflow to zero, or overflow, leave the vector as it is.
  EXPECT_EQ(normalize_unit(std::vector<float>{1e-30f, -1e-30f}), (std::vector<float>{1e-30f, -1e-30f}));
  EXPECT_EQ(normalize_unit(std::vector<float>{3e30f, 1.0f}), (std::vector<float>{3e30f, 1.0f}));
}

TEST(QuantTest, UnitNormalisationRoundsEachSquareBeforeAdding) {
  // For this pair, adding b*b to a*a with one rounding (a fused multiply-add)
  // gives a norm one ulp off and changes both outputs in the last bit.
  const std::vector<float> values = {std::bit_cast<float>(0x3F87DB4Eu), std::bit_cast<float>(0x3F399882u)};
  const std::vector<float> got = normalize_unit(values);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(got[0]), 0x3F536468u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(got[1]), 0x3F106499u);
}

TEST(QuantTest, Int8Codes) {
  struct Case {
    std::vector<float> values;
    std::vector<std::int8_t> codes;
    float scale;
  };
  const Case cases[] = {
      {{0.6f, 0.8f}, {95, 127}, 0.8f / 127.0f},
      {{0.6f, -0.8f}, {95, -127}, 0.8f / 127.0f},
      {{0.0f, -0.0f, 0.0f}, {0, 0, 0}, 0.0f},
      {{}, {}, 0.0f},
      {{kInf, 1.0f}, {0, 0}, 0.0f},
      // With scale 1.0 the quotients are exact halves: away from zero, not to even.
      {{127.0f, 0.5f, -2.5f, 63.5f, -126.5f}, {127, 1, -3, 64, -127}, 1.0f},
      // A NaN beside finite values does not raise the maximum and codes as 0.
      {{kNaN, -2.0f, 1.0f}, {0, -127, 64}, 2.0f / 127.0f},
      // A subnormal maximum whose scale rounds to 0: the quotients are
      // infinite (clamped to ±127) or 0/0 (stored as 0).
      {{1e-45f, -1e-45f, 0.0f}, {127, -127, 0}, 0.0f},
  };
  for (const Case& c : cases) {
    const Int8Code got = quantize_int8(c.values);
    EXPECT_EQ(got.codes, c.codes);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got.scale), std::bit_cast<std::uint32_t>(c.scale));
  }
}

TEST(QuantTest, Int8CodesNeverReachMinus128) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (int round = 0; round < 200; ++round) {
    std::vector<float> values(37);
    for (float& v : values) v = dist(rng);
    const Int8Code got = quantize_int8(normalize_unit(values));
    for (const std::int8_t c : got.codes) ASSERT_GE(c, -127);
  }
}

}  // namespace
}  // namespace tessavine
