#include "index/bm25_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "index/bm25_bounds.h"
#include "index/window_runs.h"
#include "index/writer.h"
#include "test_util.h"
#include "text/chunk.h"

namespace tessavine {
namespace {

using Corpus = std::vector<std::vector<std::string>>;
constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMax = std::numeric_limits<float>::max();

Bm25 open_bm25(std::vector<std::byte> bytes) {
  auto bm25 = Bm25::from_bytes(Storage::from_bytes(std::move(bytes)));
  EXPECT_TRUE(bm25) << bm25.error().to_string();
  return std::move(*bm25);
}

// Writes v's four bytes into a file's bytes at `at`, little-endian, as stored.
template <class T>
void put_le(std::vector<std::byte>& bytes, std::size_t at, T v) {
  static_assert(sizeof(T) == 4);
  const auto le = std::bit_cast<std::array<std::byte, 4>>(v);
  std::copy(le.begin(), le.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// Each k that moves the cut: small ones, around the number of matches, past
// it. The plain ranking of k is the first k of the whole one (ordered by
// score, then chunk number), which is taken once.
// Where the search tells which documents of the result hold every term, they
// must be exactly those; returns how many times it told.
std::size_t expect_pruned_is_plain(const Bm25& bm25, const Bm25Bounds& bounds, const std::string& query) {
  const std::vector<Scored> all = search_bm25_plain(bm25, query, kAll);
  const std::size_t matches = all.size();
  const std::vector<std::uint32_t> found = found_terms(bm25, query);
  std::size_t told = 0;
  for (const std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{10}, std::size_t{50},
                              matches - 1, matches, matches + 1, kAll}) {
    if (k == 0) continue;
    SCOPED_TRACE("query \"" + query + "\" k " + std::to_string(k));
    const std::vector<Scored> want(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, matches)));
    testing::expect_same(search_bm25_pruned(bm25, bounds, query, k), want);
    std::optional<std::vector<std::uint32_t>> holding_all;
    testing::expect_same(search_bm25_pruned(bm25, bounds, found, k, 0, &holding_all), want);
    if (!holding_all) continue;
    ++told;
    std::vector<std::uint32_t> hold;
    for (const Scored& s : want) {
      if (std::all_of(found.begin(), found.end(), [&](std::uint32_t t) { return bm25.has_posting(t, s.id); }))
        hold.push_back(s.id);
    }
    std::sort(hold.begin(), hold.end());
    EXPECT_EQ(*holding_all, hold);
  }
  return told;
}

std::string word(std::size_t i) { return "zz" + std::string(1, char('a' + i % 26)) + char('a' + i / 26); }

// Skewed term choice: some terms are in most documents, most are rare; "every" is in all.
Corpus random_corpus(std::mt19937& rng, std::size_t docs) {
  std::geometric_distribution<std::size_t> pick(0.08);
  Corpus corpus(docs);
  for (auto& d : corpus) {
    d.push_back("every");
    for (std::size_t n = rng() % 30; n > 0; --n) d.push_back(word(std::min<std::size_t>(pick(rng), 300)));
  }
  return corpus;
}

Bm25 random_bm25(std::mt19937& rng, std::size_t docs, float k1, float b) {
  Bm25Builder builder;
  for (const auto& d : random_corpus(rng, docs)) builder.add_tokens(std::span<const std::string>(d));
  return open_bm25(*std::move(builder).finish(k1, b));
}

std::string random_query(std::mt19937& rng) {
  std::string query = rng() % 4 == 0 ? "every " : "";
  for (std::size_t n = 1 + rng() % 6; n > 0; --n) {
    const std::string w = word(std::min<std::size_t>(std::geometric_distribution<std::size_t>(0.1)(rng), 320));
    query += w + " ";
    if (rng() % 5 == 0) query += w + " ";  // repeated
  }
  return query;
}

// n distinct words, most of them frequent enough to be in a few thousand documents.
std::string long_query(std::mt19937& rng, std::size_t n) {
  std::vector<std::size_t> words(std::max<std::size_t>(n, 90));
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = i;
  std::shuffle(words.begin(), words.end(), rng);
  std::string query;
  for (std::size_t i = 0; i < n; ++i) {
    query += word(words[i]);
    query += ' ';
  }
  return query;
}

struct Params { std::size_t docs; float k1, b; };

void PrintTo(const Params& p, std::ostream* os) { *os << p.docs << " docs, k1 " << p.k1 << ", b " << p.b; }

// Parameters no writer of ours stores, but a file can hold.
TEST(Bm25SearchTest, OddParametersStillGiveEachMatchOnce) {
  const Corpus docs = {{"alpha", "beta"}, {"beta"}, {"alpha", "alpha", "gamma"}, {"gamma"}};
  for (const auto& [k1, b] : {std::pair{kNan, 0.75f}, {1.2f, kNan}, {-1.0f, 0.75f}, {0.0f, 0.0f},
                             {-1.2f, 3.0f}, {kInf, 0.5f}, {1.2f, -kInf}}) {
    Bm25Builder builder;
    for (const auto& d : docs) builder.add_tokens(std::span<const std::string>(d));
    const Bm25 bm25 = open_bm25(*std::move(builder).finish(k1, b));
    const auto hits = search_bm25(bm25, "alpha beta gamma", 10);
    std::set<std::uint32_t> seen;
    for (const Scored& s : hits) seen.insert(s.id);
    EXPECT_TRUE(std::none_of(hits.begin(), hits.end(), [](const Scored& s) { return std::isnan(s.score); }));
    EXPECT_TRUE(hits.size() == 4 && seen.size() == 4) << "k1 " << k1 << " b " << b;
    testing::expect_same(hits, search_bm25_plain(bm25, "alpha beta gamma", 10));
  }
}

class Bm25PrunedTest : public ::testing::TestWithParam<Params> {};

TEST_P(Bm25PrunedTest, EqualsThePlainEvaluationOnRandomIndexes) {
  const Params p = GetParam();
  std::mt19937 rng(static_cast<unsigned>(p.docs));
  const Bm25 bm25 = random_bm25(rng, p.docs, p.k1, p.b);
  const Bm25Bounds bounds(bm25);
  std::size_t told = 0;
  for (int q = 0; q < 12; ++q) told += expect_pruned_is_plain(bm25, bounds, random_query(rng));
  told += expect_pruned_is_plain(bm25, bounds, "every");
  // Past 16 and 64 terms a document's terms take wider masks, and past 128
  // every posting is scored.
  for (const std::size_t n : {16u, 17u, 64u, 65u, 128u, 129u}) expect_pruned_is_plain(bm25, bounds, long_query(rng, n));
  EXPECT_TRUE(told > 0 || !usual_parameters(Bm25Constants(bm25)));
  // The lookup through a term's windows, for the terms the searches bounded,
  // and through its postings alone, for the others; documents past the last
  // too.
  for (std::uint32_t t = 0; t < bm25.term_count(); ++t) {
    const TermBound* bound = bounds.made(t);
    for (std::uint32_t doc = 0; doc < bm25.doc_count() + 3000; ++doc) {
      ASSERT_EQ(has_posting(bm25.postings(t), bound, doc), bm25.has_posting(t, doc)) << "term " << t << " doc " << doc;
    }
  }
}

// Past 2048 documents a search covers several spans, and past 65536 more spans than it starts
// with; 32768 documents fill whole blocks of spans, and 70000 do not; k1 and b at their
// extremes, and odd ones (NaN, infinite, negative contributions) that send the search down the
// exhaustive path.
const Params kParams[] = {
    {300, 1.2f, 0.75f}, {9000, 1.2f, 0.75f}, {32768, 1.2f, 0.75f}, {70000, 1.2f, 0.75f},
    {9001, 0.0f, 0.0f}, {5000, 0.0f, 1.0f}, {5001, 1.2f, 1.0f}, {5002, 100.0f, 0.5f},
    {5003, kMax, 1.0f}, {5004, 1e-30f, 0.75f}, {5005, 1.2f, kMax},
    {2000, -0.5f, 0.75f}, {2001, -1.2f, 3.0f}, {2002, kNan, 0.75f}, {2003, 1.2f, kNan}, {2004, kInf, 0.5f},
    {2005, 1.2f, -kInf}, {2006, 1.2f, -1.0f}};
INSTANTIATE_TEST_SUITE_P(Params, Bm25PrunedTest, ::testing::ValuesIn(kParams));

// A term too rare for a bound of its own is checked as it is scored: a query
// of such terms alone, under parameters that make contributions NaN,
// infinite or negative, must still give the plain result.
TEST(Bm25PrunedTest, RareTermsUnderOddParameters) {
  for (const auto& [k1, b] : {std::pair{kNan, 0.75f}, {-1.2f, 3.0f}, {kInf, 0.5f}, {1.2f, -1.0f}}) {
    std::mt19937 rng(7);
    const Bm25 bm25 = random_bm25(rng, 20000, k1, b);
    const Bm25Bounds bounds(bm25);
    std::string rare;
    for (std::uint32_t t = 0, n = 0; t < bm25.term_count() && n < 6; ++t) {
      const std::size_t df = bm25.postings(t).size();
      if (df > 1 && df * 4 < (std::size_t{bm25.doc_count()} + 127) / 128) {
        rare += std::string(bm25.term(t)) + " ";
        ++n;
      }
    }
    ASSERT_FALSE(rare.empty());
    expect_pruned_is_plain(bm25, bounds, rare);
  }
}

// Terms that come in whole parts of windows, each part of kPart documents
// holding a term in all its documents or (but for a few strays) in none: a
// window then holds every query term while few of its parts hold more than
// one, and the parts' bounds decide which windows are read. Rare terms joined
// to the queries give parts whose bound only their own postings lift.
TEST(Bm25PrunedTest, TermsInSomePartsOfEachWindow) {
  std::mt19937 rng(17);
  Corpus corpus(20000);
  std::vector<std::uint32_t> parts(corpus.size() / kPart + 1);
  for (auto& p : parts) p = static_cast<std::uint32_t>(rng());
  for (std::size_t d = 0; d < corpus.size(); ++d) {
    for (std::size_t t = 0; t < 10; ++t) {
      if ((parts[d / kPart] >> (3 * t) & 7) == 0 || rng() % 500 == 0) {
        for (std::size_t n = 1 + rng() % 5; n > 0; --n) corpus[d].push_back(word(t));
      }
    }
    if (rng() % 40 == 0) corpus[d].push_back(word(20 + rng() % 4));
    for (std::size_t n = rng() % 30; n > 0; --n) corpus[d].push_back("filler");
  }
  Bm25Builder builder;
  for (const auto& d : corpus) builder.add_tokens(std::span<const std::string>(d));
  const Bm25 bm25 = open_bm25(*std::move(builder).finish(1.2f, 0.75f));
  const Bm25Bounds bounds(bm25);
  for (int q = 0; q < 40; ++q) {
    std::string query;
    for (std::size_t n = 2 + rng() % 3; n > 0; --n) query += word(rng() % 10) + " ";
    if (q % 3 == 0) query += word(20 + rng() % 4);
    expect_pruned_is_plain(bm25, bounds, query);
  }
}

// Average lengths a file can hold but no writer stores: the bounds then come
// from contributions near zero, or none at all.
TEST(Bm25PrunedTest, StoredAverageLengthsNoWriterMakes) {
  std::mt19937 rng(5);
  Bm25Builder builder;
  for (const auto& d : random_corpus(rng, 3000)) builder.add_tokens(std::span<const std::string>(d));
  const std::vector<std::byte> bytes = *std::move(builder).finish(1.2f, 0.75f);
  for (const float avgdl : {5e-41f, -1.125f, 0.0f, kNan, kInf, 1e-3f, 1e30f, kMax}) {
    SCOPED_TRACE("avgdl " + std::to_string(avgdl));
    std::vector<std::byte> patched = bytes;
    put_le(patched, 16, avgdl);
    const Bm25 bm25 = open_bm25(std::move(patched));
    const Bm25Bounds bounds(bm25);
    for (int q = 0; q < 4; ++q) expect_pruned_is_plain(bm25, bounds, random_query(rng));
    expect_pruned_is_plain(bm25, bounds, "every");
  }
}

// Common terms whose bounds no search has made yet are put off while rarer
// terms decide the result, and made when the rarer ones cannot fill it: a
// fresh set of bounds for every query, in which only the rarer term's bound
// is made (by a search for it alone) when it is dense.
TEST(Bm25PrunedTest, TermsPutOffGiveThePlainResult) {
  std::mt19937 rng(21);
  const Bm25 bm25 = random_bm25(rng, 20000, 1.2f, 0.75f);
  for (const std::size_t rare : {30u, 45u, 60u, 80u, 95u, 300u}) {
    std::string many = "every";
    for (std::size_t i = 0; i < 24; ++i) {
      many += ' ';
      many += word(i);
    }
    for (const std::string& common : {std::string("every"), word(0) + " " + word(3), "every " + word(5), many}) {
      const Bm25Bounds bounds(bm25);
      search_bm25_pruned(bm25, bounds, word(rare), 10, 0);
      expect_pruned_is_plain(bm25, bounds, common + " " + word(rare));
    }
  }
}

// The vector pass a bound is made from gives the plain pass's runs, bit for
// bit, and the same steps: over every term (runs of one posting to runs
// longer than a batch, every length of a last group), under usual and odd
// parameters, with lengths and term frequencies patched to values a file
// may hold but no writer stores (past 2^24, where floats round, and past
// 2^31, where signed conversion would go wrong).
TEST(Bm25BoundsTest, VectorPassEqualsThePlainOne) {
  if (!vector_bounds_supported()) GTEST_SKIP() << "no vector form on this processor";
  std::mt19937 rng(23);
  Bm25Builder builder;
  for (const auto& d : random_corpus(rng, 5000)) builder.add_tokens(std::span<const std::string>(d));
  const std::vector<std::byte> bytes = *std::move(builder).finish(1.2f, 0.75f);
  std::size_t postings = 0;
  {
    const Bm25 plain = open_bm25(bytes);
    for (std::uint32_t t = 0; t < plain.term_count(); ++t) postings += plain.postings(t).size();
  }
  const std::uint32_t odd[] = {0, 1, 16777217, 16777219, 0x7FFFFFFF, 0x80000000, 0x80000081, 0xFFFFFFFF};
  std::vector<std::byte> patched = bytes;
  for (std::size_t i = 0; i < 200; ++i) put_le(patched, 32 + 4 * (rng() % 5000), odd[rng() % std::size(odd)]);
  const std::size_t first_posting = patched.size() - 8 * postings;
  for (std::size_t i = 0; i < 2000; ++i) {
    put_le(patched, first_posting + 8 * (rng() % postings) + 4, odd[rng() % std::size(odd)]);
  }
  for (const auto& [k1, b] : {std::pair{1.2f, 0.75f}, {0.0f, 0.0f}, {0.0f, 1.0f}, {kMax, 1.0f}, {1e-30f, 0.75f},
                             {1.2f, kMax}, {-1.2f, 3.0f}, {kNan, 0.75f}, {kInf, 0.5f}}) {
    std::vector<std::byte> file = patched;
    put_le(file, 20, k1);
    put_le(file, 24, b);
    const Bm25 bm25 = open_bm25(std::move(file));
    const Bm25Constants c(bm25);
    std::size_t safe_terms = 0;
    for (std::uint32_t t = 0; t < bm25.term_count(); ++t) {
      SCOPED_TRACE("k1 " + std::to_string(k1) + " b " + std::to_string(b) + " term " + std::to_string(t));
      const PostingList list = bm25.postings(t);
      const float idf = c.idf(list.size());
      const std::size_t most = std::min(window_count(bm25), list.size());
      WindowRuns fast(most), plain(most);
      const bool safe = window_runs_plain(bm25, c, list, idf, plain);
      ASSERT_EQ(window_runs(bm25, c, list, idf, fast), safe);
      if (!safe) continue;
      ++safe_terms;
      ASSERT_EQ(fast.count, plain.count);
      float max = 0.0f;
      for (std::size_t r = 0; r < plain.count; ++r) {
        ASSERT_EQ(fast.windows[r], plain.windows[r]) << "run " << r;
        ASSERT_EQ(fast.firsts[r], plain.firsts[r]) << "run " << r;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(fast.values[r]), std::bit_cast<std::uint32_t>(plain.values[r])) << "run " << r;
        ASSERT_EQ(fast.parts[r], plain.parts[r]) << "run " << r;
        max = std::max(max, plain.values[r]);
      }
      // The steps of these values, and of values on and beside each step.
      std::vector<float> step_values(kSteps);
      set_step_values(max, step_values.data());
      std::vector<float> values(plain.values, plain.values + plain.count);
      for (const float v : step_values) {
        values.push_back(v);
        values.push_back(std::nextafter(v, 0.0f));
        values.push_back(std::min(std::nextafter(v, kInf), max));
      }
      std::vector<std::uint8_t> fast_steps(values.size()), plain_steps(values.size());
      bound_steps(values.data(), values.size(), step_values, fast_steps.data());
      bound_steps_plain(values.data(), values.size(), step_values, plain_steps.data());
      ASSERT_EQ(fast_steps, plain_steps);
    }
    EXPECT_TRUE(safe_terms > 0 || !usual_parameters(c));
  }
}

