#include "formats/bm25.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "base/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessavine {
namespace {

// finish copies document lengths and postings into the file as they lie in memory.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(Posting) == 8 && offsetof(Posting, tf) == 4);

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::uint32_t Bm25Builder::add_tokens(std::span<const std::string> terms) {
  for (const std::string& t : terms) add_term(t);
  return end_document();
}

std::uint32_t Bm25Builder::add_tokens(std::span<const std::string_view> terms) {
  for (const std::string_view t : terms) add_term(t);
  return end_document();
}

namespace {

char* put_varint(char* out, std::uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<char>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<char>(v);
  return out;
}

// Reads a varint written by put_varint; the bytes are the builder's own.
std::uint64_t get_varint(const std::byte*& p) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<std::uint64_t>(*p++);
    v |= (b & 0x7F) << shift;
    if (b < 0x80) return v;
  }
}

// The first eight bytes of a term, zero-padded.
std::uint64_t prefix_word(std::string_view term) {
  std::uint64_t word = 0;
  if (!term.empty()) std::memcpy(&word, term.data(), std::min<std::size_t>(8, term.size()));
  return word;
}

// The same bytes read big-endian: a term whose key is smaller than another's
// comes first in byte-wise order, and one whose key is greater comes after.
std::uint64_t order_key(std::string_view term) { return std::byteswap(prefix_word(term)); }

// A multiplicative hash, inline: terms are short and the table is hot.
std::uint64_t hash_term(std::string_view term, std::uint64_t prefix) {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = (prefix ^ term.size()) * kMul;
  for (std::size_t i = 8; i < term.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, term.data() + i, std::min<std::size_t>(8, term.size() - i));
    h = ((h ^ (h >> 29)) ^ word) * kMul;
  }
  return h ^ (h >> 31);
}

// Hash bits above the length byte, which makes terms of up to eight bytes
// equal exactly when prefix and tag are.
std::uint32_t tag_of(std::uint64_t hash, std::size_t size) {
  return (static_cast<std::uint32_t>(hash) & ~0xFFu) |
         static_cast<std::uint32_t>(std::min<std::size_t>(size, 255));
}

}  // namespace

void Bm25Builder::add_term(std::string_view term) {
  ++doc_len_;
  const std::optional<std::uint32_t> id = term_id(term);
  if (!id) return;
  TermState& state = term_states_[*id];
  if (state.in_doc == 0) {
    doc_terms_.push_back({*id, 1});
    state.in_doc = static_cast<std::uint32_t>(doc_terms_.size());
  } else if (doc_terms_[state.in_doc - 1].tf != kU32Max) {
    ++doc_terms_[state.in_doc - 1].tf;
  }
}

std::uint32_t Bm25Builder::end_document() {
  const auto doc = static_cast<std::uint32_t>(doc_lens_.size());
  // The document's working state is reset whatever happens below.
  const auto reset = [this] {
    for (const DocTerm& dt : doc_terms_) term_states_[dt.id].in_doc = 0;
    doc_terms_.clear();
    doc_len_ = 0;
  };
  try {
    entry_.resize(10 + 15 * doc_terms_.size());
    char* p = put_varint(entry_.data(), doc_terms_.size());
    for (const DocTerm& dt : doc_terms_) {
      p = put_varint(p, std::uint64_t{dt.id} << 1 | (dt.tf > 1));
      if (dt.tf > 1) p = put_varint(p, dt.tf);
    }
    doc_lens_.push_back(static_cast<std::uint32_t>(doc_len_));
    try {
      postings_.append(
          std::string_view(entry_.data(), static_cast<std::size_t>(p - entry_.data())));
    } catch (...) {
      doc_lens_.pop_back();
      throw;
    }
  } catch (...) {
    reset();
    throw;
  }
  for (const DocTerm& dt : doc_terms_) ++term_states_[dt.id].doc_freq;
  posting_count_ += doc_terms_.size();
  reset();
  return doc;
}

