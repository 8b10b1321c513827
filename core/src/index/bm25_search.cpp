// Keyword ranking: Okapi BM25 over the postings of the query's distinct
// terms, with every float operation in one fixed order so that scores are
// reproducible to the last bit.
#include "index/bm25_search.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/bits.h"
#include "text/tokenize.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessavine {
namespace {

// The query's terms, each once, in ascending byte order: repeating a word or
// reordering the query changes nothing.
std::vector<std::string> distinct_terms(std::string_view text) {
  std::vector<std::string> terms = tokenize(text);
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  return terms;
}

// The indexes of the query's distinct terms that the file holds, in the same
// order: the order in which every search adds their contributions.
std::vector<std::uint32_t> found_terms(const Bm25& bm25, std::string_view text) {
  std::vector<std::uint32_t> found;
  for (const std::string& term : distinct_terms(text)) {
    if (const auto t = bm25.find_term(term)) found.push_back(*t);
  }
  return found;
}

struct Bm25Constants {
  float n;
  float k1;
  float b;
  float avgdl;
  float one_minus_b;
  float k1_plus_1;

  explicit Bm25Constants(const Bm25& bm25)
      : n(static_cast<float>(bm25.doc_count())),
        k1(bm25.k1()),
        b(bm25.b()),
        avgdl(bm25.avgdl()),
        one_minus_b(1.0f - bm25.b()),
        k1_plus_1(bm25.k1() + 1.0f) {
    // Also catches NaN: an empty or damaged file must not divide by zero.
    if (!(avgdl >= std::numeric_limits<float>::min())) avgdl = std::numeric_limits<float>::min();
  }

  // Never negative, so a term found in every document still adds to a score.
  float idf(std::size_t df) const {
    const float dff = static_cast<float>(df);
    return std::log(((n - dff) + 0.5f) / (dff + 0.5f) + 1.0f);
  }

  float contribution(float idf, float tf, float dl) const {
    const float denominator = k1 * (one_minus_b + (b * dl) / avgdl) + tf;
    const float numerator = k1_plus_1 * (idf * tf);
    return numerator / denominator;
  }

