// The pruned keyword search: documents are visited span by span, and those
// whose bound cannot reach the k best so far are passed over unscored.
#include <algorithm>
#include <bit>
#include <climits>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "index/bm25_bounds.h"
#include "index/bm25_scoring.h"
#include "index/bm25_search.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessavine {
namespace {

constexpr std::size_t kMaxPrunedTerms = 128;  // terms of one document fit a 128-bit mask
constexpr std::size_t kPrimingSpans = 32;
constexpr std::size_t kPrimingWindows = 32;
// Non-essential terms are passed over in a span only when they hold this many
// times as many of its postings as the others.
constexpr std::size_t kSkipFactor = 4;
// A posting lookup costs about as much as reading this many postings.
constexpr std::size_t kLookupPostings = 4;
// The figures of the spans this far ahead are asked for during a scan.
constexpr std::size_t kSpansAhead = 8;
// Document lengths in a cache line.
constexpr std::uint32_t kLengthsPerLine = 16;
// Widens a sum of bounds taken in another order than scoring's term order,
// which may round below it; the smallest normal float is added for sums near
// zero. Two orders of n values >= 0 each round n - 1 times, by at most 2^-24
// each, so their sums differ by less than 2 (n - 1) 2^-24 relatively: 254 of
// those for 128 terms, below the margin's 256 less the one its own product
// may lose.
constexpr float kBoundMargin = 1.0f + 1.0f / 65536.0f;
static_assert(2 * (kMaxPrunedTerms - 1) < 255, "a wider query needs a wider margin");

// One query term. A dense one is read in place, with its bound from the
// reader's cache; a sparse one is scored whole up front, which also gives
// its exact largest contribution per window, so it needs no bound. A dense
// term whose bound no search has made yet may be deferred: it then has no
// windows, only a ceiling above every contribution it can give, and is only
// ever looked up.
struct Term {
  PostingList postings;
  const TermBound* bound;  // dense only
  float idf;
  bool dense;
  std::vector<std::uint32_t> docs;   // sparse: every posting's document
  std::vector<float> contributions;  // sparse: and its contribution
  std::size_t pos = 0;               // the next posting to look at
  float most = 0.0f;                 // not deferred: its largest contribution
  float ceiling = 0.0f;              // deferred: above all its contributions

  bool deferred() const { return dense && bound == nullptr; }
};

// Whether the stored parameters allow deferring terms: besides the usual
// ones, k1 and 1 - b far enough from 0 that every denominator of the formula
// is positive, so that no contribution can be NaN and none reaches
// (k1 + 1) idf.
bool may_defer(const Bm25Constants& c) { return usual_parameters(c) && c.k1 >= 1e-3f && c.b <= 0.999f; }

// Above every contribution of a term with this idf, when may_defer holds:
// k1_plus_1 * (idf * tf) / (k1 * (...) + tf) stays below k1_plus_1 * idf,
// and the margin covers the formula's few roundings and this product's.
float ceiling_of(const Bm25Constants& c, float idf) {
  return c.k1_plus_1 * idf * (1.0f + 1.0f / 1048576.0f) + std::numeric_limits<float>::min();
}

// A sum per part of a window, each starting at 0.0: add(v, held) adds v to
// those of the parts whose bit is set in `held` and +0.0 to the others.
class PartSums {
 public:
#if defined(__SSE2__)
  void add(float v, std::uint32_t held) {
    const __m128 value = _mm_set1_ps(v);
    for (std::uint32_t q = 0; q < kQuarters; ++q) {
      sums_[q] = _mm_add_ps(sums_[q], _mm_and_ps(value, lanes(held >> 4 * q & 15u)));
    }
  }
  // The largest sum; none is NaN.
  float most() const {
    __m128 m = sums_[0];
    for (std::uint32_t q = 1; q < kQuarters; ++q) m = _mm_max_ps(m, sums_[q]);
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtss_f32(m);
  }

 private:
  static constexpr std::uint32_t kQuarters = kPartsPerWindow / 4;  // vectors of four parts
  static_assert(kPartsPerWindow % 4 == 0);
  // All ones in lane j when bit j of the four is set.
  static __m128 lanes(std::uint32_t four) {
    const __m128i bits = _mm_set_epi32(8, 4, 2, 1);
    const __m128i set = _mm_and_si128(_mm_set1_epi32(static_cast<int>(four)), bits);
    return _mm_castsi128_ps(_mm_cmpeq_epi32(set, bits));
  }
  __m128 sums_[kQuarters] = {};
#else
  void add(float v, std::uint32_t held) {
    for (std::uint32_t j = 0; j < kPartsPerWindow; ++j) sums_[j] = sums_[j] + (held >> j & 1u ? v : 0.0f);
  }
  float most() const { return *std::max_element(sums_, sums_ + kPartsPerWindow); }

