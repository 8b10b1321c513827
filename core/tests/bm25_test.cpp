#include "formats/bm25.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "index/bm25_search.h"
#include "temp_root.h"
#include "test_util.h"

namespace tessavine {
namespace {

using testing::result_text;
using Terms = std::vector<std::string>;

std::vector<std::byte> build(const std::vector<Terms>& docs, float k1 = 1.2f, float b = 0.75f) {
  Bm25Builder builder;
  for (std::size_t i = 0; i < docs.size(); ++i) EXPECT_EQ(builder.add_tokens(docs[i]), i);
  auto bytes = std::move(builder).finish(k1, b);
  EXPECT_TRUE(bytes.has_value());
  return std::move(*bytes);
}

Result<Bm25> open(std::vector<std::byte> bytes) { return Bm25::from_bytes(Storage::from_bytes(std::move(bytes))); }

std::vector<Posting> postings_of(const Bm25& idx, std::string_view term) {
  const auto t = idx.find_term(term);
  if (!t) return {};
  return {idx.postings(*t).begin(), idx.postings(*t).end()};
}

TEST(Bm25Test, EmptyBuilderGivesTheExact40Bytes) {
  const auto bytes = build({}, 1.2f, 0.75f);
  Writer w = Writer::with_header(kBm25Magic, 1, 0, 0);
  w.put_f32(0.0f), w.put_f32(1.2f), w.put_f32(0.75f);
  for (int i = 0; i < 3; ++i) w.put_u32(0);
  EXPECT_EQ(bytes, std::move(w).into_bytes());
  EXPECT_EQ(open(bytes)->term_count(), 0u);
}

TEST(Bm25Test, TermsSortedBytewiseAndAreaPadded) {
  // "\xC3\xA9" (é) sorts after every ASCII term: bytes compare unsigned.
  auto bytes = build({{"b", "a", "ab"}, {"\xC3\xA9", "z"}});
  // D=2, T=5: term area at 40 + 8 + 40 = 88, 7 bytes, one zero byte of padding.
  EXPECT_EQ(bytes.size(), 88u + 8 + 8 * 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + 88, 8), std::string("aabbz\xC3\xA9\0", 8));
  // An area of exactly 4 bytes needs no padding; one of 5 bytes gets three zero bytes.
  EXPECT_EQ(build({{"b", "a", "ab"}}).size(), 40u + 4 + 24 + 4 + 24);
  auto five = build({{"b", "a", "abc"}});
  ASSERT_EQ(five.size(), 40u + 4 + 24 + 8 + 24);
  EXPECT_EQ(std::vector<std::byte>(five.begin() + 73, five.begin() + 76), std::vector<std::byte>(3));
}

class Bm25RoundTrip : public ::testing::TestWithParam<std::size_t> {};

// Besides short terms, ones equal in their first eight bytes or differing only by trailing zero
// bytes; with the parameter, enough more to grow the term table and need three-byte varints,
// and a run of terms sharing their first eight bytes across several blocks of the lookup.
TEST_P(Bm25RoundTrip, RandomDocumentsAgainstPlainIndex) {
  Terms vocab = {"a", "b", "ab", "ba", "x", "\xC3\xA9t\xC3\xA9", "z", "abcdefgh", "abcdefghi",
                 std::string("abcdefgh\0", 9), "abcdefg", std::string("abcdefg\0", 8),
                 std::string("abcdefg\0\0", 9), std::string("a\0b", 3), "abcdefghia", "zzzzzzzzzzzz"};
  for (std::size_t i = 0; i < GetParam(); ++i) {
    vocab.emplace_back(i % 50 == 0 ? "abcdefgh" : "t");  // appended: GCC 12 warns falsely on `"t" + ...`
    vocab.back() += std::to_string(i * 7919 % 100003);
  }
  std::mt19937 rng(7);
  std::vector<Terms> docs(200);
  for (auto& doc : docs) for (int n = rng() % 12; n > 0; --n) doc.push_back(vocab[rng() % vocab.size()]);
  docs[0] = vocab;
  std::shuffle(docs[0].begin(), docs[0].end(), rng);
  docs[1].insert(docs[1].end(), 300, "ab");  // a frequency of more than one varint byte
  auto idx = open(build(docs));
  ASSERT_TRUE(idx.has_value());
  std::map<std::string, std::vector<Posting>> want;  // std::string orders bytes unsigned
  for (std::uint32_t d = 0; d < docs.size(); ++d) {
    std::map<std::string, std::uint32_t> tf;
    for (const auto& t : docs[d]) ++tf[t];
    for (const auto& [t, n] : tf) want[t].push_back({d, n});
  }
  ASSERT_EQ(idx->term_count(), want.size());
  std::uint32_t t = 0;
  for (const auto& [term, postings] : want) {
    EXPECT_EQ(idx->term(t++), term);
    EXPECT_EQ(postings_of(*idx, term), postings) << term;
  }
  const auto has = [&](std::uint32_t d, const std::string& term) {
    return std::find(docs[d].begin(), docs[d].end(), term) != docs[d].end();
  };
  for (std::size_t v = 0; v < 16; ++v)
    for (std::uint32_t d = 0; d < docs.size(); ++d)
      EXPECT_EQ(idx->contains_all(d, Terms{vocab[v], "x"}), has(d, vocab[v]) && has(d, "x"));
  // Near misses of the binary search, and documents or terms that do not exist.
  for (const char* absent : {"", "aa", "abd", "b0", "xyz", "\xC3\xA9", "zz", "abcdefgh~", "abcdefgh0x", "s", "u"}) {
    EXPECT_FALSE(idx->find_term(absent).has_value()) << absent;
    EXPECT_FALSE(idx->contains_all(0, Terms{"a", absent}));
  }
  EXPECT_FALSE(idx->contains_all(200, Terms{"a"}));
  EXPECT_TRUE(idx->contains_all(123456, Terms{}));
}
INSTANTIATE_TEST_SUITE_P(Vocabularies, Bm25RoundTrip, ::testing::Values(0, 10000));

// A hand-made file: D documents of length 1, terms (raw area and offsets), postings.
std::vector<std::byte> bm25_file(std::uint32_t d, const std::vector<std::uint32_t>& term_offsets,
                                 std::string_view area, const std::vector<std::uint32_t>& post_offsets,
                                 const std::vector<Posting>& postings) {
  Writer w = Writer::with_header(kBm25Magic, 1, d, static_cast<std::uint32_t>(term_offsets.size() - 1));
  w.put_f32(1), w.put_f32(1.2f), w.put_f32(0.75f), w.put_u32(0);
  for (std::uint32_t i = 0; i < d; ++i) w.put_u32(1);
  for (auto o : term_offsets) w.put_u32(o);
  for (auto o : post_offsets) w.put_u32(o);
  w.put_bytes(area);
  w.pad_to_4();
  for (auto p : postings) w.put_u32(p.doc), w.put_u32(p.tf);
  return std::move(w).into_bytes();
}

TEST(Bm25Test, FromBytesChecksInOrder) {
  auto valid = build({{"a", "b"}, {"b"}});
  auto appended = valid;
  appended.push_back(std::byte{0});
  auto truncated = valid;
  truncated.resize(40 + 8 + 8);  // ends inside the posting offsets
  ASSERT_TRUE(open(bm25_file(1, {0, 1}, "a", {0, 1}, {{0, 1}})).has_value());  // the helper's form is valid
  const std::pair<std::vector<std::byte>, const char*> cases[] = {
      {truncated, "bm25: truncated offset tables"},
      {std::move(Writer::with_header(kBm25Magic, 1, 0xFFFFFFFFu, 0xFFFFFFFFu)).into_bytes(),
       "bm25: truncated offset tables"},
      {appended, "bm25: size does not match its tables"},
      {bm25_file(1, {0, 3, 2}, "abc", {0, 1, 2}, {{0, 1}, {0, 1}}), "bm25: offsets are not monotonic"},
      {bm25_file(1, {0, 1, 2}, "ab", {0, 2, 1}, {{0, 1}}), "bm25: offsets are not monotonic"},
      {bm25_file(1, {0, 1, 2}, "a\xFF", {0, 1, 2}, {{0, 1}, {0, 1}}), "bm25: term is not valid UTF-8"},
      {bm25_file(1, {0, 1, 2}, "aa", {0, 1, 2}, {{0, 1}, {0, 1}}), "bm25: terms are not strictly sorted"},
      // Sorting is checked for every term before any posting is looked at.
      {bm25_file(1, {0, 1, 2}, "ba", {0, 1, 2}, {{5, 1}, {0, 1}}), "bm25: terms are not strictly sorted"},
      // The missing document is found before the disorder that follows it.
      {bm25_file(2, {0, 1}, "a", {0, 2}, {{2, 1}, {0, 1}}), "bm25: posting references a missing document"},
      {bm25_file(3, {0, 1}, "a", {0, 2}, {{2, 1}, {1, 1}}), "bm25: postings are not sorted by document"},
      {bm25_file(3, {0, 1}, "a", {0, 2}, {{1, 1}, {1, 1}}), "bm25: postings are not sorted by document"},
      // Term 0 claims 1000 bytes, a later offset falls back so the totals agree:
      // refused before it is read. One that ends in the postings is read, then judged.
      {bm25_file(1, {0, 1000, 1}, "a", {0, 0, 0}, {}), "bm25: term extends beyond the end of the file"},
      {bm25_file(1, {0, 6, 1}, "a", {0, 1, 1}, {{0, 0x41414141}}), "bm25: offsets are not monotonic"},
  };
  for (const auto& [bytes, want] : cases)
    EXPECT_EQ(result_text(open(bytes)), std::string("invalid index data: ") + want);
}

// A file of 2^20 postings, its terms each in every document: a fault in
// the middle of a term, or just past one's first posting, is found by the
// check four postings at a time; the fall where each term begins is no fault.
TEST(Bm25Test, LargeFilesAreCheckedThroughout) {
  constexpr std::uint32_t kDocs = 65536;
  constexpr std::uint32_t kTerms = 16;
  std::vector<std::uint32_t> term_offsets;
  std::vector<std::uint32_t> post_offsets;
  std::string area;
  std::vector<Posting> postings;
  postings.reserve(std::size_t{kDocs} * kTerms);
  for (std::uint32_t t = 0; t < kTerms; ++t) {
    term_offsets.push_back(static_cast<std::uint32_t>(area.size()));
    post_offsets.push_back(static_cast<std::uint32_t>(postings.size()));
    area += {char('a' + t / 8), char('a' + t % 8)};
    for (std::uint32_t doc = 0; doc < kDocs; ++doc) postings.push_back({doc, 1});
  }
  term_offsets.push_back(static_cast<std::uint32_t>(area.size()));
  post_offsets.push_back(static_cast<std::uint32_t>(postings.size()));
  const std::size_t half = postings.size() / 2;
  const auto with = [&](std::size_t at, std::uint32_t doc) {
    std::vector<Posting> changed = postings;
    changed[at].doc = doc;
    return bm25_file(kDocs, term_offsets, area, post_offsets, changed);
  };
  EXPECT_TRUE(open(bm25_file(kDocs, term_offsets, area, post_offsets, postings)).has_value());
  const std::pair<std::vector<std::byte>, const char*> cases[] = {
      {with(half - 1, 0), "bm25: postings are not sorted by document"},
      {with(half + 1, 0), "bm25: postings are not sorted by document"},
      {with(half + 3 * kDocs + 100, 7), "bm25: postings are not sorted by document"},
      {with(postings.size() - 1, kDocs), "bm25: posting references a missing document"},
  };
  for (const auto& [bytes, want] : cases)
    EXPECT_EQ(result_text(open(bytes)), std::string("invalid index data: ") + want);
}

// A mapped file of enough documents reads their lengths from a copy of its
// own: the lengths, and the scores made of them, are those of the file read
// whole, also once the index has moved.
TEST(Bm25Test, MappedLengthsCopiedAreTheFilesOwn) {
  constexpr std::uint32_t kDocs = 600000;  // lengths of more than 2 MiB
  Bm25Builder builder;
  std::vector<std::string> doc;
  for (std::uint32_t i = 0; i < kDocs; ++i) {
    doc.assign(i % 7 + 1, "x");
    if (i % 1000 == 3) doc.push_back("rare");
    builder.add_tokens(doc);
  }
  auto bytes = std::move(builder).finish(1.2f, 0.75f);
  ASSERT_TRUE(bytes.has_value());
  const testing::TempRoot root("bm25-lengths");
  testing::write_file(root / "bm25.bin", std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  auto read = open(std::move(*bytes));
  auto storage = Storage::open(root / "bm25.bin", true);
  ASSERT_TRUE(read.has_value() && storage.has_value() && storage->is_mapped());
  auto mapped = Bm25::from_bytes(std::move(*storage));
  ASSERT_TRUE(mapped.has_value());
  const Bm25 moved = std::move(*mapped);
  for (std::uint32_t i = 0; i < kDocs; ++i) {
    if (moved.doc_len(i) != i % 7 + 1 + (i % 1000 == 3)) FAIL() << "document " << i << ": " << moved.doc_len(i);
  }
  for (const char* query : {"x", "rare", "x rare"})
    testing::expect_same(search_bm25(moved, query, 50), search_bm25(*read, query, 50));
}

}  // namespace
}  // namespace tessavine
