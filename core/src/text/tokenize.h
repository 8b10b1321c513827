// The tokenizer: text to the terms the keyword index stores and queries match.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessavine {

// Lower-cased terms in text order, duplicates kept. Words are maximal runs of
// alphanumeric characters; identifiers also yield their camelCase and
// letter/digit parts (parts first, whole word last). Stop-words and one-letter
// terms are dropped. Never fails.
std::vector<std::string> tokenize(std::string_view text);

// Receives the terms of a text one by one, in order. The view is valid only
// during the call.
class TermSink {
 public:
  virtual void term(std::string_view term) = 0;

 protected:
  ~TermSink() = default;
};

// The same terms as above, handed to `terms` without building a list.
void tokenize(std::string_view text, TermSink& terms);

// Normalises one candidate word and appends it to `terms` if it survives.
void push_term(std::vector<std::string>& terms, std::string_view word);
void push_term(TermSink& terms, std::string_view word);

// Whether `term` (already lower-case) is one of the stop-words.
bool is_stop_word(std::string_view term);

}  // namespace tessavine
