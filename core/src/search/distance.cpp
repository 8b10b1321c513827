#include "search/distance.h"

#include <algorithm>
#include <cstring>

#include "base/bits.h"

#if defined(__x86_64__)
#define TESSAVINE_X86_64 1
// GCC 12's AVX-512 headers build "undefined" registers from themselves, which
// -Wmaybe-uninitialized reports wherever such an intrinsic is inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace tessavine {
namespace {

// The ternary distance is formed in 64-bit signed arithmetic: with the
// dimension clamped here, dim - both + 2 * differ cannot overflow (both and
// differ count bits of memory that exists), and any clamped dimension is far
// above the largest distance kept.
constexpr std::uint64_t kDimClamp = std::uint64_t{1} << 62;

std::int64_t clamped_dim(std::size_t dim) {
  return static_cast<std::int64_t>(std::min<std::uint64_t>(dim, kDimClamp));
}

std::uint16_t ternary_value(std::size_t dim, std::int64_t both, std::int64_t differ) {
  const std::int64_t d = clamped_dim(dim) - both + 2 * differ;
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(d, 0, 65535));
}

// ---- Portable and POPCNT paths: 64-bit words, the last 0 to 7 bytes alone.

std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Instantiated with kHardware only inside functions compiled for POPCNT, where
// the builtin becomes the instruction once inlined.
template <bool kHardware>
[[gnu::always_inline]] inline std::uint64_t popcount64(std::uint64_t x) {
  if constexpr (kHardware) {
    return static_cast<std::uint64_t>(__builtin_popcountll(x));
  } else {
    return popcount_swar(x);
  }
}

template <bool kHardware>
[[gnu::always_inline]] inline std::uint64_t hamming_words(const std::uint8_t* a,
                                                          const std::uint8_t* b,
                                                          std::size_t bytes) {
  std::uint64_t count = 0;
  std::size_t j = 0;
  for (; j + 8 <= bytes; j += 8) count += popcount64<kHardware>(load_u64(a + j) ^ load_u64(b + j));
  for (; j < bytes; ++j) count += popcount64<kHardware>(static_cast<std::uint8_t>(a[j] ^ b[j]));
  return count;
}

template <bool kHardware>
[[gnu::always_inline]] inline std::uint16_t ternary_words(const std::uint8_t* qc,
                                                          const std::uint8_t* qm,
                                                          const std::uint8_t* dc,
                                                          const std::uint8_t* dm,
                                                          std::size_t bytes, std::size_t dim) {
  std::uint64_t both = 0, differ = 0;
  std::size_t j = 0;
  for (; j + 8 <= bytes; j += 8) {
    const std::uint64_t x = load_u64(qm + j) & load_u64(dm + j);
    both += popcount64<kHardware>(x);
    differ += popcount64<kHardware>(x & (load_u64(qc + j) ^ load_u64(dc + j)));
  }
  for (; j < bytes; ++j) {
    const std::uint8_t x = qm[j] & dm[j];
    both += popcount64<kHardware>(x);
    differ += popcount64<kHardware>(static_cast<std::uint8_t>(x & (qc[j] ^ dc[j])));
  }
  return ternary_value(dim, static_cast<std::int64_t>(both), static_cast<std::int64_t>(differ));
}

template <bool kHardware>
[[gnu::always_inline]] inline void hamming_scan_words(const std::uint8_t* q,
                                                      const std::uint8_t* codes, std::size_t n,
                                                      std::size_t bytes, std::uint16_t* out) {
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<std::uint16_t>(hamming_words<kHardware>(q, codes + i * bytes, bytes));
}

template <bool kHardware>
[[gnu::always_inline]] inline void ternary_scan_words(const std::uint8_t* qc,
                                                      const std::uint8_t* qm,
                                                      const std::uint8_t* codes,
                                                      const std::uint8_t* masks, std::size_t n,
                                                      std::size_t bytes, std::size_t dim,
                                                      std::uint16_t* out) {
  for (std::size_t i = 0; i < n; ++i)
    out[i] = ternary_words<kHardware>(qc, qm, codes + i * bytes, masks + i * bytes, bytes, dim);
}

void hamming_portable(const std::uint8_t* q, const std::uint8_t* codes, std::size_t n,
                      std::size_t bytes, std::uint16_t* out) {
  hamming_scan_words<false>(q, codes, n, bytes, out);
}

void ternary_portable(const std::uint8_t* qc, const std::uint8_t* qm, const std::uint8_t* codes,
                      const std::uint8_t* masks, std::size_t n, std::size_t bytes,
                      std::size_t dim, std::uint16_t* out) {
  ternary_scan_words<false>(qc, qm, codes, masks, n, bytes, dim, out);
}

