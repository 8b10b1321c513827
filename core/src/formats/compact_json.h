// A cursor over the JSON of one docs.bin record as DocsBuilder writes it (no
// white space, plain decimal numbers, strings escaped by the JSON library).
// Internal: shared by the compact decoder of docs.cpp and the in-place reader
// of record_text.cpp, which must accept and refuse exactly the same bytes.
// Every reader returns false on anything else, leaving the verdict to the
// general decoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/json_text.h"
#include "base/utf8.h"

namespace tessavine {

class CompactJson {
 public:
  explicit CompactJson(std::string_view s) : s_(s) {}

  bool at_end() const { return i_ == s_.size(); }
  std::size_t position() const { return i_; }

  // The keys are short: compared in place rather than through memcmp.
  bool lit(std::string_view l) {
    if (s_.size() - i_ < l.size()) return false;
    for (std::size_t k = 0; k < l.size(); ++k) {
      if (s_[i_ + k] != l[k]) return false;
    }
    i_ += l.size();
    return true;
  }

  bool u32(std::uint32_t& out) {
    const std::size_t start = i_;
    std::uint64_t v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 11) {
      v = v * 10 + static_cast<unsigned>(s_[i_] - '0');
      ++i_;
    }
    const std::size_t n = i_ - start;
    if (n == 0 || n > 10 || (n > 1 && s_[start] == '0') || v > 0xFFFFFFFFu) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
  }

  // A JSON string: each run of bytes between escapes goes to on_run (valid
  // UTF-8, possibly empty), each escape's character to on_escape, which may
  // refuse it by returning false.
  template <class OnRun, class OnEscape>
  bool str(OnRun&& on_run, OnEscape&& on_escape) {
    if (!lit("\"")) return false;
    for (;;) {
      std::string_view bytes;
      if (!run(bytes)) return false;
      on_run(bytes);
      if (i_ == s_.size() || static_cast<unsigned char>(s_[i_]) < 0x20) return false;
      if (s_[i_++] == '"') return true;
      if (i_ == s_.size()) return false;
      char32_t c = 0;
      switch (s_[i_++]) {
        case '"': c = '"'; break;
        case '\\': c = '\\'; break;
        case '/': c = '/'; break;
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'u': {
          std::uint32_t cp;
          if (!hex4(cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t lo;
            if (!lit("\\u") || !hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          c = static_cast<char32_t>(cp);
          break;
        }
        default: return false;
      }
      if (!on_escape(c)) return false;
    }
  }

 private:
  // The bytes up to the next quote, backslash or control character; false
  // if they are not valid UTF-8.
  bool run(std::string_view& bytes) {
    const std::size_t start = i_;
    bool ascii = true;
    i_ = json_text::plain_run_end(s_, i_, ascii);
    bytes = s_.substr(start, i_ - start);
    return ascii || utf8::valid(bytes);
  }

  bool hex4(std::uint32_t& out) {
    if (s_.size() - i_ < 4) return false;
    out = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_ + k];
      int h = -1;
      if (c >= '0' && c <= '9') h = c - '0';
      if (c >= 'a' && c <= 'f') h = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') h = c - 'A' + 10;
      if (h < 0) return false;
      out = out << 4 | static_cast<std::uint32_t>(h);
    }
    i_ += 4;
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

}  // namespace tessavine
