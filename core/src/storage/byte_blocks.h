// An append-only byte store for the builders. Bytes go into large blocks
// mapped from the operating system one at a time, so growing never copies
// what is stored (a growing array holds its old and new copies at once), and
// the blocks are handed back one by one while the contents are copied into a
// file image, so that the two are never both held whole.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace tessavine {

class ByteBlocks {
 public:
  ByteBlocks() = default;
  ByteBlocks(ByteBlocks&& other) noexcept;
  ByteBlocks& operator=(ByteBlocks&& other) noexcept;
  ByteBlocks(const ByteBlocks&) = delete;
  ByteBlocks& operator=(const ByteBlocks&) = delete;
  ~ByteBlocks() { clear(); }

  // Total bytes appended.
  std::size_t size() const { return size_; }

  // Appends the bytes in one piece: a run never straddles two blocks, so a
  // reader of `drain` sees every appended run whole. Throws std::bad_alloc,
  // with nothing appended, when no block can be mapped.
  void append(std::string_view bytes);
  // Makes room so that an append of up to `n` bytes cannot fail: callers that
  // fill several stores for one item reserve in all of them first.
  void reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cursor_) < n) start_block(n);
  }

  // The stored bytes block by block, in order; each block is unmapped as soon
  // as `sink` has returned from it. The store is empty afterwards.
  template <class Sink>
  void drain(Sink&& sink) {
    if (!blocks_.empty()) blocks_.back().used = static_cast<std::size_t>(cursor_ - blocks_.back().data);
    for (Block& b : blocks_) {
      sink(std::span<const std::byte>(b.data, b.used));
      release(b);
    }
    blocks_.clear();
    cursor_ = end_ = nullptr;
    size_ = 0;
  }

  // Unmaps every block.
  void clear() noexcept;

  // Large enough that mapping calls are rare, small enough that the unused
  // end of a block (never touched, so never resident) stays cheap.
  static constexpr std::size_t kBlockSize = std::size_t{4} << 20;

 private:
  struct Block {
    std::byte* data;
    std::size_t capacity;
    std::size_t used;  // kept up to date for every block but the last
  };
  void start_block(std::size_t at_least);
  static void release(Block& b) noexcept;

  std::vector<Block> blocks_;
  std::byte* cursor_ = nullptr;  // next free byte of the last block
  std::byte* end_ = nullptr;     // end of the last block
  std::size_t size_ = 0;
};

}  // namespace tessavine
