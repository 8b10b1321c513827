// PhraseQuery::parse: quotes are separators to the tokenizer, so every phrase
// is a non-empty run of the query's own terms, and a query matched against its
// own terms finds its phrases and its sequence. The linear `occurs` agrees
// with its plain oracle. The sparse matcher, given the text after the first
// line feed, agrees with matching all its terms against the first line.

#include "text/phrase.h"
#include "text/sparse_match.h"
#include "text/tokenize.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessavine;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const PhraseQuery q = PhraseQuery::parse(text);
  if (q.terms != tokenize(text)) __builtin_trap();
  for (const auto& phrase : q.phrases)
    if (phrase.empty() || !occurs(phrase, q.terms)) __builtin_trap();
  const TermMatch self = match_terms(q, q.terms);
  if (self.phrase_match != !q.phrases.empty() || self.sequence_match != (q.terms.size() >= 2)) __builtin_trap();
  // The first phrase searched in the terms after the query's first term: a
  // miss as often as a hit, and a needle against a repetitive haystack.
  if (!q.phrases.empty() && !q.terms.empty()) {
    const std::span<const std::string> rest(q.terms.begin() + 1, q.terms.end());
    if (occurs(q.phrases[0], rest) != occurs_plain(q.phrases[0], rest)) __builtin_trap();
  }
  if (const std::size_t cut = text.find('\n'); cut != std::string_view::npos) {
    const PhraseQuery line = PhraseQuery::parse(text.substr(0, cut));
    const std::string_view rest[] = {text.substr(cut + 1)};
    const TermMatch got = SparseMatcher(line).match(rest[0], rest);
    const TermMatch want = match_terms(line, tokenize(rest[0]));
    if (got.phrase_match != want.phrase_match || got.sequence_match != want.sequence_match) __builtin_trap();
  }
  return 0;
}
