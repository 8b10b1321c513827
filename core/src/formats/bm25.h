// bm25.bin: the inverted index of a generation (terms in byte-wise order,
// their postings by document, document lengths and the BM25 parameters),
// written by Bm25Builder and searched in place by Bm25.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/bin_format.h"
#include "base/error.h"
#include "storage/mapped_buffer.h"
#include "storage/storage.h"

namespace tessavine {

struct Posting {
  std::uint32_t doc = 0;
  std::uint32_t tf = 0;
  bool operator==(const Posting&) const = default;
};

class Bm25Builder {
 public:
  Bm25Builder() = default;
  Bm25Builder(Bm25Builder&&) = default;
  Bm25Builder& operator=(Bm25Builder&&) = default;
  Bm25Builder(const Bm25Builder&) = delete;
  Bm25Builder& operator=(const Bm25Builder&) = delete;

  // The terms of one document in text order, repeats included. Returns the
  // document number. The document-count limit is reported by finish.
  std::uint32_t add_tokens(std::span<const std::string> terms);
  std::uint32_t add_tokens(std::span<const std::string_view> terms);
  // add_tokens for terms handed over one at a time, straight from the
  // tokenizer: every add_term before end_document belongs to one document.
  void add_term(std::string_view term);
  std::uint32_t end_document();

  // The size of the image finish will make, after the limits finish checks,
  // in its order: a builder that passes here finishes without failing.
  Result<std::uint64_t> image_size() const;
  Result<std::vector<std::byte>> finish(float k1, float b) &&;
  // The same image, written into `reuse` (emptied first), whose memory then
  // serves again instead of fresh pages.
  Result<MappedBuffer> finish_mapped(float k1, float b, MappedBuffer reuse = {}) &&;

 private:
  // One open-addressing slot: the term's first eight bytes (zero-padded), a
  // tag of hash bits and length, and its number + 1 (0 marks a free slot).
  // A term of up to eight bytes is told apart by its slot alone.
  struct Slot {
    std::uint64_t prefix = 0;
    std::uint32_t tag = 0;
    std::uint32_t id_plus_1 = 0;
  };
  struct DocTerm {
    std::uint32_t id;
    std::uint32_t tf;
  };
  struct TermState {
    std::uint32_t doc_freq = 0;  // postings so far
    std::uint32_t in_doc = 0;    // place in doc_terms_ + 1; 0 when not in the current document
  };
  // The number of a term, given to it on its first appearance; nullopt
  // once the numbers are used up (finish then reports the term count).
  std::optional<std::uint32_t> term_id(std::string_view term);
  std::string_view term_bytes(std::uint32_t id) const {
    const std::uint64_t start = id == 0 ? 0 : term_ends_[id - 1];
    return std::string_view(term_bytes_).substr(start, term_ends_[id] - start);
  }
  void grow_table();

  std::vector<std::uint32_t> doc_lens_;
  // Distinct terms, numbered in order of first appearance.
  std::vector<Slot> table_;
  std::string term_bytes_;
  std::vector<std::uint64_t> term_ends_;
  std::vector<TermState> term_states_;  // by term number
  std::uint64_t posting_count_ = 0;
  bool out_of_term_numbers_ = false;
  // Postings as they arrive, compactly: per document, its number of distinct
  // terms, then for each term (number << 1 | tf > 1) and, when tf > 1, tf,
  // all as base-128 varints. Document numbers are implicit in the order.
  MappedBuffer postings_;
  // The current document: its length so far and its distinct terms.
  std::uint64_t doc_len_ = 0;
  std::vector<DocTerm> doc_terms_;
  std::string entry_;  // its postings, encoded
};

// The postings of one term, read in place: (document, term frequency) pairs
// in ascending document order.
class PostingList {
 public:
  PostingList() = default;
  PostingList(const std::byte* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Posting operator[](std::size_t i) const {
    const std::span<const std::byte> s(data_ + 8 * i, 8);
    return {read_u32_le(s, 0), read_u32_le(s, 4)};
  }
  std::uint32_t doc(std::size_t i) const { return read_u32_le({data_ + 8 * i, 4}, 0); }
  // A hint that posting i will be read soon.
  void prefetch(std::size_t i) const { __builtin_prefetch(data_ + 8 * i); }
  // The stored postings: per posting its document and then its tf, each a
  // little-endian u32.
  const std::byte* bytes() const { return data_; }

  class iterator {
   public:
    using value_type = Posting;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const PostingList* list, std::size_t i) : list_(list), i_(i) {}
    Posting operator*() const { return (*list_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const iterator& o) const { return i_ == o.i_; }

   private:
    const PostingList* list_ = nullptr;
    std::size_t i_ = 0;
  };
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, size_}; }