 private:
  float sums_[kPartsPerWindow] = {};
#endif
};

// Spans of kSpan documents, each with a bound (the sum in term order of each
// term's bound over the span). The best few spans go first, so that the
// selection fills with good scores early, then the others in order; a span
// whose bound falls short is passed over, and in the others only the windows
// whose own bound, and the bound of one of their parts, may still lift a
// document into the result are read. In a span, terms that cannot lift a
// document into the result on their own (the non-essential ones) are not
// read through when they hold many more of its postings than the others:
// only the documents of the others are looked up in them. `Mask` holds a bit
// per query term for each document: a search of a few terms keeps a narrow
// one, which is quicker to clear.
template <class Mask>
class PrunedSearch {
  static constexpr std::size_t kTerms = sizeof(Mask) * CHAR_BIT;

 public:
  // With `complete`, every document kept in the selection that holds every
  // term is noted there, in no particular order.
  PrunedSearch(const Bm25& bm25, const Bm25Constants& c, std::vector<Term>& terms, std::size_t k,
               std::size_t expected, std::vector<std::uint32_t>* complete)
      : bm25_(bm25),
        c_(c),
        terms_(terms),
        every_(terms.size() == kTerms ? static_cast<Mask>(~Mask{0}) : static_cast<Mask>((Mask{1} << terms.size()) - 1)),
        complete_(complete),
        selection_(k, expected),
        present_(kSpan, 0),
        bound_(std::make_unique_for_overwrite<float[]>(kSpan)),
        contribution_(std::make_unique_for_overwrite<float[]>(terms_.size() * kSpan)) {
    std::size_t deferred_postings = 0;
    for (std::size_t i = 0; i < terms_.size(); ++i) {
      if (!terms_[i].deferred()) continue;
      deferred_ = static_cast<Mask>(deferred_ | Mask{1} << i);
      deferred_postings += terms_[i].postings.size();
    }
    if (deferred_ != 0) lookup_budget_ = deferred_postings / kLookupPostings;
  }

  // The k best, or nothing when deferred terms might have held some of them
  // (documents holding only deferred terms are passed over, which is sound
  // only if the k-th best beats every such document) or when looking them
  // up has cost more than making their bounds would.
  std::optional<std::vector<Scored>> run() && {
    const std::size_t windows = window_count(bm25_);
    const std::size_t spans = (windows + kWindowsPerSpan - 1) / kWindowsPerSpan;
    std::vector<float> bounds(spans, 0.0f);
    for (const Term& t : terms_) {
      if (t.deferred()) {
        for (std::size_t s = 0; s < spans; ++s) bounds[s] = bounds[s] + t.ceiling;
        continue;
      }
      if (t.dense) {
        for (std::size_t s = 0; s < spans; ++s) {
          bounds[s] = bounds[s] + t.bound->step_values[t.bound->span_steps[s]];
        }
        continue;
      }
      for (std::size_t j = 0; j < t.docs.size();) {
        const std::size_t s = t.docs[j] / kSpan;
        float m = 0.0f;
        for (; j < t.docs.size() && t.docs[j] / kSpan == s; ++j) m = std::max(m, t.contributions[j]);
        bounds[s] = bounds[s] + m;
      }
    }
    // The best windows of the best spans go first, each span's together, so
    // that the selection holds good scores early.
    std::vector<std::uint32_t> best(std::min(kPrimingSpans, spans));
    std::vector<std::uint32_t> order(spans);
    for (std::size_t s = 0; s < spans; ++s) order[s] = static_cast<std::uint32_t>(s);
    std::partial_sort_copy(order.begin(), order.end(), best.begin(), best.end(),
                           [&](std::uint32_t a, std::uint32_t b) {
                             return better({bounds[a], a}, {bounds[b], b});
                           });
    std::vector<Scored> first;  // (bound, window number)
    first.reserve(best.size() * kWindowsPerSpan);
    for (const std::uint32_t s : best) {
      float window_bounds[kWindowsPerSpan];
      for (Term& t : terms_) t.pos = 0;
      bound_windows(s, window_bounds);
      for (std::uint32_t w = 0; w < kWindowsPerSpan; ++w) {
        first.push_back({window_bounds[w], s * kWindowsPerSpan + w});
      }
    }
    const std::size_t primed = std::min(first.size(), kPrimingWindows);
    std::nth_element(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(primed), first.end(), BestFirst{});
    first.resize(primed);
    std::sort(first.begin(), first.end(), BestFirst{});
    std::vector<std::uint16_t> pending(spans, 0);
    for (const Scored& w : first) pending[w.id / kWindowsPerSpan] |= static_cast<std::uint16_t>(1u << w.id % kWindowsPerSpan);
    done_.assign(spans, 0);
    for (const Scored& w : first) {
      if (!selection_.would_keep(w.id * kBoundWindow, w.score)) break;
      const std::uint32_t s = w.id / kWindowsPerSpan;
      if (pending[s] == 0) continue;  // scored with a better window of its span
      for (Term& t : terms_) t.pos = 0;
      float window_bounds[kWindowsPerSpan];
      bound_windows(s, window_bounds);
      std::uint16_t live = 0;
      for (std::uint32_t rest = pending[s]; rest != 0; rest &= rest - 1) {
        const auto v = static_cast<std::uint32_t>(std::countr_zero(rest));
        if (selection_.would_keep(s * kSpan + v * kBoundWindow, window_bounds[v])) live |= static_cast<std::uint16_t>(1u << v);
      }
      pending[s] = 0;
      if (live != 0) score_span(s, live);
      done_[s] = live;
    }
    for (Term& t : terms_) t.pos = 0;
    for (std::uint32_t s = 0; s < spans; ++s) {
      // A cache line holds at least four spans' worth of each figure.
      if (s % 4 == 0 && s + kSpansAhead < spans) prefetch_figures(s + kSpansAhead);
      visit(s, bounds[s]);
      // Deferring costs more than making the bounds would.
      if (lookups_ > lookup_budget_) return std::nullopt;
    }
    if (deferred_ != 0) {
      // A document holding only deferred terms scores at most their
      // ceilings' sum in term order.
      float most = 0.0f;
      for (const Term& t : terms_) {
        if (t.deferred()) most = most + t.ceiling;
      }
      if (selection_.would_keep(0, most)) return std::nullopt;
    }
    return std::move(selection_).finish();
  }

