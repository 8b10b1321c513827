// A FileSystem in memory that also keeps what each file and directory held when last synced;
// `crash` falls back to that, as after a power loss: what no sync made durable is lost.
// write_synced syncs a file's bytes (write_unsynced leaves them to sync_file); its name, like
// every change to a directory, is durable only once that directory is synced. A dying process
// is a FaultyFileSystem over it (die_at).
#pragma once

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/file_system.h"

namespace tessavine::testing {

class CrashFileSystem final : public FileSystem {
  using path = std::filesystem::path;

 public:
  // Power comes back: what was not synced is gone.
  void crash() { walk(*root_, true, [](Node& n) { n.entries = n.synced_entries, n.data = n.synced_data; }); }
  // Makes everything durable, as a set-up that synced every directory would.
  void sync_all() { walk(*root_, false, [](Node& n) { n.synced_entries = n.entries, n.synced_data = n.data; }); }
  void copy_out(const path& from, const path& to) const {
    const NodePtr node = at(from);
    if (!node) return;
    if (node->dir) std::filesystem::create_directories(to);
    else std::ofstream(to, std::ios::binary) << node->data;
    for (const auto& [name, child] : node->entries) copy_out(from / name, to / name);
  }

  Status create_directories(const path& p) override {
    NodePtr node = root_;
    for (const auto& part : p.relative_path()) {
      NodePtr& slot = node->entries[part];
      if (!slot) node->synced_entries[part] = slot = std::make_shared<Node>(true);  // synced, as POSIX's
      node = slot;
    }
    return {};
  }
  Status create_dir(const path& p) override { return put(p, std::make_shared<Node>(true)); }
  Result<std::string> read_file(const path& p) override {
    if (const NodePtr node = at(p)) return node->data;
    return missing(p);
  }
  Result<std::vector<std::string>> list_dir(const path& p) override {
    const NodePtr node = at(p);
    if (!node) return missing(p);
    std::vector<std::string> names;
    for (const auto& entry : node->entries) names.push_back(entry.first);
    return names;
  }
  Result<FileType> stat(const path& p) override {
    if (const NodePtr node = at(p)) return node->dir ? FileType::Directory : FileType::Regular;
    return missing(p);
  }
  Status write_synced(const path& p, std::span<const std::byte> bytes) override {
    const NodePtr dir = at(p.parent_path());
    if (!dir) return missing(p);
    NodePtr& file = dir->entries[p.filename()];
    if (!file) file = std::make_shared<Node>();
    file->synced_data = file->data = std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return {};
  }
  Status write_unsynced(const path& p, std::span<const std::byte> bytes,
                        const WriteProgress& written) override {
    const NodePtr dir = at(p.parent_path());
    if (!dir) return missing(p);
    NodePtr& file = dir->entries[p.filename()];
    if (!file) file = std::make_shared<Node>();
    file->data = std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (written) written(bytes.size());
    return {};
  }
  Status sync_file(const path& p) override {
    const NodePtr file = at(p);
    if (!file) return missing(p);
    file->synced_data = file->data;
    return {};
  }
  Status sync_dir(const path& p) override {
    const NodePtr node = at(p);
    if (!node) return missing(p);
    node->synced_entries = node->entries;
    return {};
  }
  Status rename(const path& from, const path& to) override {
    const NodePtr node = at(from);
    if (!node) return missing(from);
    if (auto r = put(to, node); !r) return r;
    at(from.parent_path())->entries.erase(from.filename());
    return {};
  }
  Status remove_file(const path& p) override { return remove_all(p); }
  Status remove_all(const path& p) override {
    if (const NodePtr dir = at(p.parent_path())) dir->entries.erase(p.filename());  // a missing path is fine
    return {};
  }
  Result<DirLock> lock_dir(const path&) override { return DirLock(); }

 private:
  struct Node;
  using NodePtr = std::shared_ptr<Node>;
  struct Node {
    bool dir = false;
    std::string data, synced_data;
    std::map<path, NodePtr> entries, synced_entries;
  };

  static std::unexpected<Error> missing(const path& p) { return fail(Error::io(p, ENOENT)); }
  // The node at `p`, or null.
  NodePtr at(const path& p) const {
    NodePtr node = root_;
    for (const auto& part : p.relative_path()) {
      const auto it = node->entries.find(part);
      if (it == node->entries.end()) return nullptr;
      node = it->second;
    }
    return node;
  }
  // Names `node` `p`, in place of what had that name.
  Status put(const path& p, NodePtr node) {
    const NodePtr dir = at(p.parent_path());
    if (!dir) return missing(p);
    dir->entries[p.filename()] = std::move(node);
    return {};
  }
  // Calls `visit` on every node below `n`, over the synced entries when `durable`.
  template <class Visit>
  static void walk(Node& n, bool durable, Visit visit) {
    for (auto& entry : durable ? n.synced_entries : n.entries) walk(*entry.second, durable, visit);
    visit(n);
  }

  NodePtr root_ = std::make_shared<Node>(true);
};

}  // namespace tessavine::testing
