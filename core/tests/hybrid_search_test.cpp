#include "index/hybrid_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "formats/docs.h"
#include "formats/record_text.h"
#include "index/reader.h"
#include "index/writer.h"
#include "text/sparse_match.h"
#include "text/tokenize.h"

namespace tessavine {
namespace {

std::vector<std::string> run_terms(const std::vector<std::string_view>& runs) {
  std::vector<std::string> terms;
  for (const std::string_view run : runs) for (std::string& t : tokenize(run)) terms.push_back(std::move(t));
  return terms;
}

// Taken in place exactly when the compact decoder takes the record, with its search text's terms.
void expect_runs_agree(const std::string& json) {
  std::vector<std::string_view> runs;
  const auto decoded = decode_record_json(json);
  if (!search_text_runs(json, runs)) return;  // the caller decodes in full
  ASSERT_TRUE(decoded) << json;
  EXPECT_EQ(run_terms(runs), tokenize(search_text(*decoded))) << json;
}

TEST(RecordTextTest, RunsGiveTheSearchTextTerms) {
  const std::string head = R"({"path":"a.md","heading_path":["Top","fooBar"],"line_start":1,"line_end":2,"text":)";
  for (const std::string text : {R"("line\nbreak\ttab\"q\\b\/s")", R"("ctl\u0001x\ud83d\ude00z")",
                                 R"("accent\u00e9z")", R"("lone\ud83dz")", R"("bad\qescape")",
                                 "\"raw\x01control\"", "\"bad\xff utf8\"", R"("unterminated)"})
    expect_runs_agree(head + text + "}");
  for (const std::string shape :
       {R"({"path":"a","heading_path":[],"line_start":01,"line_end":1,"text":"x"})",
        R"({"path":"a","heading_path":[],"line_start":1,"line_end":4294967296,"text":"x"})",
        R"({"path":"a", "heading_path":[],"line_start":1,"line_end":1,"text":"x"})",
        R"(["a",[],1,1,"x"])"})
    expect_runs_agree(shape);
  std::vector<std::string_view> runs;
  EXPECT_TRUE(search_text_runs(head + R"("x\ny\u0001")" + "}", runs));
  EXPECT_FALSE(search_text_runs(head + R"("x\u0041y")" + "}", runs));  // a letter: decoded in full
  // Whatever the writer stores is taken in place.
  std::mt19937 rng(5);
  const std::string alphabet[] = {"a", "B", "7", " ", "\n", "\"", "\\", "/", "\x01", "\xc3\xa9",
                                  "\xe2\x80\x9c", "\xf0\x9f\x98\x80", "camelCase", "the"};
  const auto random_text = [&] {
    std::string s;
    for (std::size_t n = rng() % 40; n > 0; --n) s += alphabet[rng() % std::size(alphabet)];
    return s;
  };
  for (int i = 0; i < 300; ++i) {
    ChunkRecord r{random_text(), {}, 1, 1, random_text()};
    for (std::size_t h = rng() % 3; h > 0; --h) r.heading_path.push_back(random_text());
    std::string json;
    append_record_json(json, r);
    ASSERT_TRUE(search_text_runs(json, runs)) << json;
    EXPECT_EQ(run_terms(runs), tokenize(search_text(r))) << json;
  }
}

// The matcher that tokenizes only near where a needle can begin agrees with
// matching every term, on texts where terms come from camelCase parts,
// non-ASCII words that lower-case to ASCII, and runs cut at escapes.
TEST(RecordTextTest, SparseMatchEqualsMatchingEveryTerm) {
  std::mt19937 rng(9);
  const std::string text_words[] = {"threads", "Threads", "THREADlock", "threadsLock", "lock", "the", "a",
                                    " ", "\n", "\xe2\x80\x94", "\xe2\x84\xaa" "elvin", "kelvin",
                                    "\xc4\xb0" "nfo", "info", "\xc3\xa9", "7", "x7y", "\"", "\\", "\t"};
  const std::string query_words[] = {"threads", "lock", "kelvin", "info", "x7y", "7", "the", "\"", "\xc3\xa9"};
  const auto pick = [&](const auto& words, std::size_t most) {
    std::string s;
    for (std::size_t n = rng() % most; n > 0; --n) s += words[rng() % std::size(words)] + " ";
    return s;
  };
  std::vector<std::string_view> runs;
  for (int i = 0; i < 400; ++i) {
    const PhraseQuery q = PhraseQuery::parse(pick(query_words, 6));
    SparseMatcher sparse(q);
    for (int j = 0; j < 20; ++j) {
      ChunkRecord r{"n.md", {pick(text_words, 4)}, 1, 1, pick(text_words, 40)};
      std::string json;
      append_record_json(json, r);
      ASSERT_TRUE(search_text_runs(json, runs));
      const TermMatch got = sparse.match(json, runs);
      const TermMatch want = match_terms(q, tokenize(search_text(r)));
      ASSERT_EQ(std::pair(got.phrase_match, got.sequence_match), std::pair(want.phrase_match, want.sequence_match))
          << json;
    }
  }
}

IndexReader reader_of(BuiltGeneration built) {
  auto docs = Docs::from_bytes(Storage::from_bytes(std::move(built.docs)));
  auto bm25 = Bm25::from_bytes(Storage::from_bytes(std::move(built.bm25)));
  std::optional<Vectors> vectors;
  if (built.vectors) vectors.emplace(*Vectors::from_bytes(Storage::from_bytes(std::move(*built.vectors))));
  auto reader = IndexReader::assemble("", std::move(built.manifest), std::move(*docs), std::move(*bm25),
                                      std::move(vectors));
  EXPECT_TRUE(reader) << reader.error().to_string();
  return std::move(*reader);
}

IndexReader random_reader(std::mt19937& rng, std::size_t n, std::size_t dim) {
  const std::string words[] = {"red", "fox", "jumps", "over", "lazy", "dog", "state", "art", "the", "of"};
  WriterOptions options;
  options.dim = dim;
  IndexWriter writer(std::move(options));
  for (std::size_t i = 0; i < n; ++i) {
    ChunkRecord r{"n.md", {}, 1, 1, ""};
    for (std::size_t w = 1 + rng() % 8; w > 0; --w) r.text += words[rng() % std::size(words)] + " ";
    if (rng() % 3 == 0) r.heading_path = {"red fox", "Notes"};
    std::vector<float> v(dim);
    for (float& x : v) x = std::normal_distribution<float>()(rng);
    EXPECT_TRUE(writer.add(r, dim ? std::optional<std::span<const float>>(v) : std::nullopt));
  }
  return reader_of(*std::move(writer).build(1));
}

TEST(HybridRerankTest, SearchEqualsThePlainSearch) {
  std::mt19937 rng(17);
  const std::string words[] = {"red", "fox", "jumps", "lazy", "dog", "state", "art", "of", "plum", "\"", "\u201c"};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const std::size_t n : {40, 900, 5000, 20000}) {
    const std::size_t dim = n == 900 ? 0 : 16;
    const IndexReader reader = random_reader(rng, n, dim);
    for (int q = 0; q < 60; ++q) {
      std::string text;
      for (std::size_t w = rng() % 5; w > 0; --w) text += words[rng() % std::size(words)] + " ";
      SearchParams p;
      p.k = std::vector<std::uint64_t>{0, 1, 3, 10, 60}[rng() % 5];
      p.depth = std::vector<std::uint64_t>{0, 5, 50}[rng() % 3];
      // 1e9: positions up to 32 apart score alike, and chunk numbers order
      // them; -5.5: the scores fall, then leap up at the sixth position.
      p.rrf_k = std::vector<float>{60.0f, 0.0f, -1.0f, -5.5f, nan, 1e9f}[rng() % 6];
      p.phrase_boost = std::vector<float>{1.0f, 0.0f, -2.0f, 40.0f, nan}[rng() % 5];
      std::vector<float> v(dim);
      for (float& x : v) x = std::normal_distribution<float>()(rng);
      const auto vector = dim && rng() % 2 ? std::optional<std::span<const float>>(v) : std::nullopt;
      const auto got = reader.search(text, vector, p);
      const auto want = search_plain(reader, text, vector, p);
      ASSERT_TRUE(got && want) << text;
      ASSERT_EQ(got->size(), want->size()) << text;
      const auto fields = [](const Hit& h) {
        return std::tuple(h.id, std::bit_cast<std::uint32_t>(h.score), h.bm25_rank, h.vector_rank);
      };
      for (std::size_t i = 0; i < got->size(); ++i)
        EXPECT_EQ(fields((*got)[i]), fields((*want)[i])) << text << " at " << i;
    }
  }
}

// A keyword-only reader built in memory, with chunk `spoil`'s stored record made undecodable:
// byte `at` of the record (its opening brace, or a byte of its path) becomes `with`.
IndexReader reader_with_spoiled_record(const std::vector<std::string>& texts, std::size_t spoil,
                                       std::size_t at_byte = 0, char with = 'x') {
  IndexWriter writer(WriterOptions{});
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::string path = "n";  // appended: GCC 12 warns falsely on `"n" + std::to_string(i)`
    path += std::to_string(i);
    EXPECT_TRUE(writer.add(ChunkRecord{path, {}, 1, 1, texts[i]}));
  }
  auto built = std::move(writer).build(1);
  EXPECT_TRUE(built) << built.error().to_string();
  const std::string head = "{\"path\":\"n" + std::to_string(spoil) + '"';
  auto& bytes = built->docs;
  const auto at = std::search(bytes.begin(), bytes.end(), head.begin(), head.end(),
                              [](std::byte b, char c) { return b == static_cast<std::byte>(c); });
  EXPECT_NE(at, bytes.end());
  at[static_cast<std::ptrdiff_t>(at_byte)] = static_cast<std::byte>(with);
  return reader_of(*std::move(built));
}

