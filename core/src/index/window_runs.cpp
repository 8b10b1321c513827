#include "index/window_runs.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "search/distance.h"

#if defined(__x86_64__)
#define TESSAVINE_X86_64 1
#include <immintrin.h>
#endif

namespace tessavine {
namespace {

// Document lengths are asked for this many postings ahead of their use: the
// postings stream in order, the lengths they point to do not, and a first
// search finds them in memory rather than in the caches (16 ahead made
// bounds 7% slower there).
constexpr std::size_t kLengthsAhead = 48;

// The smallest step whose value is at least v, for 0 <= v <= the largest
// value: found from v's share of it (`scale` is 255 over it), rounded up,
// then moved to the exact step, which it seldom misses.
std::uint8_t step_at_least(std::span<const float> step_values, float scale, float v) {
  if (!(v > 0.0f)) return 0;
  // The largest value may be so small that `scale` is infinite.
  const float share = v * scale;
  int q = 255;
  if (share < 255.0f) {
    q = static_cast<int>(share);
    q += static_cast<float>(q) < share;
  }
  while (q < 255 && step_values[q] < v) ++q;
  while (q > 0 && step_values[q - 1] >= v) --q;
  return static_cast<std::uint8_t>(q);
}

#if TESSAVINE_X86_64
#define TESSAVINE_AVX2 __attribute__((target("avx2")))

// Exactly static_cast<float> of each u32 lane: both halves convert exactly,
// the high one's product with 2^16 is exact, and the sum rounds once.
TESSAVINE_AVX2 inline __m256 u32_to_float(__m256i x) {
  const __m256 high = _mm256_cvtepi32_ps(_mm256_srli_epi32(x, 16));
  const __m256 low = _mm256_cvtepi32_ps(_mm256_and_si256(x, _mm256_set1_epi32(0xFFFF)));
  return _mm256_add_ps(_mm256_mul_ps(high, _mm256_set1_ps(65536.0f)), low);
}

// Row m: the lanes whose bit is set in m, in order, then lane 7 as filler.
struct LaneTable {
  alignas(32) std::int32_t lanes[256][8];
};
constexpr LaneTable make_lane_table() {
  LaneTable t{};
  for (int m = 0; m < 256; ++m) {
    int k = 0;
    for (int j = 0; j < 8; ++j) {
      if (m >> j & 1) t.lanes[m][k++] = j;
    }
    for (; k < 8; ++k) t.lanes[m][k] = 7;
  }
  return t;
}
constexpr LaneTable kLaneTable = make_lane_table();

TESSAVINE_AVX2 inline __m256i lanes_of(unsigned mask) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneTable.lanes[mask]));
}

// Lanes from s on whose window is that of the lane s back take its
// largest contribution and parts too (`back` picks the lane s back).
TESSAVINE_AVX2 inline void fold_back(__m256i w, __m256i lane, __m256i back, int s, __m256& v, __m256i& p) {
  const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi32(_mm256_permutevar8x32_epi32(w, back), w),
                                        _mm256_cmpgt_epi32(lane, _mm256_set1_epi32(s - 1)));
  v = _mm256_blendv_ps(v, _mm256_max_ps(_mm256_permutevar8x32_ps(v, back), v), _mm256_castsi256_ps(same));
  p = _mm256_or_si256(p, _mm256_and_si256(_mm256_permutevar8x32_epi32(p, back), same));
}

