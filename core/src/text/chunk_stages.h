// The stages of chunk_text, one by one. Internal to the chunker: chunk_text
// runs them as one stream and nothing else in the library uses them; they are
// declared here so that the chunker's tests can check each stage, and the
// packing against a plain recount of every candidate range.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "text/chunk.h"

namespace tessavine {

struct Line {
  std::size_t start = 0;  // byte offsets of the content, without "\r\n" / "\n"
  std::size_t end = 0;
};

struct Block {
  std::size_t first_line = 0;  // inclusive line indices
  std::size_t last_line = 0;
  std::size_t section = 0;
};

struct Blocks {
  std::vector<Block> blocks;
  // The heading path of each section; section 0 (before the first heading,
  // and the whole text in plain mode) has none.
  std::vector<std::vector<HeadingText>> section_paths;
};

struct Unit {
  std::size_t byte_start = 0;
  std::size_t byte_end = 0;
  std::size_t first_line = 0;
  std::size_t last_line = 0;
  std::size_t section = 0;
  std::size_t chars = 0;  // characters in byte_start..byte_end
};

// Step 1: the lines of `text`.
std::vector<Line> split_lines(std::string_view text);
// Step 2: the blocks, each a heading line, a fence or a paragraph.
Blocks parse_blocks(std::string_view text, std::span<const Line> lines, bool markdown);
// Step 3: blocks broken into units of at most `max_chars` characters.
std::vector<Unit> make_units(std::string_view text, std::span<const Line> lines,
                             std::span<const Block> blocks, std::size_t max_chars);

}  // namespace tessavine
