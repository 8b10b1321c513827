// chunk_text, both modes, on the note that follows two option bytes: chunks
// are non-empty, in order and apart, on character boundaries, at most
// max_chars characters, each the exact slice of the note it claims, with the
// line numbers of its first and last byte; only white space lies outside them.
// Ill-formed notes keep the order, the slices and the limit (in decoded characters).
#include <algorithm>

#include "base/unicode.h"
#include "base/utf8.h"
#include "text/chunk.h"

using namespace tessavine;

static void check_white(std::string_view gap) {
  for (std::size_t i = 0; i < gap.size();)
    if (!unicode::is_white_space(utf8::decode(gap, i))) __builtin_trap();
}

static std::uint32_t line_of(std::string_view note, std::size_t offset) {
  return 1 + static_cast<std::uint32_t>(std::count(note.begin(), note.begin() + offset, '\n'));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Mostly small limits, so that blocks are broken up and lines cut.
  const std::size_t max_chars = data[0] < 0xF0 ? 1 + data[0] % 48 : 1 + (std::size_t{data[0]} << 4);
  const ChunkOptions options{max_chars, (data[1] & 1) == 0};
  const std::string_view note(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::vector<Chunk> chunks = chunk_text(note, options);
  const bool valid = utf8::valid(note);
  std::size_t covered = 0;
  for (const Chunk& c : chunks) {
    if (c.byte_start < covered || c.byte_start >= c.byte_end || c.byte_end > note.size()) __builtin_trap();
    const std::string_view slice = note.substr(c.byte_start, c.byte_end - c.byte_start);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < slice.size(); utf8::decode(slice, i)) ++chars;
    if (c.text != slice || chars > max_chars) __builtin_trap();
    const std::size_t gap = covered;
    covered = c.byte_end;
    if (!valid) continue;
    if (utf8::is_continuation(note[c.byte_start]) ||
        (c.byte_end < note.size() && utf8::is_continuation(note[c.byte_end])))
      __builtin_trap();
    if (c.line_start != line_of(note, c.byte_start) || c.line_end != line_of(note, c.byte_end - 1)) __builtin_trap();
    if (!options.markdown && !c.heading_path.empty()) __builtin_trap();
    check_white(note.substr(gap, c.byte_start - gap));
  }
  if (valid) check_white(note.substr(covered));
  return 0;
}
