// Making a term's bound: one pass over its postings, with the float
// operations of scoring, kept per reader once made.
#include "index/bm25_bounds.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <span>

#include "index/bm25_search.h"
#include "index/window_runs.h"

namespace tessavine {
namespace {

// Hands out a dense term's arrays one after another from its bound's one
// allocation, each at an offset aligned for its type; without the
// allocation, only counts the bytes they need.
class Carver {
 public:
  explicit Carver(std::byte* storage = nullptr) : storage_(storage) {}

  template <class T>
  std::span<T> take(std::size_t n) {
    size_ = (size_ + alignof(T) - 1) / alignof(T) * alignof(T);
    const std::size_t at = size_;
    size_ += n * sizeof(T);
    if (storage_ == nullptr) return {};
    return {reinterpret_cast<T*>(storage_ + at), n};
  }
  std::size_t size() const { return size_; }

 private:
  std::byte* storage_;
  std::size_t size_ = 0;
};

// Fills a dense term's bound from its runs (bound.max already set). A span's
// figures are kept at hand while its runs go by, a few of them each.
void set_windows(TermBound& bound, std::size_t windows, std::size_t postings, const WindowRuns& runs) {
  const std::size_t spans = (windows + kWindowsPerSpan - 1) / kWindowsPerSpan;
  const std::size_t blocks = spans / kSpansPerBlock + 1;  // the last holds the entry past the last span
  const std::size_t count = runs.count;
  std::span<float> step_values;
  std::span<std::uint32_t> block_runs, block_starts;
  std::span<std::uint16_t> run_offsets, span_windows, span_starts;
  std::span<PartMask> run_parts;
  std::span<std::uint8_t> run_steps, span_steps, span_runs;
  // Widest first, so that little room goes to alignment.
  const auto carve = [&](Carver& c) {
    step_values = c.take<float>(kSteps);
    block_runs = c.take<std::uint32_t>(blocks);
    block_starts = c.take<std::uint32_t>(blocks);
    run_offsets = c.take<std::uint16_t>(count);
    run_parts = c.take<PartMask>(count);
    span_windows = c.take<std::uint16_t>(spans);
    span_starts = c.take<std::uint16_t>(spans + 1);
    run_steps = c.take<std::uint8_t>(count);
    span_steps = c.take<std::uint8_t>(spans);
    span_runs = c.take<std::uint8_t>(spans + 1);
  };
  Carver sizes;
  carve(sizes);
  bound.storage = std::make_unique_for_overwrite<std::byte[]>(sizes.size());
  Carver place(bound.storage.get());
  carve(place);

  set_step_values(bound.max, step_values.data());
  bound_steps(runs.values, count, step_values, run_steps.data());
  std::copy(runs.parts, runs.parts + count, run_parts.begin());
  std::fill(span_windows.begin(), span_windows.end(), std::uint16_t{0});
  std::fill(span_steps.begin(), span_steps.end(), std::uint8_t{0});
  // Span s starts with run r, whose first posting is `first`, or holds no
  // postings and the next one holding any does.
  const auto start_span = [&](std::size_t s, std::size_t r, std::size_t first) {
    const std::size_t b = s / kSpansPerBlock;
    if (s % kSpansPerBlock == 0) {
      block_runs[b] = static_cast<std::uint32_t>(r);
      block_starts[b] = static_cast<std::uint32_t>(first);
    }
    span_runs[s] = static_cast<std::uint8_t>(r - block_runs[b]);
    span_starts[s] = static_cast<std::uint16_t>(first - block_starts[b]);
  };
  std::size_t next = 0;  // the first span not started yet
  std::size_t span = 0;  // the span of the runs so far, and what they hold
  std::uint32_t held = 0;
  std::uint8_t highest = 0;
  std::uint32_t base = 0;  // the first posting of the span's block or later
  const auto close_span = [&] {
    span_windows[span] = static_cast<std::uint16_t>(held);
    span_steps[span] = highest;
  };
  for (std::size_t r = 0; r < count; ++r) {
    const std::uint32_t w = runs.windows[r];
    const std::size_t s = w / kWindowsPerSpan;
    if (s >= next) {
      if (r != 0) close_span();
      for (; next <= s; ++next) start_span(next, r, runs.firsts[r]);
      span = s;
      held = 0;
      highest = 0;
      base = block_starts[s / kSpansPerBlock];
    }
    held |= 1u << (w % kWindowsPerSpan);
    highest = std::max(highest, run_steps[r]);
    run_offsets[r] = static_cast<std::uint16_t>(runs.firsts[r] - base);
  }
  if (count != 0) close_span();
  for (; next <= spans; ++next) start_span(next, count, postings);

  bound.step_values = step_values;
  bound.run_steps = run_steps;
  bound.run_offsets = run_offsets;
  bound.run_parts = run_parts;
  bound.span_windows = span_windows;
  bound.span_steps = span_steps;
  bound.span_runs_in_block = span_runs;
  bound.span_starts_in_block = span_starts;
  bound.block_runs = block_runs;
  bound.block_starts = block_starts;
}

// A dense term's bound: each window's largest contribution, exactly as
// scoring computes it, which bounds the window's documents far more closely
// than any figure taken from its frequencies and lengths alone. False when a
// contribution is NaN, infinite or negative (odd stored parameters), as
// pruning is then unsound.
bool windowed_bound(const Bm25& bm25, const Bm25Constants& c, const PostingList& postings, float idf,
                    std::size_t windows, TermBound& bound) {
  // Postings come in document order, so each window's are one run.
  WindowRuns runs(std::min(windows, postings.size()));
  if (!window_runs(bm25, c, postings, idf, runs)) return false;
  float max = 0.0f;
  for (std::size_t r = 0; r < runs.count; ++r) max = std::max(max, runs.values[r]);
  bound.max = max;
  set_windows(bound, windows, postings.size(), runs);
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
  if (bound == nullptr || s >= bound->spans()) {
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
