// A FileSystem in memory for crash tests. Beside what every file and directory
// holds now, it keeps what each held when it was last synced, and `crash`
// falls back to that, as a machine that loses power does: every write,
// creation, rename and removal that no sync made durable is lost. write_synced
// syncs a file's bytes; its name, like every change to a directory, is durable
// only once that directory is synced.
#pragma once

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/file_system.h"

namespace tessavine::testing {

class CrashFileSystem final : public FileSystem {
  using path = std::filesystem::path;

 public:
  // Operations performed so far.
  std::size_t operations() const { return count_; }
  // The operation numbered `n` (from 0) and every later one fail without
  // effect, as if the process had died just before it.
  void die_at(std::size_t n) { die_at_ = n; }

  // Power comes back: what was not synced is gone; operations work again.
  void crash() {
    die_at_.reset();
    walk(true, [](Node& n) { n.entries = n.synced_entries, n.data = n.synced_data; });
  }
  // Makes everything durable, as a set-up that synced every directory would.
  void sync_all() {
    walk(false, [](Node& n) { n.synced_entries = n.entries, n.synced_data = n.data; });
  }
  // Writes the tree at `from`, if any, out to `to` on the real file system.
  void copy_out(const path& from, const path& to) const {
    auto found = find(from);
    if (!found) return;
    const NodePtr node = *found;
    if (!node->dir) std::ofstream(to, std::ios::binary) << node->data;
    if (node->dir) std::filesystem::create_directories(to);
    for (const auto& [name, child] : node->entries) copy_out(from / name, to / name);
  }

  Status create_directories(const path& p) override {
    if (auto s = step(p); !s) return s;
    NodePtr node = root_;
    for (const auto& part : p.relative_path()) {
      NodePtr& slot = node->entries[part.string()];
      if (!slot) node->synced_entries[part] = slot = std::make_shared<Node>(true);  // synced, as POSIX's
      if (!slot->dir) return fail(Error::io(p, EEXIST));
      node = slot;
    }
    return {};
  }
  Status create_dir(const path& p) override {
    if (auto s = step(p); !s) return s;
    auto dir = parent(p);
    if (!dir) return fail(std::move(dir).error());
    if ((*dir)->entries.contains(p.filename())) return fail(Error::io(p, EEXIST));
    (*dir)->entries[p.filename()] = std::make_shared<Node>(true);
    return {};
  }
  Result<std::string> read_file(const path& p) override {
    auto node = stepped_find(p);
    if (!node) return fail(std::move(node).error());
    if ((*node)->dir) return fail(Error::io(p, EISDIR));
    return (*node)->data;
  }
  Result<std::vector<std::string>> list_dir(const path& p) override {
    auto node = stepped_find(p);
    if (!node) return fail(std::move(node).error());
    if (!(*node)->dir) return fail(Error::io(p, ENOTDIR));
    std::vector<std::string> names;
    for (const auto& entry : (*node)->entries) names.push_back(entry.first);
    return names;
  }
  Result<FileType> stat(const path& p) override {
    auto node = stepped_find(p);
    if (!node) return fail(std::move(node).error());
    return (*node)->dir ? FileType::Directory : FileType::Regular;
  }
  Status write_synced(const path& p, std::span<const std::byte> bytes) override {
    if (auto s = step(p); !s) return s;
    auto dir = parent(p);
    if (!dir) return fail(std::move(dir).error());
    NodePtr& file = (*dir)->entries[p.filename()];
    if (!file) file = std::make_shared<Node>();
    if (file->dir) return fail(Error::io(p, EISDIR));
    file->data.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    file->synced_data = file->data;
    return {};
  }
  Status sync_dir(const path& p) override {
    auto node = stepped_find(p);
    if (!node) return fail(std::move(node).error());
    (*node)->synced_entries = (*node)->entries;
    return {};
  }
  Status rename(const path& from, const path& to) override {
    if (auto s = step(to); !s) return s;
    auto node = find(from);
    auto dir = parent(to);
    if (!node || !dir) return fail(Error::io(to, ENOENT));
    NodePtr& slot = (*dir)->entries[to.filename()];
    if (slot == *node) return {};
    if (slot && slot->dir != (*node)->dir) return fail(Error::io(to, slot->dir ? EISDIR : ENOTDIR));
    if (slot && !slot->entries.empty()) return fail(Error::io(to, ENOTEMPTY));
    slot = *node;
    (*parent(from))->entries.erase(from.filename());
    return {};
  }
  Status remove_file(const path& p) override {
    auto node = stepped_find(p);
    if (!node) return fail(std::move(node).error());
    if ((*node)->dir) return fail(Error::io(p, EISDIR));
    (*parent(p))->entries.erase(p.filename());
    return {};
  }
  Status remove_all(const path& p) override {
    if (auto s = step(p); !s) return s;
    if (auto dir = parent(p)) (*dir)->entries.erase(p.filename());  // a missing path is fine
    return {};
  }
  Result<DirLock> lock_dir(const path& p) override {
    auto node = stepped_find(p);
    if (!node) return fail(std::move(node).error());
    return DirLock();
  }

 private:
  struct Node;
  using NodePtr = std::shared_ptr<Node>;
  struct Node {
    explicit Node(bool is_dir = false) : dir(is_dir) {}
    bool dir;
    std::string data, synced_data;
    std::map<path, NodePtr> entries, synced_entries;
  };

  // Counts an operation; a dead process's operations fail with EIO.
  Status step(const path& p) {
    if (die_at_ && count_ >= *die_at_) return fail(Error::io(p, EIO));
    ++count_;
    return {};
  }
  // The node at `p`; errors name `p`.
  Result<NodePtr> find(const path& p) const {
    NodePtr node = root_;
    for (const auto& part : p.relative_path()) {
      if (!node->dir) return fail(Error::io(p, ENOTDIR));
      const auto it = node->entries.find(part);
      if (it == node->entries.end()) return fail(Error::io(p, ENOENT));
      node = it->second;
    }
    return node;
  }
  Result<NodePtr> stepped_find(const path& p) {
    if (auto s = step(p); !s) return fail(std::move(s).error());
    return find(p);
  }
  // The directory that holds the last component of `p`; errors name `p`.
  Result<NodePtr> parent(const path& p) const {
    auto dir = find(p.parent_path());
    if (!dir) return fail(Error::io(p, dir.error().os_error()));
    if (!(*dir)->dir) return fail(Error::io(p, ENOTDIR));
    return dir;
  }
  // Calls `visit` on every node reachable from the root, over the synced
  // entries when `durable`, else over the present ones.
  template <class Visit>
  void walk(bool durable, Visit visit) {
    std::set<Node*> seen;
    std::vector<Node*> todo = {root_.get()};
    while (!todo.empty()) {
      Node* node = todo.back();
      todo.pop_back();
      if (!seen.insert(node).second) continue;
      for (auto& entry : durable ? node->synced_entries : node->entries) todo.push_back(entry.second.get());
      visit(*node);
    }
  }

  NodePtr root_ = std::make_shared<Node>(true);
  std::size_t count_ = 0;
  std::optional<std::size_t> die_at_;
};

}  // namespace tessavine::testing
