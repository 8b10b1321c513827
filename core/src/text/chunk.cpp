#include "text/chunk.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "base/unicode.h"
#include "base/utf8.h"
#include "text/chunk_stages.h"

namespace tessavine {
namespace {

// Unicode White_Space among the ASCII characters: \t \n \v \f \r and space.
constexpr bool is_ascii_space(unsigned char b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

// Steps over the character at `i` of `s` and tells whether it is white space.
// ASCII bytes always start a character, so a view cut at an ASCII byte never
// splits one.
inline bool step_is_space(std::string_view s, std::size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    ++i;
    return is_ascii_space(b);
  }
  return unicode::is_white_space(utf8::decode(s, i));
}

// Characters in `text`, or some number above `limit` as soon as there are
// more: a block or line that is too long need not be counted to its end.
std::size_t count_chars_upto(std::string_view text, std::size_t limit) {
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < text.size() && n <= limit) {
    if (text.size() - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        n += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
    } else {
      utf8::decode(text, i);
    }
    ++n;
  }
  return n;
}

// Whether the eight bytes at `p` are all printable ASCII (0x21 to 0x7F):
// eight characters, none of them white space.
inline bool eight_solid_ascii(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const bool has_below_0x21 = ((w - kOnes * 0x21) & ~w & kHigh) != 0;
  return (w & kHigh) == 0 && !has_below_0x21;
}

bool is_blank(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size()) {
    if (!step_is_space(line, i)) return false;
  }
  return true;
}

// [begin, end) of `s` without white space at either end (begin == end when
// nothing is left). Scans forwards only, so ill-formed bytes cannot mislead it.
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

Span trim(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t next = i;
    if (!step_is_space(s, next)) break;
    i = next;
  }
  Span span{i, i};
  while (i < s.size()) {
    if (!step_is_space(s, i)) span.end = i;
  }
  return span;
}

bool closes_fence(std::string_view line, const Fence& fence) {
  // Most lines inside a fence start with something else: decide those
  // without scanning the whole line.
  std::size_t first = 0;
  while (first < line.size()) {
    std::size_t next = first;
    if (!step_is_space(line, next)) break;
    first = next;
  }
  if (first == line.size() || line[first] != fence.marker) return false;
  const Span span = trim(line);
  if (span.end - span.begin < fence.length) return false;
  for (std::size_t i = span.begin; i < span.end; ++i) {
    if (line[i] != fence.marker) return false;
  }
  return true;
}

std::string_view content(std::string_view text, const Line& line) {
  return text.substr(line.start, line.end - line.start);
}

std::size_t line_at(std::span<const Line> lines, std::size_t offset) {
  const auto after = std::upper_bound(lines.begin(), lines.end(), offset,
                                      [](std::size_t o, const Line& l) { return o < l.start; });
  return after == lines.begin() ? 0 : static_cast<std::size_t>(after - lines.begin()) - 1;
}

std::uint32_t line_number(std::size_t index) {
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(index >= kMax ? kMax : index + 1);
}

// Cuts one line longer than `max_chars` into pieces at white space, or hard
// where a window of `max_chars` characters holds none. Every character is
// scanned at most twice: after a cut at the window's last white space, only
// the white-space-free tail of the window is scanned again.
template <class OnUnit>
void cut_line(std::string_view text, const Line& line, std::size_t index, std::size_t section,
              std::size_t max_chars, OnUnit&& on_unit) {
  const std::string_view s = text.substr(0, line.end);
  std::size_t pos = line.start;
  for (;;) {
    while (pos < s.size()) {
      std::size_t next = pos;
      if (!step_is_space(s, next)) break;
      pos = next;
    }
    if (pos == s.size()) return;
    std::size_t i = pos;
    std::size_t taken = 0;
    std::size_t solid_end = pos;  // just after the last non-white-space character
    std::size_t solid_chars = 0;  // characters from pos to solid_end
    bool have_break = false;      // a white-space character in the window
    std::size_t break_end = 0;    // the piece that ends before the last one
    std::size_t break_chars = 0;
    while (i < s.size() && taken < max_chars) {
      if (s.size() - i >= 8 && max_chars - taken >= 8 && eight_solid_ascii(s.data() + i)) {
        i += 8;
        taken += 8;
        solid_end = i;
        solid_chars = taken;
        continue;
      }
      const bool space = step_is_space(s, i);
      ++taken;
      if (space) {
        have_break = true;
        break_end = solid_end;
        break_chars = solid_chars;
      } else {
        solid_end = i;
        solid_chars = taken;
      }
    }
    Unit unit{pos, i, index, index, section, taken};
    if (i == s.size()) {
      unit.byte_end = solid_end;
      unit.chars = solid_chars;
    } else if (have_break) {
      unit.byte_end = break_end;
      unit.chars = break_chars;
    }
    on_unit(unit);
    pos = unit.byte_end;
  }
}