#if TESSAVINE_X86_64

// The int8 dot product after its lane sums: lanes left to right, then the
// remainder from -0.0 in index order. Every vectorised path ends here.
float finish_dot(const float lanes[16], const float* q, const std::int8_t* codes, std::size_t dim) {
  float total = lanes[0];
  for (int l = 1; l < 16; ++l) total = total + lanes[l];
  const std::size_t tail = dim - dim % 16;
  if (tail == dim) return total;
  float rest = -0.0f;
  for (std::size_t j = tail; j < dim; ++j) rest = rest + q[j] * static_cast<float>(codes[j]);
  return total + rest;
}

#define TESSAVINE_POPCNT __attribute__((target("popcnt")))
#define TESSAVINE_AVX2 __attribute__((target("avx2,popcnt")))
#define TESSAVINE_AVX512 \
  __attribute__((target("avx2,avx512f,avx512vl,avx512vpopcntdq,popcnt")))

TESSAVINE_POPCNT void hamming_popcnt(const std::uint8_t* q, const std::uint8_t* codes,
                                     std::size_t n, std::size_t bytes, std::uint16_t* out) {
  hamming_scan_words<true>(q, codes, n, bytes, out);
}

TESSAVINE_POPCNT void ternary_popcnt(const std::uint8_t* qc, const std::uint8_t* qm,
                                     const std::uint8_t* codes, const std::uint8_t* masks,
                                     std::size_t n, std::size_t bytes, std::size_t dim,
                                     std::uint16_t* out) {
  ternary_scan_words<true>(qc, qm, codes, masks, n, bytes, dim, out);
}

// ---- 32-byte chunks, read by the AVX2 and AVX-512 paths.
//
// A code of B >= 32 bytes is read as its full 32-byte chunks plus, when B is
// not a multiple of 32, the 32 bytes ending at the code's end with the bytes
// already counted masked off. Bit counts do not depend on positions, so the
// query is read the same way, and nothing outside the code is touched.
// Shorter codes take the POPCNT loop.

// Byte j of the 32 bytes at kTailMask + t is 0xFF exactly when j >= 32 - t.
alignas(64) constexpr std::uint8_t kTailMask[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct Chunks32 {
  std::size_t full;  // whole 32-byte chunks
  std::size_t tail;  // bytes after them, 0 to 31
  std::size_t tail_offset;
};

Chunks32 chunks32(std::size_t bytes) {
  return {bytes / 32, bytes % 32, bytes - 32};
}

TESSAVINE_AVX2 inline __m256i load256(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Lane l of the result: the total of the four 64-bit lanes of the l-th input.
TESSAVINE_AVX2 inline __m256i sum_lanes4(__m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i ab = _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
  const __m256i cd = _mm256_add_epi64(_mm256_unpacklo_epi64(c, d), _mm256_unpackhi_epi64(c, d));
  return _mm256_add_epi64(_mm256_permute2x128_si256(ab, cd, 0x20),
                          _mm256_permute2x128_si256(ab, cd, 0x31));
}

// ---- AVX2 path: byte counts by nibble table lookup, widened to 64-bit lanes
// before they can overflow.

// Byte counts of 8 at most per chunk fit 31 chunks in a byte before a flush.
constexpr int kChunksPerFlush = 31;

TESSAVINE_AVX2 inline __m256i popcount_bytes(__m256i v) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1,
                                         2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_and_si256(v, nibble);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
  return _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
}

// Byte counts gathered over several chunks, flushed into 64-bit lanes.
struct Avx2Counter {
  __m256i bytes;
  __m256i lanes;
};

TESSAVINE_AVX2 inline void flush(Avx2Counter& c) {
  c.lanes = _mm256_add_epi64(c.lanes, _mm256_sad_epu8(c.bytes, _mm256_setzero_si256()));
  c.bytes = _mm256_setzero_si256();
}

TESSAVINE_AVX2 inline __m256i hamming_lanes_avx2(const std::uint8_t* q, const std::uint8_t* c,
                                                 const Chunks32& layout, __m256i tail_mask) {
  Avx2Counter count{_mm256_setzero_si256(), _mm256_setzero_si256()};
  int pending = 0;
  for (std::size_t k = 0; k < layout.full; ++k) {
    const __m256i x = _mm256_xor_si256(load256(q + 32 * k), load256(c + 32 * k));
    count.bytes = _mm256_add_epi8(count.bytes, popcount_bytes(x));
    if (++pending == kChunksPerFlush) {
      flush(count);
      pending = 0;
    }
  }
  if (layout.tail != 0) {
    const std::size_t at = layout.tail_offset;
    const __m256i x =
        _mm256_and_si256(_mm256_xor_si256(load256(q + at), load256(c + at)), tail_mask);
    count.bytes = _mm256_add_epi8(count.bytes, popcount_bytes(x));
  }
  flush(count);
  return count.lanes;
}

TESSAVINE_AVX2 void hamming_avx2(const std::uint8_t* q, const std::uint8_t* codes, std::size_t n,
                                 std::size_t bytes, std::uint16_t* out) {
  if (bytes < 32) return hamming_popcnt(q, codes, n, bytes, out);
  const Chunks32 layout = chunks32(bytes);
  const __m256i tail_mask = load256(kTailMask + layout.tail);
  alignas(32) std::uint64_t totals[4];
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::uint8_t* c = codes + i * bytes;
    const __m256i sums = sum_lanes4(hamming_lanes_avx2(q, c, layout, tail_mask),
                                    hamming_lanes_avx2(q, c + bytes, layout, tail_mask),
                                    hamming_lanes_avx2(q, c + 2 * bytes, layout, tail_mask),
                                    hamming_lanes_avx2(q, c + 3 * bytes, layout, tail_mask));
    _mm256_store_si256(reinterpret_cast<__m256i*>(totals), sums);
    for (int v = 0; v < 4; ++v) out[i + v] = static_cast<std::uint16_t>(totals[v]);
  }
  for (; i < n; ++i) {
    const __m256i zero = _mm256_setzero_si256();
    _mm256_store_si256(reinterpret_cast<__m256i*>(totals),
                       sum_lanes4(hamming_lanes_avx2(q, codes + i * bytes, layout, tail_mask),
                                  zero, zero, zero));
    out[i] = static_cast<std::uint16_t>(totals[0]);
  }
}

