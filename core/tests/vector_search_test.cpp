#include "search/vector_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>

#include "formats/quant.h"
#include "test_util.h"

namespace tessavine {
namespace {

using Floats = std::vector<float>;
using testing::score_bits;

constexpr VectorMode kModes[] = {VectorMode::Int8, VectorMode::Binary, VectorMode::BinaryInt8,
                                 VectorMode::TernaryInt8};

Vectors open_vectors(std::size_t dim, const std::vector<Floats>& vectors) {
  VectorBuilder builder(dim);
  for (const Floats& v : vectors) EXPECT_TRUE(builder.add(v).has_value());
  auto opened = Vectors::from_bytes(Storage::from_bytes(std::move(builder).finish().value()));
  EXPECT_TRUE(opened.has_value());
  return std::move(*opened);
}

// The plain evaluation: reference distance and dot loops (held to exact values in
// distance_test), and full stable sorts instead of histogram and heap selections.
std::vector<Scored> plain_search(const Vectors& v, std::span<const float> q, std::size_t k,
                                 std::size_t candidates, VectorMode mode) {
  const std::size_t n = v.count(), dim = v.dim();
  const auto qc = quantize_binary(q);
  const auto qm = ternary_mask(q);
  std::vector<std::uint16_t> dist(n);
  if (mode == VectorMode::TernaryInt8)
    reference::ternary_distances(qc.data(), qm.data(), v.binary_codes().data(), v.masks().data(), n,
                                 v.code_bytes(), dim, dist.data());
  else
    reference::hamming_distances(qc.data(), v.binary_codes().data(), n, v.code_bytes(), dist.data());
  std::vector<std::uint32_t> pool(n);
  std::iota(pool.begin(), pool.end(), 0u);
  std::stable_sort(pool.begin(), pool.end(), [&](auto a, auto b) { return dist[a] < dist[b]; });
  std::vector<Scored> scored;
  if (mode == VectorMode::Binary) {
    pool.resize(std::min(k, n));
    for (std::uint32_t i : pool)
      scored.push_back({1.0f - (2.0f * static_cast<float>(dist[i])) / static_cast<float>(dim), i});
    return scored;
  }
  if (mode != VectorMode::Int8) pool.resize(std::min(std::max(k, candidates), n));
  for (std::uint32_t i : pool)
    scored.push_back({reference::int8_dot(q.data(), v.int8_codes(i).data(), dim) * v.scale(i), i});
  for (Scored& s : scored) s.score = std::isnan(s.score) ? -INFINITY : s.score;
  std::sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
    const auto ka = total_order_key(a.score), kb = total_order_key(b.score);
    return ka != kb ? ka > kb : a.id < b.id;
  });
  scored.resize(std::min(k, scored.size()));
  return scored;
}

// Many exact repeats and few distinct component values, so distances and scores tie often.
std::vector<Floats> random_corpus(std::mt19937& rng, std::size_t n, std::size_t dim) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> coarse(-2, 2);
  std::vector<Floats> out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && rng() % 6 == 0) { out.push_back(out[rng() % out.size()]); continue; }
    const bool rough = rng() % 3 == 0;
    Floats v(dim);
    for (float& x : v) x = rough ? static_cast<float>(coarse(rng)) : normal(rng);
    out.push_back(std::move(v));
  }
  return out;
}

TEST(VectorSearchTest, EveryModeAndPathMatchesThePlainEvaluation) {
  std::mt19937 rng(7);
  const auto paths = testing::supported_kernels();
  for (std::size_t dim : {1, 7, 8, 9, 16, 17, 31, 64, 100, 257, 384, 520}) {
    for (std::size_t n : {0, 1, 3, 40, 301}) {
      const auto corpus = random_corpus(rng, n, dim);
      const Vectors v = open_vectors(dim, corpus);
      Floats query = n && rng() % 2 ? corpus[rng() % n] : random_corpus(rng, 1, dim)[0];
      if (std::all_of(query.begin(), query.end(), [](float x) { return x == 0.0f; })) query[0] = 1.0f;
      const Floats q = normalize_unit(query);
      // Candidates below k count as k; ties are common (see random_corpus).
      for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, n + 5})
        for (std::size_t candidates : {0, 7, 200})
          for (VectorMode mode : kModes) {
            const auto expected = score_bits(plain_search(v, q, k, candidates, mode));
            for (const DistanceKernels* kernels : paths) {
              auto got = search_with(v, q, k, candidates, mode, *kernels);
              ASSERT_TRUE(got.has_value());
              ASSERT_EQ(score_bits(*got), expected)
                  << "dim " << dim << " n " << n << " k " << k << " candidates " << candidates
                  << " mode " << mode.name() << " path " << kernel_path_name(kernels->path);
            }
          }
    }
  }
}

