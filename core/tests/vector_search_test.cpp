#include "vector_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <random>

#include "quant.h"

namespace tessavine {
namespace {

using Floats = std::vector<float>;

constexpr VectorMode kModes[] = {VectorMode::Int8, VectorMode::Binary, VectorMode::BinaryInt8,
                                 VectorMode::TernaryInt8};

std::vector<const DistanceKernels*> usable_kernels() {
  std::vector<const DistanceKernels*> out;
  for (KernelPath p : kKernelPaths)
    if (const DistanceKernels* k = kernels_for(p)) out.push_back(k);
  return out;
}

Vectors open_vectors(std::size_t dim, const std::vector<Floats>& vectors) {
  VectorBuilder builder(dim);
  for (const Floats& v : vectors) EXPECT_TRUE(builder.add(v).has_value());
  auto image = std::move(builder).finish();
  EXPECT_TRUE(image.has_value());
  auto opened = Vectors::from_bytes(Storage::from_bytes(std::move(*image)));
  EXPECT_TRUE(opened.has_value());
  return std::move(*opened);
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> bits_of(const std::vector<Scored>& result) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const Scored& s : result) out.emplace_back(s.id, std::bit_cast<std::uint32_t>(s.score));
  return out;
}

// ---- The plain evaluation the search is held to: one bit or one component
// at a time, and full sorts instead of selections.

bool bit(std::span<const std::uint8_t> bytes, std::size_t j) { return (bytes[j / 8] >> (j % 8)) & 1; }

std::size_t plain_hamming(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  std::size_t count = 0;
  for (std::size_t j = 0; j < 8 * a.size(); ++j) count += bit(a, j) != bit(b, j);
  return count;
}

std::size_t plain_ternary(std::span<const std::uint8_t> qc, std::span<const std::uint8_t> qm,
                          std::span<const std::uint8_t> dc, std::span<const std::uint8_t> dm,
                          std::size_t dim) {
  long both = 0, differ = 0;
  for (std::size_t j = 0; j < 8 * qc.size(); ++j) {
    if (bit(qm, j) && bit(dm, j)) {
      ++both;
      differ += bit(qc, j) != bit(dc, j);
    }
  }
  return static_cast<std::size_t>(std::min<long>(static_cast<long>(dim) - both + 2 * differ, 65535));
}

float plain_dot(const Vectors& v, std::span<const float> q, std::size_t i) {
  const auto codes = v.int8_codes(i);
  const std::size_t dim = v.dim();
  float lanes[16] = {};
  for (std::size_t j = 0; j + 16 <= dim; j += 16)
    for (std::size_t l = 0; l < 16; ++l) lanes[l] = lanes[l] + q[j + l] * static_cast<float>(codes[j + l]);
  float dot = 0.0f;
  for (std::size_t l = 0; l < 16; ++l) dot = l == 0 ? lanes[0] : dot + lanes[l];
  if (dim % 16 != 0) {
    float rest = -0.0f;
    for (std::size_t j = dim - dim % 16; j < dim; ++j) rest = rest + q[j] * static_cast<float>(codes[j]);
    dot = dot + rest;
  }
  return dot * v.scale(i);
}

std::vector<std::uint32_t> plain_smallest(const std::vector<std::size_t>& dist, std::size_t k) {
  std::vector<std::uint32_t> ids(dist.size());
  std::iota(ids.begin(), ids.end(), 0u);
  std::stable_sort(ids.begin(), ids.end(), [&](auto a, auto b) { return dist[a] < dist[b]; });
  ids.resize(std::min(k, ids.size()));
  return ids;
}

std::vector<Scored> plain_best(std::vector<Scored> pairs, std::size_t k) {
  for (Scored& s : pairs) s.score = std::isnan(s.score) ? -INFINITY : s.score;
  std::sort(pairs.begin(), pairs.end(), [](const Scored& a, const Scored& b) {
    if (total_order_key(a.score) != total_order_key(b.score)) return total_order_key(a.score) > total_order_key(b.score);
    return a.id < b.id;
  });
  pairs.resize(std::min(k, pairs.size()));
  return pairs;
}

std::vector<Scored> plain_search(const Vectors& v, std::span<const float> q, std::size_t k,
                                 std::size_t candidates, VectorMode mode) {
  const std::size_t n = v.count();
  const auto qc = quantize_binary(q);
  const auto qm = ternary_mask(q);
  std::vector<std::size_t> dist(n);
  for (std::size_t i = 0; i < n; ++i) {
    dist[i] = mode == VectorMode::TernaryInt8
                  ? plain_ternary(qc, qm, v.binary_code(i), v.mask(i), v.dim())
                  : plain_hamming(qc, v.binary_code(i));
  }
  std::vector<Scored> scored;
  if (mode == VectorMode::Binary) {
    for (std::uint32_t i : plain_smallest(dist, k))
      scored.push_back({1.0f - (2.0f * static_cast<float>(dist[i])) / static_cast<float>(v.dim()), i});
    return scored;
  }
  std::vector<std::uint32_t> pool(n);
  std::iota(pool.begin(), pool.end(), 0u);
  if (mode != VectorMode::Int8) pool = plain_smallest(dist, std::max(k, candidates));
  for (std::uint32_t i : pool) scored.push_back({plain_dot(v, q, i), i});
  return plain_best(std::move(scored), k);
}

// Random vectors with many exact repeats and few distinct component values,
// so that distances and scores tie often.
std::vector<Floats> random_corpus(std::mt19937& rng, std::size_t n, std::size_t dim) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> coarse(-2, 2);
  std::vector<Floats> out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && rng() % 6 == 0) {
      out.push_back(out[rng() % out.size()]);
      continue;
    }
    const bool rough = rng() % 3 == 0;
    Floats v(dim);
    for (float& x : v) x = rough ? static_cast<float>(coarse(rng)) : normal(rng);
    out.push_back(std::move(v));
  }
  return out;
}