 private:
  // bounds[w]: the sum in term order of each term's bound in window w of span
  // s, and own_[i][w] term i's own bound there (and held_[i][w], for a
  // sparse term, the parts holding its postings). Moves each sparse term's
  // pos, which must not lie past the span's first posting, to it. Kept
  // inline in run, which calls it for every span it visits: with two widths
  // of masks the compiler would otherwise call it, 5% slower over the corpus
  // queries.
  [[gnu::always_inline]] void bound_windows(std::uint32_t s, float* bounds) {
    const std::uint32_t s0 = s * kSpan;
    const std::uint64_t s1 = std::uint64_t{s0} + kSpan;
    std::fill(bounds, bounds + kWindowsPerSpan, 0.0f);
    for (std::size_t i = 0; i < terms_.size(); ++i) {
      Term& t = terms_[i];
      float* const own = own_[i];
      if (t.deferred()) {
        std::fill(own, own + kWindowsPerSpan, t.ceiling);
      } else if (t.dense) {
        // A window without postings adds 0.0.
        const TermBound& b = *t.bound;
        const std::uint8_t* steps = b.run_steps.data() + b.span_runs(s);
        const float* const values = b.step_values.data();
        std::fill(own, own + kWindowsPerSpan, 0.0f);
        for (std::uint32_t rest = b.span_windows[s]; rest != 0; rest &= rest - 1) {
          own[std::countr_zero(rest)] = values[*steps++];
        }
      } else {
        std::fill(own, own + kWindowsPerSpan, 0.0f);
        PartMask* const held = held_[i];
        std::fill(held, held + kWindowsPerSpan, PartMask{0});
        t.pos = seek([&](std::size_t j) { return t.docs[j]; }, t.docs.size(), t.pos, s0);
        for (std::size_t j = t.pos; j < t.docs.size() && t.docs[j] < s1; ++j) {
          const std::uint32_t w = (t.docs[j] - s0) / kBoundWindow;
          own[w] = std::max(own[w], t.contributions[j]);
          held[w] = static_cast<PartMask>(held[w] | part_bit(t.docs[j]));
        }
      }
      // A window without the term adds +0.0, as skipping it would.
      for (std::uint32_t w = 0; w < kWindowsPerSpan; ++w) bounds[w] = bounds[w] + own[w];
    }
  }