TEST(HybridSearchTest, OnlyChunksThatPassThePostingsCheckAreDecoded) {
  // Chunk 1's record does not decode. It holds "plum" but not "kiwi".
  const IndexReader reader = reader_with_spoiled_record({"plum kiwi", "plum plum", "kiwi plum", "plum"}, 1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // No re-ranking at all, or none that needs chunk 1's text: never decoded.
  const std::pair<const char*, float> untouched[] = {
      {"plum kiwi", 0.0f}, {"plum kiwi", nan}, {"plum kiwi", 1.0f}, {"\"kiwi\" plum", 1.0f},
      {"\"plum\" \"plum kiwi\" \"plum\"", 0.0f}, {"plum plum plum kiwi plum", 1.0f}};
  for (const auto& [query, boost] : untouched) {
    auto hits = reader.search(query, std::nullopt, {.phrase_boost = boost});
    ASSERT_TRUE(hits) << query << ": " << hits.error().to_string();
    EXPECT_EQ(hits->size(), 4u) << query;
  }
  // Chunk 1 holds every term: decoded, the search fails, also with k = 0 and re-ranking on.
  for (const char* query : {"plum plum", "\"plum\"", "plum plum plum", "\"plum\" \"plum plum\""}) {
    for (std::uint64_t k : {0, 10}) {
      auto r = reader.search(query, std::nullopt, {.k = k});
      ASSERT_FALSE(r) << query;
      EXPECT_TRUE(r.error().to_string().starts_with("invalid index data: docs: record 1: ")) << r.error().to_string();
    }
  }
}

TEST(HybridSearchTest, EveryCopyOfARecordIsChecked) {
  // Chunks 1 and 3 store the same text under other paths, and chunk 3's path holds a control
  // character, so its record does not decode. Chunk 1 is read first (equal scores, smaller
  // number) and reads in place; that must not vouch for chunk 3.
  const IndexReader reader = reader_with_spoiled_record({"plum kiwi", "plum plum", "kiwi", "plum plum"}, 3, 9, '\x01');
  for (std::uint64_t k : {0, 10}) {
    auto r = reader.search("plum plum", std::nullopt, {.k = k});
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().to_string().starts_with("invalid index data: docs: record 3: ")) << r.error().to_string();
  }
  auto hits = reader.search("kiwi plum", std::nullopt, {});
  ASSERT_TRUE(hits) << hits.error().to_string();
}

