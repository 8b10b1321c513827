#include "storage/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "storage/fd.h"

namespace tessavine {
namespace {

namespace fs = std::filesystem;

// A full sync: on macOS fsync only hands the data to the drive, which may
// keep it in its cache; F_FULLFSYNC asks the drive to flush it too.
int full_sync(int fd) {
  for (;;) {
#ifdef __APPLE__
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#else
    if (::fsync(fd) == 0) return 0;
#endif
    if (errno != EINTR) return errno;
  }
}

int make_directories(const fs::path& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  const int error = errno;
  if (error == EEXIST) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return EEXIST;
  }
  if (error != ENOENT) return error;
  const fs::path parent = path.parent_path();
  if (parent.empty() || parent == path) return error;
  if (const int parent_error = make_directories(parent); parent_error != 0) return parent_error;
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  // Another process may have made it in the meantime.
  if (errno == EEXIST) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  }
  return errno;
}

// Removes `name` relative to the directory `dir_fd` without following any
// symbolic link: a directory is opened with O_NOFOLLOW, so an entry swapped
// for a link between the check and the open is refused rather than followed.
// Returns 0 or the first errno met; keeps removing what it can.
int remove_tree_at(int dir_fd, const char* name) {
  struct stat st;
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) {
    return ::unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT ? 0 : errno;
  }
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  int first_error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0 && first_error == 0) first_error = errno;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    const int error = remove_tree_at(::dirfd(dir), entry->d_name);
    if (error != 0 && first_error == 0) first_error = error;
  }
  ::closedir(dir);
  if (::unlinkat(dir_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && first_error == 0) {
    first_error = errno;
  }
  return first_error;
}

FileType type_of(mode_t mode) {
  if (S_ISREG(mode)) return FileType::Regular;
  if (S_ISDIR(mode)) return FileType::Directory;
  return FileType::Other;
}

class PosixFileSystem final : public FileSystem {
 public:
  Status create_directories(const fs::path& path) override {
    if (const int error = make_directories(path); error != 0) return fail(Error::io(path, error));
    return {};
  }

  Status create_dir(const fs::path& path) override {
    if (::mkdir(path.c_str(), 0777) != 0) return fail(Error::io(path, errno));
    return {};
  }

  Result<std::string> read_file(const fs::path& path) override {
    // O_NONBLOCK: a FIFO in place of the file must not block the open.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return fail(Error::io(path, errno));
    std::string content;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(Error::io(path, errno));
      }
      // The files read this way are a few bytes long; a device or a huge
      // file in their place must not make the read run without end.
      if (content.size() + static_cast<std::size_t>(n) > kMaxReadSize) {
        return fail(Error::io(path, EFBIG));
      }
      content.append(buf, static_cast<std::size_t>(n));
    }
    return content;
  }

  Result<std::vector<std::string>> list_dir(const fs::path& path) override {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return fail(Error::io(path, errno));
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        const int error = errno;
        ::closedir(dir);
        if (error != 0) return fail(Error::io(path, error));
        return names;
      }
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name);
    }
  }

  Result<FileType> stat(const fs::path& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return fail(Error::io(path, errno));
    return type_of(st.st_mode);
  }

  Status write_synced(const fs::path& path, std::span<const std::byte> bytes) override {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return fail(Error::io(path, errno));
    const std::byte* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const ssize_t n = ::write(fd.get(), data, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(Error::io(path, errno));
      }
      if (n == 0) return fail(Error::io_message(path, "failed to write whole buffer"));
      data += n;
      left -= static_cast<std::size_t>(n);
    }
    if (const int error = full_sync(fd.get()); error != 0) return fail(Error::io(path, error));
    if (const int error = fd.close(); error != 0) return fail(Error::io(path, error));
    return {};
  }

  Status sync_dir(const fs::path& path) override {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return fail(Error::io(path, errno));
    if (const int error = full_sync(fd.get()); error != 0) return fail(Error::io(path, error));
    return {};
  }

  Status rename(const fs::path& from, const fs::path& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(Error::io(to, errno));
    return {};
  }

  Status remove_file(const fs::path& path) override {
    if (::unlink(path.c_str()) != 0) return fail(Error::io(path, errno));
    return {};
  }

  Status remove_all(const fs::path& path) override {
    if (const int error = remove_tree_at(AT_FDCWD, path.c_str()); error != 0) {
      return fail(Error::io(path, error));
    }
    return {};
  }

 private:
  static constexpr std::size_t kMaxReadSize = std::size_t{1} << 20;
};