  // Asks for what the dense terms keep of span s, so that it arrives while
  // the spans before are scored: a stream per term and figure is more than
  // the hardware prefetcher follows.
  void prefetch_figures(std::size_t s) const {
    for (const Term& t : terms_) {
      if (!t.dense || t.deferred()) continue;
      const TermBound& b = *t.bound;
      __builtin_prefetch(&b.span_starts_in_block[s]);
      __builtin_prefetch(&b.span_windows[s]);
      const std::size_t r = b.span_runs(s);
      if (r < b.run_offsets.size()) {
        __builtin_prefetch(&b.run_steps[r]);
        __builtin_prefetch(&b.run_offsets[r]);
        __builtin_prefetch(&b.run_parts[r]);
      }
    }
  }

  // Scores span s unless its bound falls short; then only its live windows,
  // those not scored yet. Each term's pos must not lie past the span's first
  // posting.
  void visit(std::uint32_t s, float span_bound) {
    const std::uint32_t s0 = s * kSpan;
    // No document of a span or window numbers below its first.
    if (!selection_.would_keep(s0, span_bound)) return;
    float bounds[kWindowsPerSpan];
    bound_windows(s, bounds);
    std::uint32_t live = 0;
    for (std::uint32_t w = 0; w < kWindowsPerSpan; ++w) {
      if (selection_.would_keep(s0 + w * kBoundWindow, bounds[w])) live |= 1u << w;
    }
    live &= ~static_cast<std::uint32_t>(done_[s]);
    live = live_parts(s, live);
    // The live windows' document lengths, which collecting reads in an order
    // of its own, are asked for before the postings that lead to them.
    for (std::uint32_t rest = live; rest != 0; rest &= rest - 1) {
      const std::uint32_t first = s0 + static_cast<std::uint32_t>(std::countr_zero(rest)) * kBoundWindow;
      for (std::uint32_t d = 0; d < kBoundWindow; d += kLengthsPerLine) bm25_.prefetch_doc_len(first + d);
    }
    if (live != 0) score_span(s, static_cast<std::uint16_t>(live));
  }

  // The windows among `live` of span s (right after bound_windows of it)
  // with a part whose own bound may still lift a document into the result:
  // the same sums in term order as the window's bound, less the shares of
  // the terms without postings in the part, which add +0.0 there as
  // skipping them would (a deferred term may hold any document). The parts'
  // sums are taken side by side, and their largest is set against the
  // window's first document.
  std::uint32_t live_parts(std::uint32_t s, std::uint32_t live) const {
    const std::uint32_t s0 = s * kSpan;
    std::uint32_t kept = 0;
    for (std::uint32_t rest = live; rest != 0; rest &= rest - 1) {
      const auto w = static_cast<std::uint32_t>(std::countr_zero(rest));
      PartSums sums;
      for (std::size_t i = 0; i < terms_.size(); ++i) {
        const Term& t = terms_[i];
        std::uint32_t held = (1u << kPartsPerWindow) - 1;
        if (!t.dense) {
          held = held_[i][w];
        } else if (!t.deferred()) {
          const TermBound& b = *t.bound;
          held = (b.span_windows[s] >> w & 1u) != 0 ? b.run_parts[b.run_at(s, w)] : 0u;
        }
        sums.add(own_[i][w], held);
      }
      if (selection_.would_keep(s0 + w * kBoundWindow, sums.most())) kept |= 1u << w;
    }
    return kept;
  }

