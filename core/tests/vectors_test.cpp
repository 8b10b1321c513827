#include "formats/vectors.h"

#include <gtest/gtest.h>

#include <bit>

#include "test_util.h"
#include "storage/bin_format.h"

namespace tessavine {
namespace {

using testing::result_text;
using Floats = std::vector<float>;
using Bytes = std::vector<std::byte>;
using Ints = std::vector<int>;

Bytes bytes_of(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

Bytes build(std::size_t dim, const std::vector<Floats>& vectors) {
  VectorBuilder builder(dim);
  for (const Floats& v : vectors) EXPECT_TRUE(builder.add(v).has_value());
  auto image = std::move(builder).finish();
  EXPECT_TRUE(image.has_value());
  return image ? *image : Bytes{};
}

Result<Vectors> open(Bytes bytes) { return Vectors::from_bytes(Storage::from_bytes(std::move(bytes))); }

template <class T>
Ints ints(std::span<const T> items) { return Ints(items.begin(), items.end()); }

// The names and the message are checked through Python; a name is never trimmed.
TEST(VectorModeTest, NamesAreTakenExactly) {
  EXPECT_EQ(result_text(VectorMode::from_str("binary+int8 ")),
            "unknown vector mode \"binary+int8 \"; expected one of int8, binary, binary+int8, ternary+int8");
}

TEST(VectorsFileTest, WorkedExampleByteForByteAndReadBackInPlace) {
  const Bytes image = build(9, {{1.0f, 2.0f, 3.0f, -4.0f, 0.5f, 0.0f, -0.1f, 10.0f, 0.2f}});
  EXPECT_EQ(image, bytes_of({
                       'T', 'V', 'V', 'C', 2, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0,  // header: N = 1, D = 9
                       0x97, 0x01, 0, 0,                                        // binary code, padding
                       0x8E, 0x00, 0, 0,                                        // ternary mask, padding
                       0xBD, 0x08, 0xE2, 0x3B,                                  // scale, about 0.0068980
                       13, 25, 38, 256 - 51, 6, 0, 255, 127, 3,                 // int8 codes
                   }));
  auto vectors = open(image);
  ASSERT_TRUE(vectors.has_value()) << vectors.error().to_string();
  EXPECT_EQ(ints(vectors->binary_code(0)), (Ints{0x97, 0x01}));
  EXPECT_EQ(ints(vectors->mask(0)), (Ints{0x8E, 0x00}));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(vectors->scale(0)), 0x3BE208BDu);
  EXPECT_EQ(ints(vectors->int8_codes(0)), (Ints{13, 25, 38, -51, 6, 0, -1, 127, 3}));
}

// Three vectors of dimension 9: B = 2, S = 8, 16 + 16 + 12 + 27 = 71 bytes.
Bytes three_by_nine() {
  return build(9, {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {-1, 0, 1, 0, -1, 0, 1, 0, -9}, {0.5f, -0.25f, 0.125f, 0, 0, 0, 0, 0, 100}});
}

TEST(VectorsFileTest, LayoutOffsetsAndAccessors) {
  const Bytes image = three_by_nine();
  ASSERT_EQ(image.size(), 71u);
  auto vectors = open(image);
  ASSERT_TRUE(vectors.has_value()) << vectors.error().to_string();
  EXPECT_EQ(std::tuple(vectors->masks_offset(), vectors->scales_offset(), vectors->int8_offset()),
            std::tuple(24u, 32u, 44u));
  for (const std::size_t at : {22, 23, 30, 31}) EXPECT_EQ(image[at], std::byte{0}) << at;
  EXPECT_EQ(ints(vectors->binary_code(1)), (Ints{0x44, 0x00}));
  EXPECT_EQ(ints(vectors->int8_codes(2)), (Ints{1, 0, 0, 0, 0, 0, 0, 0, 127}));
  EXPECT_EQ(vectors->int8_codes(2).data(), reinterpret_cast<const std::int8_t*>(vectors->bytes().data()) + 44 + 18);
}

Bytes header(std::uint32_t magic, std::uint16_t version, std::uint32_t n, std::uint32_t dim, std::size_t body) {
  Bytes image = std::move(Writer::with_header(magic, version, n, dim)).into_bytes();
  image.resize(image.size() + body);
  return image;
}

TEST(VectorsFileTest, HeaderAndSizeFailures) {
  Bytes longer = three_by_nine(), shorter = three_by_nine();
  longer.push_back(std::byte{0});
  shorter.pop_back();
  const std::pair<Bytes, const char*> cases[] = {
      {longer, "vectors: size does not match header"},
      {shorter, "vectors: size does not match header"},
      {Bytes(15), "vectors: file is too short"},
      {header(kDocsMagic, 1, 1, 9, 0), "vectors: wrong magic bytes"},
      {header(kVectorsMagic, 1, 1, 9, 55), "vectors: unsupported version 1 (expected 2)"},
      // The zero dimension is reported before the length is looked at.
      {header(kVectorsMagic, 2, 3, 0, 7), "vectors: dimension is zero"},
      {header(kVectorsMagic, 2, 1, 9, 0), "vectors: size does not match header"},
      // Hostile counts: the implied length overflows 64 bits or is huge.
      {header(kVectorsMagic, 2, 0xFFFFFFFF, 0xFFFFFFFF, 64), "vectors: size does not match header"},
      {header(kVectorsMagic, 2, 0xFFFFFFFF, 1, 64), "vectors: size does not match header"},
      {header(kVectorsMagic, 2, 1, 0xFFFFFFFF, 64), "vectors: size does not match header"},
  };
  for (const auto& [image, message] : cases)
    EXPECT_EQ(result_text(open(image)), std::string("invalid index data: ") + message);
  const Bytes empty = build(5, {});
  EXPECT_EQ(empty, bytes_of({'T', 'V', 'V', 'C', 2, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0}));
  EXPECT_EQ(open(empty)->count(), 0u);
}

}  // namespace
}  // namespace tessavine
