#include "index/hybrid_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>

#include "index/reader.h"
#include "index/writer.h"
#include "phrase.h"
#include "quant.h"
#include "tokenize.h"
#include "vector_search.h"

namespace tessavine {
namespace {

using Floats = std::vector<float>;

// Appended piece by piece: GCC 12 warns falsely on `"n" + std::to_string(i)`.
std::string path_of(std::size_t i) {
  std::string path = "n";
  path += std::to_string(i);
  path += ".md";
  return path;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Doc {
  std::string text;
  Floats vector;  // empty for a keyword-only index
};

// A reader over images built in memory; `spoil` names a chunk whose stored
// record is made undecodable.
IndexReader reader_of(const std::vector<Doc>& docs, std::size_t dim,
                      std::optional<std::uint32_t> spoil = std::nullopt) {
  WriterOptions options;
  options.dim = dim;
  IndexWriter writer(std::move(options));
  for (std::size_t i = 0; i < docs.size(); ++i) {
    const ChunkRecord record{path_of(i), {}, 1, 1, docs[i].text};
    auto added = dim ? writer.add(record, std::span<const float>(docs[i].vector)) : writer.add(record);
    EXPECT_TRUE(added) << added.error().to_string();
  }
  auto built = std::move(writer).build(1);
  EXPECT_TRUE(built) << built.error().to_string();
  if (spoil) {
    std::string head = "{\"path\":\"";
    head += path_of(*spoil);
    head += '"';
    auto& bytes = built->docs;
    const auto at = std::search(bytes.begin(), bytes.end(), head.begin(), head.end(),
                                [](std::byte b, char c) { return b == static_cast<std::byte>(c); });
    EXPECT_NE(at, bytes.end());
    *at = std::byte{'x'};
  }
  auto docs_file = Docs::from_bytes(Storage::from_bytes(std::move(built->docs)));
  auto bm25_file = Bm25::from_bytes(Storage::from_bytes(std::move(built->bm25)));
  EXPECT_TRUE(docs_file && bm25_file);
  std::optional<Vectors> vectors;
  if (built->vectors) vectors.emplace(*Vectors::from_bytes(Storage::from_bytes(std::move(*built->vectors))));
  auto reader = IndexReader::assemble("", std::move(built->manifest), std::move(*docs_file),
                                      std::move(*bm25_file), std::move(vectors));
  EXPECT_TRUE(reader) << reader.error().to_string();
  return std::move(*reader);
}

std::vector<Doc> texts(std::initializer_list<const char*> items) {
  std::vector<Doc> out;
  for (const char* t : items) out.push_back({t, {}});
  return out;
}

std::vector<Hit> hits_of(const IndexReader& reader, std::string_view text,
                         std::optional<std::span<const float>> vector = std::nullopt,
                         SearchParams params = {}) {
  auto hits = reader.search(text, vector, params);
  EXPECT_TRUE(hits) << hits.error().to_string();
  return hits ? *hits : std::vector<Hit>{};
}

std::string error_of(const Result<std::vector<Hit>>& r) { return r ? "no error" : r.error().to_string(); }

std::vector<std::uint32_t> ids(const std::vector<Hit>& hits) {
  std::vector<std::uint32_t> out;
  for (const Hit& h : hits) out.push_back(h.id);
  return out;
}

TEST(VectorQueryTest, ChecksRunInOrder) {
  const IndexReader keyword_only = reader_of(texts({"alpha beta", "gamma"}), 0);
  const IndexReader with_vectors = reader_of({{"alpha", {1, 0, 0, 0}}, {"beta", {0, 1, 0, 0}}}, 4);
  const Floats nan_and_zeros = {0.0f, kNaN, 0.0f, 0.0f};
  const Floats zeros = {0.0f, -0.0f, 0.0f, -0.0f};
  const Floats inf = {1.0f, std::numeric_limits<float>::infinity(), 0.0f, 0.0f};
  const Floats short_query = {kNaN, 0.0f, 0.0f};
  struct Case {
    const IndexReader* reader;
    const Floats* query;
    const char* message;
  };
  const Case cases[] = {
      {&keyword_only, &short_query, "this index is keyword-only"},
      {&keyword_only, &zeros, "this index is keyword-only"},
      {&with_vectors, &short_query, "expected 4-dimensional vector, got 3"},
      {&with_vectors, &nan_and_zeros, "query vector contains NaN or infinity"},
      {&with_vectors, &inf, "query vector contains NaN or infinity"},
      {&with_vectors, &zeros, "query vector is all zeros"},
  };
  for (const Case& c : cases) {
    for (VectorMode mode : {VectorMode::Int8, VectorMode::Binary, VectorMode::BinaryInt8, VectorMode::TernaryInt8}) {
      for (std::size_t k : {std::size_t{0}, std::size_t{10}}) {
        auto got = c.reader->search_vector_with(*c.query, k, 200, mode);
        ASSERT_FALSE(got) << c.message;
        EXPECT_EQ(got.error().to_string(), c.message);
      }
    }
  }
  EXPECT_EQ(with_vectors.search_vector_with(Floats{}, 1, 1, VectorMode::Int8).error().to_string(),
            "expected 4-dimensional vector, got 0");
}

TEST(VectorQueryTest, TheQueryIsNormalisedAndHugeCountsMeanEverything) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  std::vector<Doc> docs;
  for (int i = 0; i < 30; ++i) {
    Floats v(24);
    for (float& x : v) x = normal(rng);
    docs.push_back({"doc", v});
  }
  const IndexReader reader = reader_of(docs, 24);
  Floats query(24);
  for (float& x : query) x = 40.0f * normal(rng);
  for (VectorMode mode : {VectorMode::Int8, VectorMode::Binary, VectorMode::BinaryInt8, VectorMode::TernaryInt8}) {
    auto got = reader.search_vector_with(query, SIZE_MAX, SIZE_MAX, mode);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 30u);
    EXPECT_EQ(*got, *search_with(*reader.vectors(), normalize_unit(query), SIZE_MAX, SIZE_MAX, mode));
  }
}

TEST(HybridSearchTest, KeywordOnlyFusionFollowsTheBm25Ranking) {
  std::vector<Doc> docs;
  for (int i = 0; i < 30; ++i) docs.push_back({std::string(i % 3 ? "apple " : "") + std::string(i, 'x') + " pear", {}});
  const IndexReader reader = reader_of(docs, 0);
  const auto bm25 = reader.search_bm25("apple", 50);
  const auto hits = hits_of(reader, "apple");
  ASSERT_EQ(hits.size(), 10u);
  for (std::uint32_t r = 0; r < hits.size(); ++r) {
    EXPECT_EQ(hits[r].id, bm25[r].id);
    EXPECT_EQ(hits[r].score, 1.0f / ((60.0f + static_cast<float>(r)) + 1.0f));
    EXPECT_EQ(hits[r].bm25_rank, r + 1);
    EXPECT_EQ(hits[r].vector_rank, std::nullopt);
  }
  // Each source ranking is max(k, depth) long.
  EXPECT_EQ(hits_of(reader, "apple", std::nullopt, {.k = 20, .depth = 5}).size(), 20u);
  EXPECT_TRUE(hits_of(reader, "apple", std::nullopt, {.k = 0}).empty());
  EXPECT_TRUE(hits_of(reader, "", std::nullopt).empty());
  EXPECT_EQ(hits_of(reader, "apple", std::nullopt, {.k = SIZE_MAX, .depth = SIZE_MAX, .candidates = SIZE_MAX}).size(), 20u);
}

TEST(HybridSearchTest, BothRankingsFuseAndCarryTheirRanks) {
  // Chunk 2 is first by keywords and by vector; 0 only by vector; 1 only by keywords.
  const IndexReader reader = reader_of({{"lemon tree", {1, 0.1f, 0, 0}},
                                        {"lemon lemon", {-1, 0, 0, 0}},
                                        {"lemon lemon lemon", {1, 0, 0, 0}},
                                        {"other words", {0, 0, 1, 0}}},
                                       4);
  const Floats q = {1, 0, 0, 0};
  const auto hits = hits_of(reader, "lemon", q);
  ASSERT_GE(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 2u);
  EXPECT_EQ(hits[0].score, 1.0f / 61.0f + 1.0f / 61.0f);
  EXPECT_EQ(hits[0].bm25_rank, 1u);
  EXPECT_EQ(hits[0].vector_rank, 1u);
  const auto only_vector = std::find_if(hits.begin(), hits.end(), [](const Hit& h) { return h.id == 3; });
  ASSERT_NE(only_vector, hits.end());
  EXPECT_EQ(only_vector->bm25_rank, std::nullopt);
  EXPECT_TRUE(only_vector->vector_rank.has_value());

  // No text: the vector ranking alone.
  const auto by_vector = hits_of(reader, "", q, {.k = 3, .rrf_k = 10.0f});
  const auto ranking = *reader.search_vector_with(q, 3, 200, VectorMode::TernaryInt8);
  ASSERT_EQ(by_vector.size(), 3u);
  for (std::uint32_t r = 0; r < 3; ++r) {
    EXPECT_EQ(by_vector[r].id, ranking[r].id);
    EXPECT_EQ(by_vector[r].score, 1.0f / ((10.0f + static_cast<float>(r)) + 1.0f));
    EXPECT_EQ(by_vector[r].vector_rank, r + 1);
  }
}

TEST(HybridSearchTest, VectorErrorsEndTheSearch) {
  const IndexReader keyword_only = reader_of(texts({"lemon", "lemon tree"}), 0);
  const Floats q = {1, 0, 0, 0};
  EXPECT_EQ(error_of(keyword_only.search("lemon", std::span<const float>(q), {})), "this index is keyword-only");
  const IndexReader with_vectors = reader_of({{"lemon", {1, 0, 0, 0}}}, 4);
  EXPECT_EQ(error_of(with_vectors.search("lemon", std::span<const float>(), {})),
            "expected 4-dimensional vector, got 0");
}

TEST(HybridSearchTest, InOrderTermsGainTheBoost) {
  const IndexReader reader = reader_of(texts({"green apple pie", "apple green pie", "green tea and apple", "apple"}), 0);
  const auto plain = hits_of(reader, "green apple", std::nullopt, {.phrase_boost = 0.0f});
  const auto boosted = hits_of(reader, "green apple");
  std::map<std::uint32_t, float> before;
  for (const Hit& h : plain) before[h.id] = h.score;
  for (const Hit& h : boosted) {
    const float gain = h.id == 0 ? 1.0f / 61.0f : 0.0f;
    EXPECT_EQ(h.score, h.id == 0 ? gain + before[h.id] : before[h.id]) << h.id;
  }
  EXPECT_EQ(boosted[0].id, 0u);
}

TEST(HybridSearchTest, QuotedPhrasesComeFirst) {
  const IndexReader reader =
      reader_of(texts({"art gallery art gallery state", "state art", "state of the art", "art state state", "nothing"}), 0);
  for (const char* query : {"gallery \u201cstate of the art\u201d", "gallery \"state of the art", "gallery \u201dstate art\""}) {
    const auto hits = hits_of(reader, query, std::nullopt, {.phrase_boost = 0.0f});
    ASSERT_EQ(hits.size(), 4u) << query;
    // 1 and 2 hold "state art" (stop-words vanish on both sides); 0 scores
    // higher but follows them.
    EXPECT_EQ(ids(hits), (std::vector<std::uint32_t>{1, 2, 0, 3})) << query;
  }
  // A quoted part of stop-words only is no phrase: plain fusion.
  EXPECT_EQ(hits_of(reader, "art \"the a\"", std::nullopt, {.phrase_boost = 0.0f}),
            hits_of(reader, "art", std::nullopt, {.phrase_boost = 0.0f}));
}

TEST(HybridSearchTest, OnlyChunksThatPassThePostingsCheckAreDecoded) {
  // Chunk 1's record does not decode. It holds "plum" but not "kiwi".
  const std::vector<Doc> docs = texts({"plum kiwi", "plum plum", "kiwi plum", "plum"});
  const IndexReader reader = reader_of(docs, 0, 1);
  const std::string spoiled = "docs: record 1: ";
  // No re-ranking at all, or none of its candidates' terms: never decoded.
  EXPECT_EQ(hits_of(reader, "plum kiwi", std::nullopt, {.phrase_boost = 0.0f}).size(), 4u);
  EXPECT_EQ(hits_of(reader, "plum kiwi", std::nullopt, {.phrase_boost = kNaN}).size(), 4u);
  EXPECT_EQ(hits_of(reader, "plum kiwi").size(), 4u);
  EXPECT_EQ(hits_of(reader, "\"kiwi\" plum").size(), 4u);
  EXPECT_EQ(hits_of(reader, "\"plum\" \"plum kiwi\" \"plum\"", std::nullopt, {.phrase_boost = 0.0f}).size(), 4u);
  EXPECT_EQ(hits_of(reader, "plum plum plum kiwi plum").size(), 4u);
  // Chunk 1 holds every term of these: it is decoded, and the search fails,
  // also when no hit is to be returned.
  for (const char* query : {"plum plum", "\"plum\"", "plum plum plum", "\"plum\" \"plum plum\""}) {
    for (std::uint64_t k : {0, 10}) {
      auto r = reader.search(query, std::nullopt, {.k = k});
      ASSERT_FALSE(r) << query;
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
      EXPECT_TRUE(r.error().message().starts_with(spoiled)) << r.error().message();
    }
  }
}

// ---- The plain evaluation of hybrid search: rankings from the two searches,
// fusion by a sorted map, every candidate decoded when re-ranking.

struct PlainCandidate {
  std::uint32_t id;
  float score;
  bool phrase;
};

std::vector<Hit> plain_hybrid(const IndexReader& reader, const std::string& text,
                              const std::optional<Floats>& vector, const SearchParams& p) {
  const std::size_t pool = std::max(p.k, p.depth);
  std::vector<std::uint32_t> rankings[2];
  for (const Scored& s : reader.search_bm25(text, pool)) rankings[0].push_back(s.id);
  if (vector) {
    const auto found = reader.search_vector_with(*vector, pool, p.candidates, VectorMode::TernaryInt8);
    for (const Scored& s : *found) rankings[1].push_back(s.id);
  }
  std::map<std::uint32_t, float> fused;
  for (const auto& ranking : rankings) {
    std::set<std::uint32_t> seen;
    for (std::size_t r = 0; r < ranking.size(); ++r) {
      if (!seen.insert(ranking[r]).second) continue;
      fused[ranking[r]] = fused[ranking[r]] + 1.0f / ((p.rrf_k + static_cast<float>(r)) + 1.0f);
    }
  }
  std::vector<PlainCandidate> cands;
  for (auto [id, score] : fused) cands.push_back({id, std::isnan(score) ? -INFINITY : score, false});
  const auto by_score = [](const PlainCandidate& a, const PlainCandidate& b) {
    if (total_order_key(a.score) != total_order_key(b.score)) return total_order_key(a.score) > total_order_key(b.score);
    return a.id < b.id;
  };
  std::sort(cands.begin(), cands.end(), by_score);
  const PhraseQuery q = PhraseQuery::parse(text);
  if (!q.phrases.empty() || (q.terms.size() >= 2 && p.phrase_boost > 0.0f)) {
    for (PlainCandidate& c : cands) {
      const TermMatch m = match_terms(q, tokenize(search_text(*reader.chunk(c.id))));
      if (m.sequence_match) c.score = p.phrase_boost / (p.rrf_k + 1.0f) + c.score;
      c.phrase = m.phrase_match;
    }
    std::sort(cands.begin(), cands.end(), [&](const PlainCandidate& a, const PlainCandidate& b) {
      return a.phrase != b.phrase ? a.phrase : by_score(a, b);
    });
  }
  std::vector<Hit> hits;
  for (std::size_t i = 0; i < std::min<std::size_t>(p.k, cands.size()); ++i) {
    Hit h{cands[i].id, cands[i].score, std::nullopt, std::nullopt};
    for (int which = 0; which < 2; ++which) {
      const auto& ranking = rankings[which];
      const auto at = std::find(ranking.begin(), ranking.end(), h.id);
      if (at != ranking.end()) (which == 0 ? h.bm25_rank : h.vector_rank) = static_cast<std::uint32_t>(at - ranking.begin() + 1);
    }
    hits.push_back(h);
  }
  return hits;
}

bool same_bits(const std::vector<Hit>& a, const std::vector<Hit>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || std::bit_cast<std::uint32_t>(a[i].score) != std::bit_cast<std::uint32_t>(b[i].score) ||
        a[i].bm25_rank != b[i].bm25_rank || a[i].vector_rank != b[i].vector_rank)
      return false;
  }
  return true;
}