  // The terms no document can enter the result with alone (MaxScore): the
  // lowest-bounded terms of the span, as many as stay out together, their
  // bounds in the live windows summed. A document is then looked at only
  // when it holds one of the others. Deferred terms are always out; the
  // others join them only while all together stay out. The sum grows term by
  // term in the order they join, not in term order, in which a document's
  // score adds them and may round a few units in the last place higher: the
  // margin covers that.
  Mask non_essential(std::uint32_t s0, std::uint16_t live) const {
    const std::size_t n = terms_.size();
    float most[kTerms];
    std::uint32_t order[kTerms];
    for (std::size_t i = 0; i < n; ++i) {
      most[i] = 0.0f;
      for (std::uint32_t w = 0; w < kWindowsPerSpan; ++w) {
        if (live >> w & 1) most[i] = std::max(most[i], own_[i][w]);
      }
      order[i] = static_cast<std::uint32_t>(i);
    }
    std::sort(order, order + n, [&](std::uint32_t a, std::uint32_t b) { return most[a] < most[b]; });
    Mask out = deferred_;
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
      if (out >> i & 1) sum = sum + most[i];
    }
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint32_t i = order[k];
      if (out >> i & 1) continue;
      const float with = sum + most[i];
      if (selection_.would_keep(s0, with * kBoundMargin + std::numeric_limits<float>::min())) break;
      sum = with;
      out = static_cast<Mask>(out | Mask{1} << i);
    }
    return out;
  }

  // Scores the documents holding a query term in the live windows of the
  // span (bit i: its window i) that may still enter the result, right after
  // bound_windows of the span.
  void score_span(std::uint32_t span, std::uint16_t live) {
    const std::size_t n = terms_.size();
    const std::uint32_t s0 = span * kSpan;
    const auto s1 = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{s0} + kSpan, bm25_.doc_count()));
    const auto& own = own_;
    Mask outside = non_essential(s0, live);
    if (outside != deferred_ && !worth_skipping(outside)) outside = deferred_;
    // In a live window every document starts without terms and with a bound
    // of 0.0, as a score starts.
    for (std::uint32_t rest = live; rest != 0; rest &= rest - 1) {
      const std::uint32_t first = static_cast<std::uint32_t>(std::countr_zero(rest)) * kBoundWindow;
      clear_window(&present_[first], &bound_[first]);
    }
    // Each dense essential term's first postings in the span are fetched
    // together, rather than one term's after another's.
    for (std::size_t i = 0; i < n; ++i) {
      const Term& t = terms_[i];
      if (outside >> i & 1 || !t.dense) continue;
      const std::uint32_t held = live & t.bound->span_windows[span];
      if (held != 0) t.postings.prefetch(t.bound->start_at(span, static_cast<std::uint32_t>(std::countr_zero(held))));
    }
    // The documents of the essential terms, each with the sum in term order
    // of those terms' contributions. With every term essential, that is the
    // score itself.
    for (std::size_t i = 0; i < n; ++i) {
      if (outside >> i & 1) continue;  // looked up below
      if (terms_[i].dense) {
        collect_dense(i, span, live);
      } else {
        collect_sparse(i, s0, s1, live);
      }
    }
    // The non-essential terms' bounds per window, summed in term order. Added
    // to an essential sum in one step rather than in term order, the total
    // may round below the term-order sum by a few units in the last place:
    // the margin covers that, and the smallest normal float values near 0.
    float outside_bound[kWindowsPerSpan] = {};
    for (std::size_t i = 0; i < n; ++i) {
      if (!(outside >> i & 1)) continue;
      for (std::uint32_t w = 0; w < kWindowsPerSpan; ++w) outside_bound[w] = outside_bound[w] + own[i][w];
    }
    for (std::uint32_t rest = live; rest != 0; rest &= rest - 1) {
      const std::uint32_t w = static_cast<std::uint32_t>(std::countr_zero(rest));
      float* const bound = &bound_[w * kBoundWindow];
      if (outside != 0) {
        const float extra = outside_bound[w];
        for (std::uint32_t a = 0; a < kBoundWindow; ++a) {
          bound[a] = (bound[a] + extra) * kBoundMargin + std::numeric_limits<float>::min();
        }
      }
      // Most documents fall short of the selection's floor; they are told
      // apart 64 at a time.
      for (std::uint32_t group = 0; group < kBoundWindow; group += 64) {
        for (std::uint64_t bits = at_least(bound + group, selection_.floor()); bits != 0; bits &= bits - 1) {
          const std::uint32_t at = w * kBoundWindow + group + static_cast<std::uint32_t>(std::countr_zero(bits));
          const Mask present = present_[at];
          const std::uint32_t doc = s0 + at;
          if (present == 0 || !selection_.would_keep(doc, bound_[at])) continue;
          if (outside == 0) {
            keep(doc, bound_[at], present);
            continue;
          }
          // The score itself, with exactly the additions of the exhaustive
          // forms; the non-essential terms' postings are looked up.
          float score = 0.0f;
          Mask held = present;
          for (std::size_t i = 0; i < n; ++i) {
            if (present >> i & 1) {
              score = score + contribution_[i * kSpan + at];
            } else if (outside >> i & 1) {
              Term& t = terms_[i];
              lookups_ += deferred_ >> i & 1;
              if (!seek_term(t, doc)) continue;
              held = static_cast<Mask>(held | Mask{1} << i);
              score = score + (t.dense ? c_.contribution(bm25_, t.idf, t.postings[t.pos]) : t.contributions[t.pos]);
            }
          }
          if (selection_.would_keep(doc, score)) keep(doc, score, held);
        }
      }
    }
  }

  // Puts a document into the selection, with the terms it holds.
  void keep(std::uint32_t doc, float score, Mask held) {
    selection_.push(doc, score);
    if (complete_ != nullptr && held == every_) complete_->push_back(doc);
  }

  // Zeroes one window's entries. Written as plain vector stores: for so few
  // bytes, the string instruction the compiler picks for a fill takes
  // longer to start than these take in all. GCC would turn the loops back
  // into such a fill.
