// Quoted phrases of a query and their matching against one chunk's terms.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/tokenize.h"

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

// match_terms over terms as they come from the tokenizer, keeping none of
// them: feed a chunk's terms (reset between chunks), then read the result.
// Each term costs a lookup among the query's terms and one step per phrase.
class TermMatcher final : public TermSink {
 public:
  explicit TermMatcher(const PhraseQuery& query);

  void reset();
  void term(std::string_view term) override;
  TermMatch result() const;
  // No later term can change the result: every phrase and the sequence
  // have been found.
  bool settled() const { return open_ == 0; }
  // Some needle not found yet has matched a beginning of itself: the terms
  // that come next may complete it.
  bool partial() const;
  // The first term of every needle: no needle can be found before the
  // matcher is handed one of these.
  std::vector<std::string_view> first_terms() const;

 private:
  // A list of the query's terms (as positions in terms_) being looked for,
  // with its prefix-function table, as in `occurs`.
  struct Needle {
    std::vector<std::size_t> ids;
    std::vector<std::size_t> border;
    std::size_t matched = 0;
    bool found = false;
  };
  Needle needle_of(const std::vector<std::string>& list) const;

  std::vector<std::string> terms_;  // every term of the needles, once, sorted
  // Their lengths and first bytes, which turn most other terms away at once.
  std::uint64_t lengths_ = 0;  // bit min(length, 63)
  std::uint64_t firsts_[4] = {};
  std::vector<Needle> needles_;     // the phrases, then the sequence if any
  std::size_t phrases_ = 0;
  bool has_sequence_ = false;
  std::size_t open_ = 0;  // needles not found yet
};

// Whether `needle` occurs contiguously in `haystack` (an empty needle always
// does). Linear in both lengths: a long query against a long, repetitive
// chunk must not take their product. `occurs_plain` tries every start in
// turn and is the oracle of the fast form.
bool occurs(std::span<const std::string> needle, std::span<const std::string> haystack);
bool occurs_plain(std::span<const std::string> needle, std::span<const std::string> haystack);

}  // namespace tessavine
