// Hybrid search: the keyword and the vector ranking fused by reciprocal rank,
// then, when the query has quoted phrases or several terms, re-ranked by
// looking at the candidates' own term sequences.
#include "index/hybrid_search.h"

#include <algorithm>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>

#include "search/fuse.h"
#include "index/reader.h"
#include "index/writer.h"
#include "text/phrase.h"
#include "text/tokenize.h"

namespace tessavine {
namespace {

struct Candidate {
  std::uint32_t id;
  float score;
  bool phrase;  // holds every quoted phrase
};

std::vector<std::uint32_t> ids_of(const std::vector<Scored>& ranking) {
  std::vector<std::uint32_t> ids;
  ids.reserve(ranking.size());
  for (const Scored& s : ranking) ids.push_back(s.id);
  return ids;
}

// The terms of `lists`, each once. Containment ignores order and repeats, so
// the postings pre-check looks each distinct term up once per candidate: a
// query repeating one word 100000 times must not cost 100000 lookups each.
std::vector<std::string> distinct_terms(std::span<const std::vector<std::string>> lists) {
  std::vector<std::string> terms;
  for (const auto& list : lists) terms.insert(terms.end(), list.begin(), list.end());
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  return terms;
}

// Phrase holders first, then score by totalOrder, then chunk number.
bool ranks_before(const Candidate& a, const Candidate& b) {
  if (a.phrase != b.phrase) return a.phrase;
  const std::uint32_t ka = total_order_key(a.score);
  const std::uint32_t kb = total_order_key(b.score);
  return ka != kb ? ka > kb : a.id < b.id;
}

// Sets the 1-based rank of each hit's first occurrence in `ranking`.
void set_ranks(std::vector<Hit>& hits, std::span<const std::uint32_t> ranking,
               std::optional<std::uint32_t> Hit::*rank) {
  std::unordered_map<std::uint32_t, std::size_t> index_of;
  index_of.reserve(hits.size());
  for (std::size_t i = 0; i < hits.size(); ++i) index_of.emplace(hits[i].id, i);
  for (std::size_t r = 0; r < ranking.size(); ++r) {
    const auto it = index_of.find(ranking[r]);
    if (it == index_of.end()) continue;
    Hit& hit = hits[it->second];
    // A ranking is at most one entry per chunk long, so r + 1 fits 32 bits.
    if (!(hit.*rank)) hit.*rank = static_cast<std::uint32_t>(r + 1);
  }
}

}  // namespace

Result<std::vector<Hit>> IndexReader::search(std::string_view text,
                                             std::optional<std::span<const float>> vector,
                                             const SearchParams& params) const {
  constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
  const std::size_t k = static_cast<std::size_t>(params.k);
  const std::size_t pool = static_cast<std::size_t>(std::max(params.k, params.depth));

  const std::vector<std::uint32_t> bm25_ranking = ids_of(search_bm25(text, pool));
  std::vector<std::uint32_t> vector_ranking;
  if (vector) {
    auto found = search_vector_with(*vector, pool, static_cast<std::size_t>(params.candidates),
                                    VectorMode::TernaryInt8);
    if (!found) return fail(std::move(found).error());
    vector_ranking = ids_of(*found);
  }

  const PhraseQuery query = PhraseQuery::parse(text);
  const bool boost_condition = query.terms.size() >= 2 && params.phrase_boost > 0.0f;
  const bool rerank = !query.phrases.empty() || boost_condition;

  const std::vector<Scored> fused =
      rrf(params.rrf_k, {bm25_ranking, vector_ranking}, rerank ? kNoLimit : k);
  std::vector<Candidate> candidates;
  candidates.reserve(fused.size());
  for (const Scored& s : fused) candidates.push_back({s.id, s.score, false});

  if (rerank && !candidates.empty()) {
    const float boost = params.phrase_boost / (params.rrf_k + 1.0f);
    // Every phrase holding all its terms is the same as the chunk holding
    // every term of the phrases together.
    const std::vector<std::string> sequence_terms =
        boost_condition ? distinct_terms({&query.terms, 1}) : std::vector<std::string>{};
    const std::vector<std::string> phrase_terms = distinct_terms(query.phrases);
    for (Candidate& c : candidates) {
      // The postings tell cheaply whether a chunk can match at all; only
      // those that can are decoded and tokenized.
      const bool all_terms = boost_condition && bm25_.contains_all(c.id, sequence_terms);
      const bool all_phrases = !query.phrases.empty() && bm25_.contains_all(c.id, phrase_terms);
      if (!all_terms && !all_phrases) continue;
      auto record = chunk(c.id);
      if (!record) return fail(std::move(record).error());
      const TermMatch match = match_terms(query, tokenize(search_text(*record)));
      if (match.sequence_match) c.score = boost + c.score;
      c.phrase = match.phrase_match;
    }
    std::stable_sort(candidates.begin(), candidates.end(), ranks_before);
  }
  if (candidates.size() > k) candidates.resize(k);

  std::vector<Hit> hits;
  hits.reserve(candidates.size());
  for (const Candidate& c : candidates) hits.push_back({c.id, c.score, std::nullopt, std::nullopt});
  set_ranks(hits, bm25_ranking, &Hit::bm25_rank);
  set_ranks(hits, vector_ranking, &Hit::vector_rank);
  return hits;
}

}  // namespace tessavine
