#include "search/topk.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace tessavine {
namespace {

// std heap functions keep the greatest element under the comparator at the
// front; ordering by `better` makes that the worst value held.
constexpr BestFirst worse_at_front;

}  // namespace

TopK::TopK(std::size_t k, std::size_t expected) : k_(k) {
  heap_.reserve(std::min(k, expected));
}

void TopK::push(std::uint32_t id, float score) {
  if (k_ == 0) return;
  const Scored value{nan_to_neg_inf(score), id};
  if (heap_.size() < k_) {
    heap_.push_back(value);
    std::push_heap(heap_.begin(), heap_.end(), worse_at_front);
    return;
  }
  if (!better(value, heap_.front())) return;
  // The worst value held gives way: the new one goes down from the front
  // past every child better than it, the worse child first, in one pass
  // where popping and pushing would take two.
  const std::size_t n = heap_.size();
  std::size_t at = 0;
  for (std::size_t child = 1; child < n; child = 2 * at + 1) {
    if (child + 1 < n && better(heap_[child], heap_[child + 1])) ++child;
    if (!better(value, heap_[child])) break;
    heap_[at] = heap_[child];
    at = child;
  }
  heap_[at] = value;
}

std::vector<Scored> TopK::finish() && {
  std::sort(heap_.begin(), heap_.end(), BestFirst{});
  return std::move(heap_);
}

BestOf::BestOf(std::size_t k, std::size_t expected)
    : k_(k),
      cap_(k > (std::numeric_limits<std::size_t>::max() - 64) / 2 ? std::numeric_limits<std::size_t>::max()
                                                                 : 2 * k + 64),
      bar_(k == 0 ? std::numeric_limits<std::uint64_t>::max() : 0) {
  kept_.reserve(std::min(cap_, expected));
}

void BestOf::cut() {
  std::nth_element(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(k_ - 1), kept_.end(),
                   std::greater<>());
  bar_ = kept_[k_ - 1];
  kept_.resize(k_);
}

std::vector<Scored> BestOf::finish() && {
  const std::size_t m = std::min(k_, kept_.size());
  if (m < kept_.size()) cut();
  std::sort(kept_.begin(), kept_.end(), std::greater<>());
  std::vector<Scored> out(m);
  for (std::size_t i = 0; i < m; ++i) {
    out[i] = {from_total_order_key(static_cast<std::uint32_t>(kept_[i] >> 32)),
              0xFFFFFFFFu - static_cast<std::uint32_t>(kept_[i])};
  }
  return out;
}

std::vector<Scored> top_k(std::span<const Scored> pairs, std::size_t k) {
  BestOf selection(k, pairs.size());
  for (const Scored& p : pairs) selection.push(p.id, p.score);
  return std::move(selection).finish();
}

namespace {

// A plain loop the compiler vectorises (std::max_element does not).
std::uint16_t largest(std::span<const std::uint16_t> distances) {
  std::uint16_t max = 0;
  for (std::uint16_t d : distances) max = std::max(max, d);
  return max;
}

// Four interleaved partial histograms: consecutive equal distances, common
// when they cluster, would otherwise wait on each other's increments.
// 32-bit partial counts cannot overflow: there are fewer than 2**32 numbers.
std::vector<std::uint64_t> histogram_of(std::span<const std::uint16_t> distances,
                                        std::size_t buckets) {
  std::vector<std::uint64_t> histogram(buckets, 0);
  std::vector<std::uint32_t> part(4 * buckets, 0);
  std::uint32_t* p[4] = {part.data(), part.data() + buckets, part.data() + 2 * buckets,
                         part.data() + 3 * buckets};
  const std::size_t n = distances.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++p[0][distances[i]];
    ++p[1][distances[i + 1]];
    ++p[2][distances[i + 2]];
    ++p[3][distances[i + 3]];
  }
  for (; i < n; ++i) ++p[0][distances[i]];
  for (std::size_t d = 0; d < buckets; ++d)
    histogram[d] = std::uint64_t{p[0][d]} + p[1][d] + p[2][d] + p[3][d];
  return histogram;
}

}  // namespace

std::vector<std::uint32_t> smallest_k_by_histogram(std::span<const std::uint16_t> distances,
                                                   std::size_t k) {
  const std::size_t n = distances.size();
  if (n == 0 || k == 0) return {};
  const std::size_t want = std::min(k, n);
  const std::vector<std::uint64_t> histogram =
      histogram_of(distances, std::size_t{largest(distances)} + 1);

  // Threshold bucket t: the first at which the running total reaches `want`.
  // With want == n that is the largest distance, and everything is kept.
  std::size_t t = 0;
  std::uint64_t below = 0;
  while (below + histogram[t] < want) below += histogram[t++];
  std::uint64_t take = want - below;

  // Place each kept number straight at its sorted position: numbers arrive in
  // ascending order, so filling each bucket's slots in arrival order sorts the
  // result by (distance, number) without a comparison sort.
  std::vector<std::uint32_t> result(want);
  std::vector<std::uint64_t> next(t + 1);
  std::uint64_t offset = 0;
  for (std::size_t d = 0; d <= t; ++d) {
    next[d] = offset;
    offset += histogram[d];
  }
  const auto keep = [&](std::size_t i) {
    const std::uint16_t d = distances[i];
    if (d < t || (d == t && take > 0)) {
      if (d == t) --take;
      result[next[d]++] = static_cast<std::uint32_t>(i);
    }
  };
  // Kept numbers are usually rare: skip blocks holding none with one
  // vectorised test per block.
  constexpr std::size_t kBlock = 32;
  const std::uint16_t limit = static_cast<std::uint16_t>(t);
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    std::uint16_t hits = 0;
    for (std::size_t j = 0; j < kBlock; ++j) hits += distances[i + j] <= limit;
    if (hits == 0) continue;
    for (std::size_t j = 0; j < kBlock; ++j) keep(i + j);
  }
  for (; i < n; ++i) keep(i);
  return result;
}

}  // namespace tessavine