// The blocks of the text, in order. Appends each new section's heading path
// to `section_paths` before its first block is reported.
template <class OnBlock>
void for_each_block(std::string_view text, std::span<const Line> lines, bool markdown,
                    std::vector<std::vector<HeadingText>>& section_paths, OnBlock&& on_block) {
  section_paths.assign(1, {});
  std::vector<std::pair<int, HeadingText>> stack;  // levels strictly increase
  const std::size_t n = lines.size();
  const auto line = [&](std::size_t k) { return content(text, lines[k]); };
  const auto ends_paragraph = [&](std::string_view l) {
    return is_blank(l) || (markdown && (parse_heading(l) || parse_fence_open(l)));
  };
  std::size_t i = 0;
  while (i < n) {
    if (is_blank(line(i))) {
      ++i;
      continue;
    }
    const std::size_t section = section_paths.size() - 1;
    if (markdown) {
      if (const auto heading = parse_heading(line(i))) {
        while (!stack.empty() && stack.back().first >= heading->level) stack.pop_back();
        stack.emplace_back(heading->level, std::make_shared<const std::string>(heading->text));
        std::vector<HeadingText>& path = section_paths.emplace_back();
        path.reserve(stack.size());
        for (const auto& entry : stack) path.push_back(entry.second);
        on_block(Block{i, i, section + 1});
        ++i;
        continue;
      }
      if (const auto fence = parse_fence_open(line(i))) {
        std::size_t last = i + 1;
        while (last < n && !closes_fence(line(last), *fence)) ++last;
        if (last == n) last = n - 1;  // unclosed: runs to the end of the text
        on_block(Block{i, last, section});
        i = last + 1;
        continue;
      }
    }
    std::size_t last = i;
    while (last + 1 < n && !ends_paragraph(line(last + 1))) ++last;
    on_block(Block{i, last, section});
    i = last + 1;
  }
}

// The units of one block, in order.
template <class OnUnit>
void units_of_block(std::string_view text, std::span<const Line> lines, const Block& block,
                    std::size_t max_chars, OnUnit&& on_unit) {
  const std::size_t start = lines[block.first_line].start;
  const std::size_t end = lines[block.last_line].end;
  const std::size_t chars = count_chars_upto(text.substr(start, end - start), max_chars);
  if (chars <= max_chars) {
    on_unit(Unit{start, end, block.first_line, block.last_line, block.section, chars});
    return;
  }
  for (std::size_t k = block.first_line; k <= block.last_line; ++k) {
    const std::string_view l = content(text, lines[k]);
    if (is_blank(l)) continue;
    const std::size_t line_chars = count_chars_upto(l, max_chars);
    if (line_chars <= max_chars) {
      on_unit(Unit{lines[k].start, lines[k].end, k, k, block.section, line_chars});
    } else {
      cut_line(text, lines[k], k, block.section, max_chars, on_unit);
    }
  }
}

// Greedy packing, fed one unit at a time. The characters of the open chunk
// are kept as a running count (each unit's own count plus the gap before it,
// each gap counted once), so packing stays linear in the text.
class Packer {
 public:
  Packer(std::string_view text, std::span<const Line> lines,
         const std::vector<std::vector<HeadingText>>& section_paths, std::size_t max_chars,
         std::vector<Chunk>& out)
      : text_(text), lines_(lines), section_paths_(section_paths), max_chars_(max_chars), out_(out) {}

  void add(const Unit& unit) {
    if (open_ && unit.section == first_.section && chars_ + unit.chars <= max_chars_) {
      const std::size_t room = max_chars_ - chars_ - unit.chars;
      const std::size_t gap =
          count_chars_upto(text_.substr(last_.byte_end, unit.byte_start - last_.byte_end), room);
      if (gap <= room) {
        chars_ += gap + unit.chars;
        last_ = unit;
        return;
      }
    }
    finish();
    open_ = true;
    first_ = last_ = unit;
    chars_ = unit.chars;
  }

  void finish() {
    if (!open_) return;
    open_ = false;
    Chunk& chunk = out_.emplace_back();
    chunk.byte_start = first_.byte_start;
    chunk.byte_end = last_.byte_end;
    chunk.text.assign(text_.substr(chunk.byte_start, chunk.byte_end - chunk.byte_start));
    if (first_.section < section_paths_.size()) chunk.heading_path = section_paths_[first_.section];
    const std::size_t s = std::max(first_.first_line, line_at(lines_, chunk.byte_start));
    const std::size_t tail = std::max(last_.byte_start, chunk.byte_end > 0 ? chunk.byte_end - 1 : 0);
    const std::size_t e = std::max(s, std::min(last_.last_line, line_at(lines_, tail)));
    chunk.line_start = line_number(s);
    chunk.line_end = line_number(e);
  }

