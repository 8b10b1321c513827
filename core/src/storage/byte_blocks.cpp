#include "storage/byte_blocks.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

namespace tessavine {

ByteBlocks::ByteBlocks(ByteBlocks&& other) noexcept
    : blocks_(std::move(other.blocks_)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      size_(std::exchange(other.size_, 0)) {
  other.blocks_.clear();
}

ByteBlocks& ByteBlocks::operator=(ByteBlocks&& other) noexcept {
  if (this != &other) {
    clear();
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    cursor_ = std::exchange(other.cursor_, nullptr);
    end_ = std::exchange(other.end_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void ByteBlocks::append(std::string_view bytes) {
  reserve(bytes.size());
  if (!bytes.empty()) std::memcpy(cursor_, bytes.data(), bytes.size());
  cursor_ += bytes.size();
  size_ += bytes.size();
}

void ByteBlocks::start_block(std::size_t at_least) {
  // Anonymous mappings rather than the allocator: their pages go back to the
  // system the moment a block is released, and pages never written are never
  // resident.
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::size_t capacity = kBlockSize;
  if (at_least > capacity) {
    if (at_least > SIZE_MAX - page) throw std::bad_alloc();
    capacity = (at_least + page - 1) / page * page;
  }
  blocks_.reserve(blocks_.size() + 1);  // before mapping, so nothing leaks on a throw
  void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (!blocks_.empty()) blocks_.back().used = static_cast<std::size_t>(cursor_ - blocks_.back().data);
  auto* data = static_cast<std::byte*>(p);
  blocks_.push_back({data, capacity, 0});
  cursor_ = data;
  end_ = data + capacity;
}

void ByteBlocks::release(Block& b) noexcept {
  if (b.data != nullptr) ::munmap(b.data, b.capacity);
  b.data = nullptr;
}

void ByteBlocks::clear() noexcept {
  for (Block& b : blocks_) release(b);
  blocks_.clear();
  cursor_ = end_ = nullptr;
  size_ = 0;
}

}  // namespace tessavine
