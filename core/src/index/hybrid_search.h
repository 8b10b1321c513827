// The parameters and results of hybrid search (IndexReader::search): BM25 and
// vector rankings fused by reciprocal rank, then re-ranked for quoted phrases
// and for the query's terms standing together.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace tessavine {

// No value is range-checked: k, depth and candidates may be 2**64 - 1, and
// the floats NaN or infinite.
struct SearchParams {
  std::uint64_t k = 10;
  std::uint64_t depth = 50;        // length of each source ranking, at least k
  std::uint64_t candidates = 200;  // first-stage count of the vector search
  float rrf_k = 60.0f;
  float phrase_boost = 1.0f;
};

struct Hit {
  std::uint32_t id;
  float score;
  // 1-based positions in the BM25 and the vector ranking, when present there.
  std::optional<std::uint32_t> bm25_rank;
  std::optional<std::uint32_t> vector_rank;

  friend bool operator==(const Hit&, const Hit&) = default;
};

class IndexReader;

// IndexReader::search without its shortcuts: the plain BM25 evaluation, the
// postings pre-check term by term, and every checked candidate decoded in
// full, its search text built and tokenized into a list. The oracle of the
// fast form, which must give the same hits to the bit and the same errors.
Result<std::vector<Hit>> search_plain(const IndexReader& reader, std::string_view text,
                                      std::optional<std::span<const float>> vector,
                                      const SearchParams& params);

}  // namespace tessavine
