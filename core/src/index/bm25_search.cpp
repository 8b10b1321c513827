// Keyword ranking: Okapi BM25 over the postings of the query's distinct
// terms, term at a time, with every float operation in one fixed order so
// that scores are reproducible to the last bit.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "index/reader.h"
#include "tokenize.h"

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
  // A document joins the candidates the first time a posting scores it. The
  // flag, not the score, says whether it has: contributions from a file
  // with odd parameters can be zero or cancel out, and a document must
  // never be listed twice.
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
  return search_bm25_plain(bm25, text, k);
}

}  // namespace tessavine
