#include "formats/docs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "test_util.h"
#include "storage/bin_format.h"

namespace tessavine {
namespace {

using testing::result_text;

Result<Docs> open(std::vector<std::byte> bytes) { return Docs::from_bytes(Storage::from_bytes(std::move(bytes))); }

std::string record_json(const ChunkRecord& r) { std::string out; append_record_json(out, r); return out; }

std::vector<std::byte> docs_file(std::uint32_t n, const std::vector<std::uint64_t>& offsets, std::string_view area) {
  Writer w = Writer::with_header(kDocsMagic, 1, n, 0);
  for (auto o : offsets) w.put_u64(o);
  w.put_bytes(area);
  return std::move(w).into_bytes();
}

TEST(DocsTest, EmptyBuilderGivesTheExact24Bytes) {
  auto bytes = DocsBuilder{}.finish();
  ASSERT_TRUE(bytes.has_value());
  std::vector<std::byte> want(24);
  std::memcpy(want.data(), "TVDS\x01", 5);
  EXPECT_EQ(*bytes, want);
  EXPECT_EQ(open(*bytes)->count(), 0u);
}

TEST(DocsTest, RecordTextAndEscapes) {
  EXPECT_EQ(record_json({"p", {"A", "B"}, 0, 4294967295u, ""}),
            R"({"path":"p","heading_path":["A","B"],"line_start":0,"line_end":4294967295,"text":""})");
  const ChunkRecord r{"q\\", {}, 1, 1, "n\nt\t\"q\" \x01 \xC3\xA9 \x7F \b\f\r \x1F"};
  EXPECT_EQ(record_json(r),
            "{\"path\":\"q\\\\\",\"heading_path\":[],\"line_start\":1,\"line_end\":1,"
            "\"text\":\"n\\nt\\t\\\"q\\\" \\u0001 \xC3\xA9 \x7F \\b\\f\\r \\u001f\"}");
}

TEST(DocsTest, FromBytesChecksInOrder) {
  auto appended = docs_file(1, {0, 2}, "{}");
  appended.push_back(std::byte{' '});
  const std::pair<std::vector<std::byte>, const char*> cases[] = {
      // The count claims more records than there are offsets.
      {docs_file(3, {0, 1, 1}, ""), "docs: truncated offset table"},
      {docs_file(0xFFFFFFFFu, {0}, ""), "docs: truncated offset table"},
      {docs_file(1, {7, 3}, ""), "docs: offsets are not monotonic"},  // checked before the size
      {appended, "docs: size does not match offsets"},
      {docs_file(1, {0, std::numeric_limits<std::uint64_t>::max()}, "{}"), "docs: size does not match offsets"},
  };
  for (const auto& [bytes, want] : cases)
    EXPECT_EQ(result_text(open(bytes)), std::string("invalid index data: ") + want);
}

TEST(DocsTest, AcceptedRecordForms) {
  const ChunkRecord want{"p", {"h"}, 1, 2, "t"};
  for (const char* f : {
           R"({"text":"t","line_end":2,"line_start":1,"heading_path":["h"],"path":"p"})",
           R"( {"path":"p","x":{"a":[1,{"b":null}]},"heading_path":["h"],"y":[[]],"line_start":1,"line_end":2,"z":-1.5,"text":"t"} )",
           "\n[\"p\" , [\"h\"], 1, 2, \"t\"]\t",
       }) {
    auto r = decode_record_json(f);
    ASSERT_TRUE(r.has_value()) << f << ": " << r.error();
    EXPECT_EQ(*r, want) << f;
  }
  EXPECT_EQ(decode_record_json(R"(["p",[],-0,0,"t"])").value().line_start, 0u);
}

TEST(DocsTest, DecodeMessages) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"path":"p","heading_path":[],"line_start":1,"line_end":2})", "missing field `text`"},
      {R"({"path":"p","path":"q"})", "duplicate field `path`"},
      // The duplicate is found where it stands, before the broken rest.
      {R"({"text":"a","text":)", "duplicate field `text`"},
      {R"(["p",[],1])", "invalid length 3, expected struct ChunkRecord with 5 elements"},
      {R"([])", "invalid length 0, expected struct ChunkRecord with 5 elements"},
      {R"(["p",[],1,2,"t",{"x":[]},7])", "invalid length 7, expected struct ChunkRecord with 5 elements"},
  };
  for (const auto& [json, want] : cases) {
    const auto r = decode_record_json(json);
    EXPECT_EQ(r ? "<ok>" : r.error(), want) << json;
  }
}

// The compact parser against the general decoder, on builder output and its one-byte mutations.
// Faults get some message of ours, never the JSON library's own.
TEST(DocsTest, CompactParserAgreesWithPlainDecoder) {
  std::mt19937 rng(11);
  const char* pieces[] = {"a", "\xC3\xA9", "\xF0\x9F\x98\x80", "\"", "\\", "\n", "\x01", "\x7F",
                          "/", " ", "\\u00e9", "\xED\xA0\x80", "\xFF"};
  const auto random_text = [&] {
    std::string s;
    for (int n = rng() % 6; n > 0; --n) s += pieces[rng() % std::size(pieces)];
    return s;
  };
  std::vector<std::string> inputs = {
      R"({"path":"a\/b","heading_path":[],"line_start":1,"line_end":2,"text":"\u00E9\ud83d\ude00"})",
      R"({"path":"a","heading_path":[],"line_start":01,"line_end":2,"text":""})",
      R"({"path":"a","heading_path":[],"line_start":4294967296,"line_end":2,"text":""})",
      R"({"path":"a","heading_path":["x",],"line_start":1,"line_end":2,"text":""})",
      R"({"path":"a","heading_path":[],"line_start":1,"line_end":2,"text":"\udc00"})",
      R"({"path":"a","heading_path":[],"line_start":1,"line_end":2,"text":"\ud800\u0041"})",
      R"({"path":"a","heading_path":[null],"line_start":-1,"line_end":1.0,"text":""})", "null", "{", ""};
  for (int i = 0; i < 60; ++i) {
    ChunkRecord r{random_text(), {}, static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng() % 3),
                  random_text()};
    for (int n = rng() % 3; n > 0; --n) r.heading_path.push_back(random_text());
    const std::string json = record_json(r);
    inputs.push_back(json);
    const std::size_t at = rng() % json.size();
    inputs.push_back(json.substr(0, at) + json.substr(at + 1));
    inputs.push_back(json.substr(0, at) + json[at] + json.substr(at));
    std::string replaced = json;
    replaced[at] = "\"\\{}[],:0a \x01\xC3"[rng() % 14];
    inputs.push_back(replaced);
  }
  for (const auto& in : inputs) {
    const auto fast = decode_record_json(in);
    const auto plain = decode_record_json_plain(in);
    ASSERT_EQ(fast.has_value(), plain.has_value()) << in;
    EXPECT_EQ(fast ? record_json(*fast) : fast.error(), plain ? record_json(*plain) : plain.error()) << in;
    EXPECT_TRUE(fast || !(plain.error().empty() || plain.error().starts_with("[json.exception"))) << in;
  }
}

}  // namespace
}  // namespace tessavine