// Eight postings at a time: their contributions with the formula's
// operations lane by lane, each lane's window and part, and then, within
// the eight, each window's largest contribution and parts so far, by
// doubling steps among the lanes of the same window (postings come in
// document order, so those lanes are adjacent). The last lane of each
// window's stretch, a segment, is packed to the front and the segments are
// stored as runs, eight lanes at once; only the first may go on with the
// run before, as a window's postings may span several groups of eight.
// Nothing branches on where a window ends.
TESSAVINE_AVX2 bool window_runs_avx2(const Bm25& bm25, const Bm25Constants& c, const PostingList& postings,
                                     float idf, WindowRuns& runs) {
  static_assert(kBoundWindow == 128 && kPart == 8, "windows and parts are taken by shifts");
  const std::byte* const data = postings.bytes();
  const std::size_t n = postings.size();
  const std::byte* const lengths = bm25.doc_lens();
  const __m256 k1 = _mm256_set1_ps(c.k1);
  const __m256 b = _mm256_set1_ps(c.b);
  const __m256 avgdl = _mm256_set1_ps(c.avgdl);
  const __m256 one_minus_b = _mm256_set1_ps(c.one_minus_b);
  const __m256 k1_plus_1 = _mm256_set1_ps(c.k1_plus_1);
  const __m256 idfs = _mm256_set1_ps(idf);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 largest = _mm256_set1_ps(std::numeric_limits<float>::max());
  const __m256i all = _mm256_set1_epi32(-1);
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  // The lane s back (the first lanes take lane 0, masked off) and one ahead.
  const __m256i back1 = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
  const __m256i back2 = _mm256_setr_epi32(0, 0, 0, 1, 2, 3, 4, 5);
  const __m256i back4 = _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 3);
  const __m256i ahead1 = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7);
  __m256 safe = _mm256_castsi256_ps(all);
  // The last run so far: its number (one below 0 before the first), and
  // its window, first posting, largest contribution and parts.
  std::size_t run = std::numeric_limits<std::size_t>::max();
  std::uint32_t window = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t first = 0;
  float value = 0.0f;
  std::uint32_t parts = 0;
  alignas(32) std::byte tail[64];
  for (std::size_t i = 0; i < n; i += 8) {
    const std::size_t valid = std::min<std::size_t>(8, n - i);
    const std::byte* group = data + 8 * i;
    if (valid < 8) {
      // The last few, padded with copies of the last posting, which add
      // nothing once their lanes are cleared below.
      for (std::size_t j = 0; j < 8; ++j) std::memcpy(tail + 8 * j, data + 8 * (i + std::min(j, valid - 1)), 8);
      group = tail;
    }
    if (i + kLengthsAhead + 8 <= n) {
      for (std::size_t j = 0; j < 8; ++j) bm25.prefetch_doc_len(postings.doc(i + kLengthsAhead + j));
    }
    // (doc, tf) pairs apart: the in-lane shuffles give postings 0 1 4 5 |
    // 2 3 6 7, put in order by 64-bit lanes.
    const __m256 low = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(group)));
    const __m256 high = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(group + 32)));
    const __m256i docs = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0x88)), 0xD8);
    const __m256i tfs = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0xDD)), 0xD8);
    const __m256i dls = _mm256_i32gather_epi32(reinterpret_cast<const int*>(lengths), docs, 4);
    const __m256 tf = u32_to_float(tfs);
    const __m256 dl = u32_to_float(dls);
    const __m256 denominator =
        _mm256_add_ps(_mm256_mul_ps(k1, _mm256_add_ps(one_minus_b, _mm256_div_ps(_mm256_mul_ps(b, dl), avgdl))), tf);
    __m256 v = _mm256_div_ps(_mm256_mul_ps(k1_plus_1, _mm256_mul_ps(idfs, tf)), denominator);
    __m256i p = _mm256_sllv_epi32(_mm256_set1_epi32(1), _mm256_and_si256(_mm256_srli_epi32(docs, 3), _mm256_set1_epi32(15)));
    if (valid < 8) {
      const __m256i real = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(valid)), lane);
      v = _mm256_and_ps(v, _mm256_castsi256_ps(real));
      p = _mm256_and_si256(p, real);
    }
    safe = _mm256_and_ps(safe, _mm256_and_ps(_mm256_cmp_ps(v, zero, _CMP_GE_OQ), _mm256_cmp_ps(v, largest, _CMP_LE_OQ)));
    const __m256i w = _mm256_srli_epi32(docs, 7);
    fold_back(w, lane, back1, 1, v, p);
    fold_back(w, lane, back2, 2, v, p);
    fold_back(w, lane, back4, 4, v, p);
    // A segment ends where the next lane's window differs, and at lane 7.
    const __m256i ends = _mm256_or_si256(_mm256_xor_si256(_mm256_cmpeq_epi32(_mm256_permutevar8x32_epi32(w, ahead1), w), all),
                                         _mm256_cmpeq_epi32(lane, _mm256_set1_epi32(7)));
    const auto end_mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(ends)));
    const unsigned start_mask = (end_mask << 1 | 1u) & 0xFFu;
    // The segments packed to the front, one lane each. The first may go on
    // with the last run, which then takes it in; each other one is a run of
    // its own. All eight lanes are stored, from the run the first segment
    // belongs to on: the lanes past the segments are written over later or
    // lie past the last run.
    const __m256i to_ends = lanes_of(end_mask);
    const __m256i seg_windows = _mm256_permutevar8x32_epi32(w, to_ends);
    // +0.0 for -0.0, as a run's largest contribution starts from +0.0.
    __m256 seg_values = _mm256_max_ps(_mm256_permutevar8x32_ps(v, to_ends), zero);
    __m256i seg_parts = _mm256_permutevar8x32_epi32(p, to_ends);
    __m256i seg_firsts = _mm256_add_epi32(lanes_of(start_mask), _mm256_set1_epi32(static_cast<int>(i)));
    const bool goes_on = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(seg_windows)) == window;
    const __m256i merge = _mm256_and_si256(_mm256_cmpeq_epi32(lane, _mm256_setzero_si256()),
                                           _mm256_set1_epi32(-static_cast<int>(goes_on)));
    seg_values = _mm256_blendv_ps(seg_values, _mm256_max_ps(seg_values, _mm256_set1_ps(value)), _mm256_castsi256_ps(merge));
    seg_parts = _mm256_or_si256(seg_parts, _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(parts)), merge));
    seg_firsts = _mm256_blendv_epi8(seg_firsts, _mm256_set1_epi32(static_cast<int>(first)), merge);
    const std::size_t at = run + 1 - static_cast<std::size_t>(goes_on);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(runs.windows + at), seg_windows);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(runs.firsts + at), seg_firsts);
    _mm256_storeu_ps(runs.values + at, seg_values);
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(seg_parts, seg_parts), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(runs.parts + at), _mm256_castsi256_si128(packed));
    run = at + static_cast<std::size_t>(std::popcount(end_mask)) - 1;
    window = runs.windows[run];
    first = runs.firsts[run];
    value = runs.values[run];
    parts = runs.parts[run];
  }
  runs.count = run + 1;  // 0 without postings
  return _mm256_movemask_ps(safe) == 0xFF;
}

