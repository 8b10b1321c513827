#include "text/phrase.h"

#include <gtest/gtest.h>

#include <random>

#include "text/tokenize.h"

namespace tessavine {
namespace {

using Terms = std::vector<std::string>;

TEST(PhraseQueryTest, Parse) {
  const struct {
    const char* query;
    std::vector<Terms> phrases;
    Terms terms;
  } cases[] = {
      {"state of the art", {}, {"state", "art"}},
      {"\xE2\x80\x9Cstate of the art\xE2\x80\x9D", {{"state", "art"}}, {"state", "art"}},
      // Any quote closes a phrase opened by any other.
      {"\"foo\xE2\x80\x9D x \xE2\x80\x9D" "bar\"", {{"foo"}, {"bar"}}, {"foo", "bar"}},
      {"\xE2\x80\x9D" "foo\xE2\x80\x9C", {{"foo"}}, {"foo"}},
      // Quoted parts without indexable terms give no phrase.
      {"\"a\" \"the\" \"\" cat", {}, {"cat"}},
      // An unmatched opening quote runs to the end.
      {"alpha \"beta gamma", {{"beta", "gamma"}}, {"alpha", "beta", "gamma"}},
      {"\"one\" two \"three", {{"one"}, {"three"}}, {"one", "two", "three"}},
      {"\"fooBar baz\"", {{"foo", "bar", "foobar", "baz"}}, {"foo", "bar", "foobar", "baz"}},
      {"", {}, {}},
      {"\"", {}, {}},
  };
  for (const auto& c : cases) {
    const PhraseQuery q = PhraseQuery::parse(c.query);
    EXPECT_EQ(q.phrases, c.phrases) << c.query;
    EXPECT_EQ(q.terms, c.terms) << c.query;
  }
}

TEST(PhraseQueryTest, MatchTerms) {
  const struct {
    const char* query;
    const char* chunk;
    bool phrase_match;
    bool sequence_match;
  } cases[] = {
      {"\xE2\x80\x9Cstate of the art\xE2\x80\x9D", "the state of the art", true, true},
      {"\xE2\x80\x9Cstate of the art\xE2\x80\x9D", "state art", true, true},
      {"\"state of the art\"", "art state", false, false},
      // Both phrases must occur, in any order relative to each other.
      {"\"red fox\" \"lazy dog\"", "lazy dog and red fox", true, false},
      {"\"red fox\" \"lazy dog\"", "red fox, lazy cat", false, false},
      {"red fox", "a red fox", false, true},
      {"red fox", "red big fox", false, false},
      {"fox", "fox", false, false},
      // Identifier expansion makes adjacency literal on the expanded lists.
      {"bar baz", "fooBar baz", false, false},
      {"fooBar baz", "fooBar baz", false, true},
      {"\"bar baz\" qux", "bar baz", true, false},
      // The phrase is longer than the chunk.
      {"\"one two three\"", "one two", false, false},
      {"\"one two\"", "", false, false},
  };
  for (const auto& c : cases) {
    const TermMatch m = match_terms(PhraseQuery::parse(c.query), tokenize(c.chunk));
    EXPECT_EQ(m.phrase_match, c.phrase_match) << c.query << " | " << c.chunk;
    EXPECT_EQ(m.sequence_match, c.sequence_match) << c.query << " | " << c.chunk;
  }
}

// Small alphabets make borders, near-misses and repeats common, which is
// where a matcher that skips ahead goes wrong.
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

// A long repetitive query against a long repetitive chunk: the plain search
// compares on the order of their product; this must stay linear.
TEST(PhraseQueryTest, LongRepetitiveSequenceMatches) {
  Terms chunk(200000, "xx");
  chunk.push_back("zz");
  chunk.push_back("yy");
  Terms query(100000, "xx");
  query.push_back("yy");
  EXPECT_FALSE(occurs(query, chunk));
  query.back() = "zz";
  EXPECT_TRUE(occurs(query, chunk));
}

}  // namespace
}  // namespace tessavine
