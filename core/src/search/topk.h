// Bounded selection of the best (chunk number, score) pairs, shared by keyword
// search, vector rescoring and fusion, and the histogram selection of the
// smallest 16-bit distances used by the first stage of vector search.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace tessavine {

// An unsigned key whose order is the IEEE 754 totalOrder of the float:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
inline std::uint32_t total_order_key(float f) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// The float whose total_order_key is `key`.
inline float from_total_order_key(std::uint32_t key) {
  return std::bit_cast<float>((key & 0x80000000u) ? key & 0x7FFFFFFFu : ~key);
}

// a < b in the IEEE 754 totalOrder.
inline bool total_order_less(float a, float b) { return total_order_key(a) < total_order_key(b); }

// One candidate of a selection. A value is better than another when its score
// is greater in the totalOrder, or the scores are equal and its id smaller.
struct Scored {
  float score;
  std::uint32_t id;

  friend bool operator==(const Scored&, const Scored&) = default;
};

// Whether `a` ranks before `b`.
inline bool better(const Scored& a, const Scored& b) {
  const std::uint32_t ka = total_order_key(a.score);
  const std::uint32_t kb = total_order_key(b.score);
  return ka != kb ? ka > kb : a.id < b.id;
}

// `better` for the standard sorts and heaps: as a function object its
// comparisons are inlined, where a function pointer is called each time.
struct BestFirst {
  bool operator()(const Scored& a, const Scored& b) const { return better(a, b); }
};

// Selection scores: NaN counts as negative infinity.
inline float nan_to_neg_inf(float score) {
  return score != score ? -std::numeric_limits<float>::infinity() : score;
}

// Streaming form of `top_k`: push pairs in input order, then take the result.
// Holds at most k values; memory grows with what is pushed, never with k.
class TopK {
 public:
  // `expected` is how many pairs the caller will push, when known; it only
  // bounds the initial reservation together with k.
  explicit TopK(std::size_t k, std::size_t expected = 0);

  void push(std::uint32_t id, float score);

  // Whether `push` would keep the pair now: lets a caller with a long stream
  // skip most pairs without a call.
  bool would_keep(std::uint32_t id, float score) const {
    if (heap_.size() < k_) return true;
    return !heap_.empty() && better(Scored{nan_to_neg_inf(score), id}, heap_.front());
  }

  // A score no lower than that of every pair `push` would keep now (in the
  // totalOrder): -inf while there is room.
  float floor() const {
    return heap_.size() < k_ || heap_.empty() ? -std::numeric_limits<float>::infinity()
                                              : heap_.front().score;
  }

  // The values held, best first; a NaN input score comes back as -inf.
  std::vector<Scored> finish() &&;

 private:
  std::size_t k_;
  std::vector<Scored> heap_;  // worst value held at the front
};

// The same selection when nothing asks for the worst value held along the
// way: pairs that beat the k-th best of those kept so far are gathered, and
// cut back to the k best whenever k + 64 more are kept. The bar only rises;
// a pair costs a comparison and at most an append, where a heap sifts for
// every pair it takes.
class BestOf {
 public:
  explicit BestOf(std::size_t k, std::size_t expected = 0);

  void push(std::uint32_t id, float score) {
    // One number per pair, greater when better: the score's totalOrder key
    // above, the id counted down below (the least, -inf with the largest
    // id, is well above 0).
    const std::uint64_t key =
        std::uint64_t{total_order_key(nan_to_neg_inf(score))} << 32 | (0xFFFFFFFFu - id);
    if (key <= bar_) return;
    kept_.push_back(key);
    if (kept_.size() == cap_) cut();
  }

  // The values held, best first; a NaN input score comes back as -inf.
  std::vector<Scored> finish() &&;

 private:
  void cut();

  std::size_t k_;
  std::size_t cap_;
  std::uint64_t bar_;  // a pair must beat it; the k-th best kept at the last cut
  std::vector<std::uint64_t> kept_;
};

// The k best of `pairs` (ids distinct for a well-defined result), best first,
// NaN scores counted and returned as -inf. k may be any value, 2**64 - 1 too.
std::vector<Scored> top_k(std::span<const Scored> pairs, std::size_t k);

// The numbers of the k smallest distances (all of them when there are fewer),
// in ascending (distance, number) order; ties at the threshold distance go to
// the lower number. The number of distances must fit in 32 bits (it is a
// vector count). Linear in the number of distances plus the largest distance.
std::vector<std::uint32_t> smallest_k_by_histogram(std::span<const std::uint16_t> distances,
                                                   std::size_t k);

}  // namespace tessavine
