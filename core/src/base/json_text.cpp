#include "base/json_text.h"

#include "base/utf8.h"

namespace tessavine::json_text {

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain = 0;  // start of the run of bytes copied as they are
  bool ascii = true;      // not needed here
  for (std::size_t i = plain_run_end(s, 0, ascii); i < s.size(); i = plain_run_end(s, i + 1, ascii)) {
    const auto c = static_cast<unsigned char>(s[i]);
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
