#include "text/phrase.h"

#include <algorithm>
#include <cstddef>

#include "text/tokenize.h"

namespace tessavine {
namespace {

// Byte length of the quote character starting at query[i], or 0. Matching the
// UTF-8 bytes directly is the same as decoding characters: neither 0x22 nor
// 0xE2 can be a continuation byte, so a quote never hides inside another
// character, well-formed or not.
std::size_t quote_at(std::string_view query, std::size_t i) {
  if (query[i] == '"') return 1;
  if (query.substr(i, 3) == "\xE2\x80\x9C" || query.substr(i, 3) == "\xE2\x80\x9D") return 3;
  return 0;
}

// border[i]: length of the longest proper prefix of needle[0..i] that is
// also its suffix.
template <class T>
std::vector<std::size_t> borders(std::span<const T> needle) {
  std::vector<std::size_t> border(needle.size(), 0);
  for (std::size_t i = 1, len = 0; i < needle.size(); ++i) {
    while (len > 0 && needle[i] != needle[len]) len = border[len - 1];
    if (needle[i] == needle[len]) ++len;
    border[i] = len;
  }
  return border;
}

}  // namespace

bool occurs_plain(std::span<const std::string> needle, std::span<const std::string> haystack) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// Prefix-function matching: after a mismatch the needle resumes at its
// longest border instead of at the next start, so no chunk term is compared
// more than a bounded number of times.
bool occurs(std::span<const std::string> needle, std::span<const std::string> haystack) {
  const std::size_t m = needle.size();
  if (m == 0) return true;
  if (m > haystack.size()) return false;
  const std::vector<std::size_t> border = borders(needle);
  for (std::size_t j = 0, len = 0; j < haystack.size(); ++j) {
    while (len > 0 && haystack[j] != needle[len]) len = border[len - 1];
    if (haystack[j] == needle[len]) ++len;
    if (len == m) return true;
  }
  return false;
}

PhraseQuery PhraseQuery::parse(std::string_view query) {
  PhraseQuery parsed;
  auto add_phrase = [&parsed](std::string_view text) {
    std::vector<std::string> terms = tokenize(text);
    if (!terms.empty()) parsed.phrases.push_back(std::move(terms));
  };
  bool inside = false;
  std::size_t start = 0;  // first byte of the open phrase's text
  for (std::size_t i = 0; i < query.size();) {
    const std::size_t quote = quote_at(query, i);
    if (quote == 0) {
      ++i;
      continue;
    }
    if (inside) add_phrase(query.substr(start, i - start));
    inside = !inside;
    i += quote;
    start = i;
  }
  if (inside) add_phrase(query.substr(start));
  parsed.terms = tokenize(query);
  return parsed;
}

TermMatch match_terms(const PhraseQuery& query, std::span<const std::string> chunk_terms) {
  TermMatch match{false, false};
  if (!query.phrases.empty()) {
    match.phrase_match = std::all_of(
        query.phrases.begin(), query.phrases.end(),
        [&](const std::vector<std::string>& phrase) { return occurs(phrase, chunk_terms); });
  }
  if (query.terms.size() >= 2) match.sequence_match = occurs(query.terms, chunk_terms);
  return match;
}

TermMatcher::TermMatcher(const PhraseQuery& query) {
  for (const auto& phrase : query.phrases) terms_.insert(terms_.end(), phrase.begin(), phrase.end());
  has_sequence_ = query.terms.size() >= 2;
  if (has_sequence_) terms_.insert(terms_.end(), query.terms.begin(), query.terms.end());
  std::sort(terms_.begin(), terms_.end());
  terms_.erase(std::unique(terms_.begin(), terms_.end()), terms_.end());
  for (const std::string& t : terms_) {
    lengths_ |= std::uint64_t{1} << std::min<std::size_t>(t.size(), 63);
    const auto first = static_cast<unsigned char>(t[0]);  // terms are never empty
    firsts_[first >> 6] |= std::uint64_t{1} << (first & 63);
  }
  for (const auto& phrase : query.phrases) needles_.push_back(needle_of(phrase));
  phrases_ = needles_.size();
  if (has_sequence_) needles_.push_back(needle_of(query.terms));
  reset();
}

TermMatcher::Needle TermMatcher::needle_of(const std::vector<std::string>& list) const {
  Needle needle;
  for (const std::string& t : list) {
    needle.ids.push_back(static_cast<std::size_t>(
        std::lower_bound(terms_.begin(), terms_.end(), t) - terms_.begin()));
  }
  needle.border = borders(std::span<const std::size_t>(needle.ids));
  return needle;
}

void TermMatcher::reset() {
  for (Needle& n : needles_) {
    n.matched = 0;
    n.found = false;
  }
  open_ = needles_.size();
}

void TermMatcher::term(std::string_view term) {
  if (open_ == 0) return;
  const auto first = static_cast<unsigned char>(term.empty() ? 0 : term[0]);
  const bool maybe = !term.empty() && (lengths_ >> std::min<std::size_t>(term.size(), 63) & 1) &&
                     (firsts_[first >> 6] >> (first & 63) & 1);
  const auto at = maybe ? std::lower_bound(terms_.begin(), terms_.end(), term) : terms_.end();
  const bool known = at != terms_.end() && *at == term;
  const auto id = static_cast<std::size_t>(at - terms_.begin());
  for (Needle& n : needles_) {
    if (n.found) continue;
    if (!known) {
      n.matched = 0;  // no needle holds the term
      continue;
    }
    while (n.matched > 0 && n.ids[n.matched] != id) n.matched = n.border[n.matched - 1];
    if (n.ids[n.matched] == id) ++n.matched;
    if (n.matched == n.ids.size()) {
      n.found = true;
      --open_;
    }
  }
}

bool TermMatcher::partial() const {
  return std::any_of(needles_.begin(), needles_.end(),
                     [](const Needle& n) { return !n.found && n.matched > 0; });
}

std::vector<std::string_view> TermMatcher::first_terms() const {
  std::vector<std::string_view> firsts;
  for (const Needle& n : needles_) {
    const std::string_view t = terms_[n.ids[0]];
    if (std::find(firsts.begin(), firsts.end(), t) == firsts.end()) firsts.push_back(t);
  }
  return firsts;
}

TermMatch TermMatcher::result() const {
  TermMatch match{false, false};
  if (phrases_ > 0) {
    match.phrase_match = std::all_of(needles_.begin(), needles_.begin() + static_cast<std::ptrdiff_t>(phrases_),
                                     [](const Needle& n) { return n.found; });
  }
  if (has_sequence_) match.sequence_match = needles_.back().found;
  return match;
}

}  // namespace tessavine
