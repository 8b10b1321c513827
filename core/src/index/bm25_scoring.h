// What every keyword search shares: the BM25 formula with its float
// operations in one fixed order, and the exhaustive forms, which the pruned
// search also falls back on.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "formats/bm25.h"
#include "search/topk.h"

namespace tessavine {

// A file's constants of the formula, and the formula itself.
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

  float contribution(const Bm25& bm25, float idf, Posting p) const {
    return contribution(idf, static_cast<float>(p.tf), static_cast<float>(bm25.doc_len(p.doc)));
  }
};

inline constexpr std::size_t kBatch = 256;

// Postings [first, first + n) of one term: their documents, and their term
// frequencies and document lengths as floats, the formula's operands.
inline void gather_postings(const Bm25& bm25, const PostingList& postings, std::size_t first, std::size_t n,
                            std::uint32_t* docs, float* tfs, float* dls) {
  for (std::size_t i = 0; i < n; ++i) {
    const Posting p = postings[first + i];
    docs[i] = p.doc;
    tfs[i] = static_cast<float>(p.tf);
    dls[i] = static_cast<float>(bm25.doc_len(p.doc));
  }
}

// The formula over plain arrays, which the compiler turns into vector code:
// the same operations, lane by lane, as the one-posting form.
inline void contributions_of(const Bm25Constants& c, float idf, const float* tfs, const float* dls, std::size_t n,
                             float* contributions) {
  for (std::size_t i = 0; i < n; ++i) contributions[i] = c.contribution(idf, tfs[i], dls[i]);
}

// The contributions of postings [first, first + n) of one term (n <= kBatch)
// and their documents.
inline void score_batch(const Bm25& bm25, const Bm25Constants& c, float idf, const PostingList& postings,
                 std::size_t first, std::size_t n, std::uint32_t* docs, float* contributions) {
  float tfs[kBatch];
  float dls[kBatch];
  gather_postings(bm25, postings, first, n, docs, tfs, dls);
  contributions_of(c, idf, tfs, dls, n, contributions);
}

// Every posting of the found terms, term after term in their order, handed
// to take(doc, contribution) with its contribution as score_batch makes it.
template <class Take>
void for_each_contribution(const Bm25& bm25, const Bm25Constants& c, std::span<const std::uint32_t> found,
                           Take take) {
  std::uint32_t docs[kBatch];
  float contributions[kBatch];
  for (const std::uint32_t t : found) {
    const PostingList postings = bm25.postings(t);
    const float idf = c.idf(postings.size());
    for (std::size_t start = 0; start < postings.size(); start += kBatch) {
      const std::size_t n = std::min(kBatch, postings.size() - start);
      score_batch(bm25, c, idf, postings, start, n, docs, contributions);
      for (std::size_t i = 0; i < n; ++i) take(docs[i], contributions[i]);
    }
  }
}

// Whether a contribution keeps pruning sound: a finite number >= 0 (NaN
// fails both tests).
inline bool safe_contribution(float v) { return (v >= 0.0f) & (v <= std::numeric_limits<float>::max()); }

// The k best of the found terms' documents, every posting scored: score_all
// over an array of every document, score_few over a table of `total`
// postings' documents. The same additions in the same order.
std::vector<Scored> score_all(const Bm25& bm25, const Bm25Constants& c, std::span<const std::uint32_t> found,
                              std::size_t k);
std::vector<Scored> score_few(const Bm25& bm25, const Bm25Constants& c, std::span<const std::uint32_t> found,
                              std::size_t total, std::size_t k);

}  // namespace tessavine
