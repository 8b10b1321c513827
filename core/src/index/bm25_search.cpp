// Keyword ranking: Okapi BM25 over the postings of the query's distinct
// terms, term at a time, with every float operation in one fixed order so
// that scores are reproducible to the last bit.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "index/reader.h"
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

struct Bm25Constants {
  float n;
  float k1;
  float b;
  float avgdl;
  float one_minus_b;
  float k1_plus_1;

  explicit Bm25Constants(const Bm25& bm25)
      : n(static_cast<float>(bm25.doc_count())),
        k1(bm25.k1()),
        b(bm25.b()),
        avgdl(bm25.avgdl()),
        one_minus_b(1.0f - bm25.b()),
        k1_plus_1(bm25.k1() + 1.0f) {
    // Also catches NaN: an empty or damaged file must not divide by zero.
    if (!(avgdl >= std::numeric_limits<float>::min())) avgdl = std::numeric_limits<float>::min();
  }

  // Never negative, so a term found in every document still adds to a score.
  float idf(std::size_t df) const {
    const float dff = static_cast<float>(df);
    return std::log(((n - dff) + 0.5f) / (dff + 0.5f) + 1.0f);
  }

  float contribution(float idf, float tf, float dl) const {
    const float denominator = k1 * (one_minus_b + (b * dl) / avgdl) + tf;
    const float numerator = k1_plus_1 * (idf * tf);
    return numerator / denominator;
  }
};

}  // namespace

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

// The same scores as the plain form, with less work around them: nothing is
// allocated for a query without known terms, the score array is not zeroed
// (a bitmap of touched documents says which entries hold a score), and the
// selection is called only for candidates that beat the worst value held.
std::vector<Scored> search_bm25(const Bm25& bm25, std::string_view text, std::size_t k) {
  if (k == 0) return {};
  std::vector<std::uint32_t> found;
  for (const std::string& term : distinct_terms(text)) {
    if (const auto t = bm25.find_term(term)) found.push_back(*t);
  }
  if (found.empty()) return {};

  const Bm25Constants c(bm25);
  const std::uint32_t d = bm25.doc_count();
  const auto scores = std::make_unique_for_overwrite<float[]>(d);
  std::vector<std::uint64_t> touched((std::size_t{d} + 63) / 64, 0);
  std::vector<std::uint32_t> candidates;
  constexpr std::size_t kBlock = 256;
  std::uint32_t docs[kBlock];
  float tfs[kBlock];
  float dls[kBlock];
  float contributions[kBlock];
  for (const std::uint32_t t : found) {
    const PostingList postings = bm25.postings(t);
    const float idf = c.idf(postings.size());
    for (std::size_t start = 0; start < postings.size(); start += kBlock) {
      const std::size_t n = std::min(kBlock, postings.size() - start);
      // Gathered first so that the formula runs over plain arrays, which the
      // compiler turns into vector code; the same operations, lane by lane.
      for (std::size_t i = 0; i < n; ++i) {
        const Posting p = postings[start + i];
        docs[i] = p.doc;
        tfs[i] = static_cast<float>(p.tf);
        dls[i] = static_cast<float>(bm25.doc_len(p.doc));
      }
      for (std::size_t i = 0; i < n; ++i) contributions[i] = c.contribution(idf, tfs[i], dls[i]);
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t doc = docs[i];
        std::uint64_t& word = touched[doc >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (doc & 63);
        if (word & bit) {
          scores[doc] = scores[doc] + contributions[i];
        } else {
          word |= bit;
          scores[doc] = 0.0f + contributions[i];
          candidates.push_back(doc);
        }
      }
    }
  }
  TopK selection(k, candidates.size());
  for (const std::uint32_t doc : candidates) {
    const float score = scores[doc];
    if (selection.would_keep(doc, score)) selection.push(doc, score);
  }
  return std::move(selection).finish();
}

}  // namespace tessavine
