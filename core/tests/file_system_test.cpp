#include "storage/file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "crash_file_system.h"
#include "temp_root.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;
using namespace testing;

std::span<const std::byte> bytes_of(std::string_view s) {
  return std::as_bytes(std::span<const char>(s.data(), s.size()));
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

TEST(PosixFileSystemTest, WriteSyncedTruncatesUsesMode0666AndReportsShortWrites) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  const mode_t old_mask = ::umask(022);
  ASSERT_TRUE(fsys.write_synced(root / "f", bytes_of("a longer first content")));
  ASSERT_TRUE(fsys.write_synced(root / "f", bytes_of("short")));
  ::umask(0);
  ASSERT_TRUE(fsys.write_synced(root / "g", bytes_of("")));
  ::umask(old_mask);
  EXPECT_EQ(read_file(root / "f"), "short");
  EXPECT_EQ(mode_of(root / "f"), 0644u);
  EXPECT_EQ(mode_of(root / "g"), 0666u);

  if (fs::exists("/dev/full")) {
    auto full = fsys.write_synced("/dev/full", bytes_of("x"));
    ASSERT_FALSE(full);
    EXPECT_EQ(std::pair(full.error().path(), full.error().os_error()), std::pair(fs::path("/dev/full"), ENOSPC));
  }
}

// Large images go to the file in pieces: every byte arrives, in order, and
// the file is truncated to them.
TEST(PosixFileSystemTest, WriteUnsyncedWritesEveryPieceOfALargeImage) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  std::string image((std::size_t{17} << 20) + 12345, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 2654435761u) >> 13);
  ASSERT_TRUE(fsys.write_synced(root / "f", bytes_of(image + "a longer first content")));
  ASSERT_TRUE(fsys.write_unsynced(root / "f", bytes_of(image)));
  ASSERT_TRUE(fsys.sync_file(root / "f"));
  EXPECT_TRUE(read_file(root / "f") == image);
  ASSERT_TRUE(fsys.write_unsynced(root / "g", bytes_of("")));
  EXPECT_EQ(read_file(root / "g"), "");
  if (fs::exists("/dev/full")) {
    auto full = fsys.write_unsynced("/dev/full", bytes_of(image));
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error().os_error(), ENOSPC);
  }
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
  EXPECT_EQ(fsys.rename(root / "nope", root / "dest").error().path(), root / "dest");
}

TEST(PosixFileSystemTest, RemovalNeverFollowsSymbolicLinks) {
  TempRoot root("fs");
  FileSystem& fsys = posix_file_system();
  fs::create_directories(root / "keep" / "inner");
  write_file(root / "keep" / "inner" / "precious", "p");
  fs::create_directories(root / "tree" / "sub");
  fs::create_directory_symlink(root / "keep", root / "tree" / "link");
  fs::create_directory_symlink(root / "keep" / "inner", root / "tree" / "sub" / "link2");
  fs::create_directory_symlink(root / "keep", root / "toplink");
  fs::create_symlink(root / "keep" / "inner" / "precious", root / "flink");
  ASSERT_TRUE(fsys.remove_all(root / "tree"));
  ASSERT_TRUE(fsys.remove_all(root / "toplink"));
  ASSERT_TRUE(fsys.remove_file(root / "flink"));
  for (const char* gone : {"tree", "toplink", "flink"}) EXPECT_FALSE(fs::exists(fs::symlink_status(root / gone)));
  EXPECT_EQ(read_file(root / "keep" / "inner" / "precious"), "p");
}

// An endless device is refused, a FIFO without a writer is not waited on.
TEST(PosixFileSystemTest, ReadFileNeverHangs) {
  TempRoot root("fs");
  if (fs::exists("/dev/zero")) {
    auto endless = posix_file_system().read_file("/dev/zero");
    ASSERT_FALSE(endless);
    EXPECT_EQ(endless.error().os_error(), EFBIG);
  }
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(posix_file_system().read_file(root / "fifo").value(), "");
}

bool lock_is_free(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// Excludes other descriptors of this process; released with its holder, even while a child shares it.
TEST(PosixFileSystemTest, LockDirExcludesOtherHoldersUntilReleased) {
  TempRoot root("fs");
  EXPECT_EQ(posix_file_system().lock_dir(root / "missing").error().path(), root / "missing");
  int alive[2];
  ASSERT_EQ(::pipe(alive), 0);
  pid_t child = -1;
  {
    auto lock = posix_file_system().lock_dir(root.path());
    ASSERT_TRUE(lock);
    EXPECT_FALSE(lock_is_free(root.path()));
    child = ::fork();
    if (child == 0) {  // holds a copy of the descriptor until the pipe closes
      char c;
      ::close(alive[1]);
      (void)::read(alive[0], &c, 1);
      ::_exit(0);
    }
  }
  EXPECT_TRUE(lock_is_free(root.path()));
  ::close(alive[0]), ::close(alive[1]);
  ::waitpid(child, nullptr, 0);
}

// After a crash only synced bytes and synced directory entries are left, removals included.
TEST(CrashFileSystemTest, CrashKeepsOnlyWhatWasSynced) {
  CrashFileSystem mem;
  ASSERT_TRUE(mem.create_directories("/r/kept"));
  ASSERT_TRUE(mem.write_synced("/r/old", bytes_of("old")));
  mem.sync_all();
  ASSERT_TRUE(mem.create_dir("/r/new"));
  ASSERT_TRUE(mem.write_synced("/r/new/f", bytes_of("f")));
  ASSERT_TRUE(mem.sync_dir("/r/new"));   // f's name is durable, new's is not
  ASSERT_TRUE(mem.rename("/r/old", "/r/moved"));
  ASSERT_TRUE(mem.remove_all("/r/kept"));
  ASSERT_TRUE(mem.write_synced("/r/unnamed", bytes_of("u")));
  mem.crash();
  EXPECT_EQ(*mem.list_dir("/r"), (std::vector<std::string>{"kept", "old"}));
  EXPECT_EQ(*mem.read_file("/r/old"), "old");
}

// The other kinds' texts are checked through Python; only the core gets non-UTF-8 paths.
TEST(ErrorTest, PathThatIsNotUtf8IsShownWithAReplacementCharacter) {
  const Error e = Error::io(std::filesystem::path("/tmp/a\xff" "b"), EACCES);
  EXPECT_EQ(e.to_string(), "I/O error on /tmp/a\xEF\xBF\xBD" "b: Permission denied (os error 13)");
  EXPECT_EQ(e.os_error(), EACCES);
}

}  // namespace
}  // namespace tessavine
