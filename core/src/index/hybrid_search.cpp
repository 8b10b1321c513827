// Hybrid search: the keyword and the vector ranking fused by reciprocal rank,
// then, when the query has quoted phrases or several terms, re-ranked by
// looking at the candidates' own term sequences.
#include "index/hybrid_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "formats/record_text.h"
#include "index/reader.h"
#include "index/writer.h"
#include "search/fuse.h"
#include "text/phrase.h"
#include "text/sparse_match.h"
#include "text/tokenize.h"

namespace tessavine {
namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

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
  // The hits by chunk number (each once), found by halving: one array, where
  // a hash map would allocate a node per hit.
  std::vector<std::pair<std::uint32_t, std::size_t>> index_of(hits.size());
  for (std::size_t i = 0; i < hits.size(); ++i) index_of[i] = {hits[i].id, i};
  std::sort(index_of.begin(), index_of.end());
  std::size_t unranked = hits.size();
  for (std::size_t r = 0; r < ranking.size() && unranked != 0; ++r) {
    const auto it = std::lower_bound(index_of.begin(), index_of.end(), std::pair{ranking[r], std::size_t{0}});
    if (it == index_of.end() || it->first != ranking[r]) continue;
    Hit& hit = hits[it->second];
    // A ranking is at most one entry per chunk long, so r + 1 fits 32 bits.
    if (!(hit.*rank)) {
      hit.*rank = static_cast<std::uint32_t>(r + 1);
      --unranked;
    }
  }
}

// Whether a query's sequence of terms earns the boost: it has at least two
// terms and the boost is positive (NaN is not).
bool boost_condition(const PhraseQuery& query, const SearchParams& params) {
  return query.terms.size() >= 2 && params.phrase_boost > 0.0f;
}

// Whether fusing one ranking alone, when nothing re-ranks it, puts its first
// k positions in order before every later one up to `pool`, so that a
// ranking cut to k gives the same hits. With rrf_k a finite number >= 0 the
// scores never rise along the ranking; they must also fall from position
// k - 1 to k, or chunk numbers would settle ties across the cut.
bool first_k_stand(float rrf_k, std::size_t k, std::size_t pool) {
  if (k == 0 || k >= pool) return true;
  if (!(rrf_k >= 0.0f && rrf_k <= std::numeric_limits<float>::max())) return false;
  return rrf_contribution(rrf_k, k - 1) > rrf_contribution(rrf_k, k);
}

// What both forms share: the two rankings, fused, and the query parsed.
struct Fused {
  std::vector<std::uint32_t> bm25_ranking;
  std::vector<std::uint32_t> vector_ranking;
  PhraseQuery query;
  bool boost_condition;
  bool rerank;
  std::vector<Candidate> candidates;
};

Result<Fused> rank_and_fuse(const IndexReader& reader, std::vector<std::uint32_t> bm25_ranking,
                            PhraseQuery query, std::optional<std::span<const float>> vector,
                            const SearchParams& params, std::size_t pool, bool plain) {
  Fused f{std::move(bm25_ranking), {}, std::move(query), false, false, {}};
  if (vector) {
    auto found = reader.search_vector_with(*vector, pool, static_cast<std::size_t>(params.candidates),
                                           VectorMode::TernaryInt8);
    if (!found) return fail(std::move(found).error());
    f.vector_ranking = ids_of(*found);
  }
  f.boost_condition = boost_condition(f.query, params);
  f.rerank = !f.query.phrases.empty() || f.boost_condition;
  const std::size_t limit = f.rerank ? kNoLimit : static_cast<std::size_t>(params.k);
  const std::span<const std::uint32_t> both[] = {f.bm25_ranking, f.vector_ranking};
  std::vector<Scored> fused;
  if (plain) {
    fused = rrf_plain(params.rrf_k, std::span(both), limit);
  } else if (f.bm25_ranking.empty() || f.vector_ranking.empty()) {
    // Without a vector, or with nothing found by one of the two.
    fused = rrf_one(params.rrf_k, f.vector_ranking.empty() ? f.bm25_ranking : f.vector_ranking, limit);
  } else {
    fused = rrf(params.rrf_k, std::span(both), limit);
  }
  f.candidates.reserve(fused.size());
  for (const Scored& s : fused) f.candidates.push_back({s.id, s.score, false});
  return f;
}

// One candidate's match: the boost for the sequence, the phrase flag.
void apply(Candidate& c, const TermMatch& match, float boost) {
  if (match.sequence_match) c.score = boost + c.score;
  c.phrase = match.phrase_match;
}

