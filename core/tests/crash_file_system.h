// A FileSystem in memory for crash tests. Beside what every file and directory
// holds now, it keeps what each held when it was last synced, and `crash`
// falls back to that, as a machine that loses power does: every write,
// creation, rename and removal that no sync made durable is lost. write_synced
// syncs a file's bytes; its name, like every change to a directory, is durable
// only once that directory is synced. A process that dies mid-way is a
// FaultyFileSystem over it that dies (die_at).
#pragma once

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/file_system.h"

namespace tessavine::testing {

class CrashFileSystem final : public FileSystem {
  using path = std::filesystem::path;

 public:
  // Power comes back: what was not synced is gone.
  void crash() {
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
    auto dir = parent(p);
    if (!dir) return fail(std::move(dir).error());
    if ((*dir)->entries.contains(p.filename())) return fail(Error::io(p, EEXIST));
    (*dir)->entries[p.filename()] = std::make_shared<Node>(true);
    return {};
  }
  Result<std::string> read_file(const path& p) override {
    auto node = find(p);
    if (!node) return fail(std::move(node).error());
    if ((*node)->dir) return fail(Error::io(p, EISDIR));
    return (*node)->data;
  }
  Result<std::vector<std::string>> list_dir(const path& p) override {
    auto node = find(p);
    if (!node) return fail(std::move(node).error());
    if (!(*node)->dir) return fail(Error::io(p, ENOTDIR));
    std::vector<std::string> names;
    for (const auto& entry : (*node)->entries) names.push_back(entry.first);
    return names;
  }
  Result<FileType> stat(const path& p) override {
    auto node = find(p);
    if (!node) return fail(std::move(node).error());
    return (*node)->dir ? FileType::Directory : FileType::Regular;
  }
  Status write_synced(const path& p, std::span<const std::byte> bytes) override {
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
    auto node = find(p);
    if (!node) return fail(std::move(node).error());
    (*node)->synced_entries = (*node)->entries;
    return {};
  }
  Status rename(const path& from, const path& to) override {
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
    auto node = find(p);
    if (!node) return fail(std::move(node).error());
    if ((*node)->dir) return fail(Error::io(p, EISDIR));
    (*parent(p))->entries.erase(p.filename());
    return {};
  }
  Status remove_all(const path& p) override {
    if (auto dir = parent(p)) (*dir)->entries.erase(p.filename());  // a missing path is fine
    return {};
  }
  Result<DirLock> lock_dir(const path& p) override {
    auto node = find(p);
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
};

}  // namespace tessavine::testing
