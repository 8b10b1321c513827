#include "crash_file_system.h"

#include <cerrno>
#include <fstream>
#include <set>
#include <vector>

namespace tessavine::testing {

namespace fs = std::filesystem;

void CrashFileSystem::walk(bool durable, const std::function<void(Node&)>& visit) {
  std::set<Node*> seen;
  std::vector<Node*> todo = {root_.get()};
  while (!todo.empty()) {
    Node* node = todo.back();
    todo.pop_back();
    if (!seen.insert(node).second) continue;
    for (auto& [name, child] : durable ? node->synced_entries : node->entries) todo.push_back(child.get());
    visit(*node);
  }
}

void CrashFileSystem::crash() {
  die_at_.reset();
  walk(true, [](Node& n) {
    n.entries = n.synced_entries;
    n.data = n.synced_data;
  });
}

void CrashFileSystem::sync_all() {
  walk(false, [](Node& n) {
    n.synced_entries = n.entries;
    n.synced_data = n.data;
  });
}

void CrashFileSystem::copy_out(const fs::path& path, const fs::path& dest) const {
  const NodePtr node = find(path).value();
  if (!node->dir) {
    std::ofstream(dest, std::ios::binary) << node->data;
    return;
  }
  fs::create_directories(dest);
  for (const auto& [name, child] : node->entries) copy_out(path / name, dest / name);
}

Status CrashFileSystem::step(const fs::path& path) {
  if (die_at_ && count_ >= *die_at_) return fail(Error::io(path, EIO));
  ++count_;
  return {};
}

Result<CrashFileSystem::NodePtr> CrashFileSystem::find(const fs::path& path) const {
  NodePtr node = root_;
  for (const auto& part : path.relative_path()) {
    if (part.empty()) continue;
    if (!node->dir) return fail(Error::io(path, ENOTDIR));
    const auto it = node->entries.find(part.string());
    if (it == node->entries.end()) return fail(Error::io(path, ENOENT));
    node = it->second;
  }
  return node;
}

Result<CrashFileSystem::NodePtr> CrashFileSystem::parent_of(const fs::path& path) const {
  auto parent = find(path.parent_path());
  if (!parent) return fail(Error::io(path, parent.error().os_error()));
  if (!(*parent)->dir) return fail(Error::io(path, ENOTDIR));
  return parent;
}

Status CrashFileSystem::create_directories(const fs::path& path) {
  if (auto s = step(path); !s) return s;
  NodePtr node = root_;
  for (const auto& part : path.relative_path()) {
    if (part.empty()) continue;
    NodePtr& slot = node->entries[part.string()];
    if (!slot) slot = std::make_shared<Node>(true);
    if (!slot->dir) return fail(Error::io(path, EEXIST));
    node = slot;
  }
  return {};
}

Status CrashFileSystem::create_dir(const fs::path& path) {
  if (auto s = step(path); !s) return s;
  auto parent = parent_of(path);
  if (!parent) return fail(std::move(parent).error());
  NodePtr& slot = (*parent)->entries[path.filename().string()];
  if (slot) return fail(Error::io(path, EEXIST));
  slot = std::make_shared<Node>(true);
  return {};
}

Result<std::string> CrashFileSystem::read_file(const fs::path& path) {
  if (auto s = step(path); !s) return fail(std::move(s).error());
  auto node = find(path);
  if (!node) return fail(std::move(node).error());
  if ((*node)->dir) return fail(Error::io(path, EISDIR));
  return (*node)->data;
}

Result<std::vector<std::string>> CrashFileSystem::list_dir(const fs::path& path) {
  if (auto s = step(path); !s) return fail(std::move(s).error());
  auto node = find(path);
  if (!node) return fail(std::move(node).error());
  if (!(*node)->dir) return fail(Error::io(path, ENOTDIR));
  std::vector<std::string> names;
  for (const auto& [name, child] : (*node)->entries) names.push_back(name);
  return names;
}

Result<FileType> CrashFileSystem::stat(const fs::path& path) {
  if (auto s = step(path); !s) return fail(std::move(s).error());
  auto node = find(path);
  if (!node) return fail(std::move(node).error());
  return (*node)->dir ? FileType::Directory : FileType::Regular;
}

Status CrashFileSystem::write_synced(const fs::path& path, std::span<const std::byte> bytes) {
  if (auto s = step(path); !s) return s;
  auto parent = parent_of(path);
  if (!parent) return fail(std::move(parent).error());
  NodePtr& slot = (*parent)->entries[path.filename().string()];
  if (!slot) slot = std::make_shared<Node>();
  if (slot->dir) return fail(Error::io(path, EISDIR));
  slot->data.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  slot->synced_data = slot->data;
  return {};
}

Status CrashFileSystem::sync_dir(const fs::path& path) {
  if (auto s = step(path); !s) return s;
  auto node = find(path);
  if (!node) return fail(std::move(node).error());
  (*node)->synced_entries = (*node)->entries;
  return {};
}

Status CrashFileSystem::rename(const fs::path& from, const fs::path& to) {
  if (auto s = step(to); !s) return s;
  auto from_parent = parent_of(from);
  auto to_parent = parent_of(to);
  if (!from_parent || !to_parent) return fail(Error::io(to, ENOENT));
  const auto it = (*from_parent)->entries.find(from.filename().string());
  if (it == (*from_parent)->entries.end()) return fail(Error::io(to, ENOENT));
  const NodePtr node = it->second;
  NodePtr& slot = (*to_parent)->entries[to.filename().string()];
  if (slot == node) return {};
  if (slot && slot->dir != node->dir) return fail(Error::io(to, node->dir ? ENOTDIR : EISDIR));
  if (slot && slot->dir && !slot->entries.empty()) return fail(Error::io(to, ENOTEMPTY));
  slot = node;
  (*from_parent)->entries.erase(from.filename().string());
  return {};
}

Status CrashFileSystem::remove_file(const fs::path& path) {
  if (auto s = step(path); !s) return s;
  auto node = find(path);
  if (!node) return fail(std::move(node).error());
  if ((*node)->dir) return fail(Error::io(path, EISDIR));
  (*parent_of(path))->entries.erase(path.filename().string());
  return {};
}

Status CrashFileSystem::remove_all(const fs::path& path) {
  if (auto s = step(path); !s) return s;
  // Like the POSIX removal, a missing path is not an error.
  if (auto parent = parent_of(path)) (*parent)->entries.erase(path.filename().string());
  return {};
}

Result<DirLock> CrashFileSystem::lock_dir(const fs::path& path) {
  if (auto s = step(path); !s) return fail(std::move(s).error());
  auto node = find(path);
  if (!node) return fail(std::move(node).error());
  return DirLock();
}

}  // namespace tessavine::testing
