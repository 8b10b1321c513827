#include "topk.h"

#include <algorithm>

namespace tessavine {
namespace {

// std heap functions keep the greatest element under the comparator at the
// front; ordering by `better` makes that the worst value held.
bool worse_at_front(const Scored& a, const Scored& b) { return better(a, b); }

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
  std::pop_heap(heap_.begin(), heap_.end(), worse_at_front);
  heap_.back() = value;
  std::push_heap(heap_.begin(), heap_.end(), worse_at_front);
}

std::vector<Scored> TopK::finish() && {
  std::sort(heap_.begin(), heap_.end(), better);
  return std::move(heap_);
}

std::vector<Scored> top_k(std::span<const Scored> pairs, std::size_t k) {
  TopK selection(k, pairs.size());
  for (const Scored& p : pairs) selection.push(p.id, p.score);
  return std::move(selection).finish();
}

std::vector<std::uint32_t> smallest_k_by_histogram(std::span<const std::uint16_t> distances,
                                                   std::size_t k) {
  const std::size_t n = distances.size();
  if (n == 0 || k == 0) return {};
  const std::size_t want = std::min(k, n);

  const std::uint16_t max = *std::max_element(distances.begin(), distances.end());
  std::vector<std::uint64_t> histogram(std::size_t{max} + 1, 0);
  for (std::uint16_t d : distances) ++histogram[d];

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
  std::size_t placed = 0;
  for (std::size_t i = 0; i < n && placed < want; ++i) {
    const std::uint16_t d = distances[i];
    if (d < t) {
      result[next[d]++] = static_cast<std::uint32_t>(i);
      ++placed;
    } else if (d == t && take > 0) {
      result[next[d]++] = static_cast<std::uint32_t>(i);
      --take;
      ++placed;
    }
  }
  return result;
}

}  // namespace tessavine