TEST(HybridSearchTest, RandomCorporaMatchThePlainEvaluation) {
  std::mt19937 rng(21);
  const std::vector<std::string> words = {"red", "fox", "jumps", "over", "the", "lazy", "dog", "quick", "brown", "a", "cat"};
  const auto phrase_of = [&](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) s.push_back(' ');
      s.append(words[rng() % words.size()]);
    }
    return s;
  };
  std::normal_distribution<float> normal;
  for (int round = 0; round < 6; ++round) {
    const std::size_t dim = 8 + rng() % 40;
    std::vector<Doc> docs;
    for (int i = 0; i < 120; ++i) {
      Floats v(dim);
      for (float& x : v) x = normal(rng);
      docs.push_back({phrase_of(2 + rng() % 10), v});
    }
    const IndexReader reader = reader_of(docs, dim);
    for (int t = 0; t < 60; ++t) {
      std::string text = phrase_of(rng() % 4);
      if (rng() % 2) text += " \"" + phrase_of(1 + rng() % 3) + (rng() % 4 ? "\"" : "");
      if (rng() % 3 == 0) text = "\u201c" + phrase_of(2) + "\u201d " + text;
      std::optional<Floats> vector;
      if (rng() % 3) vector = docs[rng() % docs.size()].vector;
      SearchParams p;
      p.k = rng() % 4 == 0 ? 0 : 1 + rng() % 30;
      p.depth = rng() % 60;
      p.candidates = rng() % 100;
      const float rrf_ks[] = {60.0f, 0.0f, 1.5f, kNaN};
      const float boosts[] = {1.0f, 0.0f, -1.0f, 3.5f, kNaN};
      p.rrf_k = rrf_ks[rng() % 4];
      p.phrase_boost = boosts[rng() % 5];
      auto span = vector ? std::optional<std::span<const float>>(*vector) : std::nullopt;
      const auto got = hits_of(reader, text, span, p);
      const auto want = plain_hybrid(reader, text, vector, p);
      ASSERT_TRUE(same_bits(got, want)) << "query " << text << " k " << p.k << " rrf_k " << p.rrf_k
                                        << " boost " << p.phrase_boost;
    }
  }
}

}  // namespace
}  // namespace tessavine
