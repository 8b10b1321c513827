#include "bin_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessavine {
namespace {

std::vector<std::byte> bytes_of(std::initializer_list<int> v) {
  std::vector<std::byte> out;
  for (int b : v) out.push_back(static_cast<std::byte>(b));
  return out;
}

TEST(BinFormatTest, MagicIsFileOrderAsLittleEndian) {
  EXPECT_EQ(kDocsMagic, 0x53445654u);  // "TVDS"
  EXPECT_EQ(kBm25Magic, 0x4D425654u);  // "TVBM"
  EXPECT_EQ(kVectorsMagic, 0x43565654u);  // "TVVC"
}

TEST(BinFormatTest, WriterLayout) {
  Writer w = Writer::with_header(kDocsMagic, 0x0102, 0x03040506, 0xA0B0C0D0);
  EXPECT_EQ(w.size(), 16u);
  w.put_u64(0x1122334455667788ull);
  w.put_f32(1.0f);
  w.put_bytes(std::string_view("x"));
  w.pad_to_4();
  const auto got = std::move(w).into_bytes();
  EXPECT_EQ(got, bytes_of({'T', 'V', 'D', 'S', 0x02, 0x01, 0, 0, 0x06, 0x05, 0x04, 0x03, 0xD0,
                           0xC0, 0xB0, 0xA0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00,
                           0x00, 0x80, 0x3F, 'x', 0, 0, 0}));
}

TEST(BinFormatTest, PadTo4) {
  struct Case {
    std::size_t extra;
    std::size_t want;
  } cases[] = {{0, 16}, {1, 20}, {2, 20}, {3, 20}, {4, 20}};
  for (const auto& c : cases) {
    Writer w = Writer::with_header(1, 1, 0, 0);
    w.put_bytes(std::vector<std::byte>(c.extra, std::byte{7}));
    w.pad_to_4();
    const auto got = std::move(w).into_bytes();
    ASSERT_EQ(got.size(), c.want) << c.extra;
    for (std::size_t i = 16 + c.extra; i < got.size(); ++i) EXPECT_EQ(got[i], std::byte{0});
  }
}

TEST(BinFormatTest, ReadHeaderReturnsCountsAndIgnoresReserved) {
  auto bytes = std::move(Writer::with_header(kBm25Magic, 1, 7, 9)).into_bytes();
  bytes[6] = std::byte{0xFF};
  bytes[7] = std::byte{0x12};
  const auto r = read_header(bytes, kBm25Magic, 1, "bm25");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->first, 7u);
  EXPECT_EQ(r->second, 9u);
}

TEST(BinFormatTest, ReadHeaderChecksInOrder) {
  const auto docs = std::move(Writer::with_header(kDocsMagic, 1, 0, 0)).into_bytes();
  const auto bm25_v2 = std::move(Writer::with_header(kBm25Magic, 2, 0, 0)).into_bytes();
  const auto docs_v2 = std::move(Writer::with_header(kDocsMagic, 2, 0, 0)).into_bytes();
  struct Case {
    std::span<const std::byte> bytes;
    const char* want;
  } cases[] = {
      {std::span(docs).first(15), "docs: file is too short"},
      {{}, "docs: file is too short"},
      // Magic is checked before the version.
      {bm25_v2, "docs: wrong magic bytes"},
      {docs_v2, "docs: unsupported version 2 (expected 1)"},
  };
  for (const auto& c : cases) {
    const auto r = read_header(c.bytes, kDocsMagic, 1, "docs");
    ASSERT_FALSE(r.has_value()) << c.want;
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().message(), c.want);
  }
  EXPECT_TRUE(read_header(docs, kDocsMagic, 1, "docs").has_value());
}

TEST(BinFormatTest, LittleEndianReadsAtUnalignedOffsets) {
  const auto b = bytes_of({0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x00, 0x00,
                           0xC0, 0x3F});
  EXPECT_EQ(read_u16_le(b, 1), 0x0201);
  EXPECT_EQ(read_u32_le(b, 1), 0x04030201u);
  EXPECT_EQ(read_u64_le(b, 1), 0x0807060504030201ull);
  EXPECT_EQ(read_f32_le(b, 9), 1.5f);
}

}  // namespace
}  // namespace tessavine
