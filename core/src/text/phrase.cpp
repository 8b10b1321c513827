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
  // border[i]: length of the longest proper prefix of needle[0..i] that is
  // also its suffix.
  std::vector<std::size_t> border(m, 0);
  for (std::size_t i = 1, len = 0; i < m; ++i) {
    while (len > 0 && needle[i] != needle[len]) len = border[len - 1];
    if (needle[i] == needle[len]) ++len;
    border[i] = len;
  }
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

}  // namespace tessavine