TEST(VectorSearchTest, EveryModeAndPathMatchesThePlainEvaluation) {
  std::mt19937 rng(7);
  const std::size_t dims[] = {1, 7, 8, 9, 16, 17, 31, 64, 100, 257, 384, 520};
  const std::size_t sizes[] = {1, 3, 40, 301};
  for (std::size_t dim : dims) {
    for (std::size_t n : sizes) {
      const auto corpus = random_corpus(rng, n, dim);
      const Vectors v = open_vectors(dim, corpus);
      Floats query = rng() % 2 ? corpus[rng() % n] : random_corpus(rng, 1, dim)[0];
      if (std::all_of(query.begin(), query.end(), [](float x) { return x == 0.0f; })) query[0] = 1.0f;
      const Floats q = normalize_unit(query);
      for (std::size_t k : {std::size_t{1}, std::size_t{10}, n + 5}) {
        for (std::size_t candidates : {std::size_t{0}, std::size_t{7}, std::size_t{200}}) {
          for (VectorMode mode : kModes) {
            const auto expected = bits_of(plain_search(v, q, k, candidates, mode));
            for (const DistanceKernels* kernels : usable_kernels()) {
              auto got = search_with(v, q, k, candidates, mode, *kernels);
              ASSERT_TRUE(got.has_value());
              ASSERT_EQ(bits_of(*got), expected)
                  << "dim " << dim << " n " << n << " k " << k << " candidates " << candidates
                  << " mode " << mode.name() << " path " << kernel_path_name(kernels->path);
            }
          }
        }
      }
    }
  }
}

TEST(VectorSearchTest, EveryPathScansTheSameDistances) {
  std::mt19937 rng(11);
  for (std::size_t dim : {5, 64, 200, 256, 300, 511, 1030}) {
    const auto corpus = random_corpus(rng, 37, dim);
    const Vectors v = open_vectors(dim, corpus);
    const Floats q = normalize_unit(random_corpus(rng, 1, dim)[0]);
    const auto qc = quantize_binary(q);
    const auto qm = ternary_mask(q);
    std::vector<std::uint16_t> hamming, ternary;
    for (std::size_t i = 0; i < v.count(); ++i) {
      hamming.push_back(static_cast<std::uint16_t>(plain_hamming(qc, v.binary_code(i))));
      ternary.push_back(static_cast<std::uint16_t>(plain_ternary(qc, qm, v.binary_code(i), v.mask(i), dim)));
    }
    for (const DistanceKernels* kernels : usable_kernels()) {
      EXPECT_EQ(hamming_scan(v, q, *kernels), hamming) << dim << kernel_path_name(kernels->path);
      EXPECT_EQ(ternary_scan(v, q, *kernels), ternary) << dim << kernel_path_name(kernels->path);
    }
  }
}

TEST(VectorSearchTest, BinaryScoresAtDimensionEight) {
  const Floats query = {1, 1, 1, 1, 1, 1, 1, 1};
  const Vectors v = open_vectors(8, {{1, 1, 1, 1, 1, 1, -1, -1},
                                     {1, 1, 1, 1, 1, 1, 1, 1},
                                     {-1, -1, -1, -1, -1, -1, -1, -1}});
  auto got = search_with(v, normalize_unit(query), 10, 0, VectorMode::Binary);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (std::vector<Scored>{{1.0f, 1}, {0.5f, 0}, {-1.0f, 2}}));
}

