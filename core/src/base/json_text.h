// JSON text shared by the docs records and the manifest: one string escaping
// for both, and the clean-up of the JSON library's own error messages.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessavine::json_text {

// Where the run of bytes from `from` that a JSON string holds as they are
// ends: the first `"`, `\` or control below 0x20, or the end of `s`. Clears
// `ascii` if the run has a non-ASCII byte. Sixteen bytes at a time while
// they last: both the escaping and the reading of records go through it.
inline std::size_t plain_run_end(std::string_view s, std::size_t from, bool& ascii) {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x1F);
  unsigned high = 0;
  for (; s.size() - i >= 16; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    // v <= 0x1F unsigned: its minimum with 0x1F is itself.
    const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                      _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
    const auto bits = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (mask != 0) {
      // Only the bytes before the stop count.
      high |= bits & ((mask & -mask) - 1);
      i += static_cast<std::size_t>(__builtin_ctz(mask));
      if (high != 0) ascii = false;
      return i;
    }
    high |= bits;
  }
  if (high != 0) ascii = false;
#endif
  for (; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\' || c < 0x20) break;
    if (c >= 0x80) ascii = false;
  }
  return i;
}

// Appends `s` as a JSON string with its quotation marks. Only `"`, `\` and
// the controls below 0x20 are escaped (\b \t \n \f \r, else \u00xx in
// lower-case hex); 0x7F and non-ASCII bytes are copied as they are.
void append_string(std::string& out, std::string_view s);

// The library's message without its "[json.exception.…] " tag, and made
// valid UTF-8: parse errors quote the offending input, which may not be.
std::string decoder_message(std::string_view what);

}  // namespace tessavine::json_text
