// bm25.bin reader: from_bytes, then every term looked up and every posting
// visited through the in-place accessors; then the pruned search, whose
// bounds rest on the stored lengths, frequencies and parameters, against the
// plain evaluation over queries of the file's own terms, and the documents
// of its result it tells hold every term; and the vector pass bounds are
// made from against the plain one, over every term.

#include <algorithm>
#include <bit>
#include <optional>

#include "formats/bm25.h"
#include "index/bm25_search.h"
#include "index/window_runs.h"

namespace {

void expect_same(const std::vector<tessavine::Scored>& a, const std::vector<tessavine::Scored>& b) {
  if (a.size() != b.size()) __builtin_trap();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || std::bit_cast<std::uint32_t>(a[i].score) != std::bit_cast<std::uint32_t>(b[i].score)) {
      __builtin_trap();
    }
  }
}

// The pruned search, which must give the plain result, and where it tells
// which documents of its result hold every found term, exactly those.
void expect_pruned_is_plain(const tessavine::Bm25& idx, const tessavine::Bm25Bounds& bounds,
                            const std::string& query, std::size_t k) {
  const std::vector<std::uint32_t> found = tessavine::found_terms(idx, query);
  std::optional<std::vector<std::uint32_t>> holding;
  const std::vector<tessavine::Scored> got = tessavine::search_bm25_pruned(idx, bounds, found, k, 0, &holding);
  expect_same(got, tessavine::search_bm25_plain(idx, query, k));
  if (!holding) return;
  std::vector<std::uint32_t> want;
  for (const tessavine::Scored& s : got) {
    if (std::all_of(found.begin(), found.end(), [&](std::uint32_t t) { return idx.has_posting(t, s.id); }))
      want.push_back(s.id);
  }
  std::sort(want.begin(), want.end());
  if (*holding != want) __builtin_trap();
}

// Both passes over a term's postings give the same runs, bit for bit.
void expect_same_runs(const tessavine::Bm25& idx, std::uint32_t t) {
  const tessavine::Bm25Constants c(idx);
  const tessavine::PostingList list = idx.postings(t);
  const float idf = c.idf(list.size());
  const std::size_t most = std::min(tessavine::window_count(idx), list.size());
  tessavine::WindowRuns fast(most), plain(most);
  const bool safe = tessavine::window_runs_plain(idx, c, list, idf, plain);
  if (tessavine::window_runs(idx, c, list, idf, fast) != safe) __builtin_trap();
  if (!safe) return;
  if (fast.count != plain.count) __builtin_trap();
  for (std::size_t r = 0; r < plain.count; ++r) {
    if (fast.windows[r] != plain.windows[r] || fast.firsts[r] != plain.firsts[r] || fast.parts[r] != plain.parts[r] ||
        std::bit_cast<std::uint32_t>(fast.values[r]) != std::bit_cast<std::uint32_t>(plain.values[r])) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* p = reinterpret_cast<const std::byte*>(data);
  auto idx = tessavine::Bm25::from_bytes(tessavine::Storage::from_bytes({p, p + size}));
  if (!idx) return 0;
  std::uint64_t sink = 0;
  for (std::uint32_t d = 0; d < idx->doc_count(); ++d) sink += idx->doc_len(d);
  for (std::uint32_t t = 0; t < idx->term_count(); ++t) {
    const std::string term(idx->term(t));
    if (idx->find_term(term) != t) __builtin_trap();
    for (const tessavine::Posting posting : idx->postings(t)) {
      const std::vector<std::string> one = {term};
      if (!idx->contains_all(posting.doc, one)) __builtin_trap();
      sink += posting.tf;
    }
    expect_same_runs(*idx, t);
    // Neighbours that are not stored: a longer and a shorter key.
    idx->find_term(term + '\0');
    if (!term.empty()) idx->find_term(std::string_view(term).substr(0, term.size() - 1));
  }
  // Queries of the first few terms, alone and together, with one set of
  // bounds shared by all as a reader shares it.
  const tessavine::Bm25Bounds bounds(*idx);
  std::string together;
  for (std::uint32_t t = 0; t < idx->term_count() && t < 4; ++t) {
    together += std::string(idx->term(t)) + ' ';
    for (const std::string& query : {std::string(idx->term(t)), together}) {
      for (const std::size_t k : {std::size_t{1}, std::size_t{3}, std::size_t{idx->doc_count()}}) {
        if (k == 0) continue;
        expect_pruned_is_plain(*idx, bounds, query, k);
      }
    }
  }
  // One query of many terms, past the widths of the term masks a search keeps.
  std::string many;
  for (std::uint32_t t = 0; t < idx->term_count() && t < 140; ++t) {
    many += idx->term(t);
    many += ' ';
  }
  for (const std::size_t k : {std::size_t{1}, std::size_t{3}}) {
    expect_pruned_is_plain(*idx, bounds, many, k);
  }
  // Probes from the input's last bytes, including absent documents.
  const std::vector<std::string> probe = {std::string(reinterpret_cast<const char*>(data), size < 3 ? size : 3)};
  idx->contains_all(size > 0 ? data[size - 1] : 0, probe);
  idx->contains_all(0xFFFFFFFFu, probe);
  (void)sink;
  return 0;
}