std::optional<std::uint32_t> Bm25Builder::term_id(std::string_view term) {
  if (table_.empty()) table_.resize(1024);
  const std::uint64_t prefix = prefix_word(term);
  const std::uint64_t h = hash_term(term, prefix);
  const std::uint32_t tag = tag_of(h, term.size());
  const std::size_t mask = table_.size() - 1;
  std::size_t i = (h >> 32) & mask;
  for (;; i = (i + 1) & mask) {
    const Slot& s = table_[i];
    if (s.id_plus_1 == 0) break;
    if (s.tag == tag && s.prefix == prefix &&
        (term.size() <= 8 || term_bytes(s.id_plus_1 - 1) == term)) {
      return s.id_plus_1 - 1;
    }
  }
  const std::size_t id = term_ends_.size();
  if (id >= kU32Max) {
    out_of_term_numbers_ = true;
    return std::nullopt;
  }
  // At most half full, so probe runs stay short.
  if (2 * (id + 1) > table_.size()) {
    grow_table();
    i = (h >> 32) & (table_.size() - 1);
    while (table_[i].id_plus_1 != 0) i = (i + 1) & (table_.size() - 1);
  }
  term_bytes_.append(term);
  term_ends_.push_back(term_bytes_.size());
  term_states_.emplace_back();
  table_[i] = {prefix, tag, static_cast<std::uint32_t>(id + 1)};
  return static_cast<std::uint32_t>(id);
}

void Bm25Builder::grow_table() {
  std::vector<Slot> bigger(table_.size() * 2);
  const std::size_t mask = bigger.size() - 1;
  for (const Slot& s : table_) {
    if (s.id_plus_1 == 0) continue;
    const std::string_view term = term_bytes(s.id_plus_1 - 1);
    std::size_t i = (hash_term(term, s.prefix) >> 32) & mask;
    while (bigger[i].id_plus_1 != 0) i = (i + 1) & mask;
    bigger[i] = s;
  }
  table_ = std::move(bigger);
}

Result<std::uint64_t> Bm25Builder::image_size() const {
  const std::uint64_t d = doc_lens_.size();
  if (d > kU32Max) return fail(exceeds_u32("document count"));
  if (out_of_term_numbers_) return fail(exceeds_u32("term count"));
  const std::uint64_t t = term_ends_.size();
  if (term_bytes_.size() > kU32Max) return fail(exceeds_u32("term dictionary size"));
  if (posting_count_ > kU32Max) return fail(exceeds_u32("posting count"));
  return 40 + 4 * d + 8 * t + (term_bytes_.size() + 3) / 4 * 4 + 8 * posting_count_;
}

Result<std::vector<std::byte>> Bm25Builder::finish(float k1, float b) && {
  auto image = std::move(*this).finish_mapped(k1, b);
  if (!image) return fail(std::move(image).error());
  const auto bytes = image->bytes();
  return std::vector<std::byte>(bytes.begin(), bytes.end());
}

Result<MappedBuffer> Bm25Builder::finish_mapped(float k1, float b, MappedBuffer reuse) && {
  // Taken out so the builder's memory goes with this call in every outcome.
  Bm25Builder self = std::move(*this);
  auto size = self.image_size();
  if (!size) return fail(std::move(size).error());
  const std::vector<std::uint32_t>& doc_lens = self.doc_lens_;
  self.table_ = {};
  self.doc_terms_ = {};
  const std::uint64_t d = doc_lens.size();
  const std::uint64_t t = self.term_ends_.size();

  // Term numbers in byte-wise order of their terms. The first eight bytes of
  // each term, read big-endian and zero-padded, compare like the bytes and
  // settle most comparisons without a visit to the term bytes.
  struct Key {
    std::uint64_t prefix;
    std::uint32_t id;
  };
  std::vector<Key> keys(t);
  for (std::uint32_t id = 0; id < t; ++id) keys[id] = {order_key(self.term_bytes(id)), id};
  std::sort(keys.begin(), keys.end(), [&self](const Key& x, const Key& y) {
    // Equal prefixes (including a zero byte against padding) fall back to
    // the full byte-wise comparison.
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    return self.term_bytes(x.id) < self.term_bytes(y.id);
  });

  float avgdl = 0.0f;
  if (d > 0) {
    std::uint64_t sum = 0;
    for (const std::uint32_t len : doc_lens) sum += len;
    avgdl = static_cast<float>(static_cast<double>(sum) / static_cast<double>(d));
  }

  const std::uint64_t posting_count = self.posting_count_;
  MappedBuffer w = std::move(reuse);
  w.clear();
  w.reserve(static_cast<std::size_t>(*size));
  w.append(std::move(Writer::with_header(kBm25Magic, kBm25Version, static_cast<std::uint32_t>(d),
                                         static_cast<std::uint32_t>(t)))
               .into_bytes());
  w.put_f32(avgdl);
  w.put_f32(k1);
  w.put_f32(b);
  w.put_u32(0);
  // The in-memory array already has the file's byte layout.
  w.append(std::as_bytes(std::span(doc_lens)));
  self.doc_lens_ = {};
  std::uint64_t total = 0;
  w.put_u32(0);
  for (const Key& k : keys) {
    total += self.term_bytes(k.id).size();
    w.put_u32(static_cast<std::uint32_t>(total));
  }
  // Where each term's postings start, by term number.
  std::vector<std::uint32_t> next(t);
  total = 0;
  w.put_u32(0);
  for (const Key& k : keys) {
    next[k.id] = static_cast<std::uint32_t>(total);
    total += self.term_states_[k.id].doc_freq;
    w.put_u32(static_cast<std::uint32_t>(total));
  }
  for (const Key& k : keys) w.append(self.term_bytes(k.id));
  w.pad_to_4();
  keys = {};
  self.term_bytes_ = {};
  self.term_ends_ = {};
  self.term_states_ = {};

  // The postings, document after document: each term's postings come out in
  // ascending document order, as the file wants them.
  std::byte* const out = w.extend(8 * posting_count);
  std::uint32_t doc = 0;
  const std::byte* p = self.postings_.data();
  const std::byte* const end = p + self.postings_.size();
  while (p < end) {
    for (std::uint64_t n = get_varint(p); n > 0; --n) {
      const std::uint64_t v = get_varint(p);
      const auto id = static_cast<std::uint32_t>(v >> 1);
      const Posting posting{doc, (v & 1) ? static_cast<std::uint32_t>(get_varint(p)) : 1u};
      std::memcpy(out + 8 * std::size_t{next[id]++}, &posting, sizeof posting);
    }
    ++doc;
  }
  return w;
}

