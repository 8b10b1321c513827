// Making a term's bound: one pass over its postings, with the float
// operations of scoring, kept per reader once made.
#include "index/bm25_bounds.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/bm25_search.h"

namespace tessavine {
namespace {

// The windows holding postings of a term, in order: each one's number, its
// first posting and its largest contribution.
struct WindowRuns {
  std::vector<std::uint32_t> windows;
  std::vector<std::uint32_t> firsts;
  std::vector<float> values;
  std::vector<PartMask> parts;  // which parts of the window hold postings
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
// set; the caller moves the runs' parts into it).
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

// Document lengths are asked for this many postings ahead of their use: the
// postings stream in order, the lengths they point to do not, and a first
// search finds them in memory rather than in the caches (16 ahead made
// bounds 7% slower there).
constexpr std::size_t kLengthsAhead = 48;

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
  runs.parts.resize(most_runs);
  std::size_t count = 0;
  bool safe = true;
  float max = 0.0f;
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
    max = std::max(max, most);
  }
  if (!safe) return false;
  runs.windows.resize(count);
  runs.firsts.resize(count);
  runs.values.resize(count);
  runs.parts.resize(count);
  bound.max = max;
  set_windows(bound, windows, n, runs);
  bound.run_parts = std::move(runs.parts);
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

}  // namespace tessavine