struct TernaryCounter {
  Avx2Counter both;
  Avx2Counter differ;
};

TESSAVINE_AVX2 inline void add_ternary_chunk(TernaryCounter& count, const std::uint8_t* qc,
                                             const std::uint8_t* qm, const std::uint8_t* dc,
                                             const std::uint8_t* dm, __m256i keep) {
  const __m256i x = _mm256_and_si256(_mm256_and_si256(load256(qm), load256(dm)), keep);
  const __m256i y = _mm256_and_si256(x, _mm256_xor_si256(load256(qc), load256(dc)));
  count.both.bytes = _mm256_add_epi8(count.both.bytes, popcount_bytes(x));
  count.differ.bytes = _mm256_add_epi8(count.differ.bytes, popcount_bytes(y));
}

TESSAVINE_AVX2 inline TernaryCounter ternary_lanes_avx2(const std::uint8_t* qc,
                                                        const std::uint8_t* qm,
                                                        const std::uint8_t* dc,
                                                        const std::uint8_t* dm,
                                                        const Chunks32& layout,
                                                        __m256i tail_mask) {
  const __m256i zero = _mm256_setzero_si256();
  TernaryCounter count{{zero, zero}, {zero, zero}};
  const __m256i all = _mm256_set1_epi8(-1);
  int pending = 0;
  for (std::size_t at = 0; at < 32 * layout.full; at += 32) {
    add_ternary_chunk(count, qc + at, qm + at, dc + at, dm + at, all);
    if (++pending == kChunksPerFlush) {
      flush(count.both);
      flush(count.differ);
      pending = 0;
    }
  }
  if (layout.tail != 0) {
    const std::size_t at = layout.tail_offset;
    add_ternary_chunk(count, qc + at, qm + at, dc + at, dm + at, tail_mask);
  }
  flush(count.both);
  flush(count.differ);
  return count;
}

TESSAVINE_AVX2 void ternary_avx2(const std::uint8_t* qc, const std::uint8_t* qm,
                                 const std::uint8_t* codes, const std::uint8_t* masks,
                                 std::size_t n, std::size_t bytes, std::size_t dim,
                                 std::uint16_t* out) {
  if (bytes < 32) return ternary_popcnt(qc, qm, codes, masks, n, bytes, dim, out);
  const Chunks32 layout = chunks32(bytes);
  const __m256i tail_mask = load256(kTailMask + layout.tail);
  const __m256i zero = _mm256_setzero_si256();
  alignas(32) std::uint64_t both[4], differ[4];
  for (std::size_t i = 0; i < n; i += 4) {
    TernaryCounter c[4];
    for (std::size_t v = 0; v < 4; ++v) {
      c[v] = i + v < n ? ternary_lanes_avx2(qc, qm, codes + (i + v) * bytes,
                                            masks + (i + v) * bytes, layout, tail_mask)
                       : TernaryCounter{{zero, zero}, {zero, zero}};
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(both),
                       sum_lanes4(c[0].both.lanes, c[1].both.lanes, c[2].both.lanes,
                                  c[3].both.lanes));
    _mm256_store_si256(reinterpret_cast<__m256i*>(differ),
                       sum_lanes4(c[0].differ.lanes, c[1].differ.lanes, c[2].differ.lanes,
                                  c[3].differ.lanes));
    for (std::size_t v = 0; v < 4 && i + v < n; ++v)
      out[i + v] = ternary_value(dim, static_cast<std::int64_t>(both[v]),
                                 static_cast<std::int64_t>(differ[v]));
  }
}

