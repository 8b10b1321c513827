// A FileSystem for tests that forwards to another, records every call, and fails a chosen
// call with an Io error on its path, or, as a dying process would, that call and every later one.
#pragma once

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <vector>

#include "storage/file_system.h"

namespace tessavine::testing {

enum class FsOp {
  CreateDirectories, CreateDir, ReadFile, ListDir, Stat, WriteSynced, WriteUnsynced, SyncFile, SyncDir, Rename, RemoveFile, RemoveAll, LockDir,
};

class FaultyFileSystem final : public FileSystem {
  using Path = std::filesystem::path;

 public:
  struct Call { FsOp op; Path path; };  // for rename, the path is the destination

  // Before: the call fails without taking effect (a write leaves the
  // first half of its bytes behind, as a write that fails midway does).
  // After: the call takes effect and then reports failure, as a sync that
  // fails after the data was written or a rename whose reply got lost would.
  enum class When { Before, After };

  explicit FaultyFileSystem(FileSystem& base = posix_file_system()) : base_(base) {}

  void fail_call(std::size_t index, When when = When::Before, int os_error = EIO) {
    fail_index_ = index, when_ = when, os_error_ = os_error;
  }
  // The call numbered `index` and every later one fail without effect.
  void die_at(std::size_t index) { fail_index_ = index, dies_ = true; }

  const std::vector<Call>& calls() const { return calls_; }
  bool fired() const { return fired_; }

#define FORWARD(Type, name, Op) \
  Type name(const Path& p) override { return guarded(FsOp::Op, p, [&] { return base_.name(p); }); }
  FORWARD(Status, create_directories, CreateDirectories)
  FORWARD(Status, create_dir, CreateDir)
  FORWARD(Result<std::string>, read_file, ReadFile)
  FORWARD(Result<std::vector<std::string>>, list_dir, ListDir)
  FORWARD(Result<FileType>, stat, Stat)
  FORWARD(Status, sync_file, SyncFile)
  FORWARD(Status, sync_dir, SyncDir)
  FORWARD(Status, remove_file, RemoveFile)
  FORWARD(Status, remove_all, RemoveAll)
  FORWARD(Result<DirLock>, lock_dir, LockDir)
#undef FORWARD
  Status write_synced(const Path& p, std::span<const std::byte> bytes) override {
    return guarded(FsOp::WriteSynced, p, [&] { return base_.write_synced(p, bytes); },
                   [&] { (void)base_.write_synced(p, bytes.first(bytes.size() / 2)); });
  }
  Status write_unsynced(const Path& p, std::span<const std::byte> bytes,
                        const WriteProgress& written) override {
    return guarded(FsOp::WriteUnsynced, p, [&] { return base_.write_unsynced(p, bytes, written); },
                   [&] { (void)base_.write_unsynced(p, bytes.first(bytes.size() / 2), written); });
  }
  Status rename(const Path& from, const Path& to) override {
    return guarded(FsOp::Rename, to, [&] { return base_.rename(from, to); });
  }

 private:
  // Records the call and runs `op`, unless the call is to fail: then `partly` runs in its
  // place (Before) or the fault is reported after it (After).
  template <class Op, class Partly = void (*)()>
  auto guarded(FsOp kind, const Path& p, Op op, Partly partly = [] {}) -> decltype(op()) {
    const std::size_t index = calls_.size();
    calls_.push_back(Call{kind, p});
    if (dies_ ? index < fail_index_ : fired_ || index != fail_index_) return op();
    fired_ = true;
    if (dies_) return fail(Error::io(p, EIO));
    when_ == When::Before ? partly() : (void)op();
    return fail(Error::io(p, os_error_));
  }

  FileSystem& base_;
  std::vector<Call> calls_;
  std::size_t fail_index_ = std::numeric_limits<std::size_t>::max();
  bool dies_ = false;
  When when_ = When::Before;
  int os_error_ = EIO;
  bool fired_ = false;
};

}  // namespace tessavine::testing