#if defined(__GNUC__) && !defined(__clang__)
  __attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif
  static void clear_window(Mask* present, float* bound) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (std::uint32_t i = 0; i < kBoundWindow; i += 16 / sizeof(Mask)) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(present + i), zero);
    }
    for (std::uint32_t i = 0; i < kBoundWindow; i += 4) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(bound + i), zero);
    }
#else
    std::fill_n(present, kBoundWindow, Mask{0});
    std::fill_n(bound, kBoundWindow, 0.0f);
#endif
  }

  // Bit i set when bounds[i] >= floor, for 64 bounds, none of them NaN.
  static std::uint64_t at_least(const float* bounds, float floor) {
    std::uint64_t bits = 0;
#if defined(__SSE2__)
    const __m128 f = _mm_set1_ps(floor);
    for (std::uint32_t i = 0; i < 64; i += 4) {
      const auto m = static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpge_ps(_mm_loadu_ps(bounds + i), f)));
      bits |= m << i;
    }
#else
    for (std::uint32_t i = 0; i < 64; ++i) bits |= std::uint64_t{bounds[i] >= floor} << i;
#endif
    return bits;
  }

  // Whether passing over the postings of the `outside` terms is worth its
  // price: each document of the other terms that may get in then looks them
  // up, where reading them through costs little per posting. Only when they
  // hold many more postings than the others (in all: a span holds about its
  // share of each).
  bool worth_skipping(Mask outside) const {
    std::size_t skipped = 0;
    std::size_t read = 0;
    for (std::size_t i = 0; i < terms_.size(); ++i) {
      const Term& t = terms_[i];
      (outside >> i & 1 ? skipped : read) += t.dense ? t.postings.size() : t.docs.size();
    }
    return skipped > kSkipFactor * read;
  }

  // Moves the term's pos to its first posting at or after `doc`; whether
  // that posting is doc's. A dense term starts from doc's window.
  static bool seek_term(Term& t, std::uint32_t doc) {
    if (t.dense && !t.deferred()) t.pos = std::max(t.pos, t.bound->start_at(doc / kSpan, doc % kSpan / kBoundWindow));
    const auto found = [&](const auto& doc_of, std::size_t size) {
      t.pos = seek(doc_of, size, t.pos, doc);
      return t.pos < size && doc_of(t.pos) == doc;
    };
    return t.dense ? found([&](std::size_t j) { return t.postings.doc(j); }, t.postings.size())
                   : found([&](std::size_t j) { return t.docs[j]; }, t.docs.size());
  }

  // Adds the contributions of term i's postings in the live windows of the
  // span to the documents' sums, noting which terms each document holds and
  // what each gave. A dense term's postings in each window are known; those
  // of several windows are scored together, as the exhaustive forms score a
  // batch, since a window holds few of a term's postings.
  void collect_dense(std::size_t i, std::uint32_t span, std::uint16_t live) {
    const Term& t = terms_[i];
    const TermBound& b = *t.bound;
    const std::uint32_t s0 = span * kSpan;
    const auto bit = static_cast<Mask>(Mask{1} << i);
    float* const given = &contribution_[i * kSpan];
    static_assert(kBoundWindow <= kBatch, "a window's postings fit one batch");
    std::uint32_t docs[kBatch];
    float tfs[kBatch];
    float dls[kBatch];
    float contributions[kBatch];
    std::size_t n = 0;
    const auto add = [&] {
      contributions_of(c_, t.idf, tfs, dls, n, contributions);
      for (std::size_t m = 0; m < n; ++m) {
        const std::uint32_t at = docs[m] - s0;
        bound_[at] = bound_[at] + contributions[m];
        present_[at] |= bit;
        given[at] = contributions[m];
      }
      n = 0;
    };
    for (std::uint32_t rest = live & b.span_windows[span]; rest != 0; rest &= rest - 1) {
      const auto w = static_cast<std::uint32_t>(std::countr_zero(rest));
      const std::size_t r = b.run_at(span, w);
      const std::size_t first = b.run_first(span, r);
      const std::size_t count = b.run_first(span, r + 1) - first;
      if (n + count > kBatch) add();
      gather_postings(bm25_, t.postings, first, count, docs + n, tfs + n, dls + n);
      n += count;
    }
    add();
  }

  // collect_dense for a sparse term, whose postings are found by seeking:
  // from its pos, which bound_windows left at the span's first posting, to
  // the first one past the span.
  void collect_sparse(std::size_t i, std::uint32_t s0, std::uint32_t s1, std::uint16_t live) {
    Term& t = terms_[i];
    const std::size_t size = t.docs.size();
    const std::uint32_t* docs = t.docs.data();
    const auto seek_to = [&](std::size_t j, std::uint32_t doc) {
      return seek([&](std::size_t k) { return docs[k]; }, size, j, doc);
    };
    const float* contributions = t.contributions.data();
    Mask* present = present_.data();
    float* bound = bound_.get();
    float* const given = &contribution_[i * kSpan];
    const auto bit = static_cast<Mask>(Mask{1} << i);
    std::size_t j = t.pos;
    while (j < size && docs[j] < s1) {
      const std::uint32_t at = docs[j] - s0;
      const std::uint32_t w = at / kBoundWindow;
      if (!(live >> w & 1)) {
        // On to the next live window, if any.
        const std::uint32_t rest = static_cast<std::uint32_t>(live) >> w;
        j = seek_to(j, rest == 0 ? s1 : s0 + (w + std::countr_zero(rest)) * kBoundWindow);
        continue;
      }
      bound[at] = bound[at] + contributions[j];
      present[at] |= bit;
      given[at] = contributions[j];
      ++j;
    }
    t.pos = j;
  }

  const Bm25& bm25_;
  const Bm25Constants& c_;
  std::vector<Term>& terms_;
  Mask deferred_ = 0;  // bit i: term i is deferred
  Mask every_;         // a bit for each term
  std::vector<std::uint32_t>* complete_;
  std::size_t lookups_ = 0;     // of deferred terms' postings
  std::size_t lookup_budget_ = std::numeric_limits<std::size_t>::max();
  TopK selection_;
  // By document - span start: which terms hold it, the sum of the essential
  // terms' contributions (then its bound), and for term i at
  // [i * kSpan + document - span start] the contribution it gave.
  std::vector<Mask> present_;
  std::unique_ptr<float[]> bound_;
  std::unique_ptr<float[]> contribution_;
  // Each term's bound per window of the span bound_windows looked at last.
  float own_[kTerms][kWindowsPerSpan] = {};
  // For each sparse term, per window of that span, which parts hold its
  // postings (bit j: part j).
  PartMask held_[kTerms][kWindowsPerSpan] = {};
  std::vector<std::uint16_t> done_;  // by span, the windows scored first
};