// Orders the candidates when re-ranked, cuts them to k and turns them into
// hits.
std::vector<Hit> hits_of(Fused& f, std::size_t k) {
  // Chunk numbers are distinct, so the order is total: a plain sort gives
  // what a stable one would, and only the first k need their places.
  if (f.rerank) {
    const auto before = [](const Candidate& a, const Candidate& b) { return ranks_before(a, b); };
    if (k < f.candidates.size()) {
      std::partial_sort(f.candidates.begin(), f.candidates.begin() + static_cast<std::ptrdiff_t>(k),
                        f.candidates.end(), before);
    } else {
      std::sort(f.candidates.begin(), f.candidates.end(), before);
    }
  }
  if (f.candidates.size() > k) f.candidates.resize(k);
  std::vector<Hit> hits;
  hits.reserve(f.candidates.size());
  for (const Candidate& c : f.candidates) hits.push_back({c.id, c.score, std::nullopt, std::nullopt});
  set_ranks(hits, f.bm25_ranking, &Hit::bm25_rank);
  set_ranks(hits, f.vector_ranking, &Hit::vector_rank);
  return hits;
}

float boost_of(const SearchParams& params) { return params.phrase_boost / (params.rrf_k + 1.0f); }

// Tells when no candidate left can reach the first k. Candidates come best
// fused score first; one can gain at most the boost and the phrase flag, so
// with a finite boost, max(score, boost + score) bounds its final score, and
// float addition keeps that bound falling with the score. Once k candidates
// already looked at rank before any such bound, the rest only need their
// records checked.
class Cutoff {
 public:
  Cutoff(std::size_t k, std::size_t candidates, float boost, bool phrases)
      : k_(k), boost_(boost), phrases_(phrases), tracked_(k <= candidates && std::isfinite(boost)) {}

  // The final value of a candidate looked at.
  void add(const Candidate& c) {
    if (!tracked_ || k_ == 0) return;
    const auto worse = [](const Candidate& a, const Candidate& b) { return ranks_before(a, b); };
    if (best_.size() < k_) {
      best_.push_back(c);
      std::push_heap(best_.begin(), best_.end(), worse);
    } else if (ranks_before(c, best_.front())) {
      std::pop_heap(best_.begin(), best_.end(), worse);
      best_.back() = c;
      std::push_heap(best_.begin(), best_.end(), worse);
    }
  }

  // Whether the candidate with this fused score, and every later one, falls
  // outside the first k.
  bool reached(float score) const {
    if (k_ == 0) return true;
    if (!tracked_ || best_.size() < k_) return false;
    const Candidate& kth = best_.front();
    if (kth.phrase != phrases_) return kth.phrase;
    const float boosted = boost_ + score;
    const float bound = total_order_less(score, boosted) ? boosted : score;
    return total_order_key(kth.score) > total_order_key(bound);
  }

 private:
  std::size_t k_;
  float boost_;
  bool phrases_;  // whether a later candidate can gain the phrase flag
  bool tracked_;
  std::vector<Candidate> best_;  // the k best so far, worst at the front
};

// A term of the BM25 file: its postings and its bound, if the keyword search
// made one.
struct FoundTerm {
  PostingList postings;
  const TermBound* bound;
};

// The found terms with their postings and the bounds the keyword search
// made. Asked for only when the file holds every wanted term: otherwise no
// chunk holds them all.
std::optional<std::vector<FoundTerm>> with_bounds(const Bm25& bm25, const Bm25Bounds& bounds,
                                                  std::span<const std::uint32_t> found) {
  std::vector<FoundTerm> terms;
  terms.reserve(found.size());
  for (const std::uint32_t t : found) terms.push_back({bm25.postings(t), bounds.made(t)});
  return terms;
}

bool holds_all(const std::optional<std::vector<FoundTerm>>& terms, std::uint32_t doc) {
  if (!terms) return false;
  return std::all_of(terms->begin(), terms->end(),
                     [&](const FoundTerm& t) { return has_posting(t.postings, t.bound, doc); });
}

// What reading records in place gave in one search, by their tails (the
// bytes past the path). A note stored more than once (copies, templates,
// boilerplate) gives records that differ in their paths at most, and the
// tail alone decides whether a record reads in place, its runs and their
// match: each distinct tail is read once and matched at most once.
class TailMemo {
  // A tail is a whole chunk, a kilobyte or so, which the standard hash
  // reads a word at a time through one chain of multiplications. Four
  // chains side by side take every byte into account in a quarter of the
  // time.
  struct WideHash {
    static std::uint64_t mix(std::uint64_t h, std::uint64_t word) {
      h = (h ^ word) * 0x9E3779B97F4A7C15ull;
      return h ^ h >> 29;
    }
    std::size_t operator()(std::string_view tail) const {
      std::uint64_t lanes[4] = {tail.size(), 1, 2, 3};
      std::size_t at = 0;
      for (; at + 32 <= tail.size(); at += 32) {
        for (std::size_t l = 0; l < 4; ++l) {
          std::uint64_t word;
          std::memcpy(&word, tail.data() + at + 8 * l, 8);
          lanes[l] = mix(lanes[l], word);
        }
      }
      for (; at < tail.size(); ++at) lanes[at % 4] = mix(lanes[at % 4], static_cast<unsigned char>(tail[at]));
      return mix(mix(mix(lanes[0], lanes[1]), lanes[2]), lanes[3]);
    }
  };

