// Matching a query's phrases and term sequence against a chunk's text
// without tokenizing all of it: only the stretches where a needle can begin,
// and the words that follow while one is partly matched, are tokenized.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/phrase.h"

namespace tessavine {

// A TermMatcher fed only where its result can change. Made once per query.
class SparseMatcher {
 public:
  explicit SparseMatcher(const PhraseQuery& query);

  // What match_terms gives for the terms of `runs` tokenized one after the
  // other as one text. The runs are slices of `text`, in order, and each
  // begins and ends at a word boundary, as those of search_text_runs do.
  TermMatch match(std::string_view text, std::span<const std::string_view> runs);

 private:
  // The first position at or after `from` where a needle's first term
  // occurs or a non-ASCII byte stands, or npos.
  std::size_t next_trigger(std::string_view text, std::size_t from) const;
  bool trigger_at(std::string_view text, std::size_t i) const;

  TermMatcher matcher_;
  std::vector<std::string> ascii_firsts_;  // the needles' first terms that are ASCII
  std::size_t longest_ = 0;                // of ascii_firsts_
};

}  // namespace tessavine
