// The index writer: collects the chunks of one complete index in memory and
// publishes them atomically as a new generation of an index root.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/bm25.h"
#include "base/error.h"
#include "formats/docs.h"
#include "storage/file_system.h"
#include "formats/manifest.h"
#include "formats/vectors.h"

namespace tessavine {

struct WriterOptions {
  std::uint64_t dim = 0;  // 0: keyword-only, no vectors stored
  std::optional<std::string> embedder;
  nlohmann::json metadata = nlohmann::json::object();
  Bm25Settings bm25;
};

struct CommitInfo {
  std::filesystem::path dir;  // the published generation directory
  std::uint64_t generation = 0;
  std::uint32_t n_chunks = 0;
};

// What `build` makes of a writer: the manifest and the file images.
struct BuiltGeneration {
  Manifest manifest;
  std::vector<std::byte> docs;
  std::vector<std::byte> bm25;
  std::optional<std::vector<std::byte>> vectors;
};

// A generation checked and ready to be written: its manifest, and its file
// images made one at a time when asked for, each from a builder that goes
// with it and in the memory of the image before it. A commit thus holds one
// image at a time, and the records' memory serves for every image.
class PreparedGeneration {
 public:
  Manifest manifest;

  // The files in the order a commit writes them: docs.bin, bm25.bin and,
  // with vectors, vectors.bin.
  std::vector<std::string_view> file_names() const;
  // The image of file_names()[i], whose size the manifest lists, valid until
  // the next call. Images are made in file order, each once.
  std::span<const std::byte> take_image(std::size_t i);
  // Tells that the first `n` bytes of the last image taken have been written
  // out and will not be read again. The memory the next image will not reuse
  // goes back at once.
  void written(std::size_t n) noexcept;

 private:
  friend class IndexWriter;
  PreparedGeneration() = default;

  DocsBuilder docs_;
  Bm25Builder bm25_;
  std::optional<VectorBuilder> vectors_;
  Bm25Settings bm25_settings_;
  MappedBuffer image_;
  // The size of the next image, which is made in the memory of this one.
  std::size_t next_size_ = 0;
};

// The text the keyword index holds for a record: the heading path joined by
// single spaces, a line feed, the text.
std::string search_text(const ChunkRecord& record);

// The process id, "-", and the wall-clock time in nanoseconds since the Unix
// epoch (0 before it): unique per commit, shared by its temporary names.
std::string unique_suffix();

class IndexWriter {
 public:
  // Never fails; creates the vector builder only when options.dim is not 0.
  explicit IndexWriter(WriterOptions options);

  IndexWriter(IndexWriter&&) = default;
  IndexWriter& operator=(IndexWriter&&) = default;
  IndexWriter(const IndexWriter&) = delete;
  IndexWriter& operator=(const IndexWriter&) = delete;

  // Appends one chunk and returns its number. A failed add changes nothing.
  Result<std::uint32_t> add(const ChunkRecord& record,
                            std::optional<std::span<const float>> embedding = std::nullopt);

  // Number of chunks added so far.
  std::size_t size() const { return docs_.size(); }

  // Finishes the builders into the file images and fills the manifest for
  // `generation`. Consumes the writer.
  Result<BuiltGeneration> build(std::uint64_t generation) &&;
  // The same checks and manifest as build, with the images left to be made
  // one by one. Consumes the writer.
  Result<PreparedGeneration> prepare(std::uint64_t generation) &&;

  // Builds the next generation and publishes it under `root`, making CURRENT
  // name it. Consumes the writer, whatever the outcome. Every file-system
  // operation goes through `fs`. Commits into one root, from any thread or
  // process, wait for each other (a lock on the root directory). A failed
  // commit leaves CURRENT naming what it named before, except when only the
  // final sync of `root` failed: the new generation then stays published
  // (see commit in writer.cpp).
  Result<CommitInfo> commit(const std::filesystem::path& root,
                            FileSystem& fs = posix_file_system()) &&;

 private:
  WriterOptions options_;
  DocsBuilder docs_;
  Bm25Builder bm25_;
  std::optional<VectorBuilder> vectors_;
  // Reused by every add: the search text.
  std::string text_scratch_;
};

}  // namespace tessavine
