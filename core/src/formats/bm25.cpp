#include "formats/bm25.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "base/utf8.h"

namespace tessavine {
namespace {

// finish copies doc_lens and posting lists into the file as they lie in memory.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(Posting) == 8 && offsetof(Posting, tf) == 4);

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::uint32_t Bm25Builder::add_tokens(std::span<const std::string> terms) {
  scratch_.assign(terms.begin(), terms.end());
  const auto doc = static_cast<std::uint32_t>(doc_lens_.size());
  add_counted(doc);
  doc_lens_.push_back(static_cast<std::uint32_t>(terms.size()));
  return doc;
}

std::uint32_t Bm25Builder::add_tokens(std::span<const std::string_view> terms) {
  scratch_.assign(terms.begin(), terms.end());
  const auto doc = static_cast<std::uint32_t>(doc_lens_.size());
  add_counted(doc);
  doc_lens_.push_back(static_cast<std::uint32_t>(terms.size()));
  return doc;
}

// Counts the terms in scratch_ by sorting them, so equal terms form runs.
void Bm25Builder::add_counted(std::uint32_t doc) {
  std::sort(scratch_.begin(), scratch_.end());
  for (std::size_t i = 0; i < scratch_.size();) {
    std::size_t j = i + 1;
    while (j < scratch_.size() && scratch_[j] == scratch_[i]) ++j;
    const Posting p{doc, static_cast<std::uint32_t>(std::min<std::size_t>(j - i, kU32Max))};
    auto it = term_postings_.find(scratch_[i]);
    if (it == term_postings_.end()) it = term_postings_.emplace(std::string(scratch_[i]), std::vector<Posting>{}).first;
    it->second.push_back(p);
    i = j;
  }
  scratch_.clear();
}

Result<std::vector<std::byte>> Bm25Builder::finish(float k1, float b) && {
  // Taken out so the builder's memory goes with this call in every outcome.
  const std::vector<std::uint32_t> doc_lens = std::move(doc_lens_);
  auto table = std::move(term_postings_);
  scratch_ = {};

  const std::uint64_t d = doc_lens.size();
  if (d > kU32Max) return fail(exceeds_u32("document count"));
  // Sorted by pointer, so no term or posting list is moved; the first eight
  // bytes of each term sit next to the pointer and settle most comparisons
  // without a visit to the hash map's scattered nodes.
  using Entry = decltype(table)::value_type;
  struct Key {
    std::uint64_t prefix;  // big-endian, zero-padded: compares like the bytes
    Entry* entry;
  };
  std::vector<Key> keys;
  keys.reserve(table.size());
  for (Entry& e : table) {
    unsigned char b[8] = {};
    std::memcpy(b, e.first.data(), std::min<std::size_t>(8, e.first.size()));
    std::uint64_t prefix = 0;
    for (const unsigned char c : b) prefix = prefix << 8 | c;
    keys.push_back({prefix, &e});
  }
  std::sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
    // Equal prefixes (including a zero byte against padding) fall back to
    // the full byte-wise comparison.
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    return x.entry->first < y.entry->first;
  });
  std::vector<Entry*> terms;
  terms.reserve(keys.size());
  for (const Key& k : keys) terms.push_back(k.entry);
  keys = {};
  const std::uint64_t t = terms.size();
  if (t > kU32Max) return fail(exceeds_u32("term count"));

  float avgdl = 0.0f;
  if (d > 0) {
    std::uint64_t sum = 0;
    for (const std::uint32_t len : doc_lens) sum += len;
    avgdl = static_cast<float>(static_cast<double>(sum) / static_cast<double>(d));
  }

  // Both running totals are checked before anything is written.
  std::uint64_t term_bytes = 0;
  std::uint64_t posting_count = 0;
  for (const Entry* e : terms) {
    term_bytes += e->first.size();
    if (term_bytes > kU32Max) return fail(exceeds_u32("term dictionary size"));
  }
  for (const Entry* e : terms) {
    posting_count += e->second.size();
    if (posting_count > kU32Max) return fail(exceeds_u32("posting count"));
  }

  Writer w = Writer::with_header(kBm25Magic, kBm25Version, static_cast<std::uint32_t>(d),
                                 static_cast<std::uint32_t>(t));
  w.reserve_more(16 + 4 * d + 8 * (t + 1) + term_bytes + 3 + 8 * posting_count);
  w.put_f32(avgdl);
  w.put_f32(k1);
  w.put_f32(b);
  w.put_u32(0);
  // The in-memory arrays already have the file's byte layout.
  w.put_bytes(std::as_bytes(std::span(doc_lens)));
  std::uint64_t total = 0;
  w.put_u32(0);
  for (const Entry* e : terms) {
    total += e->first.size();
    w.put_u32(static_cast<std::uint32_t>(total));
  }
  total = 0;
  w.put_u32(0);
  for (const Entry* e : terms) {
    total += e->second.size();
    w.put_u32(static_cast<std::uint32_t>(total));
  }
  for (const Entry* e : terms) w.put_bytes(e->first);
  w.pad_to_4();
  for (Entry* e : terms) {
    auto& postings = e->second;
    // Documents are added in order, so this only makes certain; a term has at
    // most one posting per document, so the order is total.
    const auto by_doc = [](const Posting& x, const Posting& y) { return x.doc < y.doc; };
    if (!std::is_sorted(postings.begin(), postings.end(), by_doc)) {
      std::sort(postings.begin(), postings.end(), by_doc);
    }
    w.put_bytes(std::as_bytes(std::span(postings)));
  }
  return std::move(w).into_bytes();
}

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
  out.storage_ = std::move(storage);
  return out;
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

std::optional<std::uint32_t> Bm25::find_term(std::string_view query) const {
  std::uint32_t lo = 0;
  std::uint32_t hi = t_;
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
