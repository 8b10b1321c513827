// The index reader: one published generation, opened read-only after every
// file has been checked against the manifest and against the others, so that
// queries never check structure again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "formats/bm25.h"
#include "base/error.h"
#include "formats/docs.h"
#include "index/bm25_search.h"
#include "index/checked_records.h"
#include "index/hybrid_search.h"
#include "formats/manifest.h"
#include "storage/storage.h"
#include "search/topk.h"
#include "formats/vectors.h"

namespace tessavine {

// Opens `dir/name` and checks its length against the manifest's `files`
// entry: InvalidData "{name}: size {len} does not match manifest (Some(N))",
// or "(None)" when the manifest does not list the file. The storage is
// released when the check fails.
Result<Storage> open_index_file(const std::filesystem::path& dir, const Manifest& manifest,
                                std::string_view name, bool mmap);

class IndexReader {
 public:
  // The generation CURRENT names under `root`, opened with open_generation;
  // started again from the new CURRENT when a commit removed it meanwhile
  // (open_current).
  static Result<IndexReader> open(const std::filesystem::path& root, bool mmap = true);

  // Reads the manifest, opens and validates every index file it calls for,
  // then checks the files against each other. All or nothing: on failure
  // every file opened so far is released.
  static Result<IndexReader> open_generation(const std::filesystem::path& dir, bool mmap = true);

  // The cross-file checks: chunk counts, the presence of vectors, and their
  // count and dimension. Everything passed in is released on failure.
  static Result<IndexReader> assemble(std::filesystem::path dir, Manifest manifest, Docs docs,
                                      Bm25 bm25, std::optional<Vectors> vectors);

  IndexReader(IndexReader&&) = default;
  IndexReader& operator=(IndexReader&&) = default;
  IndexReader(const IndexReader&) = delete;
  IndexReader& operator=(const IndexReader&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  const Manifest& manifest() const { return manifest_; }
  const Docs& docs() const { return docs_; }
  const Bm25& bm25() const { return bm25_; }
  const Vectors* vectors() const { return vectors_ ? &*vectors_ : nullptr; }
  bool has_vectors() const { return vectors_.has_value(); }
  // The number of chunks of the generation.
  std::uint32_t size() const { return docs_.count(); }

  // The k best chunks for the query text by BM25, best first. Chunks that
  // match no query term never appear. Cannot fail; safe from many threads.
  // Pruned, with the score bounds this reader keeps.
  std::vector<Scored> search_bm25(std::string_view text, std::size_t k) const;

  // The k best chunks for the query vector in `mode`, best first, scored by
  // the cosine estimate of the mode. Refuses, in this order: a keyword-only
  // index, a query of another length, a NaN or infinite component, an
  // all-zero query; then the mode's own dimension limit.
  Result<std::vector<Scored>> search_vector_with(std::span<const float> query, std::size_t k,
                                                 std::size_t candidates, VectorMode mode) const;

  // Hybrid search: the BM25 ranking of `text` and, with a vector, the
  // ternary+int8 vector ranking, fused by reciprocal rank and re-ranked for
  // quoted phrases and in-order terms. Fails with the vector search's errors
  // or when a chunk fetched for re-ranking does not decode.
  Result<std::vector<Hit>> search(std::string_view text,
                                  std::optional<std::span<const float>> vector,
                                  const SearchParams& params) const;

  // The stored record of chunk `id`: InvalidArgument "chunk id {id} out of
  // range" past the last chunk, InvalidData when the record does not decode.
  Result<ChunkRecord> chunk(std::uint32_t id) const;

 private:
  IndexReader(std::filesystem::path dir, Manifest manifest, Docs docs, Bm25 bm25,
              std::optional<Vectors> vectors)
      : dir_(std::move(dir)),
        manifest_(std::move(manifest)),
        docs_(std::move(docs)),
        bm25_(std::move(bm25)),
        vectors_(std::move(vectors)),
        bm25_bounds_(std::make_unique<Bm25Bounds>(bm25_)),
        checked_(std::make_unique<CheckedRecords>(docs_.count())) {}

  std::filesystem::path dir_;
  Manifest manifest_;
  Docs docs_;
  Bm25 bm25_;
  std::optional<Vectors> vectors_;
  // Filled by searches as they go; behind a pointer so the reader stays movable.
  std::unique_ptr<Bm25Bounds> bm25_bounds_;
  // Records hybrid searches have found to decode; behind a pointer likewise.
  std::unique_ptr<CheckedRecords> checked_;
};

}  // namespace tessavine