// The pruned search with a mask wide enough for the terms.
std::optional<std::vector<Scored>> run_pruned(const Bm25& bm25, const Bm25Constants& c, std::vector<Term>& terms,
                                              std::size_t k, std::size_t total,
                                              std::vector<std::uint32_t>* complete) {
  if (complete != nullptr) complete->clear();
  if (terms.size() <= std::numeric_limits<std::uint16_t>::digits) {
    return PrunedSearch<std::uint16_t>(bm25, c, terms, k, total, complete).run();
  }
  if (terms.size() <= std::numeric_limits<std::uint64_t>::digits) {
    return PrunedSearch<std::uint64_t>(bm25, c, terms, k, total, complete).run();
  }
  static_assert(kMaxPrunedTerms <= sizeof(unsigned __int128) * CHAR_BIT);
  return PrunedSearch<unsigned __int128>(bm25, c, terms, k, total, complete).run();
}

// The documents of `result` among those noted in `complete`, in ascending
// order.
std::vector<std::uint32_t> complete_in(std::vector<std::uint32_t> complete, const std::vector<Scored>& result) {
  std::vector<std::uint32_t> ids(result.size());
  for (std::size_t i = 0; i < result.size(); ++i) ids[i] = result[i].id;
  std::sort(ids.begin(), ids.end());
  std::sort(complete.begin(), complete.end());
  std::vector<std::uint32_t> in;
  in.reserve(std::min(ids.size(), complete.size()));
  std::set_intersection(ids.begin(), ids.end(), complete.begin(), complete.end(), std::back_inserter(in));
  return in;
}

}  // namespace

std::vector<Scored> search_bm25_pruned(const Bm25& bm25, const Bm25Bounds& bounds,
                                       std::string_view text, std::size_t k,
                                       std::size_t few_postings) {
  if (k == 0) return {};
  return search_bm25_pruned(bm25, bounds, found_terms(bm25, text), k, few_postings);
}

