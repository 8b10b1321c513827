#include "text/phrase.h"

#include <gtest/gtest.h>

#include <random>

namespace tessavine {
namespace {

using Terms = std::vector<std::string>;

// Parsing is held to a plain reading on random queries by the hybrid search's
// Python oracle. Small alphabets make borders, near-misses and repeats
// common, which is where a matcher that skips ahead goes wrong.
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
