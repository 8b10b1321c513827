// Keyword ranking over one BM25 file: the exhaustive forms and the pruned one
// that skips documents which cannot reach the top k, with the per-term score
// bounds it rests on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/bm25.h"
#include "search/topk.h"

namespace tessavine {

// What pruning knows of one term, taken from every one of its postings with
// the very float operations of scoring.
struct TermBound;

// The bounds of the terms of one BM25 file, computed when a query first needs
// them (a search may put off a common term's, and do without it) and kept for
// the life of the reader. Searches ask only for the bounds of terms in many
// documents: a rarer term is scored whole by each search that has it. Shared
// by every search on it, from any number of threads, without a lock: each
// term has a slot, set once.
class Bm25Bounds {
 public:
  // For `bm25`, the file every later call passes.
  explicit Bm25Bounds(const Bm25& bm25);
  ~Bm25Bounds();
  Bm25Bounds(const Bm25Bounds&) = delete;
  Bm25Bounds& operator=(const Bm25Bounds&) = delete;

  // term < bm25.term_count().
  const TermBound& of(const Bm25& bm25, std::uint32_t term) const;
  // The bound of `term` if a search has already made it, else null.
  const TermBound* made(std::uint32_t term) const;

 private:
  mutable std::vector<std::atomic<const TermBound*>> terms_;  // owned, null until made
};

// Whether a term with these postings has one for `doc`, as Bm25::has_posting
// tells. With the term's bound from the reader's cache (or null), only the
// postings of doc's window are searched, and none when the window holds none.
bool has_posting(const PostingList& postings, const TermBound* bound, std::uint32_t doc);

// BM25 ranking of the query terms. `search_bm25` scores every posting of the
// query terms, term at a time; `search_bm25_pruned` gives the same result
// while passing over documents that cannot enter the top k;
// `search_bm25_plain` scores posting by posting exactly as the formula reads
// and is the oracle of both. All three give the same pairs with the same
// score bits.
std::vector<Scored> search_bm25(const Bm25& bm25, std::string_view text, std::size_t k);
// Queries whose terms have `few_postings` postings or fewer in all are
// scored exhaustively, which is then quicker; the tests pass 0.
inline constexpr std::size_t kFewPostings = 8192;
std::vector<Scored> search_bm25_pruned(const Bm25& bm25, const Bm25Bounds& bounds,
                                       std::string_view text, std::size_t k,
                                       std::size_t few_postings = kFewPostings);
// search_bm25_pruned for a query already looked up, as found_terms gives it.
// With `holding_all`, also the documents of the result that hold every found
// term, in ascending order, when the search can tell at no cost: the pruned
// form learns that of each document it scores. Left empty when the query
// was scored exhaustively.
std::vector<Scored> search_bm25_pruned(const Bm25& bm25, const Bm25Bounds& bounds,
                                       std::span<const std::uint32_t> found, std::size_t k,
                                       std::size_t few_postings = kFewPostings,
                                       std::optional<std::vector<std::uint32_t>>* holding_all = nullptr);
std::vector<Scored> search_bm25_plain(const Bm25& bm25, std::string_view text, std::size_t k);

// The indexes of the query's distinct terms that the file holds, in
// ascending byte order of the terms: the order in which every search adds
// their contributions. From the query text, or from its terms already
// tokenized, each once and in that order.
std::vector<std::uint32_t> found_terms(const Bm25& bm25, std::string_view text);
std::vector<std::uint32_t> found_terms(const Bm25& bm25, std::span<const std::string> terms);

}  // namespace tessavine
