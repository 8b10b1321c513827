// The file-system operations of a commit and of index discovery, behind one
// small interface. Production code uses the POSIX implementation; tests put
// their own in its place to make any single operation fail, or to drop what
// was never synced, and check that a commit never leaves a root that readers
// cannot open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace tessavine {

enum class FileType { Regular, Directory, Other };

// An exclusive advisory lock, held until this object is destroyed. The
// operating system drops it with the descriptor when the process dies, so a
// killed holder never leaves a root locked.
class DirLock {
 public:
  DirLock() = default;  // holds nothing
  explicit DirLock(int fd) : fd_(fd) {}
  DirLock(DirLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DirLock& operator=(DirLock&&) = delete;
  ~DirLock();

 private:
  int fd_ = -1;
};

// Told the count of bytes a write has finished with (see write_unsynced).
using WriteProgress = std::function<void(std::size_t)>;

// Every failure is an Io error naming the path the operation worked on (for
// `rename`: the destination).
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates the directory and its missing parents (rwxrwxrwx before the
  // umask), each synced into its parent. An existing directory is fine; an
  // existing non-directory is not.
  virtual Status create_directories(const std::filesystem::path& path) = 0;
  // Creates one directory (rwxrwxrwx before the umask); it must not exist.
  virtual Status create_dir(const std::filesystem::path& path) = 0;
  // The whole content of a file.
  virtual Result<std::string> read_file(const std::filesystem::path& path) = 0;
  // The names of a directory's entries other than "." and "..", in listing
  // order. Names are raw bytes (not necessarily UTF-8).
  virtual Result<std::vector<std::string>> list_dir(const std::filesystem::path& path) = 0;
  // The type of an entry, following symbolic links.
  virtual Result<FileType> stat(const std::filesystem::path& path) = 0;
  // Creates or truncates the file (write only, rw-rw-rw- before the umask),
  // writes every byte, syncs data and metadata to stable storage, closes.
  virtual Status write_synced(const std::filesystem::path& path, std::span<const std::byte> bytes) = 0;
  // Creates or truncates the file as write_synced does and writes every
  // byte, without waiting for stable storage: the bytes are sent on their way
  // there, and sync_file waits for them. A caller thus works while the disk
  // does. Closes the file. `written`, if given, may be called as the writing
  // goes on with the count of leading bytes written so far, never to be read
  // again: their memory is the caller's to hand back.
  virtual Status write_unsynced(const std::filesystem::path& path, std::span<const std::byte> bytes,
                                const WriteProgress& written) = 0;
  Status write_unsynced(const std::filesystem::path& path, std::span<const std::byte> bytes) {
    return write_unsynced(path, bytes, {});
  }
  // Syncs a file's data and metadata to stable storage.
  virtual Status sync_file(const std::filesystem::path& path) = 0;
  // Flushes a directory (its entries) to stable storage.
  virtual Status sync_dir(const std::filesystem::path& path) = 0;
  // One attempt to rename, replacing `to` atomically if it exists.
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Removes a file or a symbolic link (never its target).
  virtual Status remove_file(const std::filesystem::path& path) = 0;
  // Removes a directory tree; a symbolic link is removed itself, never
  // followed, at every level.
  virtual Status remove_all(const std::filesystem::path& path) = 0;
  // Waits for and takes the exclusive lock of a directory. Every call takes
  // a lock of its own: two holders in one process exclude each other too.
  virtual Result<DirLock> lock_dir(const std::filesystem::path& path) = 0;
};

// The process-wide POSIX implementation; stateless, usable from any thread.
FileSystem& posix_file_system();

}  // namespace tessavine
