// The Markdown chunker: a note cut into contiguous pieces of at most
// `max_chars` characters that follow its headings and code fences, each with
// its heading path, UTF-8 byte range and 1-based line range.
//
// A "character" is one step of utf8::decode: a Unicode scalar value in
// well-formed text, one ill-formed subsequence otherwise. The binding layer only
// passes well-formed text; other callers get the same guarantees (in bounds,
// no crash, no hang) on any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessavine {

struct ChunkOptions {
  std::size_t max_chars = 1200;  // at least 1; a 0 is treated as 1
  bool markdown = true;
};

// One heading's text. Every chunk under a heading shares it: a long heading
// above many short sections must not be copied once per chunk.
using HeadingText = std::shared_ptr<const std::string>;

struct Chunk {
  std::string text;                       // the source bytes byte_start..byte_end
  std::vector<HeadingText> heading_path;  // outermost heading first
  std::size_t byte_start = 0;
  std::size_t byte_end = 0;  // exclusive
  std::uint32_t line_start = 0;  // 1-based, saturating at UINT32_MAX
  std::uint32_t line_end = 0;    // 1-based, inclusive

  // The heading path as plain texts.
  std::vector<std::string> heading_texts() const;

  // Field by field, heading texts by value.
  friend bool operator==(const Chunk& a, const Chunk& b);
};

// Cuts `text` into chunks, in document order. Never fails.
std::vector<Chunk> chunk_text(std::string_view text, const ChunkOptions& options);

struct Heading {
  int level = 0;          // 1 to 6
  std::string_view text;  // a slice of the line
};

struct Fence {
  char marker = '`';  // '`' or '~'
  std::size_t length = 0;
};

// An ATX heading line ("## Title ##"), or nothing.
std::optional<Heading> parse_heading(std::string_view line);

// The opening line of a fenced code block ("```cpp"), or nothing.
std::optional<Fence> parse_fence_open(std::string_view line);

}  // namespace tessavine
