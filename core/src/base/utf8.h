// Small UTF-8 helpers shared by the text code. Text handed to the core by the
// binding layer is always valid UTF-8; bytes read from files may not be, so
// the decoder never reads past the end and maps ill-formed input to U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessavine::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

// Decodes the scalar value starting at s[i] and advances i past it. An
// ill-formed sequence yields U+FFFD and advances past its maximal subpart
// (at least one byte), as the Unicode standard recommends.
char32_t decode(std::string_view s, std::size_t& i);

// True when the bytes are well-formed UTF-8.
bool valid(std::string_view s);

// Appends the UTF-8 form of a scalar value.
void append(std::string& out, char32_t cp);

// The text with every ill-formed subsequence replaced by U+FFFD.
std::string lossy(std::string_view s);

// Number of scalar values of well-formed UTF-8 (bytes that are not
// continuation bytes).
std::size_t count_chars(std::string_view s);

inline bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace tessavine::utf8