// The exhaustive int8 scan scores in full only the rows whose integer bound
// reaches the selection, so its results hang on that bound holding: rows that
// tie or nearly tie the k-th best, codes of -128, and scales of every kind a
// damaged file may hold (bounds that are then infinite score the row in full).
TEST(VectorSearchTest, ExhaustiveInt8EqualsThePlainEvaluationAcrossBatches) {
  std::mt19937 rng(11);
  const float odd_scales[] = {NAN, INFINITY, -INFINITY, -1.5f, 0.0f, -0.0f, 1e-42f, 3e38f, -3e38f, 1e20f};
  for (std::size_t dim : {7, 16, 33, 384}) {
    const std::size_t n = 3000;
    auto corpus = random_corpus(rng, n, dim);
    for (std::size_t i = 0; i < 40; ++i) {  // near repeats: one component nudged
      Floats near = corpus[rng() % n];
      near[rng() % dim] += 0.01f;
      corpus[rng() % n] = std::move(near);
    }
    VectorBuilder builder(dim);
    for (const Floats& v : corpus) ASSERT_TRUE(builder.add(v).has_value());
    std::vector<std::byte> bytes = std::move(builder).finish().value();
    const std::size_t scales = 16 + 2 * ((n * ((dim + 7) / 8) + 3) / 4 * 4);
    const std::size_t codes = scales + 4 * n;
    for (std::size_t i = 0; i < 60; ++i) {
      const std::size_t row = rng() % n;
      std::memcpy(&bytes[scales + 4 * row], &odd_scales[i % std::size(odd_scales)], 4);
      if (i % 3 == 0) std::memset(&bytes[codes + row * dim], 0x80, dim);  // every code -128
    }
    auto opened = Vectors::from_bytes(Storage::from_bytes(std::move(bytes)));
    ASSERT_TRUE(opened.has_value());
    ASSERT_EQ(opened->scales_offset(), scales);
    ASSERT_EQ(opened->int8_offset(), codes);
    const Vectors& v = *opened;
    std::vector<Floats> queries{corpus[rng() % n], random_corpus(rng, 1, dim)[0], Floats(dim, -1.0f)};
    Floats spike(dim, 1e-30f);  // one large component, the rest below the steps
    spike[dim / 2] = 1.0f;
    queries.push_back(spike);
    for (const Floats& query : queries) {
      const Floats q = normalize_unit(query);
      for (std::size_t k : {1, 10, 100, 700}) {
        const auto expected = score_bits(plain_search(v, q, k, 0, VectorMode::Int8));
        for (const DistanceKernels* kernels : testing::supported_kernels()) {
          auto got = search_with(v, q, k, 0, VectorMode::Int8, *kernels);
          ASSERT_TRUE(got.has_value());
          ASSERT_EQ(score_bits(*got), expected) << "dim " << dim << " k " << k << " path "
                                                << kernel_path_name(kernels->path);
        }
      }
    }
  }
}

// Two rows whose float scores differ by less than the query's steps can tell,
// the later and better one with the lower integer sum: it is found only if
// its bound allows for what the steps leave out of the query.
TEST(VectorSearchTest, ExhaustiveInt8SeesBelowTheQuerySteps) {
  const std::size_t dim = 16;
  // Rows that score 0, then rows far below them, so that the batches after
  // the first go through the integer pass.
  std::vector<Floats> corpus(600, Floats(dim, 0.0f));
  for (std::size_t i = 0; i < corpus.size(); ++i) corpus[i][i < 256 ? 2 : 0] = i < 256 ? 1.0f : -1.0f;
  const float step = 1.0f / 32767.0f;
  Floats q(dim, 0.0f);
  q[0] = 1.0f;
  q[1] = 0.49f * step;  // no step
  q[3] = 0.51f * step;  // one step
  // The same norm, so the same scale: codes 127 0 78 100 and 127 127 0 0.
  const float fourth = 100.0f / 127.0f;
  corpus[300] = Floats{1.0f, 0.0f, std::sqrt(1.0f - fourth * fourth), fourth, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  corpus[400] = Floats{1.0f, 1.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Vectors v = open_vectors(dim, corpus);
  const auto expected = plain_search(v, q, 1, 0, VectorMode::Int8);
  ASSERT_EQ(expected.at(0).id, 400u);
  for (const DistanceKernels* kernels : testing::supported_kernels()) {
    auto got = search_with(v, q, 1, 0, VectorMode::Int8, *kernels);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(score_bits(*got), score_bits(expected)) << kernel_path_name(kernels->path);
  }
}

TEST(VectorSearchTest, BinaryScoresAtDimensionEight) {
  const Vectors v = open_vectors(8, {{1, 1, 1, 1, 1, 1, -1, -1}, Floats(8, 1.0f), Floats(8, -1.0f)});
  auto got = search_with(v, normalize_unit(Floats(8, 1.0f)), 10, 0, VectorMode::Binary);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (std::vector<Scored>{{1.0f, 1}, {0.5f, 0}, {-1.0f, 2}}));
}

// The messages are checked through Python; these are the edges on either side of each limit.
TEST(VectorSearchTest, DimensionLimitsOfThe16BitDistances) {
  for (std::size_t dim : {32767, 32768, 65535, 65536}) {
    const Floats a(dim, 0.5f);
    const Vectors v = open_vectors(dim, {a, Floats(dim, -0.5f)});
    for (VectorMode mode : kModes) {
      // Ternary distances reach 2 * D, binary ones D; int8 scores have no limit.
      const bool refused = mode == VectorMode::TernaryInt8 ? dim > 32767 : mode != VectorMode::Int8 && dim > 65535;
      for (std::size_t k : {0, 2}) {
        auto got = search_with(v, normalize_unit(a), k, 200, mode);
        ASSERT_EQ(got.has_value(), !refused) << dim << mode.name();
        EXPECT_TRUE(!refused || got.error().kind() == ErrorKind::InvalidArgument);
        if (!refused && k == 2) {
          ASSERT_EQ(got->size(), 2u);
          EXPECT_EQ((*got)[0].id, 0u);
          // The largest binary distance, 65535 at D = 65535, still fits.
          EXPECT_TRUE(mode != VectorMode::Binary || (*got)[1].score == -1.0f);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tessavine