TEST(Bm25PrunedSharingTest, OneSetOfBoundsServesManyThreads) {
  std::mt19937 rng(11);
  const Bm25 bm25 = random_bm25(rng, 6000, 1.2f, 0.75f);
  std::vector<std::string> queries(40);
  for (auto& q : queries) q = random_query(rng);
  const Bm25Bounds bounds(bm25);
  std::vector<std::vector<std::vector<Scored>>> got(4, std::vector<std::vector<Scored>>(queries.size()));
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < got.size(); ++t)
      threads.emplace_back([&, t] {
        for (std::size_t q = 0; q < queries.size(); ++q) {
          const std::size_t i = (q * 7 + t * 13) % queries.size();
          got[t][i] = search_bm25_pruned(bm25, bounds, queries[i], 10, 0);
        }
      });
  }
  for (std::size_t q = 0; q < queries.size(); ++q)
    for (const auto& per_thread : got) testing::expect_same(per_thread[q], search_bm25_plain(bm25, queries[q], 10));
}

std::filesystem::path corpus_dir() {
  if (const char* dir = std::getenv("TESSAVINE_CORPUS")) return dir;
  return std::filesystem::path(TESSAVINE_SOURCE_DIR) / ".." / "shared" / "corpus";
}

// Every note in optimised builds; every eighth under the sanitizers (minutes over all).
TEST(Bm25PrunedCorpusTest, KnownItemQueriesEqualThePlainEvaluation) {
  const std::filesystem::path dir = corpus_dir();
  std::ifstream manifest(dir / "manifest.tsv"), queries(dir / "queries.tsv");
  if (!manifest || !queries) GTEST_SKIP() << "corpus not found at " << dir << " (set TESSAVINE_CORPUS)";
#ifdef NDEBUG
  constexpr std::size_t kEvery = 1;
#else
  constexpr std::size_t kEvery = 8;
#endif
  IndexWriter writer(WriterOptions{});
  std::string line;
  for (std::size_t n = 0; std::getline(manifest, line); ++n) {
    const std::string path = line.substr(0, line.find('\t'));
    if (n % kEvery != 0 || !path.ends_with(".md")) continue;
    std::stringstream text;
    text << std::ifstream(dir / path).rdbuf();
    for (const Chunk& c : chunk_text(text.str(), ChunkOptions{}))
      ASSERT_TRUE(writer.add(ChunkRecord{path, c.heading_texts(), c.line_start, c.line_end, c.text}));
  }
  auto built = std::move(writer).build(1);
  ASSERT_TRUE(built) << built.error().to_string();
  const Bm25 bm25 = open_bm25(std::move(built->bm25));
  const Bm25Bounds bounds(bm25);
  while (std::getline(queries, line)) expect_pruned_is_plain(bm25, bounds, line.substr(0, line.find('\t')));
}

}  // namespace
}  // namespace tessavine