 public:
  explicit TailMemo(SparseMatcher& matcher) : matcher_(matcher) {}

  struct Entry {
    std::string_view tail;  // the first record's, which the runs are slices of
    bool reads;
    std::vector<std::string_view> runs;
    std::optional<TermMatch> match;
  };

  // The tail's entry, read on first sight; null when it does not read in
  // place. Copies of a chunk score alike and so come one after another: the
  // tail looked up last is compared first, which reads the bytes once where
  // hashing them and then comparing reads them twice.
  Entry* read(std::string_view tail) {
    if (last_ == nullptr || last_->tail.size() != tail.size() ||
        std::memcmp(last_->tail.data(), tail.data(), tail.size()) != 0) {
      auto [it, added] = seen_.try_emplace(tail);
      Entry& e = it->second;
      if (added) {
        e.tail = tail;
        e.reads = tail_runs(tail, e.runs);
      }
      last_ = &e;
    }
    return last_->reads ? last_ : nullptr;
  }

  const TermMatch& match(Entry& e) {
    if (!e.match) e.match = matcher_.match(e.tail, e.runs);
    return *e.match;
  }

 private:
  SparseMatcher& matcher_;
  std::unordered_map<std::string_view, Entry, WideHash> seen_;  // nodes stay where they are
  Entry* last_ = nullptr;
};

}  // namespace