// ---- AVX-512 path: VPOPCNTDQ on 32-byte chunks read as in the AVX2 path.
// Full-width loads would be split across cache lines for nearly every code
// (the codes start 16 bytes into the file and are rarely a multiple of 64
// bytes long), and masked loads stream several times slower than plain ones
// on the machines measured, so 32-byte loads with the tail masked in the
// register scan faster.

TESSAVINE_AVX512 inline __m256i popcount_lanes(__m256i v) { return _mm256_popcnt_epi64(v); }

// (a ^ b) & m: 0xF0 is a, 0xCC is b, 0xAA is m.
TESSAVINE_AVX512 inline __m256i xor_and(__m256i a, __m256i b, __m256i m) {
  return _mm256_ternarylogic_epi64(a, b, m, 0x28);
}

// x & (c ^ d): 0xF0 is x, 0xCC is c, 0xAA is d.
TESSAVINE_AVX512 inline __m256i and_xor(__m256i x, __m256i c, __m256i d) {
  return _mm256_ternarylogic_epi64(x, c, d, 0x60);
}

// Per-vector 64-bit lane counts, four vectors reduced and stored at once:
// Hamming counts keep their low 16 bits; ternary lanes hold 2 * differ - both,
// to which the dimension is added before the clamp to 0..65535.
template <bool kTernary, class Lanes>
TESSAVINE_AVX512 void scan4(const Lanes& lanes, std::size_t n, std::size_t dim,
                            std::uint16_t* out) {
  const __m256i bias = _mm256_set1_epi64x(clamped_dim(dim));
  const __m256i zero = _mm256_setzero_si256();
  for (std::size_t i = 0; i < n; i += 4) {
    __m256i s[4];
    for (std::size_t v = 0; v < 4; ++v) s[v] = i + v < n ? lanes(i + v) : zero;
    __m256i totals = sum_lanes4(s[0], s[1], s[2], s[3]);
    __m128i packed;
    if constexpr (kTernary) {
      totals = _mm256_max_epi64(_mm256_add_epi64(totals, bias), zero);
      packed = _mm256_maskz_cvtusepi64_epi16(0xF, totals);
    } else {
      packed = _mm256_maskz_cvtepi64_epi16(0xF, totals);
    }
    if (i + 4 <= n) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), packed);
    } else {
      alignas(16) std::uint16_t last[8];
      _mm_store_si128(reinterpret_cast<__m128i*>(last), packed);
      std::copy(last, last + (n - i), out + i);
    }
  }
}

// Codes of 32 to 64 bytes: the chunk at 0 and the chunk ending at the code's
// end, the query's chunks held in registers.
struct HammingShort {
  __m256i q0, q1, keep1;
  const std::uint8_t* codes;
  std::size_t bytes;

  TESSAVINE_AVX512 __m256i operator()(std::size_t i) const {
    const std::uint8_t* c = codes + i * bytes;
    return _mm256_add_epi64(popcount_lanes(_mm256_xor_si256(q0, load256(c))),
                            popcount_lanes(xor_and(q1, load256(c + bytes - 32), keep1)));
  }
};

struct HammingLong {
  const std::uint8_t* q;
  const std::uint8_t* codes;
  std::size_t bytes;
  Chunks32 layout;
  __m256i tail_mask;

  TESSAVINE_AVX512 __m256i operator()(std::size_t i) const {
    const std::uint8_t* c = codes + i * bytes;
    __m256i acc = _mm256_setzero_si256();
    for (std::size_t at = 0; at < 32 * layout.full; at += 32) {
      const __m256i x = _mm256_xor_si256(load256(q + at), load256(c + at));
      acc = _mm256_add_epi64(acc, popcount_lanes(x));
    }
    const std::size_t at = layout.tail_offset;
    const __m256i x = xor_and(load256(q + at), load256(c + at), tail_mask);
    return _mm256_add_epi64(acc, popcount_lanes(x));
  }
};

