#include "search/distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>
#include <random>
#include <vector>

#include "test_util.h"

namespace tessavine {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Distances = std::vector<std::uint16_t>;
const auto supported = testing::supported_kernels;

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Clears the bits past `dim` of each code, as the quantiser leaves them.
void clear_padding(Bytes& codes, std::size_t bytes, std::size_t dim) {
  if (dim % 8 == 0) return;
  for (std::size_t at = bytes - 1; at < codes.size(); at += bytes)
    codes[at] &= static_cast<std::uint8_t>((1u << (dim % 8)) - 1);
}

// Dimensions around every chunk edge of the paths (32 and 64 bytes), codes long enough for several
// byte-count flushes, and every remainder of the 4- and 8-vector batches. Each vector gets exactly
// its bytes, so the sanitizer build sees any over-read.
TEST(DistanceTest, EveryPathMatchesTheOracle) {
  ASSERT_NE(kernels_for(KernelPath::Portable), nullptr);
  EXPECT_EQ(best_kernels().path, supported().back()->path);
  for (const DistanceKernels* k : supported()) std::printf("kernel path: %s\n", std::string(kernel_path_name(k->path)).c_str());
  std::vector<std::size_t> dims(70);
  std::iota(dims.begin(), dims.end(), 1);
  dims.insert(dims.end(), {248, 255, 256, 257, 263, 264, 384, 504, 511, 512, 513, 520, 1000, 1024, 4096, 7936,
                           7944, 8200, 16000, 32760});
  const std::size_t counts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33};
  std::mt19937 rng(42);
  for (std::size_t dim : dims) {
    const std::size_t bytes = (dim + 7) / 8;
    for (std::size_t n : counts) {
      if (dim > 1024 && n > 9) continue;
      Bytes qc = random_bytes(rng, bytes), qm = random_bytes(rng, bytes);
      Bytes codes = random_bytes(rng, n * bytes), masks = random_bytes(rng, n * bytes);
      // Every other round keeps the zero padding; the others give stray high bits, treated alike.
      if (n % 2 == 0)
        for (Bytes* b : {&qc, &qm, &codes, &masks}) clear_padding(*b, bytes, dim);
      // Some codes equal the query, one mask full, one empty. Code 3 is the query's complement (odd
      // counts: both masks full): the largest per-byte counts, which long codes must widen.
      if (n > 2) {
        std::copy(qc.begin(), qc.end(), codes.begin());
        std::fill(masks.begin() + bytes, masks.begin() + 2 * bytes, 0xFF);
        std::fill(masks.begin() + 2 * bytes, masks.begin() + 3 * bytes, 0);
      }
      if (n > 3) {
        std::transform(qc.begin(), qc.end(), codes.begin() + 3 * bytes, [](std::uint8_t b) { return ~b & 0xFF; });
        if (n % 2) std::fill(qm.begin(), qm.end(), 0xFF);
        if (n % 2) std::fill(masks.begin() + 3 * bytes, masks.begin() + 4 * bytes, 0xFF);
      }
      Distances want_h(n), want_t(n);
      reference::hamming_distances(qc.data(), codes.data(), n, bytes, want_h.data());
      reference::ternary_distances(qc.data(), qm.data(), codes.data(), masks.data(), n, bytes, dim,
                                   want_t.data());
      for (const DistanceKernels* k : supported()) {
        Distances got(n, 0xABCD);
        k->hamming(qc.data(), codes.data(), n, bytes, got.data());
        EXPECT_EQ(got, want_h) << kernel_path_name(k->path) << " hamming dim=" << dim << " n=" << n;
        std::fill(got.begin(), got.end(), 0xABCD);
        k->ternary(qc.data(), qm.data(), codes.data(), masks.data(), n, bytes, dim, got.data());
        EXPECT_EQ(got, want_t) << kernel_path_name(k->path) << " ternary dim=" << dim << " n=" << n;
      }
    }
  }
}

