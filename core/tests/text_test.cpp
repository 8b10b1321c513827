#include "text/chunk.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/unicode.h"
#include "base/utf8.h"
#include "text/chunk_stages.h"
#include "text/phrase.h"
#include "text/tokenize.h"

namespace tessavine {
namespace {

using Texts = std::vector<std::string>;
using Terms = Texts;
using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

struct Want { std::string text; Texts path; std::uint32_t line_start, line_end; };

// The Markdown structure on examples; cutting and packing are held to plain versions below.
TEST(ChunkTest, WorkedExamplesAndEdgeCases) {
  const struct { const char* name; std::string text; std::size_t max_chars; bool markdown; std::vector<Want> want; }
  cases[] = {
      {"sections", "Intro\n# A\n\nalpha\n## B\nbeta", 1200, true,
       {{"Intro", {}, 1, 1}, {"# A\n\nalpha", {"A"}, 2, 4}, {"## B\nbeta", {"A", "B"}, 5, 6}}},
      {"empty", "", 5, true, {}},
      {"blank lines only", "\n  \n\t\r\n\xC2\xA0\n", 5, true, {}},
      {"crlf", "# T\r\nline one\r\nline two\r\n", 1200, true, {{"# T\r\nline one\r\nline two", {"T"}, 1, 3}}},
      {"final cr dropped", "a\r", 1200, true, {{"a", {}, 1, 1}}},
      {"empty heading", "#\ntext", 1200, true, {{"#\ntext", {""}, 1, 2}}},
      {"levels pop", "# A\n## X\n### C\n## B\nbody", 1200, true,
       {{"# A", {"A"}, 1, 1}, {"## X", {"A", "X"}, 2, 2}, {"### C", {"A", "X", "C"}, 3, 3},
        {"## B\nbody", {"A", "B"}, 4, 5}}},
      {"skipped level", "# A\n### C\ntext", 1200, true, {{"# A", {"A"}, 1, 1}, {"### C\ntext", {"A", "C"}, 2, 3}}},
      {"seven hashes and four spaces", "# A\n####### seven\n    # four", 1200, true,
       {{"# A\n####### seven\n    # four", {"A"}, 1, 3}}},
      {"unclosed fence hides headings", "intro\n```\n# not heading\n\ncode", 1200, true,
       {{"intro\n```\n# not heading\n\ncode", {}, 1, 5}}},
      {"unclosed fence ending in an empty line", "```\ncode\n\n", 1200, true, {{"```\ncode\n", {}, 1, 2}}},
      {"longer backtick run closes", "```\n# in\n````\n# Out\nx", 1200, true,
       {{"```\n# in\n````", {}, 1, 3}, {"# Out\nx", {"Out"}, 4, 5}}},
      {"short run and tildes do not close backticks", "```\n``\n~~~\n# still code", 1200, true,
       {{"```\n``\n~~~\n# still code", {}, 1, 4}}},
      {"indented closing line closes", "~~~\n# in\n      ~~~~  \n# Out", 1200, true,
       {{"~~~\n# in\n      ~~~~  ", {}, 1, 3}, {"# Out", {"Out"}, 4, 4}}},
      {"fence longer than max_chars", "```\nab\n\ncd\n```", 12, true,
       {{"```\nab\n\ncd", {}, 1, 4}, {"```", {}, 5, 5}}},
      {"plain mode joins across blank lines", "# A\n\npara one\n\n# B", 13, false,
       {{"# A\n\npara one", {}, 1, 3}, {"# B", {}, 5, 5}}},
      {"markdown mode splits at headings", "# A\n\npara one\n\n# B", 13, true,
       {{"# A\n\npara one", {"A"}, 1, 3}, {"# B", {"B"}, 5, 5}}},
      // max_chars 0 is refused by the binding; the core must still terminate.
      {"zero max_chars does not hang", "ab cd", 0, true,
       {{"a", {}, 1, 1}, {"b", {}, 1, 1}, {"c", {}, 1, 1}, {"d", {}, 1, 1}}},
  };
  for (const auto& c : cases) {
    const auto chunks = chunk_text(c.text, {c.max_chars, c.markdown});
    ASSERT_EQ(chunks.size(), c.want.size()) << c.name;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const Want& w = c.want[i];
      EXPECT_EQ(std::tuple(chunks[i].text, chunks[i].heading_texts(), chunks[i].line_start, chunks[i].line_end),
                std::tuple(w.text, w.path, w.line_start, w.line_end)) << c.name << " #" << i;
    }
  }
}

// Rows beside the worked examples above; level or length 0: not one.
TEST(ChunkTest, ParseHeadingAndFenceOpen) {
  const std::tuple<const char*, int, const char*> headings[] = {
      {"###### six", 6, "six"}, {"   # three spaces", 1, "three spaces"}, {"\t# tab indent", 0, ""}, {"#5", 0, ""},
      {"#\tTab", 1, "Tab"}, {"## Title ##", 2, "Title"}, {"# Step#", 1, "Step#"}, {"# ##", 1, ""},
      {"# x ## y", 1, "x ## y"}, {"#   spaced \t  ", 1, "spaced"}, {"# \xC2\xA0", 1, ""},
      // Only a space or tab before the closing run counts; U+3000 does not.
      {"# a \xE3\x80\x80##", 1, "a \xE3\x80\x80##"}, {"# a #\xE3\x80\x80", 1, "a"}, {"# a \xC2\xA0 ##", 1, "a"},
  };
  for (const auto& [line, level, text] : headings) {
    const Heading h = parse_heading(line).value_or(Heading{});
    EXPECT_EQ(std::pair(h.level, std::string(h.text)), std::pair(level, std::string(text))) << line;
  }
  const std::tuple<const char*, char, std::size_t> fences[] = {
      {"~~~~ info `x`", '~', 4}, {"   ```cpp", '`', 3}, {"``````````", '`', 10}, {"    ```", 0, 0}, {"\t```", 0, 0},
      {"``", 0, 0}, {"`~~", 0, 0}};
  for (const auto& [line, marker, length] : fences) {
    const Fence f = parse_fence_open(line).value_or(Fence{0, 0});
    EXPECT_EQ(std::pair(f.marker, f.length), std::pair(marker, length)) << line;
  }
}

std::string random_note(std::mt19937& rng) {
  static const char* const pool[] = {
      "", "   ", "\t", "# Head", "## Sub ##", "### x", "#", "####### no", "    # no", "```", "```py",
      "~~~~", "````", "``", "text words here", "a", "the quick brown fox jumps over",
      "\xC3\xA9t\xC3\xA9 \xC3\xBC \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "x\xC2\xA0y\xE3\x80\x80z",
      "  indented  text  ", "averyveryverylongwordwithoutanyspacesatall", "- item", "> quote",
      "\x1C\x1D",  // separators that are not White_Space
  };
  std::uniform_int_distribution<int> pick(0, std::size(pool) - 1), n_lines(0, 25), coin(0, 3);
  std::string s;
  const int n = n_lines(rng);
  const bool crlf = coin(rng) == 0;
  for (int i = 0; i < n; ++i) {
    s += pool[pick(rng)];
    if (coin(rng) == 0) s += pool[pick(rng)];
    if (i + 1 < n || coin(rng) == 0) s += crlf ? "\r\n" : "\n";
  }
  return s;
}

std::size_t line_index(const std::vector<Line>& lines, std::size_t offset) {
  std::size_t k = 0;
  while (k + 1 < lines.size() && lines[k + 1].start <= offset) ++k;
  return k;
}

bool all_white_space(std::string_view s) {
  for (std::size_t i = 0; i < s.size();)
    if (!unicode::is_white_space(utf8::decode(s, i))) return false;
  return true;
}

// Packing as first described: recount the whole candidate range every time.
Ranges plain_pack(std::string_view text, const std::vector<Unit>& units, std::size_t max_chars) {
  Ranges out;
  for (std::size_t u = 0; u < units.size();) {
    const std::size_t start = units[u].byte_start;
    std::size_t last = u;
    while (last + 1 < units.size() && units[last + 1].section == units[u].section &&
           utf8::count_chars(text.substr(start, units[last + 1].byte_end - start)) <= max_chars)
      ++last;
    out.emplace_back(start, units[last].byte_end);
    u = last + 1;
  }
  return out;
}

// Cutting one long line as first described: take max_chars characters, back up to white space.
Ranges plain_cut(std::string_view line, std::size_t max_chars) {
  std::vector<std::size_t> at;  // start of each character, then the end
  for (std::size_t i = 0; i < line.size(); utf8::decode(line, i)) at.push_back(i);
  at.push_back(line.size());
  const std::size_t n = at.size() - 1;
  const auto space = [&](std::size_t c) { std::size_t i = at[c]; return unicode::is_white_space(utf8::decode(line, i)); };
  Ranges pieces;
  for (std::size_t c = 0;;) {
    while (c < n && space(c)) ++c;
    if (c == n) break;
    std::size_t end = c + max_chars >= n ? n : c + max_chars;
    if (end < n)
      for (std::size_t k = end; k-- > c;)
        if (space(k)) { end = k; break; }
    while (end > c && space(end - 1)) --end;
    pieces.emplace_back(at[c], at[end]);
    c = end;
  }
  return pieces;
}

TEST(ChunkTest, RandomNotesKeepTheirInvariantsAndMatchPlainPacking) {
  std::mt19937 rng(20240611);
  const std::size_t sizes[] = {1, 2, 3, 5, 8, 13, 40, 200, 5000};
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random_note(rng);
    const std::size_t max_chars = sizes[round % std::size(sizes)];
    const bool markdown = round % 2 == 0;
    const auto lines = split_lines(text);
    const auto units = make_units(text, lines, parse_blocks(text, lines, markdown).blocks, max_chars);
    const auto chunks = chunk_text(text, {max_chars, markdown});
    const auto want = plain_pack(text, units, max_chars);
    ASSERT_EQ(chunks.size(), want.size()) << text;
    std::size_t covered = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const Chunk& c = chunks[i];
      ASSERT_EQ(std::pair(c.byte_start, c.byte_end), want[i]) << text;
      ASSERT_LE(covered, c.byte_start) << "chunks overlap or are out of order";
      ASSERT_LT(c.byte_start, c.byte_end);
      EXPECT_TRUE(all_white_space(std::string_view(text).substr(covered, c.byte_start - covered)))
          << "text lost before chunk " << i << " of " << text;
      EXPECT_EQ(c.text, text.substr(c.byte_start, c.byte_end - c.byte_start));
      EXPECT_LE(utf8::count_chars(c.text), max_chars);
      EXPECT_EQ(c.line_start, line_index(lines, c.byte_start) + 1);
      EXPECT_EQ(c.line_end, line_index(lines, c.byte_end - 1) + 1);
      EXPECT_TRUE(markdown || c.heading_path.empty());
      covered = c.byte_end;
    }
    EXPECT_TRUE(all_white_space(std::string_view(text).substr(covered)));
  }
}