// The query mask's tail chunk is masked once, so that both and differ of the
// bytes counted twice vanish without a per-vector mask.
struct TernaryShort {
  __m256i qc0, qm0, qc1, qm1;
  const std::uint8_t* codes;
  const std::uint8_t* masks;
  std::size_t bytes;

  TESSAVINE_AVX512 __m256i operator()(std::size_t i) const {
    const std::uint8_t* dc = codes + i * bytes;
    const std::uint8_t* dm = masks + i * bytes;
    const __m256i x0 = _mm256_and_si256(qm0, load256(dm));
    const __m256i x1 = _mm256_and_si256(qm1, load256(dm + bytes - 32));
    const __m256i y0 = and_xor(x0, qc0, load256(dc));
    const __m256i y1 = and_xor(x1, qc1, load256(dc + bytes - 32));
    const __m256i both = _mm256_add_epi64(popcount_lanes(x0), popcount_lanes(x1));
    const __m256i differ = _mm256_add_epi64(popcount_lanes(y0), popcount_lanes(y1));
    return _mm256_sub_epi64(_mm256_slli_epi64(differ, 1), both);
  }
};

TESSAVINE_AVX512 inline void add_ternary_lanes(__m256i& both, __m256i& differ,
                                               const std::uint8_t* qc, const std::uint8_t* qm,
                                               const std::uint8_t* dc, const std::uint8_t* dm,
                                               __m256i keep) {
  const __m256i x = _mm256_and_si256(_mm256_and_si256(load256(qm), keep), load256(dm));
  both = _mm256_add_epi64(both, popcount_lanes(x));
  differ = _mm256_add_epi64(differ, popcount_lanes(and_xor(x, load256(qc), load256(dc))));
}

struct TernaryLong {
  const std::uint8_t* qc;
  const std::uint8_t* qm;
  const std::uint8_t* codes;
  const std::uint8_t* masks;
  std::size_t bytes;
  Chunks32 layout;
  __m256i tail_mask;

  TESSAVINE_AVX512 __m256i operator()(std::size_t i) const {
    const std::uint8_t* dc = codes + i * bytes;
    const std::uint8_t* dm = masks + i * bytes;
    __m256i both = _mm256_setzero_si256(), differ = both;
    const __m256i all = _mm256_set1_epi8(-1);
    for (std::size_t at = 0; at < 32 * layout.full; at += 32)
      add_ternary_lanes(both, differ, qc + at, qm + at, dc + at, dm + at, all);
    const std::size_t at = layout.tail_offset;
    add_ternary_lanes(both, differ, qc + at, qm + at, dc + at, dm + at, tail_mask);
    return _mm256_sub_epi64(_mm256_slli_epi64(differ, 1), both);
  }
};

TESSAVINE_AVX512 void hamming_avx512(const std::uint8_t* q, const std::uint8_t* codes,
                                     std::size_t n, std::size_t bytes, std::uint16_t* out) {
  if (bytes < 32) return hamming_popcnt(q, codes, n, bytes, out);
  if (bytes <= 64) {
    const __m256i keep1 = load256(kTailMask + (bytes - 32));
    const HammingShort lanes{load256(q), load256(q + bytes - 32), keep1, codes, bytes};
    return scan4<false>(lanes, n, 0, out);
  }
  const Chunks32 layout = chunks32(bytes);
  scan4<false>(HammingLong{q, codes, bytes, layout, load256(kTailMask + layout.tail)}, n, 0, out);
}

TESSAVINE_AVX512 void ternary_avx512(const std::uint8_t* qc, const std::uint8_t* qm,
                                     const std::uint8_t* codes, const std::uint8_t* masks,
                                     std::size_t n, std::size_t bytes, std::size_t dim,
                                     std::uint16_t* out) {
  if (bytes < 32) return ternary_popcnt(qc, qm, codes, masks, n, bytes, dim, out);
  if (bytes <= 64) {
    const __m256i keep1 = load256(kTailMask + (bytes - 32));
    const TernaryShort lanes{load256(qc), load256(qm), load256(qc + bytes - 32),
                             _mm256_and_si256(load256(qm + bytes - 32), keep1), codes, masks,
                             bytes};
    return scan4<true>(lanes, n, dim, out);
  }
  const Chunks32 layout = chunks32(bytes);
  scan4<true>(TernaryLong{qc, qm, codes, masks, bytes, layout, load256(kTailMask + layout.tail)},
              n, dim, out);
}

// ---- The int8 dot product: the sixteen lanes are exactly the sixteen floats
// of one AVX-512 register, or two AVX2 registers; a separate multiply and add
// per lane keeps each lane's sum in its fixed order.