namespace {

// Whether the postings name documents below d and each term's postings rise
// strictly: over all of them at once, a fall (or a repeat) being fine only
// where a term's postings begin. `offsets` is the table of where each term's
// postings begin, already checked to rise and to end at the last.
bool postings_in_order(std::span<const std::byte> postings, std::span<const std::byte> offsets,
                       std::uint32_t d) {
  const auto doc = [&](std::size_t j) { return read_u32_le(postings, 8 * j); };
  const auto start_of = [&](std::size_t i) { return read_u32_le(offsets, 4 * i); };
  const std::size_t starts = offsets.size() / 4;
  const std::size_t last = postings.size() / 8;
  std::size_t next_start = 0;
  // A fall at j is allowed when some term's postings begin at j.
  const auto begins_term = [&](std::size_t j) {
    while (next_start < starts && start_of(next_start) < j) ++next_start;
    return next_start < starts && start_of(next_start) == j;
  };
  std::uint32_t prev = 0;
  std::size_t j = 0;
#if defined(__SSE2__)
  // Four postings at a time: their documents below d, each above the one
  // before it; a block with a fall looks at its postings one by one.
  const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000u));
  const __m128i limit = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(d)), sign);
  for (; j + 4 <= last; j += 4) {
    const auto* at = reinterpret_cast<const float*>(postings.data() + 8 * j);
    const __m128i docs = _mm_castps_si128(
        _mm_shuffle_ps(_mm_loadu_ps(at), _mm_loadu_ps(at + 4), _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i before = _mm_or_si128(_mm_slli_si128(docs, 4), _mm_cvtsi32_si128(static_cast<int>(prev)));
    const __m128i biased = _mm_xor_si128(docs, sign);
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(limit, biased)) != 0xFFFF) return false;
    const int rises = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(biased, _mm_xor_si128(before, sign))));
    if (rises != 0xF) {
      for (std::size_t k = 0; k < 4; ++k) {
        if (!(rises >> k & 1) && !begins_term(j + k)) return false;
      }
    }
    prev = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(docs, _MM_SHUFFLE(3, 3, 3, 3))));
  }
#endif
  for (; j < last; ++j) {
    const std::uint32_t current = doc(j);
    if (current >= d) return false;
    if ((j == 0 || current <= prev) && !begins_term(j)) return false;
    prev = current;
  }
  return true;
}

}  // namespace