 private:
  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

class Bm25 {
 public:
  // Validates the whole file (tables, terms, postings); afterwards every
  // lookup stays inside the file without further checks.
  static Result<Bm25> from_bytes(Storage storage);

  std::uint32_t doc_count() const { return d_; }   // D
  std::uint32_t term_count() const { return t_; }  // T
  float avgdl() const { return avgdl_; }
  float k1() const { return k1_; }
  float b() const { return b_; }

  // doc < doc_count(), t < term_count(). Inline: scoring reads a length for
  // every posting.
  std::uint32_t doc_len(std::uint32_t doc) const {
    return read_u32_le({lengths_ + 4 * std::size_t{doc}, 4}, 0);
  }
  // A hint that doc_len(doc) will be read soon.
  void prefetch_doc_len(std::uint32_t doc) const { __builtin_prefetch(lengths_ + 4 * std::size_t{doc}); }
  // Every document's length, a little-endian u32 each, for reading many at once.
  const std::byte* doc_lens() const { return lengths_; }
  std::string_view term(std::uint32_t t) const;
  PostingList postings(std::uint32_t t) const;

  std::optional<std::uint32_t> find_term(std::string_view term) const;
  // Whether term t has a posting for `doc`: a binary search of its postings.
  bool has_posting(std::uint32_t t, std::uint32_t doc) const;
  // Whether `doc` has a posting for every term; true for an empty list.
  bool contains_all(std::uint32_t doc, std::span<const std::string> terms) const;
  bool contains_all(std::uint32_t doc, std::span<const std::string_view> terms) const;

 private:
  Bm25() = default;
  // Takes the validated file's bytes and sets where the lengths are read.
  void keep(Storage storage);
  std::uint32_t term_offset(std::uint32_t t) const;
  std::uint32_t posting_offset(std::uint32_t t) const;

  // Terms are looked up in blocks of kTermBlock, the blocks in groups of
  // kBlocksPerGroup: the order keys (first eight bytes, zero-padded,
  // big-endian) of each group's and each block's first term, gathered while
  // the file is validated, are halved before the block's terms, a few cache
  // lines at each level where the whole dictionary costs two misses a step.
  static constexpr std::uint32_t kTermBlock = 64;
  static constexpr std::size_t kBlocksPerGroup = 64;
  // At most this many bytes of a block's terms are fetched ahead.
  static constexpr std::size_t kPrefetchedTermBytes = 2048;

  Storage storage_;
  // The document lengths: in the file's bytes, or in a copy of their own
  // when the file is mapped and they are many (see keep).
  const std::byte* lengths_ = nullptr;
  MappedBuffer lengths_copy_;
  std::vector<std::uint64_t> group_keys_;
  std::vector<std::uint64_t> block_keys_;
  std::uint32_t d_ = 0;
  std::uint32_t t_ = 0;
  float avgdl_ = 0;
  float k1_ = 0;
  float b_ = 0;
  std::size_t term_offsets_ = 0;  // byte positions of the sections
  std::size_t posting_offsets_ = 0;
  std::size_t term_area_ = 0;
  std::size_t postings_ = 0;
};

}  // namespace tessavine