TESSAVINE_AVX2 float int8_dot_avx2(const float* q, const std::int8_t* codes, std::size_t dim) {
  __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
  for (std::size_t b = 0; b + 16 <= dim; b += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + b));
    const __m256 clo = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(c));
    const __m256 chi = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_unpackhi_epi64(c, c)));
    lo = _mm256_add_ps(lo, _mm256_mul_ps(_mm256_loadu_ps(q + b), clo));
    hi = _mm256_add_ps(hi, _mm256_mul_ps(_mm256_loadu_ps(q + b + 8), chi));
  }
  float lanes[16];
  _mm256_storeu_ps(lanes, lo);
  _mm256_storeu_ps(lanes + 8, hi);
  return finish_dot(lanes, q, codes, dim);
}

TESSAVINE_AVX512 float int8_dot_avx512(const float* q, const std::int8_t* codes,
                                       std::size_t dim) {
  __m512 acc = _mm512_setzero_ps();
  for (std::size_t b = 0; b + 16 <= dim; b += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + b));
    const __m512 cf = _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(c));
    acc = _mm512_add_ps(acc, _mm512_mul_ps(_mm512_loadu_ps(q + b), cf));
  }
  float lanes[16];
  _mm512_storeu_ps(lanes, acc);
  return finish_dot(lanes, q, codes, dim);
}

// The exhaustive scan, four rows at a time: each block of the query is loaded
// once for the four rows, and their eight lane registers give the adds enough
// independent chains to keep pace with the rows streaming in from memory. Each
// row's lanes take exactly the sums of the single-row kernel.

// t[l] holds lane l of the four rows in its low half and lane l + 4 in its
// high half.
TESSAVINE_AVX2 inline void transpose_rows(const __m256 v[4], __m256 t[4]) {
  const __m256 ab_lo = _mm256_unpacklo_ps(v[0], v[1]);  // a0 b0 a1 b1 | a4 b4 a5 b5
  const __m256 ab_hi = _mm256_unpackhi_ps(v[0], v[1]);  // a2 b2 a3 b3 | a6 b6 a7 b7
  const __m256 cd_lo = _mm256_unpacklo_ps(v[2], v[3]);
  const __m256 cd_hi = _mm256_unpackhi_ps(v[2], v[3]);
  t[0] = _mm256_shuffle_ps(ab_lo, cd_lo, 0x44);  // a0 b0 c0 d0 | a4 b4 c4 d4
  t[1] = _mm256_shuffle_ps(ab_lo, cd_lo, 0xEE);  // a1 b1 c1 d1 | a5 b5 c5 d5
  t[2] = _mm256_shuffle_ps(ab_hi, cd_hi, 0x44);
  t[3] = _mm256_shuffle_ps(ab_hi, cd_hi, 0xEE);
}

// The four rows' lane totals, each lanes 0 to 15 added left to right.
TESSAVINE_AVX2 inline __m128 lane_totals(const __m256 lo[4], const __m256 hi[4]) {
  __m256 t[8];
  transpose_rows(lo, t);
  transpose_rows(hi, t + 4);
  __m128 total = _mm256_castps256_ps128(t[0]);
  for (int l = 1; l < 16; ++l) {
    const __m256 v = t[(l / 8) * 4 + l % 4];
    total = _mm_add_ps(total, l % 8 < 4 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1));
  }
  return total;
}

TESSAVINE_AVX2 inline __m256 codes_as_floats(const std::int8_t* c) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c));
  return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes));
}

TESSAVINE_AVX2 void int8_dots_avx2(const float* q, const std::int8_t* codes, std::size_t n,
                                   std::size_t dim, float* out) {
  const std::size_t full = dim - dim % 16;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::int8_t* rows = codes + i * dim;
    // The rows a few kilobytes ahead are fetched while these are summed, so
    // that memory and arithmetic overlap (measured: 1.9 times the time of a
    // plain read of the rows without, 1.4 times with). A prefetch past the
    // end of the rows is a hint that never faults.
    for (std::size_t at = 0; at < 4 * dim; at += 64)
      _mm_prefetch(reinterpret_cast<const char*>(rows) + kPrefetchAhead + at, _MM_HINT_T0);
    __m256 lo[4], hi[4];
    for (int r = 0; r < 4; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
    for (std::size_t b = 0; b < full; b += 16) {
      const __m256 qlo = _mm256_loadu_ps(q + b), qhi = _mm256_loadu_ps(q + b + 8);
      for (int r = 0; r < 4; ++r) {
        const std::int8_t* c = rows + r * dim + b;
        lo[r] = _mm256_add_ps(lo[r], _mm256_mul_ps(qlo, codes_as_floats(c)));
        hi[r] = _mm256_add_ps(hi[r], _mm256_mul_ps(qhi, codes_as_floats(c + 8)));
      }
    }
    _mm_storeu_ps(out + i, lane_totals(lo, hi));
    if (full == dim) continue;
    for (int r = 0; r < 4; ++r) {
      const std::int8_t* c = rows + r * dim;
      float rest = -0.0f;
      for (std::size_t j = full; j < dim; ++j) rest = rest + q[j] * static_cast<float>(c[j]);
      out[i + r] = out[i + r] + rest;
    }
  }
  for (; i < n; ++i) out[i] = int8_dot_avx2(q, codes + i * dim, dim);
}