std::vector<Scored> search_bm25_pruned(const Bm25& bm25, const Bm25Bounds& bounds,
                                       std::span<const std::uint32_t> found, std::size_t k,
                                       std::size_t few_postings,
                                       std::optional<std::vector<std::uint32_t>>* holding_all) {
  if (holding_all != nullptr) holding_all->reset();
  if (k == 0 || found.empty()) return {};
  const Bm25Constants c(bm25);
  std::size_t total = 0;
  for (const std::uint32_t t : found) total += bm25.postings(t).size();
  const auto exhaustive = [&] {
    return total <= kFewPostings ? score_few(bm25, c, found, total, k) : score_all(bm25, c, found, k);
  };
  // With room for every posting nothing can be passed over; with few
  // postings, scoring them all costs less than the bookkeeping of bounds.
  if (k >= total || total <= few_postings || found.size() > kMaxPrunedTerms) return exhaustive();
  const std::size_t windows = window_count(bm25);
  // A dense term whose bound is not made yet may be deferred: making it
  // reads every posting, which for a common term costs more than the search,
  // and a common term's low idf often keeps it out of the result's reach
  // anyway. Then only the other terms' documents are looked at, and if the
  // k-th best of them beats every document holding only deferred terms, the
  // result stands; otherwise their bounds are made and the search runs
  // again.
  const bool defer = may_defer(c);
  std::vector<Term> terms;
  terms.reserve(found.size());
  std::vector<std::size_t> deferred;  // indexes into terms
  for (const std::uint32_t t : found) {
    const PostingList postings = bm25.postings(t);
    Term term{postings, nullptr, c.idf(postings.size()), is_dense(postings.size(), windows), {}, {}};
    if (defer && term.dense && bounds.made(t) == nullptr) {
      term.ceiling = ceiling_of(c, term.idf);
      deferred.push_back(terms.size());
      terms.push_back(std::move(term));
      continue;
    }
    if (term.dense) {
      const TermBound& bound = bounds.of(bm25, t);
      if (!bound.safe) return exhaustive();
      term.bound = &bound;
      term.most = bound.max;
    } else {
      term.docs.resize(postings.size());
      term.contributions.resize(postings.size());
      for (std::size_t start = 0; start < postings.size(); start += kBatch) {
        score_batch(bm25, c, term.idf, postings, start, std::min(kBatch, postings.size() - start),
                    &term.docs[start], &term.contributions[start]);
      }
      bool safe = true;
      for (const float v : term.contributions) {
        safe &= safe_contribution(v);
        term.most = std::max(term.most, v);
      }
      if (!safe) return exhaustive();
    }
    terms.push_back(std::move(term));
  }
  const auto make = [&](std::size_t i) {
    const TermBound& bound = bounds.of(bm25, found[i]);
    terms[i].bound = &bound;
    terms[i].most = bound.max;
    return bound.safe;
  };
  // Deferring pays when one term kept can outweigh all deferred ones twice
  // over, and when looking the deferred terms up for the documents of the
  // rarest term kept costs less than reading their postings through. Until
  // it does, the bound of the deferred term with the highest ceiling (the
  // rarest, the cheapest to make) is made.
  std::sort(deferred.begin(), deferred.end(),
            [&](std::size_t a, std::size_t b) { return terms[a].ceiling > terms[b].ceiling; });
  std::size_t made = 0;  // deferred[made..] stay deferred
  for (; made < deferred.size(); ++made) {
    float kept_most = 0.0f;
    float ceilings = 0.0f;
    std::size_t kept_postings = std::numeric_limits<std::size_t>::max();
    std::size_t deferred_postings = 0;
    for (const Term& t : terms) {
      if (t.deferred()) {
        ceilings = ceilings + t.ceiling;
        deferred_postings += t.postings.size();
      } else {
        kept_most = std::max(kept_most, t.most);
        kept_postings = std::min(kept_postings, t.postings.size());
      }
    }
    if (ceilings < kept_most / 2 &&
        kept_postings < deferred_postings / ((deferred.size() - made) * kLookupPostings)) {
      break;
    }
    if (!make(deferred[made])) return exhaustive();
  }
  std::vector<std::uint32_t> complete;
  std::vector<std::uint32_t>* const noting = holding_all != nullptr ? &complete : nullptr;
  const auto found_all = [&](std::vector<Scored> result) {
    if (holding_all != nullptr) *holding_all = complete_in(std::move(complete), result);
    return result;
  };
  if (made < deferred.size()) {
    if (auto got = run_pruned(bm25, c, terms, k, total, noting)) return found_all(*std::move(got));
    for (; made < deferred.size(); ++made) {
      if (!make(deferred[made])) return exhaustive();
    }
  }
  return found_all(*run_pruned(bm25, c, terms, k, total, noting));
}

}  // namespace tessavine