TEST(ChunkTest, LineCuttingMatchesPlainCutting) {
  std::mt19937 rng(7);
  static const char* const words[] = {"a", "bb", "ccc", "dddddddddd", "\xC3\xA9\xC3\xA9", "\xE6\x97\xA5",
                                      " ", "  ", "\t", "\xC2\xA0", "\xE3\x80\x80", "\xF0\x9F\x98\x80"};
  std::uniform_int_distribution<int> pick(0, std::size(words) - 1), len(1, 60), size(1, 12);
  for (int round = 0; round < 3000; ++round) {
    std::string line;
    for (int i = len(rng); i > 0; --i) line += words[pick(rng)];
    const std::size_t max_chars = size(rng);
    const auto units = make_units(line, std::vector<Line>{{0, line.size()}}, std::vector<Block>{{0, 0, 0}}, max_chars);
    Ranges got;
    for (const Unit& u : units) {
      got.emplace_back(u.byte_start, u.byte_end);
      EXPECT_EQ(u.chars, utf8::count_chars(line.substr(u.byte_start, u.byte_end - u.byte_start)));
    }
    const Ranges want = utf8::count_chars(line) <= max_chars ? Ranges{{0, line.size()}} : plain_cut(line, max_chars);
    EXPECT_EQ(got, want) << line << " / " << max_chars;
  }
}