  float contribution(const Bm25& bm25, float idf, Posting p) const {
    return contribution(idf, static_cast<float>(p.tf), static_cast<float>(bm25.doc_len(p.doc)));
  }
};

constexpr std::size_t kBatch = 256;

// The contributions of postings [first, first + n) of one term (n <= kBatch)
// and their documents. Gathered first so that the formula runs over plain
// arrays, which the compiler turns into vector code: the same operations,
// lane by lane, as the one-posting form.
void score_batch(const Bm25& bm25, const Bm25Constants& c, float idf, const PostingList& postings,
                 std::size_t first, std::size_t n, std::uint32_t* docs, float* contributions) {
  float tfs[kBatch];
  float dls[kBatch];
  for (std::size_t i = 0; i < n; ++i) {
    const Posting p = postings[first + i];
    docs[i] = p.doc;
    tfs[i] = static_cast<float>(p.tf);
    dls[i] = static_cast<float>(bm25.doc_len(p.doc));
  }
  for (std::size_t i = 0; i < n; ++i) contributions[i] = c.contribution(idf, tfs[i], dls[i]);
}

// Every posting of the found terms, term after term in their order, handed
// to take(doc, contribution) with its contribution as score_batch makes it.
template <class Take>
void for_each_contribution(const Bm25& bm25, const Bm25Constants& c, std::span<const std::uint32_t> found,
                           Take take) {
  std::uint32_t docs[kBatch];
  float contributions[kBatch];
  for (const std::uint32_t t : found) {
    const PostingList postings = bm25.postings(t);
    const float idf = c.idf(postings.size());
    for (std::size_t start = 0; start < postings.size(); start += kBatch) {
      const std::size_t n = std::min(kBatch, postings.size() - start);
      score_batch(bm25, c, idf, postings, start, n, docs, contributions);
      for (std::size_t i = 0; i < n; ++i) take(docs[i], contributions[i]);
    }
  }
}

// Whether a contribution keeps pruning sound: a finite number >= 0 (NaN
// fails both tests).
bool safe_contribution(float v) { return (v >= 0.0f) & (v <= std::numeric_limits<float>::max()); }

// Term at a time over every posting of the found terms. The score array is
// not zeroed (a bitmap of touched documents says which entries hold a score),
// and the k best are selected once every candidate has its score.
std::vector<Scored> score_all(const Bm25& bm25, const Bm25Constants& c,
                              std::span<const std::uint32_t> found, std::size_t k) {
  const std::uint32_t d = bm25.doc_count();
  const auto scores = std::make_unique_for_overwrite<float[]>(d);
  std::vector<std::uint64_t> touched((std::size_t{d} + 63) / 64, 0);
  std::vector<std::uint32_t> candidates;
  for_each_contribution(bm25, c, found, [&](std::uint32_t doc, float v) {
    std::uint64_t& word = touched[doc >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (doc & 63);
    if (word & bit) {
      scores[doc] = scores[doc] + v;
    } else {
      word |= bit;
      scores[doc] = 0.0f + v;
      candidates.push_back(doc);
    }
  });
  BestOf selection(k, candidates.size());
  for (const std::uint32_t doc : candidates) selection.push(doc, scores[doc]);
  return std::move(selection).finish();
}

// score_all for queries with few postings: the sums in a small table keyed
// by document, where an array over every document would be fresh memory
// whose pages its first touches fault in one by one (at a million documents
// that alone took milliseconds). The same additions in the same order.
std::vector<Scored> score_few(const Bm25& bm25, const Bm25Constants& c, std::span<const std::uint32_t> found,
                              std::size_t total, std::size_t k) {
  int bits = 4;
  while ((std::size_t{1} << bits) < 2 * total) ++bits;
  const std::size_t mask = (std::size_t{1} << bits) - 1;
  std::vector<std::uint32_t> keys(mask + 1, 0);  // document + 1; 0 for a free slot
  const auto sums = std::make_unique_for_overwrite<float[]>(mask + 1);
  std::vector<std::uint32_t> slots;  // taken, in order
  slots.reserve(total);
  for_each_contribution(bm25, c, found, [&](std::uint32_t doc, float v) {
    // A document is below the count, itself at most 2^32 - 1.
    const std::uint32_t key = doc + 1;
    auto slot = static_cast<std::uint32_t>((std::uint64_t{doc} * 0x9E3779B97F4A7C15u) >> (64 - bits));
    while (keys[slot] != 0 && keys[slot] != key) slot = static_cast<std::uint32_t>((slot + 1) & mask);
    if (keys[slot] == key) {
      sums[slot] = sums[slot] + v;
    } else {
      keys[slot] = key;
      sums[slot] = 0.0f + v;
      slots.push_back(slot);
    }
  });
  BestOf selection(k, slots.size());
  for (const std::uint32_t slot : slots) selection.push(keys[slot] - 1, sums[slot]);
  return std::move(selection).finish();
}

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

constexpr std::uint32_t kBoundWindow = 128;  // documents per window of a bound
constexpr std::uint32_t kWindowsPerSpan = 16;  // one bit each in a 16-bit mask
constexpr std::uint32_t kSpan = kWindowsPerSpan * kBoundWindow;  // documents scored together
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

std::size_t window_count(const Bm25& bm25) {
  return (std::size_t{bm25.doc_count()} + kBoundWindow - 1) / kBoundWindow;
}

// A term in at least a quarter as many documents as there are windows keeps a
// bound and a start per window holding postings and a few figures per span
// (at most 6 bytes per posting); a rarer one is scored whole by each search,
// which costs about as much as reading such bounds.
bool is_dense(std::size_t df, std::size_t windows) { return df * 4 >= windows; }

}  // namespace

struct TermBound {
  // Every contribution is a finite number not below zero, so adding one to a
  // score never lowers it. Pruning is only sound over such terms.
  bool safe = true;
  float max = 0.0f;  // the largest contribution
  std::vector<float> step_values;  // 256 of them, rising; the last is max itself
  // Dense terms, per window, as many as the spans hold: the step whose value
  // bounds its contributions, 0 (a value of 0.0) without postings. A byte
  // per window is at most 4 per posting of a dense term.
  std::vector<std::uint8_t> window_steps;
  // Dense terms, per window holding postings (a run of them, as postings
  // come in document order): its first posting counted from its span's. A
  // span holds at most kSpan postings of a term, so 16 bits hold the count.
  std::vector<std::uint16_t> run_offsets;
  // Dense terms, per span of kWindowsPerSpan windows: which windows hold
  // postings (bit w: its window w), the largest of their steps, the number
  // of runs before the span and the first posting of a document in the span
  // or later (one more entry holds the two counts).
  std::vector<std::uint16_t> span_windows;
  std::vector<std::uint8_t> span_steps;
  std::vector<std::uint32_t> span_runs;
  std::vector<std::uint32_t> span_starts;

