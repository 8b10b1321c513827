// A FileSystem for tests that forwards to another, records every call, and
// fails exactly one chosen call with an Io error on the path that call names.
#pragma once

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "storage/file_system.h"

namespace tessavine::testing {

// The operations of FileSystem, named for fault injection and traces.
enum class FsOp {
  CreateDirectories,
  CreateDir,
  ReadFile,
  ListDir,
  Stat,
  WriteSynced,
  SyncDir,
  Rename,
  RemoveFile,
  RemoveAll,
  LockDir,
};

std::string_view fs_op_name(FsOp op);

class FaultyFileSystem final : public FileSystem {
 public:
  struct Call {
    FsOp op;
    std::filesystem::path path;  // for rename: the destination
    std::filesystem::path from;  // for rename: the source
  };

  // Before: the call fails without taking effect (a write_synced leaves the
  // first half of its bytes behind, as a write that fails midway does).
  // After: the call takes effect and then reports failure, as a sync that
  // fails after the data was written or a rename whose reply got lost would.
  enum class When { Before, After };

  explicit FaultyFileSystem(FileSystem& base = posix_file_system()) : base_(base) {}

  // Fails the call whose 0-based index among all calls is `index`.
  void fail_call(std::size_t index, When when = When::Before, int os_error = EIO);
  // Fails the first call of kind `op` on `path`.
  void fail_first(FsOp op, std::filesystem::path path, When when = When::Before,
                  int os_error = EIO);

  const std::vector<Call>& calls() const { return calls_; }
  // Whether the chosen fault has been injected.
  bool fired() const { return fired_; }

  Status create_directories(const std::filesystem::path& path) override;
  Status create_dir(const std::filesystem::path& path) override;
  Result<std::string> read_file(const std::filesystem::path& path) override;
  Result<std::vector<std::string>> list_dir(const std::filesystem::path& path) override;
  Result<FileType> stat(const std::filesystem::path& path) override;
  Status write_synced(const std::filesystem::path& path, std::span<const std::byte> bytes) override;
  Status sync_dir(const std::filesystem::path& path) override;
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status remove_file(const std::filesystem::path& path) override;
  Status remove_all(const std::filesystem::path& path) override;
  Result<DirLock> lock_dir(const std::filesystem::path& path) override;

 private:
  // Records the call; returns the error to inject when it is the chosen one.
  std::optional<Error> record(FsOp op, const std::filesystem::path& path,
                              const std::filesystem::path& from = {});

  FileSystem& base_;
  std::vector<Call> calls_;
  std::optional<std::size_t> fail_index_;
  std::optional<FsOp> fail_op_;
  std::filesystem::path fail_path_;
  When when_ = When::Before;
  int os_error_ = EIO;
  bool fired_ = false;
};

}  // namespace tessavine::testing