 private:
  std::string_view text_;
  std::span<const Line> lines_;
  const std::vector<std::vector<HeadingText>>& section_paths_;
  std::size_t max_chars_;
  std::vector<Chunk>& out_;
  bool open_ = false;
  Unit first_;
  Unit last_;
  std::size_t chars_ = 0;
};

}  // namespace

std::vector<std::string> Chunk::heading_texts() const {
  std::vector<std::string> texts;
  texts.reserve(heading_path.size());
  for (const HeadingText& h : heading_path) texts.push_back(*h);
  return texts;
}

bool operator==(const Chunk& a, const Chunk& b) {
  if (a.text != b.text || a.byte_start != b.byte_start || a.byte_end != b.byte_end ||
      a.line_start != b.line_start || a.line_end != b.line_end ||
      a.heading_path.size() != b.heading_path.size())
    return false;
  for (std::size_t i = 0; i < a.heading_path.size(); ++i) {
    if (*a.heading_path[i] != *b.heading_path[i]) return false;
  }
  return true;
}

std::optional<Heading> parse_heading(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i > 3) return std::nullopt;
  const std::size_t run = i;
  while (i < line.size() && line[i] == '#') ++i;
  const std::size_t level = i - run;
  if (level == 0 || level > 6) return std::nullopt;
  if (i < line.size() && line[i] != ' ' && line[i] != '\t') return std::nullopt;
  const std::string_view rest = line.substr(i);
  const Span span = trim(rest);
  std::string_view text = rest.substr(span.begin, span.end - span.begin);
  // A closing run of "#" counts only when separated from the text by a space
  // or tab; "Step#" keeps its "#".
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == '#') --end;
  if (end == 0) {
    text = {};
  } else if (end < text.size() && (text[end - 1] == ' ' || text[end - 1] == '\t')) {
    const std::string_view kept = text.substr(0, end);
    text = kept.substr(0, trim(kept).end);
  }
  return Heading{static_cast<int>(level), text};
}

std::optional<Fence> parse_fence_open(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i > 3 || i == line.size()) return std::nullopt;
  const char marker = line[i];
  if (marker != '`' && marker != '~') return std::nullopt;
  std::size_t j = i;
  while (j < line.size() && line[j] == marker) ++j;
  if (j - i < 3) return std::nullopt;
  return Fence{marker, j - i};
}

std::vector<Line> split_lines(std::string_view text) {
  // Counting first makes one allocation of the right size: growing by doubling
  // would touch about three times the memory, and page faults dominate the
  // cost on notes of many short lines.
  std::size_t breaks = 0;
  for (const char c : text) breaks += c == '\n';  // vectorised by the compiler
  std::vector<Line> lines;
  lines.reserve(breaks + (!text.empty() && text.back() != '\n' ? 1 : 0));
  std::size_t start = 0;
  while (start < text.size()) {
    const void* found = std::memchr(text.data() + start, '\n', text.size() - start);
    const std::size_t end =
        found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data())
                         : text.size();
    std::size_t content_end = end;
    if (content_end > start && text[content_end - 1] == '\r') --content_end;
    lines.push_back(Line{start, content_end});
    start = found != nullptr ? end + 1 : end;
  }
  return lines;
}

Blocks parse_blocks(std::string_view text, std::span<const Line> lines, bool markdown) {
  Blocks out;
  for_each_block(text, lines, markdown, out.section_paths,
                 [&](const Block& block) { out.blocks.push_back(block); });
  return out;
}

std::vector<Unit> make_units(std::string_view text, std::span<const Line> lines,
                             std::span<const Block> blocks, std::size_t max_chars) {
  max_chars = std::max<std::size_t>(max_chars, 1);
  std::vector<Unit> units;
  for (const Block& block : blocks)
    units_of_block(text, lines, block, max_chars, [&](const Unit& unit) { units.push_back(unit); });
  return units;
}

std::vector<Chunk> chunk_text(std::string_view text, const ChunkOptions& options) {
  // The steps run as one stream: blocks and units are handed on as they are
  // found instead of being stored, which keeps memory to the lines and chunks.
  const std::size_t max_chars = std::max<std::size_t>(options.max_chars, 1);
  const std::vector<Line> lines = split_lines(text);
  std::vector<std::vector<HeadingText>> section_paths;
  std::vector<Chunk> chunks;
  Packer packer(text, lines, section_paths, max_chars, chunks);
  for_each_block(text, lines, options.markdown, section_paths, [&](const Block& block) {
    units_of_block(text, lines, block, max_chars, [&](const Unit& unit) { packer.add(unit); });
  });
  packer.finish();
  return chunks;
}

}  // namespace tessavine
