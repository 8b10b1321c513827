// Keyword ranking: Okapi BM25 over the postings of the query's distinct
// terms, with every float operation in one fixed order so that scores are
// reproducible to the last bit. The plain and the exhaustive forms; the
// pruned one is in bm25_pruned.cpp.
#include "index/bm25_search.h"

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "index/bm25_scoring.h"
#include "text/tokenize.h"

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

}  // namespace

std::vector<std::uint32_t> found_terms(const Bm25& bm25, std::span<const std::string> terms) {
  std::vector<std::uint32_t> found;
  for (const std::string& term : terms) {
    if (const auto t = bm25.find_term(term)) found.push_back(*t);
  }
  return found;
}

std::vector<std::uint32_t> found_terms(const Bm25& bm25, std::string_view text) {
  return found_terms(bm25, distinct_terms(text));
}

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

}  // namespace tessavine
