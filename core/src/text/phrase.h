// Quoted phrases of a query and their matching against one chunk's terms.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessavine {

struct PhraseQuery {
  // The term lists of the quoted parts that yield terms, in query order.
  std::vector<std::vector<std::string>> phrases;
  // The terms of the whole query text, quoted parts included.
  std::vector<std::string> terms;

  // U+0022, U+201C and U+201D open and close phrases interchangeably; an
  // opening quote without a closing one runs to the end of the query. Never
  // fails.
  static PhraseQuery parse(std::string_view query);
};

struct TermMatch {
  bool phrase_match;    // every phrase occurs contiguously (false without phrases)
  bool sequence_match;  // the whole term list (2 or more terms) occurs contiguously
};

// Matches a parsed query against the term list of one chunk's search text.
TermMatch match_terms(const PhraseQuery& query, std::span<const std::string> chunk_terms);

// Whether `needle` occurs contiguously in `haystack` (an empty needle always
// does). Linear in both lengths: a long query against a long, repetitive
// chunk must not take their product. `occurs_plain` tries every start in
// turn and is the oracle of the fast form.
bool occurs(std::span<const std::string> needle, std::span<const std::string> haystack);
bool occurs_plain(std::span<const std::string> needle, std::span<const std::string> haystack);

}  // namespace tessavine