// bound_steps eight at a time: the step from the share, as step_at_least
// finds it first, kept where both neighbouring step values confirm it; the
// few groups with a lane it misses take step_at_least.
TESSAVINE_AVX2 void bound_steps_avx2(const float* values, std::size_t count, std::span<const float> step_values,
                                     float scale, std::uint8_t* steps) {
  const __m256 scales = _mm256_set1_ps(scale);
  const __m256 top = _mm256_set1_ps(255.0f);
  const __m256 zero = _mm256_setzero_ps();
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i last = _mm256_set1_epi32(255);
  const __m256i none = _mm256_setzero_si256();
  const float* const table = step_values.data();
  std::size_t r = 0;
  for (; r + 8 <= count; r += 8) {
    const __m256 v = _mm256_loadu_ps(values + r);
    const __m256 share = _mm256_mul_ps(v, scales);
    const __m256 below = _mm256_cmp_ps(share, top, _CMP_LT_OQ);
    __m256i q = _mm256_cvttps_epi32(_mm256_and_ps(share, below));
    q = _mm256_sub_epi32(q, _mm256_castps_si256(_mm256_cmp_ps(_mm256_cvtepi32_ps(q), share, _CMP_LT_OQ)));
    q = _mm256_blendv_epi8(last, q, _mm256_castps_si256(below));
    const __m256 positive = _mm256_cmp_ps(v, zero, _CMP_GT_OQ);
    q = _mm256_and_si256(q, _mm256_castps_si256(positive));
    // Step q is right when its value reaches v (or q is the last) and the
    // one below does not (or q is the first).
    const __m256 at = _mm256_i32gather_ps(table, q, 4);
    const __m256 below_q = _mm256_i32gather_ps(table, _mm256_max_epi32(_mm256_sub_epi32(q, one), none), 4);
    const __m256 reaches = _mm256_or_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(q, last)), _mm256_cmp_ps(at, v, _CMP_GE_OQ));
    const __m256 first = _mm256_or_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(q, none)), _mm256_cmp_ps(below_q, v, _CMP_LT_OQ));
    const __m256 right = _mm256_or_ps(_mm256_andnot_ps(positive, _mm256_castsi256_ps(_mm256_set1_epi32(-1))),
                                      _mm256_and_ps(reaches, first));
    if (_mm256_movemask_ps(right) != 0xFF) {
      for (std::size_t j = r; j < r + 8; ++j) steps[j] = step_at_least(step_values, scale, values[j]);
      continue;
    }
    alignas(32) std::int32_t qs[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(qs), q);
    for (std::size_t j = 0; j < 8; ++j) steps[r + j] = static_cast<std::uint8_t>(qs[j]);
  }
  for (; r < count; ++r) steps[r] = step_at_least(step_values, scale, values[r]);
}

