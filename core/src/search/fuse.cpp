#include "search/fuse.h"

#include <unordered_map>

namespace tessavine {
namespace {

struct Fused {
  float score;
  std::size_t last_ranking;  // index of the ranking that last added to it
};

}  // namespace

std::vector<Scored> rrf(float rrf_k, std::span<const std::span<const std::uint32_t>> rankings,
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

}  // namespace tessavine
