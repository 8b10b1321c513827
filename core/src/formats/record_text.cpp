#include "formats/record_text.h"

#include <cstdint>
#include <cstring>

#include "base/unicode.h"
#include "base/utf8.h"

namespace tessavine {
namespace {

// Walks the record the way the compact decoder of docs.cpp does and gives up
// wherever it does, so that a record read here decodes there to the same
// heading path and text.
class RecordWalk {
 public:
  RecordWalk(std::string_view s, std::vector<std::string_view>& runs) : s_(s), runs_(runs) {}

  bool walk() {
    runs_.clear();
    if (!lit("{\"path\":") || !str(false) || !lit(",\"heading_path\":[")) return false;
    if (!lit("]")) {
      do {
        if (!str(true)) return false;
      } while (lit(","));
      if (!lit("]")) return false;
    }
    return lit(",\"line_start\":") && u32() && lit(",\"line_end\":") && u32() && lit(",\"text\":") &&
           str(true) && lit("}") && i_ == s_.size();
  }

 private:
  // The keys are short: compared in place rather than through memcmp.
  bool lit(std::string_view l) {
    if (s_.size() - i_ < l.size()) return false;
    for (std::size_t k = 0; k < l.size(); ++k) {
      if (s_[i_ + k] != l[k]) return false;
    }
    i_ += l.size();
    return true;
  }

  bool u32() {
    const std::size_t start = i_;
    std::uint64_t v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 11) {
      v = v * 10 + static_cast<unsigned>(s_[i_] - '0');
      ++i_;
    }
    const std::size_t n = i_ - start;
    return n > 0 && n <= 10 && (n == 1 || s_[start] != '0') && v <= 0xFFFFFFFFu;
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

  // A JSON string; its runs between escapes go to runs_ when `keep`.
  bool str(bool keep) {
    if (!lit("\"")) return false;
    for (;;) {
      const std::size_t run = i_;
      bool ascii = true;
      // Eight bytes at a time up to the first quote, backslash or control.
      constexpr std::uint64_t kOnes = 0x0101010101010101ull;
      constexpr std::uint64_t kHigh = 0x8080808080808080ull;
      const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
      for (std::uint64_t x; s_.size() - i_ >= 8; i_ += 8) {
        std::memcpy(&x, s_.data() + i_, 8);
        const std::uint64_t control = (x - kOnes * 0x20) & ~x & kHigh;
        if (has_zero(x ^ (kOnes * '"')) | has_zero(x ^ (kOnes * '\\')) | control) break;
        ascii &= (x & kHigh) == 0;
      }
      while (i_ < s_.size()) {
        const auto c = static_cast<unsigned char>(s_[i_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ascii &= c < 0x80;
        ++i_;
      }
      const std::string_view bytes = s_.substr(run, i_ - run);
      if (!ascii && !utf8::valid(bytes)) return false;
      if (keep && !bytes.empty()) runs_.push_back(bytes);
      if (i_ == s_.size() || static_cast<unsigned char>(s_[i_]) < 0x20) return false;
      if (s_[i_++] == '"') return true;
      if (i_ == s_.size()) return false;
      const char e = s_[i_++];
      if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
        continue;  // all separators
      }
      if (e != 'u') return false;
      std::uint32_t cp;
      if (!hex4(cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        std::uint32_t lo;
        if (!lit("\\u") || !hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
      }
      // A letter or digit would join the words on either side.
      if (keep && unicode::is_alphanumeric(static_cast<char32_t>(cp))) return false;
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
  std::vector<std::string_view>& runs_;
};

}  // namespace

bool search_text_runs(std::string_view record, std::vector<std::string_view>& runs) {
  return RecordWalk(record, runs).walk();
}

}  // namespace tessavine