  // The run of window w of span s, or of the first window after it in the
  // span that holds postings, if any.
  std::size_t run_at(std::size_t s, std::uint32_t w) const {
    return span_runs[s] + popcount_swar(span_windows[s] & ((1u << w) - 1));
  }
  // The first posting of run r of span s, or, past the span's last run, of
  // the next span holding postings: run r's postings end where run r + 1's
  // begin.
  std::size_t run_first(std::size_t s, std::size_t r) const {
    return r < span_runs[s + 1] ? span_starts[s] + run_offsets[r] : span_starts[s + 1];
  }
  // The first posting of a document in window w of span s or later.
  std::size_t start_at(std::size_t s, std::uint32_t w) const { return run_first(s, run_at(s, w)); }
};

namespace {

// The windows holding postings of a term, in order: each one's number, its
// first posting and its largest contribution.
struct WindowRuns {
  std::vector<std::uint32_t> windows;
  std::vector<std::uint32_t> firsts;
  std::vector<float> values;
};

// The smallest step whose value is at least v, for 0 <= v <= the largest
// value: found from v's share of it (`scale` is 255 over it), rounded up,
// then moved to the exact step, which it seldom misses.
std::uint8_t step_at_least(const std::vector<float>& step_values, float scale, float v) {
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

// Fills a dense term's steps and starts from its runs (bound.max already
// set).
void set_windows(TermBound& bound, std::size_t windows, std::size_t postings, const WindowRuns& runs) {
  bound.step_values.resize(256);
  for (int q = 0; q < 255; ++q) bound.step_values[q] = bound.max / 255.0f * static_cast<float>(q);
  bound.step_values[255] = bound.max;
  const float scale = 255.0f / bound.max;
  const std::size_t spans = (windows + kWindowsPerSpan - 1) / kWindowsPerSpan;
  const std::size_t count = runs.windows.size();
  bound.span_windows.assign(spans, 0);
  bound.span_steps.assign(spans, 0);
  bound.span_runs.resize(spans + 1);
  bound.span_starts.resize(spans + 1);
  bound.window_steps.assign(spans * kWindowsPerSpan, 0);
  bound.run_offsets.resize(count);
  std::size_t next = 0;  // the first span whose starts are not set yet
  for (std::size_t r = 0; r < count; ++r) {
    const std::size_t s = runs.windows[r] / kWindowsPerSpan;
    // A span without postings starts where the next one holding any does.
    for (; next <= s; ++next) {
      bound.span_runs[next] = static_cast<std::uint32_t>(r);
      bound.span_starts[next] = runs.firsts[r];
    }
    const std::uint8_t step = step_at_least(bound.step_values, scale, runs.values[r]);
    bound.span_windows[s] = static_cast<std::uint16_t>(bound.span_windows[s] | 1u << (runs.windows[r] % kWindowsPerSpan));
    bound.span_steps[s] = std::max(bound.span_steps[s], step);
    bound.window_steps[runs.windows[r]] = step;
    bound.run_offsets[r] = static_cast<std::uint16_t>(runs.firsts[r] - bound.span_starts[s]);
  }
  for (; next <= spans; ++next) {
    bound.span_runs[next] = static_cast<std::uint32_t>(count);
    bound.span_starts[next] = static_cast<std::uint32_t>(postings);
  }
}

// Document lengths are read this many postings ahead of their use: the
// postings stream in order, the lengths they point to do not.
constexpr std::size_t kLengthsAhead = 16;

// Whether the stored parameters keep every contribution a finite number >= 0
// that, for a given tf >= 1, falls as the document grows: k1 >= 0,
// 0 <= b <= 1, and sizes for which no step of the formula overflows. Each
// float operation of the formula then rounds monotonically, so the shortest
// document holding the term once has the largest contribution of all such
// documents, to the bit.
bool usual_parameters(const Bm25Constants& c) {
  return c.k1 >= 0.0f && c.k1 <= 1e20f && c.b >= 0.0f && c.b <= 1.0f && c.avgdl >= 1e-3f &&
         c.avgdl <= 1e30f;
}

// A dense term's bound: each window's largest contribution, exactly as
// scoring computes it, which bounds the window's documents far more closely
// than any figure taken from its frequencies and lengths alone. With usual
// parameters the postings of tf 1, nearly all of them, need only their
// shortest document; the others are scored one by one. False when a
// contribution is NaN, infinite or negative (odd stored parameters), as
// pruning is then unsound.
bool windowed_bound(const Bm25& bm25, const Bm25Constants& c, const PostingList& postings, float idf,
                    std::size_t windows, TermBound& bound) {
  const bool usual = usual_parameters(c);
  // Postings come in document order, so each window's are one run.
  const std::size_t n = postings.size();
  const std::size_t most_runs = std::min(windows, n);
  WindowRuns runs;
  runs.windows.resize(most_runs);
  runs.firsts.resize(most_runs);
  runs.values.resize(most_runs);
  std::size_t count = 0;
  bool safe = true;
  float max = 0.0f;
  for (std::size_t i = 0; i < n; ++count) {
    const std::uint32_t w = postings.doc(i) / kBoundWindow;
    const auto first = static_cast<std::uint32_t>(i);
    const std::uint64_t end = (std::uint64_t{w} + 1) * kBoundWindow;
    float most = 0.0f;
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
    max = std::max(max, most);
  }
  if (!safe) return false;
  runs.windows.resize(count);
  runs.firsts.resize(count);
  runs.values.resize(count);
  bound.max = max;
  set_windows(bound, windows, n, runs);
  return true;
}

TermBound bound_of(const Bm25& bm25, const Bm25Constants& c, std::uint32_t t) {
  const PostingList postings = bm25.postings(t);
  const float idf = c.idf(postings.size());
  const std::size_t windows = window_count(bm25);
  TermBound bound;
  if (is_dense(postings.size(), windows)) {
    bound.safe = windowed_bound(bm25, c, postings, idf, windows, bound);
    return bound;
  }
  // A sparse term: its largest contribution, and whether all are safe.
  for_each_contribution(bm25, c, std::span(&t, 1), [&](std::uint32_t, float v) {
    bound.safe &= safe_contribution(v);
    bound.max = std::max(bound.max, v);
  });
  return bound;
}

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

// One query term. A dense one is read in place; a sparse one is scored whole
// up front, which also gives its exact largest contribution per window. A
// dense term whose bound no search has made yet may be deferred: it then has
// no windows, only a ceiling above every contribution it can give, and is
// only ever looked up.
struct Term {
  PostingList postings;
  const TermBound* bound;
  float idf;
  bool dense;
  std::vector<std::uint32_t> docs;   // sparse: every posting's document
  std::vector<float> contributions;  // sparse: and its contribution
  std::size_t pos = 0;               // the next posting to look at
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

// Spans of kSpan documents, each with a bound (the sum in term order of each
// term's bound over the span). The best few spans go first, so that the
// selection fills with good scores early, then the others in order; a span
// whose bound falls short is passed over, and in the others only the windows
// whose own bound may still lift a document into the result are read. In a
// span, terms that cannot lift a document into the result on their own (the
// non-essential ones) are not read through when they hold many more of its
// postings than the others: only the documents of the others are looked up
// in them. `Mask` holds a bit per query term for each document: a search of
// a few terms keeps a narrow one, which is quicker to clear.
template <class Mask>
class PrunedSearch {
  static constexpr std::size_t kTerms = sizeof(Mask) * CHAR_BIT;

 public:
  PrunedSearch(const Bm25& bm25, const Bm25Constants& c, std::vector<Term>& terms, std::size_t k,
               std::size_t expected)
      : bm25_(bm25),
        c_(c),
        terms_(terms),
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
  // s, and own_[i][w] term i's own bound there. Moves each sparse term's pos,
  // which must not lie past the span's first posting, to it. Kept inline in
  // run, which calls it for every span it visits: with two widths of masks
  // the compiler would otherwise call it, 5% slower over the corpus queries.
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
        const std::uint8_t* const steps = &t.bound->window_steps[std::size_t{s} * kWindowsPerSpan];
        const float* const values = t.bound->step_values.data();
        for (std::uint32_t w = 0; w < kWindowsPerSpan; ++w) own[w] = values[steps[w]];
      } else {
        std::fill(own, own + kWindowsPerSpan, 0.0f);
        t.pos = seek([&](std::size_t j) { return t.docs[j]; }, t.docs.size(), t.pos, s0);
        for (std::size_t j = t.pos; j < t.docs.size() && t.docs[j] < s1; ++j) {
          float& m = own[(t.docs[j] - s0) / kBoundWindow];
          m = std::max(m, t.contributions[j]);
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
      __builtin_prefetch(&b.window_steps[s * kWindowsPerSpan]);
      __builtin_prefetch(&b.span_runs[s]);
      __builtin_prefetch(&b.span_starts[s]);
      __builtin_prefetch(&b.span_windows[s]);
      if (b.span_runs[s] < b.run_offsets.size()) __builtin_prefetch(&b.run_offsets[b.span_runs[s]]);
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
    // The live windows' document lengths, which collecting reads in an order
    // of its own, are asked for before the postings that lead to them.
    for (std::uint32_t rest = live; rest != 0; rest &= rest - 1) {
      const std::uint32_t first = s0 + static_cast<std::uint32_t>(std::countr_zero(rest)) * kBoundWindow;
      for (std::uint32_t d = 0; d < kBoundWindow; d += kLengthsPerLine) bm25_.prefetch_doc_len(first + d);
    }
    if (live != 0) score_span(s, static_cast<std::uint16_t>(live));
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
            selection_.push(doc, bound_[at]);
            continue;
          }
          // The score itself, with exactly the additions of the exhaustive
          // forms; the non-essential terms' postings are looked up.
          float score = 0.0f;
          for (std::size_t i = 0; i < n; ++i) {
            if (present >> i & 1) {
              score = score + contribution_[i * kSpan + at];
            } else if (outside >> i & 1) {
              Term& t = terms_[i];
              lookups_ += deferred_ >> i & 1;
              if (!seek_term(t, doc)) continue;
              score = score + (t.dense ? c_.contribution(bm25_, t.idf, t.postings[t.pos]) : t.contributions[t.pos]);
            }
          }
          if (selection_.would_keep(doc, score)) selection_.push(doc, score);
        }
      }
    }
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
  // what each gave. A dense term's postings in each window are known, and
  // are scored a window at a time, as the exhaustive forms score a batch.
  void collect_dense(std::size_t i, std::uint32_t span, std::uint16_t live) {
    const Term& t = terms_[i];
    const TermBound& b = *t.bound;
    const std::uint32_t s0 = span * kSpan;
    const auto bit = static_cast<Mask>(Mask{1} << i);
    float* const given = &contribution_[i * kSpan];
    static_assert(kBoundWindow <= kBatch, "a window's postings fit one batch");
    std::uint32_t docs[kBoundWindow];
    float contributions[kBoundWindow];
    for (std::uint32_t rest = live & b.span_windows[span]; rest != 0; rest &= rest - 1) {
      const auto w = static_cast<std::uint32_t>(std::countr_zero(rest));
      const std::size_t r = b.run_at(span, w);
      const std::size_t first = b.run_first(span, r);
      const std::size_t count = b.run_first(span, r + 1) - first;
      score_batch(bm25_, c_, t.idf, t.postings, first, count, docs, contributions);
      for (std::size_t m = 0; m < count; ++m) {
        const std::uint32_t at = docs[m] - s0;
        bound_[at] = bound_[at] + contributions[m];
        present_[at] |= bit;
        given[at] = contributions[m];
      }
    }
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
  std::vector<std::uint16_t> done_;  // by span, the windows scored first
};

// The pruned search with a mask wide enough for the terms.
std::optional<std::vector<Scored>> run_pruned(const Bm25& bm25, const Bm25Constants& c, std::vector<Term>& terms,
                                              std::size_t k, std::size_t total) {
  if (terms.size() <= std::numeric_limits<std::uint16_t>::digits) {
    return PrunedSearch<std::uint16_t>(bm25, c, terms, k, total).run();
  }
  if (terms.size() <= std::numeric_limits<std::uint64_t>::digits) {
    return PrunedSearch<std::uint64_t>(bm25, c, terms, k, total).run();
  }
  static_assert(kMaxPrunedTerms <= sizeof(unsigned __int128) * CHAR_BIT);
  return PrunedSearch<unsigned __int128>(bm25, c, terms, k, total).run();
}

}  // namespace

Bm25Bounds::Bm25Bounds(const Bm25& bm25) : terms_(bm25.term_count()) {}

Bm25Bounds::~Bm25Bounds() {
  for (const auto& slot : terms_) delete slot.load(std::memory_order_relaxed);
}

const TermBound& Bm25Bounds::of(const Bm25& bm25, std::uint32_t term) const {
  std::atomic<const TermBound*>& slot = terms_[term];
  if (const TermBound* made = slot.load(std::memory_order_acquire)) return *made;
  auto bound = std::make_unique<const TermBound>(bound_of(bm25, Bm25Constants(bm25), term));
  // Another search may have set the slot meanwhile; either bound will do.
  const TermBound* expected = nullptr;
  if (slot.compare_exchange_strong(expected, bound.get(), std::memory_order_acq_rel)) return *bound.release();
  return *expected;
}

const TermBound* Bm25Bounds::made(std::uint32_t term) const {
  return terms_[term].load(std::memory_order_acquire);
}

bool has_posting(const PostingList& postings, const TermBound* bound, std::uint32_t doc) {
  const std::size_t s = doc / kSpan;
  // Only dense terms with safe contributions keep their windows. Otherwise
  // the postings are halved, each step choosing without a branch: the
  // documents asked about come in no order a predictor could learn.
  if (bound == nullptr || s >= bound->span_windows.size()) {
    if (postings.empty()) return false;
    std::size_t at = 0;  // the first posting of doc or a later one lies in [at, at + left)
    for (std::size_t left = postings.size(); left > 1;) {
      const std::size_t half = left / 2;
      at = postings.doc(at + half - 1) < doc ? at + half : at;
      left -= half;
    }
    return postings.doc(at) == doc;
  }
  const std::uint32_t w = doc / kBoundWindow % kWindowsPerSpan;
  if ((bound->span_windows[s] >> w & 1u) == 0) return false;
  const std::size_t r = bound->run_at(s, w);
  const std::size_t end = bound->run_first(s, r + 1);
  const auto docs = [&](std::size_t i) { return postings.doc(i); };
  const std::size_t at = seek(docs, end, bound->run_first(s, r), doc);
  return at < end && postings.doc(at) == doc;
}

std::vector<Scored> search_bm25_plain(const Bm25& bm25, std::string_view text, std::size_t k) {
  const std::vector<std::string> terms = distinct_terms(text);
  const Bm25Constants c(bm25);
  std::vector<float> scores(bm25.doc_count(), 0.0f);
  // A document joins the candidates the first time a posting scores it. A
  // flag, not a score of 0.0, says whether it has: a contribution can be 0
  // (in 32-bit floats the idf of a term found in every one of 2^23 or more
  // documents is 0) or, with odd stored parameters, cancel an earlier one,
  // and a document must never be listed twice.
  std::vector<bool> listed(bm25.doc_count(), false);
  std::vector<std::uint32_t> candidates;
  for (const std::string& term : terms) {
    const auto t = bm25.find_term(term);
    if (!t) continue;
    const PostingList postings = bm25.postings(*t);
    const float idf = c.idf(postings.size());
    for (const Posting p : postings) {
      const float dl = static_cast<float>(bm25.doc_len(p.doc));
      const float tf = static_cast<float>(p.tf);
      if (!listed[p.doc]) {
        listed[p.doc] = true;
        candidates.push_back(p.doc);
      }
      scores[p.doc] = scores[p.doc] + c.contribution(idf, tf, dl);
    }
  }
  if (k == 0) return {};
  TopK selection(k, candidates.size());
  for (const std::uint32_t doc : candidates) selection.push(doc, scores[doc]);
  return std::move(selection).finish();
}

std::vector<Scored> search_bm25(const Bm25& bm25, std::string_view text, std::size_t k) {
  if (k == 0) return {};
  const std::vector<std::uint32_t> found = found_terms(bm25, text);
  if (found.empty()) return {};
  return score_all(bm25, Bm25Constants(bm25), found, k);
}

std::vector<Scored> search_bm25_pruned(const Bm25& bm25, const Bm25Bounds& bounds,
                                       std::string_view text, std::size_t k,
                                       std::size_t few_postings) {
  if (k == 0) return {};
  const std::vector<std::uint32_t> found = found_terms(bm25, text);
  if (found.empty()) return {};
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
    const TermBound& bound = bounds.of(bm25, t);
    if (!bound.safe) return exhaustive();
    term.bound = &bound;
    if (!term.dense) {
      term.docs.resize(postings.size());
      term.contributions.resize(postings.size());
      for (std::size_t start = 0; start < postings.size(); start += kBatch) {
        score_batch(bm25, c, term.idf, postings, start, std::min(kBatch, postings.size() - start),
                    &term.docs[start], &term.contributions[start]);
      }
    }
    terms.push_back(std::move(term));
  }
  const auto make = [&](std::size_t i) {
    const TermBound& bound = bounds.of(bm25, found[i]);
    terms[i].bound = &bound;
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
        kept_most = std::max(kept_most, t.bound->max);
        kept_postings = std::min(kept_postings, t.postings.size());
      }
    }
    if (ceilings < kept_most / 2 &&
        kept_postings < deferred_postings / ((deferred.size() - made) * kLookupPostings)) {
      break;
    }
    if (!make(deferred[made])) return exhaustive();
  }
  if (made < deferred.size()) {
    if (auto got = run_pruned(bm25, c, terms, k, total)) return *std::move(got);
    for (; made < deferred.size(); ++made) {
      if (!make(deferred[made])) return exhaustive();
    }
  }
  return *run_pruned(bm25, c, terms, k, total);
}

}  // namespace tessavine
