#include "storage/storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "test_util.h"
#include "storage/bin_format.h"
#include "storage/mapped_buffer.h"
#include "temp_root.h"

namespace tessavine {
namespace {

using testing::result_text;
using testing::TempRoot;
using testing::write_file;

std::string text_of(const Storage& s) {
  return std::string(reinterpret_cast<const char*>(s.bytes().data()), s.size());
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(StorageTest, MappedAndReadGiveTheSameBytesAndKeepNoDescriptor) {
  TempRoot dir("storage");
  // Several pages and a few bytes: the read fills whole pages of its buffer.
  std::string content("abc\0def", 7);
  for (int i = 0; content.size() < 3 * 4096 + 5; ++i) content += std::to_string(i);
  write_file(dir / "f.bin", content);
  write_file(dir / "empty.bin", "");
  const std::size_t before = open_descriptors();
  for (bool mmap : {true, false}) {
    auto s = Storage::open(dir / "f.bin", mmap);
    ASSERT_TRUE(s.has_value()) << s.error().to_string();
    EXPECT_EQ(s->is_mapped(), mmap);
    EXPECT_EQ(text_of(*s), content);
    // A mapping of length 0 cannot be made: the empty file is read instead.
    auto empty = Storage::open(dir / "empty.bin", mmap);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(!empty->is_mapped() && empty->size() == 0);
    auto missing = Storage::open(dir / "missing", mmap);
    EXPECT_EQ(open_descriptors(), before);
  }
}

TEST(StorageTest, MissingFilesDirectoriesFifosAndDevicesAreRefused) {
  TempRoot dir("storage");
  // A fifo would block the open and a device could be read until memory ran out.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  for (bool mmap : {true, false}) {
    EXPECT_EQ(Storage::open(dir / "missing", mmap).error().to_string(),
              "I/O error on " + (dir / "missing").string() + ": No such file or directory (os error 2)");
    EXPECT_EQ(Storage::open(dir.path(), mmap).error().kind(), ErrorKind::Io);
    for (const auto& p : {dir / "fifo", dir / "zero"})
      EXPECT_EQ(result_text(Storage::open(p, mmap)), "I/O error on " + p.string() + ": not a regular file");
  }
}

// Readers take storage by move assignment; a source left holding the mapping would unmap it.
TEST(StorageTest, MoveLeavesTheSourceEmpty) {
  TempRoot dir("storage");
  write_file(dir / "m.bin", "hello");
  for (bool mmap : {true, false}) {
    auto s = Storage::open(dir / "m.bin", mmap);
    Storage b;
    b = std::move(*s);
    EXPECT_EQ(s->size(), 0u);
    EXPECT_EQ(text_of(b), "hello");
  }
}

TEST(MappedBufferTest, GrowsInPlaceOfACopyAndServesAgainAfterClear) {
  MappedBuffer b;
  std::string want;
  for (std::size_t i = 0; want.size() < (1u << 20); ++i) {  // past several doublings
    const std::string piece = std::to_string(i * 7919) + ",";
    b.append(piece), want += piece;
  }
  b.put_u32(0x01020304), b.put_u64(0x0A0B0C0D0E0F1011), b.put_f32(1.0f), b.append("x"), b.pad_to_4();
  want += std::string("\x04\x03\x02\x01\x11\x10\x0F\x0E\x0D\x0C\x0B\x0A\0\0\x80\x3Fx", 17);
  want.resize((want.size() + 3) / 4 * 4, '\0');
  const auto text = [](const MappedBuffer& m) { return std::string(reinterpret_cast<const char*>(m.data()), m.size()); };
  EXPECT_EQ(text(b), want);
  // In front: the first time into fresh pages, the second into what is left of them.
  for (const std::string& head : {std::string("head"), std::string(5000, 'h'), std::string("h2")}) {
    std::memcpy(b.prepend(head.size()), head.data(), head.size());
    want.insert(0, head);
    ASSERT_EQ(text(b), want);
  }
  b.release_unused();
  EXPECT_EQ(text(b), want);
  b.append("tail"), want += "tail";
  EXPECT_EQ(text(b), want);
  MappedBuffer moved = std::move(b);
  EXPECT_EQ(b.size(), 0u);
  moved.clear(), moved.append("again");
  EXPECT_EQ(text(moved), "again");
  const std::string big(8u << 20, 'z');  // grows the mapping prepend made of two parts
  moved.append(big);
  EXPECT_EQ(text(moved), "again" + big);
  MappedBuffer empty;
  std::memcpy(empty.prepend(3), "abc", 3);
  EXPECT_EQ(text(empty), "abc");
}

TEST(BinFormatTest, WriterLayout) {
  Writer w = Writer::with_header(kDocsMagic, 0x0102, 0x03040506, 0xA0B0C0D0);
  EXPECT_EQ(w.size(), 16u);
  w.put_u64(0x1122334455667788ull), w.put_f32(1.0f), w.put_bytes(std::string_view("x"));
  w.pad_to_4(), w.pad_to_4();  // the second adds nothing
  const auto out = std::move(w).into_bytes();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()),
            std::string("TVDS\x02\x01\0\0\x06\x05\x04\x03\xD0\xC0\xB0\xA0\x88\x77\x66\x55\x44\x33\x22\x11\0\0\x80\x3Fx\0\0\0", 32));
}

TEST(BinFormatTest, ReadHeaderChecksInOrderAndIgnoresReserved) {
  auto docs = std::move(Writer::with_header(kDocsMagic, 1, 7, 9)).into_bytes();
  docs[6] = std::byte{0xFF};
  const auto counts = read_header(docs, kDocsMagic, 1, "docs");
  EXPECT_EQ(counts.value(), std::make_pair(7u, 9u));

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
