// docs.bin: every chunk record of a generation, as compact JSON objects behind
// a table of 64-bit offsets, so any record is found with two table reads and
// decoded alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/mapped_buffer.h"
#include "storage/storage.h"

namespace tessavine {

struct ChunkRecord {
  std::string path;
  std::vector<std::string> heading_path;
  std::uint32_t line_start = 0;
  std::uint32_t line_end = 0;
  std::string text;

  bool operator==(const ChunkRecord&) const = default;
};

// Appends the compact JSON object of a record, keys in field order.
void append_record_json(std::string& out, const ChunkRecord& record);

// Decodes one record: an object with the five keys in any order (unknown keys
// skipped) or an array of the five values in field order. On failure returns
// the detail text only; `Docs` puts the file name and record number around it.
std::expected<ChunkRecord, std::string> decode_record_json(std::string_view json);
// The general decoder alone: decode_record_json first tries a parser of the
// builder's own compact shape and falls back to this one, its test oracle.
std::expected<ChunkRecord, std::string> decode_record_json_plain(std::string_view json);

class DocsBuilder {
 public:
  DocsBuilder() = default;
  DocsBuilder(DocsBuilder&&) = default;
  DocsBuilder& operator=(DocsBuilder&&) = default;
  DocsBuilder(const DocsBuilder&) = delete;
  DocsBuilder& operator=(const DocsBuilder&) = delete;

  // The chunk number given to the record: the count of records added before.
  Result<std::uint32_t> add(const ChunkRecord& record);
  std::size_t size() const { return offsets_.size(); }
  // The size of the image finish will make, after the limit finish checks:
  // a builder that passes here finishes without failing.
  Result<std::uint64_t> image_size() const;
  Result<std::vector<std::byte>> finish() &&;
  // The same image, made in the records' own memory: the header and the
  // offset table go in front of them, so the records are never held twice.
  Result<MappedBuffer> finish_mapped() &&;

 private:
  std::vector<std::uint64_t> offsets_;
  MappedBuffer data_;   // the record area
  std::string record_;  // the record being encoded
};

class Docs {
 public:
  // Validates the header and the whole offset table; records are decoded
  // only when asked for.
  static Result<Docs> from_bytes(Storage storage);

  std::uint32_t count() const { return count_; }
  // The raw JSON bytes of record i (i < count()).
  std::string_view record_bytes(std::uint32_t i) const;
  // Hints that record i (i < count()) will be read soon: its entries in the
  // offset table, or the record itself (which reads those entries).
  void prefetch_offset(std::uint32_t i) const {
    __builtin_prefetch(storage_.bytes().data() + 16 + 8 * std::uint64_t{i});
  }
  void prefetch_record(std::uint32_t i) const;
  // Reads record i's first byte (i < count()), which brings in its page's
  // address translation with it: several such reads walk the page tables
  // side by side, where hints may each wait for that walk or drop it.
  void touch_record(std::uint32_t i) const {
    const std::string_view record = record_bytes(i);
    if (!record.empty()) (void)*static_cast<const volatile char*>(record.data());
  }
  Result<ChunkRecord> get_record(std::uint32_t i) const;

 private:
  Docs(Storage storage, std::uint32_t count)
      : storage_(std::move(storage)), count_(count), area_(24 + 8 * std::uint64_t{count}) {}

  Storage storage_;
  std::uint32_t count_;
  std::uint64_t area_;  // file position of the record area
};

}  // namespace tessavine