// Runs `op` unless the fault is injected before it; reports the fault after.
template <class F>
auto guarded(const std::optional<Error>& fault, FaultyFileSystem::When when, F&& op)
    -> decltype(op()) {
  if (fault && when == FaultyFileSystem::When::Before) return fail(*fault);
  auto result = std::forward<F>(op)();
  if (fault) return fail(*fault);
  return result;
}

}  // namespace

FileSystem& posix_file_system() {
  static PosixFileSystem instance;
  return instance;
}

std::string_view fs_op_name(FsOp op) {
  switch (op) {
    case FsOp::CreateDirectories: return "create_directories";
    case FsOp::CreateDir: return "create_dir";
    case FsOp::ReadFile: return "read_file";
    case FsOp::ListDir: return "list_dir";
    case FsOp::Stat: return "stat";
    case FsOp::WriteSynced: return "write_synced";
    case FsOp::SyncDir: return "sync_dir";
    case FsOp::Rename: return "rename";
    case FsOp::RemoveFile: return "remove_file";
    case FsOp::RemoveAll: return "remove_all";
  }
  return "?";
}

void FaultyFileSystem::fail_call(std::size_t index, When when, int os_error) {
  fail_index_ = index;
  fail_op_.reset();
  when_ = when;
  os_error_ = os_error;
}

void FaultyFileSystem::fail_first(FsOp op, std::filesystem::path path, When when, int os_error) {
  fail_index_.reset();
  fail_op_ = op;
  fail_path_ = std::move(path);
  when_ = when;
  os_error_ = os_error;
}

std::optional<Error> FaultyFileSystem::record(FsOp op, const std::filesystem::path& path,
                                              const std::filesystem::path& from) {
  const std::size_t index = calls_.size();
  calls_.push_back(Call{op, path, from});
  if (fired_) return std::nullopt;
  const bool chosen = fail_index_ ? *fail_index_ == index
                                  : fail_op_ && *fail_op_ == op && fail_path_ == path;
  if (!chosen) return std::nullopt;
  fired_ = true;
  return Error::io(path, os_error_);
}

Status FaultyFileSystem::create_directories(const std::filesystem::path& path) {
  auto fault = record(FsOp::CreateDirectories, path);
  return guarded(fault, when_, [&] { return base_.create_directories(path); });
}

Status FaultyFileSystem::create_dir(const std::filesystem::path& path) {
  auto fault = record(FsOp::CreateDir, path);
  return guarded(fault, when_, [&] { return base_.create_dir(path); });
}

Result<std::string> FaultyFileSystem::read_file(const std::filesystem::path& path) {
  auto fault = record(FsOp::ReadFile, path);
  return guarded(fault, when_, [&] { return base_.read_file(path); });
}

Result<std::vector<std::string>> FaultyFileSystem::list_dir(const std::filesystem::path& path) {
  auto fault = record(FsOp::ListDir, path);
  return guarded(fault, when_, [&] { return base_.list_dir(path); });
}

Result<FileType> FaultyFileSystem::stat(const std::filesystem::path& path) {
  auto fault = record(FsOp::Stat, path);
  return guarded(fault, when_, [&] { return base_.stat(path); });
}

Status FaultyFileSystem::write_synced(const std::filesystem::path& path,
                                      std::span<const std::byte> bytes) {
  auto fault = record(FsOp::WriteSynced, path);
  if (fault && when_ == When::Before) {
    // A write that fails midway leaves a truncated file behind.
    (void)base_.write_synced(path, bytes.first(bytes.size() / 2));
    return fail(*fault);
  }
  return guarded(fault, when_, [&] { return base_.write_synced(path, bytes); });
}

Status FaultyFileSystem::sync_dir(const std::filesystem::path& path) {
  auto fault = record(FsOp::SyncDir, path);
  return guarded(fault, when_, [&] { return base_.sync_dir(path); });
}

Status FaultyFileSystem::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  auto fault = record(FsOp::Rename, to, from);
  return guarded(fault, when_, [&] { return base_.rename(from, to); });
}

Status FaultyFileSystem::remove_file(const std::filesystem::path& path) {
  auto fault = record(FsOp::RemoveFile, path);
  return guarded(fault, when_, [&] { return base_.remove_file(path); });
}

Status FaultyFileSystem::remove_all(const std::filesystem::path& path) {
  auto fault = record(FsOp::RemoveAll, path);
  return guarded(fault, when_, [&] { return base_.remove_all(path); });
}

}  // namespace tessavine
