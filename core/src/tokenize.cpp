#include "tokenize.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "unicode.h"
#include "utf8.h"

namespace tessavine {
namespace {

// Sorted byte-wise: searched with std::binary_search.
constexpr std::array<std::string_view, 33> kStopWords = {
    "a",    "an",   "and",  "are",   "as",    "at",   "be",    "but",  "by",
    "for",  "if",   "in",   "into",  "is",    "it",   "no",    "not",  "of",
    "on",   "or",   "such", "that",  "the",   "their", "then", "there", "these",
    "they", "this", "to",   "was",   "will",  "with"};

struct WordChar {
  std::size_t offset;  // byte offset of the character within the word
  std::uint8_t flags;
};

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool boundary_before(const std::vector<WordChar>& chars, std::size_t i) {
  using namespace unicode;
  const std::uint8_t prev = chars[i - 1].flags;
  const std::uint8_t cur = chars[i].flags;
  if ((prev & kLowercase) && (cur & kUppercase)) return true;
  if ((prev & kUppercase) && (cur & kUppercase) && i + 1 < chars.size() &&
      (chars[i + 1].flags & kLowercase))
    return true;
  return static_cast<bool>(prev & kAlphabetic) != static_cast<bool>(cur & kAlphabetic);
}

void push_word(std::vector<std::string>& terms, std::string_view word,
               const std::vector<WordChar>& chars) {
  std::size_t part_start = 0;
  bool split = false;
  for (std::size_t i = 1; i < chars.size(); ++i) {
    if (!boundary_before(chars, i)) continue;
    split = true;
    push_term(terms, word.substr(chars[part_start].offset, chars[i].offset - chars[part_start].offset));
    part_start = i;
  }
  if (split) push_term(terms, word.substr(chars[part_start].offset));
  push_term(terms, word);
}

}  // namespace

bool is_stop_word(std::string_view term) {
  return std::binary_search(kStopWords.begin(), kStopWords.end(), term);
}

void push_term(std::vector<std::string>& terms, std::string_view word) {
  std::string term;
  if (is_ascii(word)) {
    // Words reaching here are alphanumeric runs, so ASCII ones only need case.
    term.resize(word.size());
    std::transform(word.begin(), word.end(), term.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  } else {
    std::string lowered;
    unicode::append_lowercase(lowered, word);
    // Lower-casing may produce non-alphanumerics (a combining dot): keep only
    // the alphanumeric characters.
    term.reserve(lowered.size());
    std::size_t i = 0;
    while (i < lowered.size()) {
      const std::size_t start = i;
      if (unicode::is_alphanumeric(utf8::decode(lowered, i)))
        term.append(lowered, start, i - start);
    }
  }
  if (term.empty()) return;
  if (utf8::count_chars(term) < 2) {
    if (!(term.size() == 1 && term[0] >= '0' && term[0] <= '9')) return;
  }
  if (is_stop_word(term)) return;
  terms.push_back(std::move(term));
}

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> terms;
  std::vector<WordChar> chars;
  std::size_t word_start = 0;
  std::size_t i = 0;
  const auto flush = [&](std::size_t end) {
    if (chars.empty()) return;
    push_word(terms, text.substr(word_start, end - word_start), chars);
    chars.clear();
  };
  while (i < text.size()) {
    const std::size_t start = i;
    const auto b = static_cast<unsigned char>(text[i]);
    char32_t cp;
    if (b < 0x80) {
      cp = b;
      ++i;
    } else {
      cp = utf8::decode(text, i);
    }
    const std::uint8_t f = unicode::flags(cp);
    if (f & (unicode::kAlphabetic | unicode::kNumeric)) {
      if (chars.empty()) word_start = start;
      chars.push_back({start - word_start, f});
    } else {
      flush(start);
    }
  }
  flush(text.size());
  return terms;
}

}  // namespace tessavine
