#include "formats/manifest.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace tessavine {
namespace {

using testing::result_text;

Manifest example() {
  Manifest m;
  m.format = "tessavine-index", m.schema_version = 2, m.created_by = "tessavine-core 0.2.0";
  m.generation = 1, m.n_chunks = 3, m.dim = 384, m.bm25 = {1.2f, 0.75f};
  m.files = {{"vectors.bin", 1468}, {"docs.bin", 431}, {"bm25.bin", 168}};
  return m;
}

constexpr const char* kExampleText = R"({
  "format": "tessavine-index",
  "schema_version": 2,
  "created_by": "tessavine-core 0.2.0",
  "generation": 1,
  "n_chunks": 3,
  "dim": 384,
  "embedder": null,
  "bm25": {
    "k1": 1.2,
    "b": 0.75
  },
  "files": {
    "bm25.bin": 168,
    "docs.bin": 431,
    "vectors.bin": 1468
  },
  "metadata": {}
}
)";

// The example text with one member line replaced (or removed when empty).
std::string with_line(std::string_view prefix, std::string_view replacement, std::string text = kExampleText) {
  const auto at = text.find(prefix);
  EXPECT_NE(at, std::string::npos) << prefix;
  const auto end = text.find('\n', at);
  text.replace(at, end - at, replacement);
  return text;
}

TEST(ManifestTest, ExampleTextByteForByte) {
  EXPECT_EQ(example().to_json().value(), kExampleText);
  EXPECT_EQ(Manifest::from_json(kExampleText).value(), example());
}

TEST(ManifestTest, FloatForms) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, const char*> f32_cases[] = {
      {1.2f, "1.2"},   {2.0f, "2.0"},   {-0.0f, "-0.0"}, {1e20f, "1e20"}, {3.4028235e38f, "3.4028235e38"},
      {1e12f, "1000000000000.0"}, {1e13f, "1e13"}, {1.5e-5f, "0.000015"}, {1e-7f, "1e-7"},
      {-2.5e-7f, "-2.5e-7"}, {inf, "null"}, {nan, "null"}};
  for (const auto& [v, want] : f32_cases) EXPECT_EQ(format_f32(v), want) << want;
  // Metadata numbers: plain decimal up to 16 integer digits and down to 1e-5, else exponent form.
  const std::pair<double, const char*> f64_cases[] = {
      {0.1, "0.1"}, {static_cast<double>(1.2f), "1.2000000476837158"}, {1e15, "1000000000000000.0"},
      {1e16, "1e16"}, {1180591620717411303424.0, "1.1805916207174113e21"}, {0.00001, "0.00001"},
      {0.000001, "1e-6"}, {-1.5e-300, "-1.5e-300"}};
  for (const auto& [v, want] : f64_cases) EXPECT_EQ(format_f64(v), want) << want;
}

// Odd metadata and embedder texts are round-tripped through Python (IndexReader.manifest).
TEST(ManifestTest, MetadataLayout) {
  Manifest m = example();
  m.metadata = nlohmann::json::parse(R"({"b": [1, {"y": "\u0000", "x": []}], "a": {}, "\u00e9": 2.0})");
  const std::string text = m.to_json().value();
  EXPECT_EQ(text.substr(text.find("  \"metadata\"")), R"(  "metadata": {
    "a": {},
    "b": [
      1,
      {
        "x": [],
        "y": "\u0000"
      }
    ],
    "é": 2.0
  }
}
)");
}

// "embedder" and "metadata" may be missing; unknown keys are passed over.
TEST(ManifestTest, OptionalAndUnknownFields) {
  const std::string text = with_line("  \"metadata\"", "  \"extra\": [{\"format\": 1}]");
  EXPECT_EQ(Manifest::from_json(with_line("  \"embedder\"", "", text)).value(), example());
}

TEST(ManifestTest, DecodeFailures) {
  // The message after "manifest.json: ", or nullptr for any.
  const std::pair<std::string, const char*> cases[] = {
      {with_line("  \"format\"", ""), "missing field `format`"},
      {with_line("    \"k1\"", ""), "missing field `k1`"},  // leaves `{` then `"b"`
      {with_line("    \"b\"", "    \"k1\": 1"), "duplicate field `k1`"},
      {with_line("  \"n_chunks\"", "  \"n_chunks\": 4294967296,"), "invalid value: integer `4294967296`, expected u32"},
      {with_line("  \"n_chunks\"", "  \"n_chunks\": -1,"), "invalid value: integer `-1`, expected u32"},
      {with_line("  \"dim\"", "  \"dim\": 1.0,"), "invalid type: floating point `1.0`, expected u32"},
      {with_line("    \"k1\"", "    \"k1\": null,"), "invalid type: null, expected f32"},
      {with_line("  \"metadata\"", "  \"metadata\": null"), "invalid type: null, expected a map"},
      {with_line("  \"metadata\"", "  \"metadata\": []"), "invalid type: sequence, expected a map"},
      {with_line("    \"docs.bin\"", "    \"docs.bin\": \"431\","), "invalid type: string \"431\", expected u64"},
      {with_line("  \"embedder\"", "  \"embedder\": 3,"), "invalid type: integer `3`, expected a string or null"},
      {"[]", "invalid type: sequence, expected struct Manifest"},
      // The format is checked before the schema, and quoted with escapes.
      {with_line("  \"format\"", "  \"format\": \"a\\\"b\\\\\\n\",",
                 with_line("  \"schema", "  \"schema_version\": 1,")),
       "format is \"a\\\"b\\\\\\n\", expected \"tessavine-index\""},
      {std::string(200, '[') + std::string(200, ']'), "recursion limit exceeded"},
      {std::string(kExampleText) + "x", nullptr},
      {"", nullptr},
      {"{\"format\": \"\xFF\"}", nullptr},
  };
  const std::string prefix = "invalid index data: manifest.json: ";
  for (const auto& [text, want] : cases) {
    const std::string got = result_text(Manifest::from_json(text));
    EXPECT_TRUE(got.starts_with(prefix)) << got;
    EXPECT_EQ(got, want ? prefix + want : got) << text;
  }
}

}  // namespace
}  // namespace tessavine
