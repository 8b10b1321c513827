#include "base/escape.h"

#include <cstdio>

#include "base/unicode.h"
#include "base/utf8.h"

namespace tessavine {

void append_escaped(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    const char32_t cp = utf8::decode(text, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (unicode::flags(cp) & unicode::kEscape) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    } else if (cp == utf8::kReplacement && i - start != 3) {
      utf8::append(out, cp);
    } else {
      out.append(text.substr(start, i - start));
    }
  }
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  append_escaped(out, text);
  out += '"';
  return out;
}

}  // namespace tessavine
