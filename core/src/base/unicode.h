// Unicode character properties from the compiled-in tables (no locale, no ICU),
// so that every machine splits and lower-cases text the same way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessavine::unicode {

enum Flag : std::uint8_t {
  kAlphabetic = 1 << 0,
  kLowercase = 1 << 1,
  kUppercase = 1 << 2,
  kWhiteSpace = 1 << 3,
  kNumeric = 1 << 4,  // general category Nd, Nl or No
  kCased = 1 << 5,
  kCaseIgnorable = 1 << 6,
  kEscape = 1 << 7,  // written as \u{...} inside quoted text
};

std::uint8_t flags(char32_t cp);

inline bool is_alphabetic(char32_t cp) { return flags(cp) & kAlphabetic; }
inline bool is_alphanumeric(char32_t cp) { return flags(cp) & (kAlphabetic | kNumeric); }
inline bool is_lowercase(char32_t cp) { return flags(cp) & kLowercase; }
inline bool is_uppercase(char32_t cp) { return flags(cp) & kUppercase; }
inline bool is_white_space(char32_t cp) { return flags(cp) & kWhiteSpace; }
inline bool is_numeric(char32_t cp) { return flags(cp) & kNumeric; }

// Appends the full lowercase mapping of `text` (one or more scalar values per
// character; a capital sigma at the end of a word becomes the final form).
void append_lowercase(std::string& out, std::string_view text);

// `text` without leading and trailing Unicode white space.
std::string_view trim_white_space(std::string_view text);

// The Unicode version the tables were generated from.
std::string_view version();

}  // namespace tessavine::unicode
