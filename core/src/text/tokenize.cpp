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

// The stop-words packed into integers (bytes in order, length on top) in a
// small open-addressing table, so the test on the hot path is a multiply and
// one or two integer compares. No packed word is 0, the empty slot.
constexpr std::uint64_t pack_short(std::string_view w) {
  std::uint64_t v = w.size();
  for (const char c : w) v = (v << 8) | static_cast<unsigned char>(c);
  return v;
}
constexpr std::size_t kLongestStopWord = 5;
constexpr std::size_t kStopSlots = 128;
constexpr std::size_t stop_slot(std::uint64_t packed) {
  return static_cast<std::size_t>((packed * 0x9E3779B97F4A7C15ull) >> 57);
}
constexpr auto kStopTable = [] {
  std::array<std::uint64_t, kStopSlots> table{};
  for (const std::string_view w : kStopWords) {
    std::size_t h = stop_slot(pack_short(w));
    while (table[h] != 0) h = (h + 1) % kStopSlots;
    table[h] = pack_short(w);
  }
  return table;
}();

bool is_stop_word(std::string_view term) {
  if (term.empty() || term.size() > kLongestStopWord) return false;
  const std::uint64_t packed = pack_short(term);
  for (std::size_t h = stop_slot(packed);; h = (h + 1) % kStopSlots) {
    if (kStopTable[h] == packed) return true;
    if (kStopTable[h] == 0) return false;
  }
}

namespace {

// The last steps of push_term, on the lower-cased alphanumerics.
void keep_term(TermSink& terms, std::string_view term, bool ascii) {
  if (term.empty()) return;
  // Fewer than two characters: a term of five bytes or more has at least
  // two, and an ASCII one as many as it has bytes.
  if (term.size() < 2 || (!ascii && term.size() < 5 && utf8::count_chars(term) < 2)) {
    if (!(term.size() == 1 && term[0] >= '0' && term[0] <= '9')) return;
  }
  if (is_stop_word(term)) return;
  terms.term(term);
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

}  // namespace

void push_term(TermSink& terms, std::string_view word) {
  const bool ascii = is_ascii(word);
  // Words reaching here are alphanumeric runs, so ASCII ones only need case:
  // short ones in a buffer on the stack.
  constexpr std::size_t kShort = 64;
  if (ascii && word.size() <= kShort) {
    char lowered[kShort];
    std::transform(word.begin(), word.end(), lowered, ascii_lower);
    keep_term(terms, {lowered, word.size()}, true);
    return;
  }
  // One buffer per thread for the others: views are handed out, not copies.
  thread_local std::string term;
  term.clear();
  if (ascii) {
    term.resize(word.size());
    std::transform(word.begin(), word.end(), term.begin(), ascii_lower);
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
  keep_term(terms, term, ascii);
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
      std::uint8_t any = kAscii[b];
      std::uint8_t all = any;
      std::size_t j = i + 1;
      for (; j < text.size(); ++j) {
        const std::uint8_t f = kAscii[static_cast<unsigned char>(text[j])];
        if (!(f & kAlnum)) break;
        any |= f;
        all &= f;
      }
      if (j == text.size() || static_cast<unsigned char>(text[j]) < 0x80) {
        const std::string_view word = text.substr(i, j - i);
        // Without capitals, and all letters or all digits, a word has no
        // parts and is its own lower case: the common case, taken directly.
        if (!(any & kUpper) && ((all & kAlpha) || !(any & kAlpha))) {
          keep_term(terms, word, true);
        } else {
          push_ascii_word(terms, word);
        }
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