// ---- The integer pass of the exhaustive scan: codes widened to 16 bits and
// multiplied in pairs into 32-bit lanes, four rows per pass over the query.

TESSAVINE_AVX2 inline __m256i widened_codes(const std::int8_t* c) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)));
}

// Lane r of the result is the sum of the eight lanes of v[r].
TESSAVINE_AVX2 inline __m128i lane_sums4(const __m256i v[4]) {
  const __m256i ab = _mm256_hadd_epi32(v[0], v[1]);
  const __m256i cd = _mm256_hadd_epi32(v[2], v[3]);
  const __m256i abcd = _mm256_hadd_epi32(ab, cd);  // low half: lanes 0-3 of each; high: 4-7
  return _mm_add_epi32(_mm256_castsi256_si128(abcd), _mm256_extracti128_si256(abcd, 1));
}

TESSAVINE_AVX2 void int16_dots_avx2(const std::int16_t* q, const std::int8_t* codes,
                                    std::size_t n, std::size_t dim, std::int32_t* out) {
  const std::size_t full = dim - dim % 16;
  const auto rest = [&](const std::int8_t* row) {
    std::int32_t sum = 0;
    for (std::size_t j = full; j < dim; ++j) sum += q[j] * row[j];
    return sum;
  };
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::int8_t* rows = codes + i * dim;
    for (std::size_t at = 0; at < 4 * dim; at += 64)
      _mm_prefetch(reinterpret_cast<const char*>(rows) + kPrefetchAhead + at, _MM_HINT_T0);
    __m256i acc[4];
    for (__m256i& a : acc) a = _mm256_setzero_si256();
    for (std::size_t b = 0; b < full; b += 16) {
      const __m256i qv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + b));
      for (int r = 0; r < 4; ++r)
        acc[r] = _mm256_add_epi32(acc[r], _mm256_madd_epi16(qv, widened_codes(rows + r * dim + b)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), lane_sums4(acc));
    if (full != dim)
      for (int r = 0; r < 4; ++r) out[i + r] += rest(rows + r * dim);
  }
  for (; i < n; ++i) {
    const std::int8_t* row = codes + i * dim;
    __m256i acc[4];
    for (__m256i& a : acc) a = _mm256_setzero_si256();
    for (std::size_t b = 0; b < full; b += 16) {
      const __m256i qv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + b));
      acc[0] = _mm256_add_epi32(acc[0], _mm256_madd_epi16(qv, widened_codes(row + b)));
    }
    out[i] = _mm_cvtsi128_si32(lane_sums4(acc)) + rest(row);
  }
}

#endif  // TESSAVINE_X86_64

constexpr DistanceKernels kPortable{KernelPath::Portable,   hamming_portable,
                                    ternary_portable,       reference::int8_dot,
                                    reference::int8_dots,   reference::int16_dots};
#if TESSAVINE_X86_64
constexpr DistanceKernels kPopcnt{KernelPath::Popcnt,  hamming_popcnt,       ternary_popcnt,
                                  reference::int8_dot, reference::int8_dots, reference::int16_dots};
constexpr DistanceKernels kAvx2{KernelPath::Avx2, hamming_avx2,   ternary_avx2,
                                int8_dot_avx2,    int8_dots_avx2, int16_dots_avx2};
// The batched scans stream memory at the same rate with AVX2 registers, which
// every AVX-512 machine also has.
constexpr DistanceKernels kAvx512{KernelPath::Avx512, hamming_avx512, ternary_avx512,
                                  int8_dot_avx512,    int8_dots_avx2, int16_dots_avx2};
#endif

}  // namespace

std::string_view kernel_path_name(KernelPath path) {
  switch (path) {
    case KernelPath::Portable: return "portable";
    case KernelPath::Popcnt: return "popcnt";
    case KernelPath::Avx2: return "avx2";
    case KernelPath::Avx512: return "avx512";
  }
  return "unknown";
}

