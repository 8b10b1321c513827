#include "tokenize.h"

#include <gtest/gtest.h>

#include <utility>

namespace tessavine {
namespace {

using Terms = std::vector<std::string>;

TEST(TokenizeTest, WorkedResultsAndEdgeCases) {
  const std::pair<const char*, Terms> cases[] = {
      {"", {}},
      {" \t-_.'!\n", {}},
      {"camelCase", {"camel", "case", "camelcase"}},
      {"The camelCase", {"camel", "case", "camelcase"}},
      {"XMLParser", {"xml", "parser", "xmlparser"}},
      {"utf8", {"utf", "8", "utf8"}},
      {"v2", {"2", "v2"}},
      {"2fa", {"2", "fa", "2fa"}},
      {"The cat", {"cat"}},
      {"THE cat", {"cat"}},
      {"snake_case don't", {"snake", "case", "don"}},
      {"Foo foo", {"foo", "foo"}},
      {"ToDo", {"do", "todo"}},
      {"2024 7 x", {"2024", "7"}},
      {"foo-bar.baz", {"foo", "bar", "baz"}},
      // CJK runs stay one term.
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}},
      // Arabic-Indic digits: a run is one term; a single one is dropped.
      {"\xD9\xA1\xD9\xA2 \xD9\xA3", {"\xD9\xA1\xD9\xA2"}},
      // A single superscript two (category No) is not an ASCII digit.
      {"\xC2\xB2", {}},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(tokenize(text), want) << text;
}

TEST(TokenizeTest, UnicodeCaseRules) {
  // Capital sigma at the end of a word takes the final form, inside it the medial one.
  EXPECT_EQ(tokenize("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"), Terms{"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"});
  EXPECT_EQ(tokenize("\xCE\xA3\xCE\x91"), Terms{"\xCF\x83\xCE\xB1"});
  // U+0130 lower-cases to i + combining dot; the dot is not alphanumeric and goes.
  EXPECT_EQ(tokenize("\xC4\xB0stanbul"), Terms{"istanbul"});
  // Accented capitals lower-case; a camel boundary applies to non-ASCII letters too.
  EXPECT_EQ(tokenize("\xC3\x89t\xC3\xA9"), Terms{"\xC3\xA9t\xC3\xA9"});
  EXPECT_EQ(tokenize("caf\xC3\xA9" "Cr\xC3\xA8me"),
            (Terms{"caf\xC3\xA9", "cr\xC3\xA8me", "caf\xC3\xA9" "cr\xC3\xA8me"}));
  // A combining mark that is not alphabetic separates words.
  EXPECT_EQ(tokenize("ab\xCC\x81" "cd"), (Terms{"ab", "cd"}));
}

TEST(TokenizeTest, StopWordsAreExactAfterLowerCasing) {
  EXPECT_TRUE(is_stop_word("the"));
  EXPECT_TRUE(is_stop_word("with"));
  EXPECT_TRUE(is_stop_word("a"));
  EXPECT_FALSE(is_stop_word("th"));
  EXPECT_FALSE(is_stop_word("The"));
  EXPECT_EQ(tokenize("IntoThe"), Terms{"intothe"});
}

TEST(TokenizeTest, InvalidUtf8NeverCrashes) {
  // The binding layer only passes valid UTF-8; other callers must not crash.
  const std::string bad = "ab\xFF\xC3" "cd\xE2\x82";
  EXPECT_EQ(tokenize(bad), (Terms{"ab", "cd"}));
}

}  // namespace
}  // namespace tessavine