Result<std::vector<Hit>> IndexReader::search(std::string_view text,
                                             std::optional<std::span<const float>> vector,
                                             const SearchParams& params) const {
  const std::size_t pool = static_cast<std::size_t>(std::max(params.k, params.depth));
  PhraseQuery query = PhraseQuery::parse(text);
  // The query's distinct terms, the keyword ranking's own, each looked up
  // once for the ranking and the postings pre-check, and those of its
  // phrases.
  const std::vector<std::string> terms = distinct_terms({&query.terms, 1});
  const std::vector<std::uint32_t> found = found_terms(bm25_, terms);
  const std::vector<std::string> phrase_words = distinct_terms(query.phrases);
  const std::vector<std::uint32_t> phrase_found = found_terms(bm25_, phrase_words);
  // Only a chunk holding every term (with the boost condition), or every
  // phrase's terms, is looked at by the re-ranking; when the file lacks one
  // of each, no chunk is.
  const bool every_term_found = boost_condition(query, params) && found.size() == terms.size();
  const bool every_phrase_found = !query.phrases.empty() && phrase_found.size() == phrase_words.size();
  // Without a vector and without any chunk to look at, the hits are the
  // keyword ranking's first k in its order, which a ranking of k gives as
  // well as one of `pool`: a one-word query, or one with a word the file
  // lacks, then costs what search_bm25 does.
  const std::size_t length = !vector && !every_term_found && !every_phrase_found &&
                                     first_k_stand(params.rrf_k, static_cast<std::size_t>(params.k), pool)
                                 ? static_cast<std::size_t>(params.k)
                                 : pool;
  // Which of the ranked chunks hold every term, when the ranking could tell.
  std::optional<std::vector<std::uint32_t>> holding_all;
  auto ranking = ids_of(search_bm25_pruned(bm25_, *bm25_bounds_, found, length, kFewPostings,
                                           every_term_found ? &holding_all : nullptr));
  auto fused = rank_and_fuse(*this, std::move(ranking), std::move(query), vector, params, pool, false);
  if (!fused) return fail(std::move(fused).error());
  Fused& f = *fused;
  if (f.rerank && !f.candidates.empty()) {
    const float boost = boost_of(params);
    // The keyword ranking tells, when it can, which of its own chunks hold
    // every term; without a vector ranking those are all the candidates.
    // The postings answer for the vector ranking's others, with the bounds
    // the ranking made.
    const bool vector_adds = !f.vector_ranking.empty();
    std::vector<std::uint32_t> ranked;  // with a vector ranking: the keyword one's chunks, in order of number
    if (every_term_found && holding_all && vector_adds) {
      ranked = f.bm25_ranking;
      std::sort(ranked.begin(), ranked.end());
    }
    const auto told = [&](std::uint32_t id) {
      return holding_all && (!vector_adds || std::binary_search(ranked.begin(), ranked.end(), id));
    };
    const auto sequence_terms = every_term_found && (!holding_all || vector_adds)
                                    ? with_bounds(bm25_, *bm25_bounds_, found)
                                    : std::nullopt;
    const auto holds_every_term = [&](std::uint32_t id) {
      if (!every_term_found) return false;
      return told(id) ? std::binary_search(holding_all->begin(), holding_all->end(), id)
                      : holds_all(sequence_terms, id);
    };
    // Every phrase holding all its terms is the same as the chunk holding
    // every term of the phrases together.
    const auto phrase_terms = every_phrase_found
                                  ? with_bounds(bm25_, *bm25_bounds_, phrase_found)
                                  : std::nullopt;
    SparseMatcher matcher(f.query);
    TailMemo memo(matcher);
    Cutoff cutoff(static_cast<std::size_t>(params.k), f.candidates.size(), boost,
                  !f.query.phrases.empty());
    // The postings tell cheaply whether a chunk can match at all; only the
    // records of those that can are looked at, each fetched from memory
    // while the two before it are matched.
    std::vector<std::size_t> looked_at;
    looked_at.reserve(f.candidates.size());  // one visit to the allocator, its caches cold
    for (std::size_t i = 0; i < f.candidates.size(); ++i) {
      const std::uint32_t id = f.candidates[i].id;
      if (holds_every_term(id) || holds_all(phrase_terms, id)) looked_at.push_back(i);
    }
    // Where each record lies is asked for at once, then each one's first
    // byte is read: the records of one search lie on pages far apart, and
    // reads go through their page walks together (about 3 us less per
    // search at 1,033,904 chunks, caches cold). Then the rest of record j.
    for (const std::size_t i : looked_at) docs_.prefetch_offset(f.candidates[i].id);
    for (const std::size_t i : looked_at) docs_.touch_record(f.candidates[i].id);
    const auto fetch = [&](std::size_t j) {
      if (j < looked_at.size()) docs_.prefetch_record(f.candidates[looked_at[j]].id);
    };
    std::size_t next = 0;  // in looked_at
    fetch(0);
    fetch(1);
    for (std::size_t i = 0; i < f.candidates.size(); ++i) {
      Candidate& c = f.candidates[i];
      const bool out = cutoff.reached(c.score);
      if (next == looked_at.size() || looked_at[next] != i) {
        cutoff.add(c);
        continue;
      }
      fetch(++next + 1);
      // The stored record's heading path and text, matched as the tokenizer
      // hands out their terms, up to where the answer is settled; past the
      // cutoff only checked, once per reader. A record of another shape, or
      // a damaged one, is decoded in full instead, which also reports the
      // damage.
      if (out && checked_->has(c.id)) continue;
      const std::string_view bytes = docs_.record_bytes(c.id);
      const std::optional<std::size_t> end = path_end(bytes);
      if (TailMemo::Entry* tail = end ? memo.read(bytes.substr(*end)) : nullptr) {
        checked_->add(c.id);
        if (out) continue;
        apply(c, memo.match(*tail), boost);
        cutoff.add(c);
        continue;
      }
      auto record = chunk(c.id);
      if (!record) return fail(std::move(record).error());
      checked_->add(c.id);
      if (out) continue;
      apply(c, match_terms(f.query, tokenize(search_text(*record))), boost);
      cutoff.add(c);
    }
  }
  return hits_of(f, static_cast<std::size_t>(params.k));
}

Result<std::vector<Hit>> search_plain(const IndexReader& reader, std::string_view text,
                                      std::optional<std::span<const float>> vector,
                                      const SearchParams& params) {
  const std::size_t pool = static_cast<std::size_t>(std::max(params.k, params.depth));
  auto fused = rank_and_fuse(reader, ids_of(search_bm25_plain(reader.bm25(), text, pool)),
                             PhraseQuery::parse(text), vector, params, pool, true);
  if (!fused) return fail(std::move(fused).error());
  Fused& f = *fused;
  if (f.rerank && !f.candidates.empty()) {
    const std::vector<std::string> sequence_terms = distinct_terms({&f.query.terms, 1});
    const std::vector<std::string> phrase_terms = distinct_terms(f.query.phrases);
    for (Candidate& c : f.candidates) {
      const bool all_terms = f.boost_condition && reader.bm25().contains_all(c.id, sequence_terms);
      const bool all_phrases = !f.query.phrases.empty() && reader.bm25().contains_all(c.id, phrase_terms);
      if (!all_terms && !all_phrases) continue;
      auto record = reader.chunk(c.id);
      if (!record) return fail(std::move(record).error());
      apply(c, match_terms(f.query, tokenize(search_text(*record))), boost_of(params));
    }
  }
  return hits_of(f, static_cast<std::size_t>(params.k));
}

}  // namespace tessavine