TEST(HybridSearchTest, ChunksTheRankingVouchesForAreCheckedAlike) {
  // Enough postings for the keyword ranking to pass over documents; it then
  // tells which chunks hold every term, in place of the postings check. The
  // first 50 are the 20 chunks holding both terms, the 10 holding "kiwi"
  // alone and 20 holding "plum" alone.
  std::vector<std::string> texts(12000, "plum");
  for (std::size_t i = 0; i < 20; ++i) texts[300 + 577 * i] = "kiwi plum";
  for (std::size_t i = 0; i < 10; ++i) texts[100 + 1111 * i] = "kiwi";
  for (std::uint64_t k : {0, 10}) {
    auto r = reader_with_spoiled_record(texts, 300 + 577 * 7).search("plum kiwi", std::nullopt, {.k = k});
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().to_string().starts_with("invalid index data: docs: record 4339: ")) << r.error().to_string();
  }
  auto hits = reader_with_spoiled_record(texts, 100 + 1111 * 3).search("plum kiwi", std::nullopt, {});
  ASSERT_TRUE(hits) << hits.error().to_string();
  EXPECT_EQ(hits->size(), 10u);
}

TEST(HybridSearchTest, ChunksOnlyTheVectorRankingFindsAreLookedUp) {
  // Enough postings for the keyword ranking to pass over documents, which
  // tells about its own chunks alone. Chunk 7000 holds the query's terms in
  // order, but among more words than the 20 chunks holding both in the
  // other order, so it ranks below them by keywords; only its vector finds
  // it, and its sequence must still lift it to the top.
  WriterOptions options;
  options.dim = 2;
  IndexWriter writer(std::move(options));
  const float other[] = {1.0f, 0.0f};
  const float query[] = {0.0f, 1.0f};
  for (std::size_t i = 0; i < 12000; ++i) {
    std::string text = i % 577 == 0 ? "kiwi plum" : "plum";
    if (i == 7000) text = "plum kiwi fig fig fig fig fig fig";
    ASSERT_TRUE(writer.add(ChunkRecord{"n.md", {}, 1, 1, text}, std::span<const float>(i == 7000 ? query : other)));
  }
  const IndexReader reader = reader_of(*std::move(writer).build(1));
  const SearchParams p{.k = 3, .depth = 10};
  const auto got = reader.search("plum kiwi", std::span<const float>(query), p);
  const auto want = search_plain(reader, "plum kiwi", std::span<const float>(query), p);
  ASSERT_TRUE(got && want);
  ASSERT_EQ(want->size(), 3u);
  EXPECT_EQ((*want)[0].id, 7000u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ((*got)[i].id, (*want)[i].id) << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>((*got)[i].score), std::bit_cast<std::uint32_t>((*want)[i].score)) << i;
  }
}

}  // namespace
}  // namespace tessavine
