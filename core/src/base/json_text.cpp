#include "base/json_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/utf8.h"

namespace tessavine::json_text {

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain = 0;  // start of the run of bytes copied as they are
  for (std::size_t i = 0; i < s.size(); ++i) {
#if defined(__SSE2__)
    // Sixteen bytes at a time past those copied as they are.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below_space = _mm_set1_epi8(0x1F);
    while (s.size() - i >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
      const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                        _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
      if (mask != 0) {
        i += static_cast<std::size_t>(__builtin_ctz(mask));
        break;
      }
      i += 16;
    }
    if (i == s.size()) break;
#endif
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default: {
        const char esc[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, sizeof esc);
      }
    }
  }
  out.append(s.data() + plain, s.size() - plain);
  out += '"';
}

std::string decoder_message(std::string_view what) {
  if (what.starts_with("[json.exception.")) {
    const auto end = what.find("] ");
    if (end != std::string_view::npos) what.remove_prefix(end + 2);
  }
  return utf8::lossy(what);
}

}  // namespace tessavine::json_text
