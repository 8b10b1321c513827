#include "storage/bin_format.h"

#include <gtest/gtest.h>

#include <vector>

#include "result_text.h"

namespace tessavine {
namespace {

using testing::result_text;

std::vector<std::byte> bytes_of(std::initializer_list<int> v) {
  std::vector<std::byte> out;
  for (int b : v) out.push_back(static_cast<std::byte>(b));
  return out;
}

TEST(BinFormatTest, WriterLayout) {
  Writer w = Writer::with_header(kDocsMagic, 0x0102, 0x03040506, 0xA0B0C0D0);
  EXPECT_EQ(w.size(), 16u);
  w.put_u64(0x1122334455667788ull);
  w.put_f32(1.0f);
  w.put_bytes(std::string_view("x"));
  w.pad_to_4();
  w.pad_to_4();  // already aligned: adds nothing
  EXPECT_EQ(std::move(w).into_bytes(),
            bytes_of({'T', 'V', 'D', 'S', 0x02, 0x01, 0, 0, 0x06, 0x05, 0x04, 0x03, 0xD0, 0xC0, 0xB0, 0xA0,
                      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x00, 0x80, 0x3F, 'x', 0, 0, 0}));
}

TEST(BinFormatTest, ReadHeaderChecksInOrderAndIgnoresReserved) {
  auto docs = std::move(Writer::with_header(kDocsMagic, 1, 7, 9)).into_bytes();
  docs[6] = std::byte{0xFF};
  const auto counts = read_header(docs, kDocsMagic, 1, "docs");
  ASSERT_TRUE(counts.has_value());
  EXPECT_EQ(*counts, std::make_pair(7u, 9u));

  const auto bm25_v2 = std::move(Writer::with_header(kBm25Magic, 2, 0, 0)).into_bytes();
  const auto docs_v2 = std::move(Writer::with_header(kDocsMagic, 2, 0, 0)).into_bytes();
  const std::pair<std::span<const std::byte>, const char*> cases[] = {
      {std::span(docs).first(15), "docs: file is too short"},
      {bm25_v2, "docs: wrong magic bytes"},  // magic before version
      {docs_v2, "docs: unsupported version 2 (expected 1)"},
  };
  for (const auto& [bytes, want] : cases)
    EXPECT_EQ(result_text(read_header(bytes, kDocsMagic, 1, "docs")), std::string("invalid index data: ") + want);
}

}  // namespace
}  // namespace tessavine
