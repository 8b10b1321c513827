#include "base/unicode.h"

#include <algorithm>
#include <array>

#include "base/utf8.h"

namespace tessavine::unicode {
namespace {

struct LowerPair {
  char32_t from, to;
};
struct LowerMulti {
  char32_t from;
  char32_t to[3];
};

#include "base/unicode_tables.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// True when, skipping case-ignorable characters, the first character met is cased.
template <class Next>
bool case_ignorable_then_cased(Next next) {
  for (char32_t cp; next(cp);) {
    const auto f = flags(cp);
    if (f & kCaseIgnorable) continue;
    return f & kCased;
  }
  return false;
}

// Steps back one scalar value in well-formed UTF-8.
std::size_t prev_start(std::string_view s, std::size_t i) {
  do {
    --i;
  } while (i > 0 && utf8::is_continuation(static_cast<unsigned char>(s[i])));
  return i;
}

bool sigma_is_final(std::string_view text, std::size_t start, std::size_t end) {
  std::size_t back = start;
  const bool before = case_ignorable_then_cased([&](char32_t& cp) {
    if (back == 0) return false;
    back = prev_start(text, back);
    std::size_t j = back;
    cp = utf8::decode(text, j);
    return true;
  });
  if (!before) return false;
  std::size_t fwd = end;
  const bool after = case_ignorable_then_cased([&](char32_t& cp) {
    if (fwd >= text.size()) return false;
    cp = utf8::decode(text, fwd);
    return true;
  });
  return !after;
}

}  // namespace

std::uint8_t flags(char32_t cp) {
  if (cp >= 0x110000) return 0;
  return kUnicodeStage2[static_cast<std::size_t>(kUnicodeStage1[cp >> 8]) * 256 + (cp & 0xFF)];
}

void append_lowercase(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b));
      ++i;
      continue;
    }
    const std::size_t start = i;
    const char32_t cp = utf8::decode(text, i);
    if (cp == kCapitalSigma) {
      utf8::append(out, sigma_is_final(text, start, i) ? kFinalSigma : kSmallSigma);
      continue;
    }
    const auto single = std::lower_bound(std::begin(kLowerSingle), std::end(kLowerSingle), cp,
                                         [](const LowerPair& p, char32_t c) { return p.from < c; });
    if (single != std::end(kLowerSingle) && single->from == cp) {
      utf8::append(out, single->to);
      continue;
    }
    const auto multi = std::find_if(std::begin(kLowerMulti), std::end(kLowerMulti),
                                    [cp](const LowerMulti& m) { return m.from == cp; });
    if (multi != std::end(kLowerMulti)) {
      for (const char32_t to : multi->to)
        if (to != 0) utf8::append(out, to);
      continue;
    }
    utf8::append(out, cp);
  }
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t next = start;
    if (!is_white_space(utf8::decode(text, next))) break;
    start = next;
  }
  std::size_t end = text.size();
  while (end > start) {
    const std::size_t prev = prev_start(text, end);
    std::size_t j = prev;
    if (!is_white_space(utf8::decode(text, j))) break;
    end = prev;
  }
  return text.substr(start, end - start);
}

std::string_view version() {
  return kUnicodeVersion;
}

}  // namespace tessavine::unicode
