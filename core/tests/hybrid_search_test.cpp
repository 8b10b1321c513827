#include "index/hybrid_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "index/reader.h"
#include "index/writer.h"

namespace tessavine {
namespace {

// A keyword-only reader over images built in memory, with chunk `spoil`'s
// stored record made undecodable.
IndexReader reader_with_spoiled_record(const std::vector<std::string>& texts, std::size_t spoil) {
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
  *at = std::byte{'x'};
  auto docs = Docs::from_bytes(Storage::from_bytes(std::move(built->docs)));
  auto bm25 = Bm25::from_bytes(Storage::from_bytes(std::move(built->bm25)));
  EXPECT_TRUE(docs && bm25);
  auto reader = IndexReader::assemble("", std::move(built->manifest), std::move(*docs), std::move(*bm25), {});
  EXPECT_TRUE(reader) << reader.error().to_string();
  return std::move(*reader);
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
  // Chunk 1 holds every term of these: it is decoded and the search fails,
  // also when no hit is to be returned (k = 0 with re-ranking on).
  for (const char* query : {"plum plum", "\"plum\"", "plum plum plum", "\"plum\" \"plum plum\""}) {
    for (std::uint64_t k : {0, 10}) {
      auto r = reader.search(query, std::nullopt, {.k = k});
      ASSERT_FALSE(r) << query;
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
      EXPECT_TRUE(r.error().message().starts_with("docs: record 1: ")) << r.error().message();
    }
  }
}

}  // namespace
}  // namespace tessavine
