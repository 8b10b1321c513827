#include "search/fuse.h"

#include <algorithm>
#include <unordered_map>

namespace tessavine {
namespace {

struct Fused {
  float score;
  std::size_t last_ranking;  // index of the ranking that last added to it
};

}  // namespace

std::vector<Scored> rrf_plain(float rrf_k, std::span<const std::span<const std::uint32_t>> rankings,
                              std::size_t limit) {
  std::size_t total = 0;
  for (const auto& ranking : rankings) total += ranking.size();

  std::unordered_map<std::uint32_t, Fused> fused;
  fused.reserve(total);
  for (std::size_t which = 0; which < rankings.size(); ++which) {
    std::size_t r = 0;
    for (std::uint32_t id : rankings[which]) {
      const float contribution = 1.0f / ((rrf_k + static_cast<float>(r)) + 1.0f);
      ++r;
      auto [it, inserted] = fused.try_emplace(id, Fused{0.0f, which});
      if (!inserted) {
        if (it->second.last_ranking == which) continue;  // a repeat within this ranking
        it->second.last_ranking = which;
      }
      it->second.score = it->second.score + contribution;
    }
  }
  if (limit == 0) return {};
  TopK selection(limit, fused.size());
  for (const auto& [id, entry] : fused) selection.push(id, entry.score);
  return std::move(selection).finish();
}

namespace {

// One position of one ranking.
struct Entry {
  std::uint32_t id;
  std::uint32_t which;  // the ranking
  std::size_t r;        // the position in it
};

}  // namespace

// The entries sorted by chunk, then ranking, then position, leave each chunk's
// contributions in the order rrf_plain adds them, and its first position in
// each ranking first. One array instead of a hash map's node per chunk: the
// allocator's lists are cold when a search comes in, and every node cost a
// cache miss or two.
std::vector<Scored> rrf(float rrf_k, std::span<const std::span<const std::uint32_t>> rankings,
                        std::size_t limit) {
  if (limit == 0) return {};
  std::size_t total = 0;
  for (const auto& ranking : rankings) total += ranking.size();
  std::vector<Entry> entries;
  entries.reserve(total);
  for (std::size_t which = 0; which < rankings.size(); ++which) {
    for (std::size_t r = 0; r < rankings[which].size(); ++r) {
      entries.push_back({rankings[which][r], static_cast<std::uint32_t>(which), r});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.id != b.id) return a.id < b.id;
    return a.which != b.which ? a.which < b.which : a.r < b.r;
  });
  std::vector<Scored> fused;
  fused.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size();) {
    const std::uint32_t id = entries[i].id;
    float score = 0.0f;
    std::size_t j = i;
    for (; j < entries.size() && entries[j].id == id; ++j) {
      if (j > i && entries[j].which == entries[j - 1].which) continue;  // a repeat
      score = score + rrf_contribution(rrf_k, entries[j].r);
    }
    fused.push_back({nan_to_neg_inf(score), id});
    i = j;
  }
  // The chunks are distinct, so the order is total: the first `limit` in it
  // are what a bounded selection keeps.
  if (limit < fused.size()) {
    std::partial_sort(fused.begin(), fused.begin() + static_cast<std::ptrdiff_t>(limit), fused.end(), BestFirst{});
    fused.resize(limit);
  } else {
    std::sort(fused.begin(), fused.end(), BestFirst{});
  }
  return fused;
}

std::vector<Scored> rrf_one(float rrf_k, std::span<const std::uint32_t> ranking, std::size_t limit) {
  if (limit == 0) return {};
  std::vector<Scored> fused(ranking.size());
  bool falling = true;
  for (std::size_t r = 0; r < ranking.size(); ++r) {
    // Each chunk's only contribution, added to 0 as `rrf` adds it.
    const float score = 0.0f + rrf_contribution(rrf_k, r);
    fused[r] = {nan_to_neg_inf(score), ranking[r]};
    if (r > 0 && total_order_key(fused[r].score) >= total_order_key(fused[r - 1].score)) falling = false;
  }
  // Equal scores (an rrf_k so large or odd that positions blur) order by
  // chunk number instead.
  if (!falling) return rrf(rrf_k, std::span(&ranking, 1), limit);
  if (limit < fused.size()) fused.resize(limit);
  return fused;
}

}  // namespace tessavine
