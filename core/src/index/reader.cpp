#include "index/reader.h"

#include <string>
#include <utility>

#include "index/generations.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kManifestFile = "manifest.json";

// The manifest read whole. Storage rather than the file-system helper that
// reads CURRENT, which caps its reads at a size a manifest with generous
// host metadata can pass.
Result<Manifest> read_manifest(const fs::path& dir) {
  auto storage = Storage::open(dir / kManifestFile, /*mmap=*/false);
  if (!storage) return fail(std::move(storage).error());
  const auto bytes = storage->bytes();
  return Manifest::from_json({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

}  // namespace

Result<Storage> open_index_file(const fs::path& dir, const Manifest& manifest,
                                std::string_view name, bool mmap) {
  auto storage = Storage::open(dir / name, mmap);
  if (!storage) return fail(std::move(storage).error());
  const auto entry = manifest.files.find(std::string(name));
  if (entry != manifest.files.end() && entry->second == storage->size()) return storage;
  const std::string expected =
      entry == manifest.files.end() ? "None" : "Some(" + std::to_string(entry->second) + ")";
  return fail(Error::invalid_data(std::string(name) + ": size " + std::to_string(storage->size()) +
                                  " does not match manifest (" + expected + ")"));
}

Result<IndexReader> IndexReader::open(const fs::path& root, bool mmap) {
  return open_current(root, posix_file_system(),
                      [&](const fs::path& dir) { return open_generation(dir, mmap); });
}

Result<IndexReader> IndexReader::open_generation(const fs::path& dir, bool mmap) {
  auto manifest = read_manifest(dir);
  if (!manifest) return fail(std::move(manifest).error());

  auto docs_file = open_index_file(dir, *manifest, "docs.bin", mmap);
  if (!docs_file) return fail(std::move(docs_file).error());
  auto docs = Docs::from_bytes(std::move(*docs_file));
  if (!docs) return fail(std::move(docs).error());

  auto bm25_file = open_index_file(dir, *manifest, "bm25.bin", mmap);
  if (!bm25_file) return fail(std::move(bm25_file).error());
  auto bm25 = Bm25::from_bytes(std::move(*bm25_file));
  if (!bm25) return fail(std::move(bm25).error());

  // A keyword-only generation never looks at vectors.bin, whatever lies in
  // the directory or the manifest lists.
  std::optional<Vectors> vectors;
  if (manifest->dim != 0) {
    auto vectors_file = open_index_file(dir, *manifest, "vectors.bin", mmap);
    if (!vectors_file) return fail(std::move(vectors_file).error());
    auto loaded = Vectors::from_bytes(std::move(*vectors_file));
    if (!loaded) return fail(std::move(loaded).error());
    vectors.emplace(std::move(*loaded));
  }
  return assemble(dir, std::move(*manifest), std::move(*docs), std::move(*bm25),
                  std::move(vectors));
}

Result<IndexReader> IndexReader::assemble(fs::path dir, Manifest manifest, Docs docs, Bm25 bm25,
                                          std::optional<Vectors> vectors) {
  if (docs.count() != manifest.n_chunks || bm25.doc_count() != manifest.n_chunks) {
    return fail(Error::invalid_data("chunk counts disagree between files"));
  }
  if (!vectors && manifest.dim != 0) {
    return fail(Error::invalid_data("manifest has a dimension but no vectors"));
  }
  if (vectors && (vectors->count() != manifest.n_chunks || vectors->dim() != manifest.dim)) {
    return fail(Error::invalid_data("vector file disagrees with manifest"));
  }
  return IndexReader(std::move(dir), std::move(manifest), std::move(docs), std::move(bm25),
                     std::move(vectors));
}

std::vector<Scored> IndexReader::search_bm25(std::string_view text, std::size_t k) const {
  return search_bm25_pruned(bm25_, *bm25_bounds_, text, k);
}

Result<ChunkRecord> IndexReader::chunk(std::uint32_t id) const {
  if (id >= docs_.count()) {
    return fail(Error::invalid_argument("chunk id " + std::to_string(id) + " out of range"));
  }
  return docs_.get_record(id);
}

}  // namespace tessavine
