#include "index/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "temp_root.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempRoot;
using testing::write_file;

std::span<const std::byte> bytes_of(std::string_view s) {
  return std::as_bytes(std::span<const char>(s.data(), s.size()));
}

TEST(PosixFileSystemTest, WriteSyncedCreatesOrTruncatesWithMode0666LessUmask) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  const fs::path path = root / "f";
  const mode_t old_mask = ::umask(022);
  ASSERT_TRUE(fsys.write_synced(path, bytes_of("a longer first content")));
  ASSERT_TRUE(fsys.write_synced(path, bytes_of("short")));
  ::umask(0);
  ASSERT_TRUE(fsys.write_synced(root / "g", bytes_of("")));
  ::umask(old_mask);
  EXPECT_EQ(read_file(path), "short");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::stat((root / "g").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_EQ(st.st_size, 0);
}

TEST(PosixFileSystemTest, WriteSyncedReportsTheShortWriteOfAFullDevice) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto result = posix_file_system().write_synced("/dev/full", bytes_of("x"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().path(), "/dev/full");
  EXPECT_EQ(result.error().os_error(), ENOSPC);
}

TEST(PosixFileSystemTest, ErrorsNameThePathWorkedOn) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  const fs::path missing = root / "missing" / "x";
  EXPECT_EQ(fsys.write_synced(missing, bytes_of("x")).error().path(), missing);
  EXPECT_EQ(fsys.sync_dir(missing).error().path(), missing);
  EXPECT_EQ(fsys.create_dir(missing).error().path(), missing);
  EXPECT_EQ(fsys.read_file(missing).error().os_error(), ENOENT);
  EXPECT_EQ(fsys.list_dir(missing).error().os_error(), ENOENT);
  EXPECT_EQ(fsys.stat(missing).error().path(), missing);
  EXPECT_EQ(fsys.remove_file(missing).error().path(), missing);
  auto renamed = fsys.rename(root / "nope", root / "dest");
  EXPECT_EQ(renamed.error().path(), root / "dest");
  EXPECT_EQ(renamed.error().os_error(), ENOENT);
}

TEST(PosixFileSystemTest, CreateDirectoriesAcceptsDirectoriesOnly) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  ASSERT_TRUE(fsys.create_directories(root / "a" / "b" / "c"));
  ASSERT_TRUE(fsys.create_directories(root / "a" / "b" / "c"));
  ASSERT_TRUE(fsys.create_directories(root / "a" / "b" / "c" / ""));
  EXPECT_TRUE(fs::is_directory(root / "a" / "b" / "c"));
  write_file(root / "file", "x");
  auto on_file = fsys.create_directories(root / "file");
  ASSERT_FALSE(on_file);
  EXPECT_EQ(on_file.error().path(), root / "file");
  auto under_file = fsys.create_directories(root / "file" / "sub" / "sub");
  ASSERT_FALSE(under_file);
  EXPECT_EQ(under_file.error().path(), root / "file" / "sub" / "sub");
  EXPECT_EQ(fsys.create_dir(root / "a").error().os_error(), EEXIST);
}

TEST(PosixFileSystemTest, RemoveAllNeverFollowsSymbolicLinks) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  fs::create_directories(root / "keep" / "inner");
  write_file(root / "keep" / "inner" / "precious", "p");
  fs::create_directories(root / "tree" / "sub");
  write_file(root / "tree" / "sub" / "f", "f");
  fs::create_directory_symlink(root / "keep", root / "tree" / "link");
  fs::create_directory_symlink(root / "keep" / "inner", root / "tree" / "sub" / "link2");
  fs::create_directory_symlink(root / "keep", root / "toplink");
  ASSERT_TRUE(fsys.remove_all(root / "tree"));
  ASSERT_TRUE(fsys.remove_all(root / "toplink"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "tree")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "toplink")));
  EXPECT_EQ(read_file(root / "keep" / "inner" / "precious"), "p");
  // A symbolic link given as a file is removed itself.
  fs::create_symlink(root / "keep" / "inner" / "precious", root / "flink");
  ASSERT_TRUE(fsys.remove_file(root / "flink"));
  EXPECT_EQ(read_file(root / "keep" / "inner" / "precious"), "p");
}

TEST(PosixFileSystemTest, ReadFileRefusesEndlessFiles) {
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  auto result = posix_file_system().read_file("/dev/zero");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().path(), "/dev/zero");
  EXPECT_EQ(result.error().os_error(), EFBIG);
}

TEST(PosixFileSystemTest, ReadFileDoesNotBlockOnAFifo) {
  TempRoot root("fs");
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  auto result = posix_file_system().read_file(root / "fifo");
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, "");
}

TEST(PosixFileSystemTest, StatFollowsLinksAndListSkipsDots) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  fs::create_directory(root / "d");
  write_file(root / "f", "");
  fs::create_directory_symlink(root / "d", root / "l");
  EXPECT_EQ(*fsys.stat(root / "d"), FileType::Directory);
  EXPECT_EQ(*fsys.stat(root / "f"), FileType::Regular);
  EXPECT_EQ(*fsys.stat(root / "l"), FileType::Directory);
  EXPECT_EQ(*fsys.stat("/dev/null"), FileType::Other);
  auto names = fsys.list_dir(root.path());
  ASSERT_TRUE(names);
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"d", "f", "l"}));
}

TEST(FaultyFileSystemTest, FailsExactlyTheChosenCall) {
  TempRoot root("fs");
  FaultyFileSystem faulty;
  faulty.fail_call(1);
  ASSERT_TRUE(faulty.create_dir(root / "a"));
  auto second = faulty.create_dir(root / "b");
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().path(), root / "b");
  EXPECT_EQ(second.error().os_error(), EIO);
  EXPECT_FALSE(fs::exists(root / "b"));
  ASSERT_TRUE(faulty.create_dir(root / "b"));
  EXPECT_TRUE(faulty.fired());
  ASSERT_EQ(faulty.calls().size(), 3u);
  EXPECT_EQ(faulty.calls()[1].op, FsOp::CreateDir);
}

TEST(FaultyFileSystemTest, FailsTheFirstCallOfAKindOnAPath) {
  TempRoot root("fs");
  FaultyFileSystem faulty;
  faulty.fail_first(FsOp::Rename, root / "to", FaultyFileSystem::When::After, ENOSPC);
  write_file(root / "from", "x");
  write_file(root / "other", "y");
  ASSERT_TRUE(faulty.rename(root / "other", root / "to2"));
  auto renamed = faulty.rename(root / "from", root / "to");
  ASSERT_FALSE(renamed);
  EXPECT_EQ(renamed.error().path(), root / "to");
  EXPECT_EQ(renamed.error().os_error(), ENOSPC);
  // After: the rename took effect although it reported failure.
  EXPECT_EQ(read_file(root / "to"), "x");
  EXPECT_EQ(faulty.calls()[1].from, root / "from");
}

TEST(FaultyFileSystemTest, AFailedWriteLeavesATruncatedFile) {
  TempRoot root("fs");
  FaultyFileSystem faulty;
  faulty.fail_first(FsOp::WriteSynced, root / "f");
  ASSERT_FALSE(faulty.write_synced(root / "f", bytes_of("abcdef")));
  EXPECT_EQ(read_file(root / "f"), "abc");
}

}  // namespace
}  // namespace tessavine