// The machine's answer, as the vector kernels have it (their AVX2 path also
// needs POPCNT, which every AVX2 processor has).
bool has_avx2() { return kernel_path_supported(KernelPath::Avx2); }
#endif  // TESSAVINE_X86_64

}  // namespace

bool window_runs_plain(const Bm25& bm25, const Bm25Constants& c, const PostingList& postings, float idf,
                       WindowRuns& runs) {
  // With usual parameters the postings of tf 1, nearly all of them, need
  // only their window's shortest document; the others are scored one by one.
  const bool usual = usual_parameters(c);
  const std::size_t n = postings.size();
  std::size_t count = 0;
  bool safe = true;
  for (std::size_t i = 0; i < n; ++count) {
    const std::uint32_t w = postings.doc(i) / kBoundWindow;
    const auto first = static_cast<std::uint32_t>(i);
    const std::uint64_t end = (std::uint64_t{w} + 1) * kBoundWindow;
    float most = 0.0f;
    std::uint32_t parts = 0;
    bool once = false;  // whether a document of the window holds the term once
    std::uint32_t shortest_once = 0;
    const auto take = [&](float v) {
      safe &= safe_contribution(v);
      most = std::max(most, v);
    };
    for (; i < n; ++i) {
      const Posting p = postings[i];
      if (p.doc >= end) break;
      if (i + kLengthsAhead < n) bm25.prefetch_doc_len(postings.doc(i + kLengthsAhead));
      parts |= part_bit(p.doc);
      if (usual && p.tf == 1) {
        const std::uint32_t length = bm25.doc_len(p.doc);
        shortest_once = once ? std::min(shortest_once, length) : length;
        once = true;
      } else {
        take(c.contribution(bm25, idf, p));
      }
    }
    if (once) take(c.contribution(idf, 1.0f, static_cast<float>(shortest_once)));
    runs.windows[count] = w;
    runs.firsts[count] = first;
    runs.values[count] = most;
    runs.parts[count] = static_cast<PartMask>(parts);
  }
  runs.count = count;
  return safe;
}

bool window_runs(const Bm25& bm25, const Bm25Constants& c, const PostingList& postings, float idf,
                 WindowRuns& runs) {
#if TESSAVINE_X86_64
  // The vector form gathers lengths by signed 32-bit indexes.
  if (has_avx2() && bm25.doc_count() <= std::uint32_t{std::numeric_limits<std::int32_t>::max()}) {
    return window_runs_avx2(bm25, c, postings, idf, runs);
  }
#endif
  return window_runs_plain(bm25, c, postings, idf, runs);
}

void set_step_values(float max, float* out) {
  for (int q = 0; q < 255; ++q) out[q] = max / 255.0f * static_cast<float>(q);
  out[255] = max;
}

void bound_steps_plain(const float* values, std::size_t count, std::span<const float> step_values,
                       std::uint8_t* steps) {
  const float scale = 255.0f / step_values[255];
  for (std::size_t r = 0; r < count; ++r) steps[r] = step_at_least(step_values, scale, values[r]);
}

void bound_steps(const float* values, std::size_t count, std::span<const float> step_values, std::uint8_t* steps) {
#if TESSAVINE_X86_64
  if (has_avx2()) return bound_steps_avx2(values, count, step_values, 255.0f / step_values[255], steps);
#endif
  bound_steps_plain(values, count, step_values, steps);
}

bool vector_bounds_supported() {
#if TESSAVINE_X86_64
  return has_avx2();
#else
  return false;
#endif
}

}  // namespace tessavine