// The terms are checked through Python; only the core can be handed ill-formed UTF-8.
TEST(TokenizeTest, InvalidUtf8NeverCrashes) {
  EXPECT_EQ(tokenize("ab\xFF\xC3" "cd\xE2\x82"), (Texts{"ab", "cd"}));
  EXPECT_TRUE(tokenize("\xF0\x9F").empty());
}

// Parsing is held to a plain reading by the hybrid search's Python oracle. Small alphabets make
// borders, near-misses and repeats common, where a matcher that skips ahead goes wrong.
TEST(PhraseQueryTest, OccursAgreesWithThePlainSearch) {
  std::mt19937 rng(7);
  const std::string alphabet[] = {"aa", "bb", "cc"};
  auto random_terms = [&](std::size_t max_len) {
    Terms terms(std::uniform_int_distribution<std::size_t>(0, max_len)(rng));
    for (auto& t : terms) t = alphabet[std::uniform_int_distribution<int>(0, 2)(rng)];
    return terms;
  };
  for (int round = 0; round < 20000; ++round) {
    const Terms needle = random_terms(round % 2 ? 3 : 6);
    const Terms haystack = random_terms(12);
    ASSERT_EQ(occurs(needle, haystack), occurs_plain(needle, haystack))
        << ::testing::PrintToString(needle) << " in " << ::testing::PrintToString(haystack);
  }
}

// The plain search compares on the order of the product of the lengths; this must stay linear.
TEST(PhraseQueryTest, LongRepetitiveSequenceMatches) {
  Terms chunk(200000, "xx");
  chunk.insert(chunk.end(), {"zz", "yy"});
  Terms query(100000, "xx");
  query.push_back("yy");
  EXPECT_FALSE(occurs(query, chunk));
  query.back() = "zz";
  EXPECT_TRUE(occurs(query, chunk));
}

}  // namespace
}  // namespace tessavine
