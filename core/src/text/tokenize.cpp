#include "text/tokenize.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "base/unicode.h"
#include "base/utf8.h"

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

void push_word(TermSink& terms, std::string_view word, const std::vector<WordChar>& chars) {
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

// ASCII classes, so plain-ASCII words need no decoding or table walk.
enum : std::uint8_t { kAlnum = 1, kAlpha = 2, kLower = 4, kUpper = 8 };

constexpr std::array<std::uint8_t, 128> make_ascii_table() {
  std::array<std::uint8_t, 128> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = kAlnum;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kAlnum | kAlpha | kLower;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kAlnum | kAlpha | kUpper;
  return t;
}
constexpr auto kAsciiTable = make_ascii_table();
struct AsciiClasses {
  std::uint8_t operator[](unsigned char c) const { return c < 0x80 ? kAsciiTable[c] : 0; }
};
constexpr AsciiClasses kAscii{};

// The boundary rules of push_word, on ASCII bytes.
bool ascii_boundary_before(std::string_view w, std::size_t i) {
  const std::uint8_t prev = kAscii[static_cast<unsigned char>(w[i - 1])];
  const std::uint8_t cur = kAscii[static_cast<unsigned char>(w[i])];
  if ((prev & kLower) && (cur & kUpper)) return true;
  if ((prev & kUpper) && (cur & kUpper) && i + 1 < w.size() &&
      (kAscii[static_cast<unsigned char>(w[i + 1])] & kLower))
    return true;
  return (prev & kAlpha) != (cur & kAlpha);
}

void push_ascii_word(TermSink& terms, std::string_view word) {
  std::size_t part_start = 0;
  for (std::size_t i = 1; i < word.size(); ++i) {
    if (!ascii_boundary_before(word, i)) continue;
    push_term(terms, word.substr(part_start, i - part_start));
    part_start = i;
  }
  if (part_start != 0) push_term(terms, word.substr(part_start));
  push_term(terms, word);
}

}  // namespace

// The stop-words packed into integers (bytes in order, length on top), so the
// test on the hot path is a few integer compares instead of string compares.
constexpr std::uint64_t pack_short(std::string_view w) {
  std::uint64_t v = w.size();
  for (const char c : w) v = (v << 8) | static_cast<unsigned char>(c);
  return v;
}
constexpr std::size_t kLongestStopWord = 5;
constexpr auto kPackedStopWords = [] {
  std::array<std::uint64_t, kStopWords.size()> packed{};
  for (std::size_t i = 0; i < kStopWords.size(); ++i) packed[i] = pack_short(kStopWords[i]);
  std::sort(packed.begin(), packed.end());
  return packed;
}();

bool is_stop_word(std::string_view term) {
  if (term.size() > kLongestStopWord) return false;
  return std::binary_search(kPackedStopWords.begin(), kPackedStopWords.end(), pack_short(term));
}

void push_term(TermSink& terms, std::string_view word) {
  // One buffer per thread: the hot path hands out views instead of allocating.
  thread_local std::string term;
  term.clear();
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
    std::size_t i = 0;
    while (i < lowered.size()) {
      const std::size_t start = i;
      if (unicode::is_alphanumeric(utf8::decode(lowered, i)))
        term.append(lowered, start, i - start);
    }
  }
  if (term.empty()) return;
  // Fewer than two characters: a term of five bytes or more has at least two.
  if (term.size() < 2 || (term.size() < 5 && utf8::count_chars(term) < 2)) {
    if (!(term.size() == 1 && term[0] >= '0' && term[0] <= '9')) return;
  }
  if (is_stop_word(term)) return;
  terms.term(term);
}

namespace {

class VectorSink final : public TermSink {
 public:
  explicit VectorSink(std::vector<std::string>& terms) : terms_(terms) {}
  void term(std::string_view t) override { terms_.emplace_back(t); }

 private:
  std::vector<std::string>& terms_;
};

}  // namespace

void push_term(std::vector<std::string>& terms, std::string_view word) {
  VectorSink sink(terms);
  push_term(sink, word);
}

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> terms;
  VectorSink sink(terms);
  tokenize(text, sink);
  return terms;
}

void tokenize(std::string_view text, TermSink& terms) {
  std::vector<WordChar> chars;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      if (!(kAscii[b] & kAlnum)) {
        ++i;
        continue;
      }
      // Most words are plain ASCII: take them without decoding.
      std::size_t j = i + 1;
      while (j < text.size() && (kAscii[static_cast<unsigned char>(text[j])] & kAlnum)) ++j;
      if (j == text.size() || static_cast<unsigned char>(text[j]) < 0x80) {
        push_ascii_word(terms, text.substr(i, j - i));
        i = j;
        continue;
      }
    }
    // A word with non-ASCII characters (or non-ASCII separators): decode it.
    const std::size_t word_start = i;
    std::size_t end = i;
    chars.clear();
    while (end < text.size()) {
      std::size_t next = end;
      const std::uint8_t f = unicode::flags(utf8::decode(text, next));
      if (!(f & (unicode::kAlphabetic | unicode::kNumeric))) break;
      chars.push_back({end - word_start, f});
      end = next;
    }
    if (chars.empty()) {
      utf8::decode(text, i);  // a non-ASCII separator
      continue;
    }
    push_word(terms, text.substr(word_start, end - word_start), chars);
    i = end;
  }
}

}  // namespace tessavine