TEST(VectorSearchTest, IdenticalVectorsTieByNumberInEveryMode) {
  const Floats a = {0.3f, -0.2f, 0.9f, 0.1f, -0.5f, 0.4f, 0.0f, 0.7f, -0.1f, 0.2f};
  const Floats b = {-0.3f, 0.2f, 0.1f, 0.5f, 0.5f, -0.4f, 0.6f, 0.0f, 0.1f, -0.2f};
  const Vectors v = open_vectors(10, {b, a, b, a, a});
  for (VectorMode mode : kModes) {
    auto got = search_with(v, normalize_unit(a), 3, 0, mode);
    ASSERT_TRUE(got.has_value());
    ASSERT_EQ(got->size(), 3u) << mode.name();
    EXPECT_EQ((*got)[0].id, 1u);
    EXPECT_EQ((*got)[1].id, 3u);
    EXPECT_EQ((*got)[2].id, 4u);
    EXPECT_EQ((*got)[0].score, (*got)[2].score);
    // A stored vector found by itself: close to, not exactly, 1 after int8 rounding.
    if (mode != VectorMode::Binary) {
      EXPECT_NEAR((*got)[0].score, 1.0f, 0.01f);
    }
  }
}

TEST(VectorSearchTest, CandidatesBelowKCountAsK) {
  std::mt19937 rng(3);
  const auto corpus = random_corpus(rng, 200, 48);
  const Vectors v = open_vectors(48, corpus);
  const Floats q = normalize_unit(corpus[17]);
  for (VectorMode mode : {VectorMode::BinaryInt8, VectorMode::TernaryInt8}) {
    EXPECT_EQ(*search_with(v, q, 20, 3, mode), *search_with(v, q, 20, 20, mode));
    // More candidates can only find better scores among the first k.
    EXPECT_EQ(search_with(v, q, 5, 200, mode)->size(), 5u);
  }
}

TEST(VectorSearchTest, SmallAndEmptyFiles) {
  const Vectors empty = open_vectors(4, {});
  const Vectors two = open_vectors(4, {{1, 2, 3, 4}, {-1, 0, 2, 0}});
  const Floats q = normalize_unit(Floats{1, 1, 1, 1});
  for (VectorMode mode : kModes) {
    EXPECT_TRUE(search_with(empty, q, 10, 200, mode)->empty()) << mode.name();
    EXPECT_EQ(search_with(two, q, SIZE_MAX, SIZE_MAX, mode)->size(), 2u) << mode.name();
    EXPECT_TRUE(search_with(two, q, 0, 200, mode)->empty()) << mode.name();
  }
  EXPECT_TRUE(rescore(two, q, {0, 1}, 0).empty());
}

TEST(VectorSearchTest, TernaryDistanceCountsZerosOnce) {
  // Query ternary values (+1, -1, +1, -1): every position significant.
  const Floats q = normalize_unit(Floats{1, -1, 1, -1});
  const Vectors v = open_vectors(4, {{1, -1, 1, -1},     // equal everywhere: 0
                                     {-1, 1, -1, 1},     // opposite: 2 * 4
                                     {1, 0, 0, -1},      // two zeros: 2
                                     {1, 1, 0, 0},       // one differs, two zeros: 2 + 2
                                     {0, 0, 0, 0}});     // all zero: 4
  EXPECT_EQ(ternary_scan(v, q), (std::vector<std::uint16_t>{0, 8, 2, 4, 4}));
}

TEST(VectorSearchTest, DimensionLimitsOfThe16BitDistances) {
  struct Case {
    std::size_t dim;
    std::vector<VectorMode> refused;
    const char* message;
  };
  const Case cases[] = {
      {32767, {}, ""},
      {32768, {VectorMode::TernaryInt8}, "ternary search supports at most 32767 dimensions, not 32768"},
      {65535, {VectorMode::TernaryInt8}, "ternary search supports at most 32767 dimensions, not 65535"},
      {65536, {VectorMode::TernaryInt8, VectorMode::Binary, VectorMode::BinaryInt8}, nullptr},
  };
  for (const Case& c : cases) {
    Floats a(c.dim, 0.5f), b(c.dim, -0.5f);
    const Vectors v = open_vectors(c.dim, {a, b});
    const Floats q = normalize_unit(a);
    for (VectorMode mode : kModes) {
      const bool refused = std::find(c.refused.begin(), c.refused.end(), mode) != c.refused.end();
      for (std::size_t k : {0, 2}) {
        auto got = search_with(v, q, k, 200, mode);
        ASSERT_EQ(got.has_value(), !refused) << c.dim << mode.name();
        if (refused) {
          const std::string limit = mode == VectorMode::TernaryInt8 ? "ternary search supports at most 32767"
                                                                    : "binary search supports at most 65535";
          EXPECT_EQ(got.error().to_string(), limit + " dimensions, not " + std::to_string(c.dim));
          EXPECT_EQ(got.error().kind(), ErrorKind::InvalidArgument);
        } else if (k == 2) {
          ASSERT_EQ(got->size(), 2u);
          EXPECT_EQ((*got)[0].id, 0u);
          // The largest binary distance, 65535 at D = 65535, still fits.
          if (mode == VectorMode::Binary) {
            EXPECT_EQ((*got)[1].score, -1.0f);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tessavine
