// A FileSystem in memory for crash tests. Beside what every file and directory
// holds now, it keeps what each held when it was last synced, and `crash`
// falls back to that, as a machine that loses power does: every write,
// creation, rename and removal that no sync made durable is lost. write_synced
// syncs a file's bytes; its name, like every change to a directory, is durable
// only once that directory is synced.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "storage/file_system.h"

namespace tessavine::testing {

class CrashFileSystem final : public FileSystem {
 public:
  // Operations performed so far, counting from 0.
  std::size_t operations() const { return count_; }
  // The operation numbered `n` and every later one fail without effect, as
  // if the process had died just before it.
  void die_at(std::size_t n) { die_at_ = n; }
  // Power comes back: what was not synced is gone; operations work again.
  void crash();
  // Makes everything durable, as a set-up that synced every directory would.
  void sync_all();
  // Writes the tree at `path` out to `dest` on the real file system.
  void copy_out(const std::filesystem::path& path, const std::filesystem::path& dest) const;

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
  struct Node;
  using NodePtr = std::shared_ptr<Node>;
  struct Node {
    explicit Node(bool is_dir = false) : dir(is_dir) {}
    bool dir;
    std::string data, synced_data;
    std::map<std::string, NodePtr> entries, synced_entries;
  };

  // Counts an operation; a dead process's operations fail with EIO.
  Status step(const std::filesystem::path& path);
  // The node at `path`; errors name `path`.
  Result<NodePtr> find(const std::filesystem::path& path) const;
  // The directory that holds the last component of `path`; errors name `path`.
  Result<NodePtr> parent_of(const std::filesystem::path& path) const;
  // Calls `visit` on every node reachable from the root, over the synced
  // entries when `durable`, else over the present ones.
  void walk(bool durable, const std::function<void(Node&)>& visit);

  NodePtr root_ = std::make_shared<Node>(true);
  std::size_t count_ = 0;
  std::optional<std::size_t> die_at_;
};

}  // namespace tessavine::testing
