// The reader's side of vector search: the query is checked against the open
// generation and normalised the way the writer normalised stored vectors,
// then handed to the search over the vectors file.
#include <algorithm>
#include <cmath>

#include "index/reader.h"
#include "formats/quant.h"
#include "search/vector_search.h"

namespace tessavine {

Result<std::vector<Scored>> IndexReader::search_vector_with(std::span<const float> query,
                                                            std::size_t k,
                                                            std::size_t candidates,
                                                            VectorMode mode) const {
  if (!vectors_) return fail(Error::invalid_argument("this index is keyword-only"));
  if (query.size() != vectors_->dim()) {
    return fail(Error::dimension_mismatch(vectors_->dim(), query.size()));
  }
  if (!std::all_of(query.begin(), query.end(), [](float v) { return std::isfinite(v); })) {
    return fail(Error::invalid_argument("query vector contains NaN or infinity"));
  }
  if (std::all_of(query.begin(), query.end(), [](float v) { return v == 0.0f; })) {
    return fail(Error::invalid_argument("query vector is all zeros"));
  }
  const std::vector<float> unit = normalize_unit(query);
  return search_with(*vectors_, unit, k, candidates, mode);
}

}  // namespace tessavine
