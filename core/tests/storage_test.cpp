#include "storage/storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "temp_root.h"

namespace tessavine {
namespace {

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
  const std::string content("abc\0def", 7);
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
    EXPECT_FALSE(empty->is_mapped());
    EXPECT_EQ(empty->size(), 0u);
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
    auto missing = Storage::open(dir / "missing", mmap);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
    EXPECT_EQ(missing.error().path(), dir / "missing");
    EXPECT_EQ(missing.error().os_error(), ENOENT);
    auto directory = Storage::open(dir.path(), mmap);
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(directory.error().kind(), ErrorKind::Io);
    for (const auto& p : {dir / "fifo", dir / "zero"}) {
      auto s = Storage::open(p, mmap);
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error().to_string(), "I/O error on " + p.string() + ": not a regular file");
    }
  }
}

// Readers take their storage by move assignment; a source left holding the
// mapping would unmap it under them.
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

}  // namespace
}  // namespace tessavine