bool kernel_path_supported(KernelPath path) {
#if TESSAVINE_X86_64
  struct Features {
    bool popcnt, avx2, avx512;
  };
  // Asked once: the answers never change, and the initialisation is the only
  // write, made thread-safe by the language.
  static const Features cpu = [] {
    __builtin_cpu_init();
    const bool popcnt = __builtin_cpu_supports("popcnt");
    const bool avx2 = popcnt && __builtin_cpu_supports("avx2");
    return Features{popcnt, avx2,
                    avx2 && __builtin_cpu_supports("avx512f") &&
                        __builtin_cpu_supports("avx512vl") &&
                        __builtin_cpu_supports("avx512vpopcntdq")};
  }();
  switch (path) {
    case KernelPath::Portable: return true;
    case KernelPath::Popcnt: return cpu.popcnt;
    case KernelPath::Avx2: return cpu.avx2;
    case KernelPath::Avx512: return cpu.avx512;
  }
  return false;
#else
  return path == KernelPath::Portable;
#endif
}

const DistanceKernels* kernels_for(KernelPath path) {
  if (!kernel_path_supported(path)) return nullptr;
  switch (path) {
    case KernelPath::Portable: return &kPortable;
#if TESSAVINE_X86_64
    case KernelPath::Popcnt: return &kPopcnt;
    case KernelPath::Avx2: return &kAvx2;
    case KernelPath::Avx512: return &kAvx512;
#else
    default: return nullptr;
#endif
  }
  return nullptr;
}

const DistanceKernels& best_kernels() {
  static const DistanceKernels* const best = [] {
    for (auto it = kKernelPaths.rbegin(); it != kKernelPaths.rend(); ++it)
      if (const DistanceKernels* k = kernels_for(*it)) return k;
    return &kPortable;
  }();
  return *best;
}

namespace reference {

void hamming_distances(const std::uint8_t* query_code, const std::uint8_t* codes, std::size_t n,
                       std::size_t code_bytes, std::uint16_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* code = codes + i * code_bytes;
    std::uint64_t count = 0;
    for (std::size_t j = 0; j < code_bytes; ++j)
      for (unsigned bits = query_code[j] ^ code[j]; bits != 0; bits >>= 1) count += bits & 1;
    out[i] = static_cast<std::uint16_t>(count);
  }
}

void ternary_distances(const std::uint8_t* query_code, const std::uint8_t* query_mask,
                       const std::uint8_t* codes, const std::uint8_t* masks, std::size_t n,
                       std::size_t code_bytes, std::size_t dim, std::uint16_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* code = codes + i * code_bytes;
    const std::uint8_t* mask = masks + i * code_bytes;
    std::int64_t both = 0, differ = 0;
    for (std::size_t j = 0; j < code_bytes * 8; ++j) {
      const auto bit = [j](const std::uint8_t* p) { return (p[j / 8] >> (j % 8)) & 1; };
      if (bit(query_mask) && bit(mask)) {
        ++both;
        if (bit(query_code) != bit(code)) ++differ;
      }
    }
    const std::int64_t d = clamped_dim(dim) - both + 2 * differ;
    out[i] = static_cast<std::uint16_t>(std::clamp<std::int64_t>(d, 0, 65535));
  }
}

float int8_dot(const float* q, const std::int8_t* codes, std::size_t dim) {
  float lanes[16] = {};
  const std::size_t blocks = dim / 16;
  for (std::size_t b = 0; b < blocks; ++b)
    for (std::size_t l = 0; l < 16; ++l)
      lanes[l] = lanes[l] + q[16 * b + l] * static_cast<float>(codes[16 * b + l]);
  float total = lanes[0];
  for (std::size_t l = 1; l < 16; ++l) total = total + lanes[l];
  if (dim % 16 == 0) return total;
  float rest = -0.0f;
  for (std::size_t j = 16 * blocks; j < dim; ++j)
    rest = rest + q[j] * static_cast<float>(codes[j]);
  return total + rest;
}

void int8_dots(const float* q, const std::int8_t* codes, std::size_t n, std::size_t dim,
               float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = int8_dot(q, codes + i * dim, dim);
}

void int16_dots(const std::int16_t* q, const std::int8_t* codes, std::size_t n, std::size_t dim,
                std::int32_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    std::int64_t sum = 0;
    for (std::size_t j = 0; j < dim; ++j) sum += q[j] * codes[i * dim + j];
    out[i] = static_cast<std::int32_t>(sum);
  }
}

}  // namespace reference
}  // namespace tessavine