Result<Bm25> Bm25::from_bytes(Storage storage) {
  const auto bytes = storage.bytes();
  auto header = read_header(bytes, kBm25Magic, kBm25Version, "bm25");
  if (!header) return fail(std::move(header.error()));
  const std::uint64_t d = header->first;
  const std::uint64_t t = header->second;
  const std::uint64_t size = bytes.size();

  const std::uint64_t term_offsets = 32 + 4 * d;
  const std::uint64_t posting_offsets = 36 + 4 * d + 4 * t;
  const std::uint64_t term_area = 40 + 4 * d + 8 * t;
  if (size < term_area) return fail(Error::invalid_data("bm25: truncated offset tables"));

  const auto term_off = [&](std::uint64_t i) { return read_u32_le(bytes, term_offsets + 4 * i); };
  const auto post_off = [&](std::uint64_t i) {
    return read_u32_le(bytes, posting_offsets + 4 * i);
  };
  const std::uint64_t area_len = (std::uint64_t{term_off(t)} + 3) / 4 * 4;
  const std::uint64_t p = post_off(t);
  if (size != term_area + area_len + 8 * p) {
    return fail(Error::invalid_data("bm25: size does not match its tables"));
  }

  Bm25 out;
  out.d_ = static_cast<std::uint32_t>(d);
  out.t_ = static_cast<std::uint32_t>(t);
  out.avgdl_ = read_f32_le(bytes, 16);
  out.k1_ = read_f32_le(bytes, 20);
  out.b_ = read_f32_le(bytes, 24);
  out.term_offsets_ = term_offsets;
  out.posting_offsets_ = posting_offsets;
  out.term_area_ = term_area;
  out.postings_ = term_area + area_len;

  const auto* base = reinterpret_cast<const char*>(bytes.data());
  std::string_view prev;
  for (std::uint64_t i = 0; i < t; ++i) {
    const std::uint32_t start = term_off(i);
    const std::uint32_t end = term_off(i + 1);
    if (start > end || post_off(i) > post_off(i + 1)) {
      return fail(Error::invalid_data("bm25: offsets are not monotonic"));
    }
    // Offsets checked so far only rise, but a later one may fall back again,
    // so this end can still lie beyond the file.
    if (term_area + end > size) {
      return fail(Error::invalid_data("bm25: term extends beyond the end of the file"));
    }
    const std::string_view term(base + term_area + start, end - start);
    if (!utf8::valid(term)) return fail(Error::invalid_data("bm25: term is not valid UTF-8"));
    if (i > 0 && !(prev < term)) {
      return fail(Error::invalid_data("bm25: terms are not strictly sorted"));
    }
    prev = term;
    if (i % kTermBlock == 0) out.block_keys_.push_back(order_key(term));
  }
  for (std::size_t b = 0; b < out.block_keys_.size(); b += kBlocksPerGroup) out.group_keys_.push_back(out.block_keys_[b]);

  // Usually every posting is in order: one quick pass says so. Otherwise
  // the term-by-term pass below finds the first fault.
  const std::span<const std::byte> postings = bytes.subspan(out.postings_, 8 * p);
  if (postings_in_order(postings, bytes.subspan(posting_offsets, 4 * (t + 1)), static_cast<std::uint32_t>(d))) {
    out.keep(std::move(storage));
    return out;
  }
  for (std::uint64_t i = 0; i < t; ++i) {
    const std::uint64_t first = post_off(i);
    const std::uint64_t last = post_off(i + 1);
    std::uint64_t prev_doc = 0;
    for (std::uint64_t j = first; j < last; ++j) {
      const std::uint32_t doc = read_u32_le(bytes, out.postings_ + 8 * j);
      if (doc >= d) {
        return fail(Error::invalid_data("bm25: posting references a missing document"));
      }
      if (j > first && doc <= prev_doc) {
        return fail(Error::invalid_data("bm25: postings are not sorted by document"));
      }
      prev_doc = doc;
    }
  }
  out.keep(std::move(storage));
  return out;
}

void Bm25::keep(Storage storage) {
  storage_ = std::move(storage);
  const std::span<const std::byte> lengths = storage_.bytes().subspan(32, 4 * std::size_t{d_});
  lengths_ = lengths.data();
  // Scoring reads a document's length for each posting, at places as
  // scattered as the documents. In a mapping, a million documents' lengths
  // lie on a thousand pages, and a search that finds them cold walks the
  // page tables for most of its reads. Copied into memory of their own, in
  // huge pages where the system gives them, they lie on two. A file read
  // whole is in such memory already; lengths filling less than a huge page
  // stay in the mapping.
  if (storage_.is_mapped() && lengths.size() >= kHugePage) {
    // Reserved in whole huge pages, so that they lie on their boundaries;
    // the room past the lengths is never touched. Without the memory, the
    // mapping serves.
    try {
      lengths_copy_.reserve((lengths.size() + kHugePage - 1) / kHugePage * kHugePage);
    } catch (const std::bad_alloc&) {
      return;
    }
    lengths_copy_.append(lengths);
    lengths_ = lengths_copy_.data();
  }
}

std::uint32_t Bm25::term_offset(std::uint32_t t) const {
  return read_u32_le(storage_.bytes(), term_offsets_ + 4 * std::size_t{t});
}

