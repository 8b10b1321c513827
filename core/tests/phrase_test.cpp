#include "text/phrase.h"

#include <gtest/gtest.h>

#include <random>

namespace tessavine {
namespace {

using Terms = std::vector<std::string>;

// The parsing rules on a few examples. The hybrid search's Python oracle holds
// parsing and matching to a plain reading on random queries.
TEST(PhraseQueryTest, Parse) {
  const struct {
    const char* query;
    std::vector<Terms> phrases;
    Terms terms;
  } cases[] = {
      {"\xE2\x80\x9Cstate of the art\xE2\x80\x9D", {{"state", "art"}}, {"state", "art"}},
      // Any quote closes a phrase opened by any other.
      {"\"foo\xE2\x80\x9D x \xE2\x80\x9D" "bar\"", {{"foo"}, {"bar"}}, {"foo", "bar"}},
      // Quoted parts without indexable terms give no phrase.
      {"\"a\" \"the\" \"\" cat", {}, {"cat"}},
      // An unmatched opening quote runs to the end.
      {"alpha \"beta gamma", {{"beta", "gamma"}}, {"alpha", "beta", "gamma"}},
      {"\"fooBar baz\"", {{"foo", "bar", "foobar", "baz"}}, {"foo", "bar", "foobar", "baz"}},
  };
  for (const auto& c : cases) {
    const PhraseQuery q = PhraseQuery::parse(c.query);
    EXPECT_EQ(q.phrases, c.phrases) << c.query;
    EXPECT_EQ(q.terms, c.terms) << c.query;
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
