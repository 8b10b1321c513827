// Why skipping is exact:
// - Words are maximal runs of letters and digits, and an ASCII byte that is
//   neither always ends one. Tokenizing from the start of a run, or from just
//   after such a byte, gives exactly the terms the whole run gives from there.
// - A word of ASCII bytes yields only lower-cased pieces of itself, so an
//   ASCII term comes from a word where its bytes occur (ignoring ASCII case)
//   or from a word holding a non-ASCII byte; any other term only from the
//   latter.
// - While no needle is partly matched, a term that is no needle's first term
//   leaves the matcher as it is.
// So the text between the places where a first term can occur (and the
// words holding non-ASCII bytes) may go untokenized whenever the matcher
// holds no partial match there.
#include "text/sparse_match.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/tokenize.h"

namespace tessavine {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// ASCII letters and digits, and every byte of a non-ASCII character: what a
// word may be made of. The others are separators.
bool word_byte(unsigned char c) {
  return c >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// Whether `term` ([a-z0-9]+) occurs at text[i], ignoring ASCII case.
bool occurs_at(std::string_view text, std::size_t i, std::string_view term) {
  if (text.size() - i < term.size()) return false;
  for (std::size_t k = 0; k < term.size(); ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c >= 'A' && c <= 'Z' ? c | 0x20 : c) != static_cast<unsigned char>(term[k])) return false;
  }
  return true;
}

}  // namespace

SparseMatcher::SparseMatcher(const PhraseQuery& query) : matcher_(query) {
  for (const std::string_view t : matcher_.first_terms()) {
    const bool ascii = std::all_of(t.begin(), t.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x80;
    });
    // A non-ASCII term only comes from a word with a non-ASCII byte, and
    // each of those is a trigger anyway.
    if (!ascii) continue;
    ascii_firsts_.emplace_back(t);
    longest_ = std::max(longest_, t.size());
  }
}

bool SparseMatcher::trigger_at(std::string_view text, std::size_t i) const {
  if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
  return std::any_of(ascii_firsts_.begin(), ascii_firsts_.end(),
                     [&](const std::string& t) { return occurs_at(text, i, t); });
}

std::size_t SparseMatcher::next_trigger(std::string_view text, std::size_t from) const {
  std::size_t i = from;
#if defined(__SSE2__)
  // Sixteen places at a time, each term tested by its first and last byte
  // folded by `| 0x20` (which lets a few other bytes pass too): only places
  // passing go on to the exact comparison.
  const __m128i fold = _mm_set1_epi8(0x20);
  const auto at = [&](std::size_t j) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + j));
  };
  for (; i + 16 + longest_ <= text.size(); i += 16) {
    const __m128i v = at(i);
    const __m128i folded = _mm_or_si128(v, fold);
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(v));
    for (const std::string& t : ascii_firsts_) {
      const __m128i last = _mm_or_si128(at(i + t.size() - 1), fold);
      const __m128i both = _mm_and_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8(t.front())),
                                         _mm_cmpeq_epi8(last, _mm_set1_epi8(t.back())));
      mask |= static_cast<unsigned>(_mm_movemask_epi8(both));
    }
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t hit = i + static_cast<std::size_t>(__builtin_ctz(mask));
      if (trigger_at(text, hit)) return hit;
    }
  }
#endif
  for (; i < text.size(); ++i) {
    if (trigger_at(text, i)) return i;
  }
  return kNone;
}

TermMatch SparseMatcher::match(std::string_view text, std::span<const std::string_view> runs) {
  matcher_.reset();
  // Positions are offsets in `text`; run r spans [first(r), last(r)).
  const auto first = [&](std::size_t r) { return static_cast<std::size_t>(runs[r].data() - text.data()); };
  const auto last = [&](std::size_t r) { return first(r) + runs[r].size(); };
  const auto word_at = [&](std::size_t i) { return word_byte(static_cast<unsigned char>(text[i])); };
  std::size_t r = 0;
  std::size_t pos = runs.empty() ? 0 : first(0);  // a word boundary, or between runs
  while (r < runs.size() && !matcher_.settled()) {
    std::size_t start = pos;
    std::size_t end = pos;
    if (matcher_.partial()) {
      // The next word decides whether the partial match goes on; a run's
      // end is a word boundary, and the match carries on into the next.
      while (end < last(r) && !word_at(end)) ++end;
      if (end == last(r)) {
        if (++r < runs.size()) pos = first(r);
        continue;
      }
    } else {
      const std::size_t at = next_trigger(text, pos);
      if (at == kNone) break;
      while (r < runs.size() && last(r) <= at) ++r;
      if (r == runs.size()) break;
      if (at < first(r)) {
        // Between runs: an escape or the record's own syntax.
        pos = first(r);
        continue;
      }
      // A trigger stands on a byte of a word, so the word's end lies past it.
      start = at;
      while (start > std::max(pos, first(r)) && word_at(start - 1)) --start;
      end = at;
    }
    while (end < last(r) && word_at(end)) ++end;
    tokenize(text.substr(start, end - start), matcher_);
    pos = end;
  }
  return matcher_.result();
}

}  // namespace tessavine