std::uint32_t Bm25::posting_offset(std::uint32_t t) const {
  return read_u32_le(storage_.bytes(), posting_offsets_ + 4 * std::size_t{t});
}

std::string_view Bm25::term(std::uint32_t t) const {
  const std::uint32_t start = term_offset(t);
  const std::uint32_t end = term_offset(t + 1);
  return {reinterpret_cast<const char*>(storage_.bytes().data()) + term_area_ + start,
          end - start};
}

PostingList Bm25::postings(std::uint32_t t) const {
  const std::uint32_t first = posting_offset(t);
  const std::uint32_t last = posting_offset(t + 1);
  return {storage_.bytes().data() + postings_ + 8 * std::size_t{first}, last - first};
}

namespace {

// The units [lo, hi) among [from, to) that may hold a term with order key
// `key`, where keys[u] is the key of unit u's first term and keys[from] is
// below `key` unless from is 0: a unit whose first key is below the query's
// starts with a term before it, one whose key is above with a term after it.
std::pair<std::size_t, std::size_t> units_holding(std::span<const std::uint64_t> keys, std::size_t from,
                                                  std::size_t to, std::uint64_t key) {
  const auto begin = keys.begin();
  const auto first_not_below = std::lower_bound(begin + static_cast<std::ptrdiff_t>(from),
                                                begin + static_cast<std::ptrdiff_t>(to), key);
  const auto first_above = std::upper_bound(first_not_below, begin + static_cast<std::ptrdiff_t>(to), key);
  const auto lo = static_cast<std::size_t>(first_not_below - begin);
  return {lo > from ? lo - 1 : from, static_cast<std::size_t>(first_above - begin)};
}

// Asks for the cache lines of [first, last) of `bytes`, at most `most` bytes.
void prefetch_range(const std::byte* bytes, std::size_t first, std::size_t last, std::size_t most) {
  for (std::size_t at = first; at < last && at < first + most; at += 64) __builtin_prefetch(bytes + at);
}

}  // namespace

std::optional<std::uint32_t> Bm25::find_term(std::string_view query) const {
  // Three halvings, each over a few cache lines asked for together: the
  // groups' keys, then the keys of the blocks of the group the term falls
  // in, then that block's terms. Most often one group and one block.
  const std::uint64_t key = order_key(query);
  const auto [g0, g1] = units_holding(group_keys_, 0, group_keys_.size(), key);
  const std::size_t b0 = g0 * kBlocksPerGroup;
  const std::size_t b1 = std::min(g1 * kBlocksPerGroup, block_keys_.size());
  prefetch_range(reinterpret_cast<const std::byte*>(block_keys_.data()), 8 * b0, 8 * b1, 8 * 2 * kBlocksPerGroup);
  const auto [c0, c1] = units_holding(block_keys_, b0, b1, key);
  auto lo = static_cast<std::uint32_t>(c0 * kTermBlock);
  auto hi = static_cast<std::uint32_t>(std::min<std::size_t>(c1 * kTermBlock, t_));
  const std::byte* const bytes = storage_.bytes().data();
  prefetch_range(bytes, term_offsets_ + 4 * std::size_t{lo}, term_offsets_ + 4 * std::size_t{hi} + 4,
                 4 * 2 * kTermBlock);
  prefetch_range(bytes, term_area_ + term_offset(lo), term_area_ + term_offset(hi), kPrefetchedTermBytes);
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    const std::string_view stored = term(mid);
    // Most probes are settled by the first byte, without a call to memcmp.
    const int c = !stored.empty() && !query.empty() && stored[0] != query[0]
                      ? (static_cast<unsigned char>(stored[0]) < static_cast<unsigned char>(query[0]) ? -1 : 1)
                      : stored.compare(query);
    if (c == 0) return mid;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return std::nullopt;
}

bool Bm25::has_posting(std::uint32_t t, std::uint32_t doc) const {
  const PostingList list = postings(t);
  std::size_t lo = 0;
  std::size_t hi = list.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::uint32_t d = list.doc(mid);
    if (d == doc) return true;
    if (d < doc) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return false;
}

bool Bm25::contains_all(std::uint32_t doc, std::span<const std::string> terms) const {
  for (const std::string& term : terms) {
    const auto t = find_term(term);
    if (!t || !has_posting(*t, doc)) return false;
  }
  return true;
}

bool Bm25::contains_all(std::uint32_t doc, std::span<const std::string_view> terms) const {
  for (const std::string_view term : terms) {
    const auto t = find_term(term);
    if (!t || !has_posting(*t, doc)) return false;
  }
  return true;
}

}  // namespace tessavine
