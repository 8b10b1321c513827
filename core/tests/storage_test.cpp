#include "index/storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace tessavine {
namespace {

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tessavine-storage-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path write(const std::string& name, const std::string& content) {
    const auto p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

  static std::string text_of(const Storage& s) {
    return std::string(reinterpret_cast<const char*>(s.bytes().data()), s.size());
  }

  std::filesystem::path dir_;
};

TEST_F(StorageTest, MappedAndReadGiveTheSameBytes) {
  const auto p = write("f.bin", std::string("abc\0def", 7));
  for (bool mmap : {true, false}) {
    auto s = Storage::open(p, mmap);
    ASSERT_TRUE(s.has_value()) << s.error().to_string();
    EXPECT_EQ(s->is_mapped(), mmap);
    EXPECT_EQ(text_of(*s), std::string("abc\0def", 7));
  }
}

TEST_F(StorageTest, EmptyFileIsOwnedEvenWhenMappingIsAsked) {
  const auto p = write("empty.bin", "");
  auto s = Storage::open(p, true);
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(s->is_mapped());
  EXPECT_EQ(s->size(), 0u);
}

TEST_F(StorageTest, MissingFileIsAnIoErrorNamingThePath) {
  const auto p = dir_ / "missing.bin";
  for (bool mmap : {true, false}) {
    auto s = Storage::open(p, mmap);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), ErrorKind::Io);
    EXPECT_EQ(s.error().path(), p);
    EXPECT_EQ(s.error().os_error(), ENOENT);
  }
}

TEST_F(StorageTest, DirectoryIsAnIoError) {
  for (bool mmap : {true, false}) {
    auto s = Storage::open(dir_, mmap);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), ErrorKind::Io);
  }
}

TEST_F(StorageTest, FifosAndDevicesAreRefusedWithoutBlocking) {
  // Neither may block the open or be read until memory runs out.
  const auto fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto zero = dir_ / "zero";
  std::filesystem::create_symlink("/dev/zero", zero);
  for (const auto& p : {fifo, zero}) {
    for (bool mmap : {true, false}) {
      auto s = Storage::open(p, mmap);
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error().to_string(), "I/O error on " + p.string() + ": not a regular file");
    }
  }
}

TEST_F(StorageTest, MoveKeepsTheBytesAndEmptiesTheSource) {
  const auto p = write("m.bin", "hello");
  for (bool mmap : {true, false}) {
    auto s = Storage::open(p, mmap);
    ASSERT_TRUE(s.has_value());
    Storage a = std::move(*s);
    EXPECT_EQ(s->size(), 0u);
    Storage b;
    b = std::move(a);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(text_of(b), "hello");
    b = Storage::from_bytes({std::byte{'z'}});
    EXPECT_EQ(text_of(b), "z");
  }
}

TEST_F(StorageTest, DescriptorIsClosed) {
  const auto p = write("fd.bin", "x");
  const auto count_fds = [] {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const std::size_t before = count_fds();
  {
    auto a = Storage::open(p, true);
    auto b = Storage::open(p, false);
    auto c = Storage::open(dir_ / "missing", true);
    EXPECT_EQ(count_fds(), before);
  }
}

}  // namespace
}  // namespace tessavine
