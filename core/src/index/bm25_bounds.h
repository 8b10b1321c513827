// The score bounds of the pruned keyword search: why they hold to the bit,
// the windows and spans documents are grouped in, and what a term's bound
// keeps of its postings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/bits.h"
#include "formats/bm25.h"
#include "index/bm25_scoring.h"

namespace tessavine {

// Pruning. A document's score is the sum, in term order, of the
// contributions of the terms it holds: s = 0.0; s = s + c for each. With every
// contribution a finite number >= 0, float addition (rounded to nearest) never
// decreases when either operand grows, and skipping a term is the same as
// adding +0.0 to a sum that is never -0.0. So the same sum taken in the same
// order over values at least as large (a term's largest contribution in a
// stretch of documents, 0 for a term without postings there) bounds the score
// of every document of the stretch, rounding included. A document whose
// bound, paired with its number, is no better than the worst value the
// selection holds cannot enter the result: that worst value only improves as
// the search goes on. Terms with any NaN, infinite or negative contribution
// (odd stored k1 or b) break the argument and are scored exhaustively.

inline constexpr std::uint32_t kBoundWindow = 128;  // documents per window of a bound
inline constexpr std::uint32_t kWindowsPerSpan = 16;  // one bit each in a 16-bit mask
inline constexpr std::uint32_t kSpan = kWindowsPerSpan * kBoundWindow;  // documents scored together
// A window's parts: a window whose bound may reach the result is read only
// if one of its parts' bounds may too, each leaving out the terms without
// postings in the part.
using PartMask = std::uint16_t;  // bit j: part j of a window
inline constexpr std::uint32_t kPartsPerWindow = 16;  // one bit each in a PartMask
inline constexpr std::uint32_t kPart = kBoundWindow / kPartsPerWindow;  // documents per part

// The bit of a PartMask for the part of its window that holds `doc`.
inline std::uint32_t part_bit(std::uint32_t doc) { return 1u << (doc % kBoundWindow / kPart); }

inline std::size_t window_count(const Bm25& bm25) {
  return (std::size_t{bm25.doc_count()} + kBoundWindow - 1) / kBoundWindow;
}

// A term in at least a quarter as many documents as there are windows keeps a
// bound, a start and the parts holding postings per window holding any, and
// a few figures per span (at most 7 bytes per posting, and 1 KiB); a rarer one
// is scored whole by each search, which costs about as much as reading such
// bounds.
inline bool is_dense(std::size_t df, std::size_t windows) { return df * 4 >= windows; }

// Whether the stored parameters keep every contribution a finite number >= 0
// that, for a given tf >= 1, falls as the document grows: k1 >= 0,
// 0 <= b <= 1, and sizes for which no step of the formula overflows. Each
// float operation of the formula then rounds monotonically, so the shortest
// document holding the term once has the largest contribution of all such
// documents, to the bit.
inline bool usual_parameters(const Bm25Constants& c) {
  return c.k1 >= 0.0f && c.k1 <= 1e20f && c.b >= 0.0f && c.b <= 1.0f && c.avgdl >= 1e-3f &&
         c.avgdl <= 1e30f;
}

inline constexpr std::uint32_t kSpansPerBlock = 8;  // spans whose figures count from one base

struct TermBound {
  // Every contribution is a finite number not below zero, so adding one to a
  // score never lowers it. Pruning is only sound over such terms.
  bool safe = true;
  float max = 0.0f;  // the largest contribution
  std::span<const float> step_values;  // 256 of them, rising; the last is max itself
  // Dense terms, per window holding postings (a run of them, as postings
  // come in document order): the step whose value bounds its contributions
  // (a window without postings has none, and bounds its documents by 0.0),
  // its first posting counted from its block's, and which of its parts hold
  // any (bit j: its part j). A block of kSpansPerBlock spans holds at most
  // that many times kSpan postings of a term, so 16 bits hold the count. A
  // part without the term's postings has no contribution of it, so the
  // window's bound less this term's share bounds its documents.
  std::span<const std::uint8_t> run_steps;
  std::span<const std::uint16_t> run_offsets;
  std::span<const PartMask> run_parts;
  // Dense terms, per span of kWindowsPerSpan windows: which windows hold
  // postings (bit w: its window w), the largest of their steps, and the
  // number of runs before the span and the first posting of a document in
  // the span or later, both counted from those of its block (these two with
  // one more entry, past the last span).
  std::span<const std::uint16_t> span_windows;
  std::span<const std::uint8_t> span_steps;
  std::span<const std::uint8_t> span_runs_in_block;
  std::span<const std::uint16_t> span_starts_in_block;
  // Dense terms, per block of kSpansPerBlock spans, up to the block of the
  // entry past the last span: the number of runs before it and the first
  // posting of a document in it or later. Counting a span's figures from
  // these keeps a bound at 5 bytes per window holding postings and 7 per
  // span.
  std::span<const std::uint32_t> block_runs;
  std::span<const std::uint32_t> block_starts;
  // What the figures above lie in: one allocation, as each costs a first
  // search a visit to the allocator with its caches cold.
  std::unique_ptr<std::byte[]> storage;

  // The number of spans whose figures are kept.
  std::size_t spans() const { return span_steps.size(); }
  // The number of runs before span s (s <= spans()).
  std::size_t span_runs(std::size_t s) const {
    return block_runs[s / kSpansPerBlock] + span_runs_in_block[s];
  }
  // The first posting of a document in span s or later (s <= spans()).
  std::size_t span_start(std::size_t s) const {
    return block_starts[s / kSpansPerBlock] + span_starts_in_block[s];
  }
  // The run of window w of span s, or of the first window after it in the
  // span that holds postings, if any.
  std::size_t run_at(std::size_t s, std::uint32_t w) const {
    return span_runs(s) + popcount_swar(span_windows[s] & ((1u << w) - 1));
  }
  // The first posting of run r of span s, or, past the span's last run, of
  // the next span holding postings: run r's postings end where run r + 1's
  // begin.
  std::size_t run_first(std::size_t s, std::size_t r) const {
    return r < span_runs(s + 1) ? block_starts[s / kSpansPerBlock] + run_offsets[r] : span_start(s + 1);
  }
  // The first posting of a document in window w of span s or later.
  std::size_t start_at(std::size_t s, std::uint32_t w) const { return run_first(s, run_at(s, w)); }
};

// The first posting at or after `from` whose document is `doc` or later:
// galloping, so nearby targets cost few reads and far ones a logarithm.
template <class Docs>
std::size_t seek(const Docs& docs, std::size_t size, std::size_t from, std::uint32_t doc) {
  std::size_t lo = from;
  std::size_t hi = from;
  std::size_t step = 1;
  while (hi < size && docs(hi) < doc) {
    lo = hi + 1;
    hi += step;
    step *= 2;
  }
  hi = std::min(hi, size);
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (docs(mid) < doc) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace tessavine