TEST(DistanceTest, ExactValuesAndLimits) {
  for (const DistanceKernels* k : supported()) {
    SCOPED_TRACE(kernel_path_name(k->path));
    // D = 8: two differing bits; identical; complementary.
    const Bytes q = {0b1011'0001};
    const Bytes codes = {0b1011'0111, 0b1011'0001, 0b0100'1110};
    Distances d(3);
    k->hamming(q.data(), codes.data(), 3, 1, d.data());
    EXPECT_EQ(d, (Distances{2, 0, 8}));

    // Ternary over D = 4: zero on either side adds 1, agreeing non-zero 0, disagreeing 2.
    const Bytes qc = {0b0011}, qm = {0b0111};
    const Bytes tc = {0b0011, 0b0000, 0b0101}, tm = {0b0111, 0b1111, 0b0000};
    k->ternary(qc.data(), qm.data(), tc.data(), tm.data(), 3, 1, 4, d.data());
    EXPECT_EQ(d, (Distances{1, 1 + 2 + 2 + 0, 4}));

    // A count above 65535 keeps its low 16 bits; a ternary distance above it is capped.
    const std::size_t dim = 70000, bytes = dim / 8;
    const Bytes zeros(bytes, 0), ones(bytes, 0xFF);
    k->hamming(zeros.data(), ones.data(), 1, bytes, d.data());
    EXPECT_EQ(d[0], 70000 % 65536);
    k->ternary(zeros.data(), ones.data(), ones.data(), ones.data(), 1, bytes, dim, d.data());
    EXPECT_EQ(d[0], 65535);
    k->ternary(zeros.data(), zeros.data(), ones.data(), ones.data(), 1, bytes, 32767, d.data());
    EXPECT_EQ(d[0], 32767);

  }
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Cases whose result depends on the order of the additions.
TEST(DistanceTest, Int8DotFollowsTheLaneOrder) {
  const struct { const char* what; std::vector<float> q; float want; } cases[] = {
      // Lanes are added left to right: ((1e8 + 1) - 1e8) + 1, not pairwise.
      {"lane total", {1e8f, 1, -1e8f, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1.0f},
      // Lane 0 sums components 0 and 16 before anything meets lane 1.
      {"lane sums",
       {1e8f, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1e8f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0},
       1.0f},
      // The remainder is summed on its own, then added to the lanes.
      {"remainder", {1e8f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1e8f, 1}, 0.0f},
      {"remainder only", {1e8f, 1, -1e8f}, 0.0f},
  };
  for (const auto& c : cases) {
    const std::vector<std::int8_t> ones(c.q.size(), 1);
    EXPECT_EQ(bits(reference::int8_dot(c.q.data(), ones.data(), c.q.size())), bits(c.want))
        << c.what;
    for (const DistanceKernels* k : supported())
      EXPECT_EQ(bits(k->int8_dot(c.q.data(), ones.data(), c.q.size())), bits(c.want))
          << c.what << " " << kernel_path_name(k->path);
  }
}

TEST(DistanceTest, Int8DotPathsMatchTheOracle) {
  std::mt19937 rng(3);
  // Magnitudes spread over many binades, so that any change of order shows.
  std::uniform_real_distribution<float> exponent(-12.0f, 12.0f);
  const auto component = [&] {
    return std::ldexp(rng() % 2 ? 1.0f : -1.0f, static_cast<int>(exponent(rng))) *
           (1.0f + static_cast<float>(rng() % 1000) / 1000.0f);
  };
  std::vector<std::size_t> dims(71);
  std::iota(dims.begin(), dims.end(), 0);
  dims.insert(dims.end(), {383, 384, 385, 1000, 1536});
  for (std::size_t dim : dims) {
    for (int round = 0; round < 20; ++round) {
      std::vector<float> q(dim);
      std::vector<std::int8_t> c(dim);
      for (std::size_t j = 0; j < dim; ++j) q[j] = component(), c[j] = static_cast<std::int8_t>(rng());  // -128 too
      const float want = reference::int8_dot(q.data(), c.data(), dim);
      for (const DistanceKernels* k : supported())
        ASSERT_EQ(bits(k->int8_dot(q.data(), c.data(), dim)), bits(want))
            << kernel_path_name(k->path) << " dim=" << dim;
    }
    // The batched scan over every remainder of its four-row groups, each row exactly its size.
    std::vector<std::int8_t> rows(9 * dim);
    for (auto& c : rows) c = static_cast<std::int8_t>(rng());
    std::vector<float> q(dim);
    for (float& x : q) x = component();
    // The integer pass with steps up to the largest its 32-bit sums allow, reached at either sign.
    const int limit = static_cast<int>(std::min<std::size_t>(32767, 2147483647 / (128 * std::max<std::size_t>(dim, 1))));
    std::vector<std::int16_t> steps(dim);
    for (std::size_t j = 0; j < dim; ++j)
      steps[j] = static_cast<std::int16_t>(j < 2 ? (j ? -limit : limit) : static_cast<int>(rng() % (2 * limit + 1)) - limit);
    for (std::size_t n = 0; n <= 9; ++n) {
      std::vector<std::int8_t> codes(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(n * dim));
      for (const DistanceKernels* k : supported()) {
        std::vector<float> got(n);
        k->int8_dots(q.data(), codes.data(), n, dim, got.data());
        for (std::size_t i = 0; i < n; ++i)
          ASSERT_EQ(bits(got[i]), bits(reference::int8_dot(q.data(), codes.data() + i * dim, dim)))
              << kernel_path_name(k->path) << " dim=" << dim << " n=" << n << " row " << i;
        std::vector<std::int32_t> sums(n), want(n);
        reference::int16_dots(steps.data(), codes.data(), n, dim, want.data());
        k->int16_dots(steps.data(), codes.data(), n, dim, sums.data());
        ASSERT_EQ(sums, want) << kernel_path_name(k->path) << " dim=" << dim << " n=" << n;
      }
    }
    // Every product at its largest: the sum the limit is there for.
    const std::vector<std::int16_t> extreme(dim, static_cast<std::int16_t>(-limit));
    const std::vector<std::int8_t> lowest(5 * dim, -128);
    for (const DistanceKernels* k : supported()) {
      std::vector<std::int32_t> sums(5);
      k->int16_dots(extreme.data(), lowest.data(), 5, dim, sums.data());
      ASSERT_EQ(sums, std::vector<std::int32_t>(5, static_cast<std::int32_t>(128 * limit * static_cast<std::int64_t>(dim))))
          << kernel_path_name(k->path) << " dim=" << dim;
    }
  }
}

}  // namespace
}  // namespace tessavine
