#include "faulty_file_system.h"

#include <utility>

namespace tessavine::testing {
namespace {

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
    case FsOp::LockDir: return "lock_dir";
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

Result<DirLock> FaultyFileSystem::lock_dir(const std::filesystem::path& path) {
  auto fault = record(FsOp::LockDir, path);
  return guarded(fault, when_, [&] { return base_.lock_dir(path); });
}

}  // namespace tessavine::testing
