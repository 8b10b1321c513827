#include "storage/mapped_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <utility>

namespace tessavine {
namespace {

std::size_t page_size() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

std::size_t whole_pages(std::size_t n) {
  const std::size_t page = page_size();
  if (n > SIZE_MAX - page) throw std::bad_alloc();
  return (n + page - 1) / page * page;
}

std::byte* map_anonymous(std::size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::byte*>(p);
}

}  // namespace

MappedBuffer::MappedBuffer(MappedBuffer&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
  if (this != &other) {
    unmap();
    base_ = std::exchange(other.base_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

MappedBuffer::~MappedBuffer() { unmap(); }

void MappedBuffer::unmap() noexcept {
  if (base_ != nullptr) ::munmap(base_, mapped_);
  base_ = data_ = nullptr;
  mapped_ = size_ = capacity_ = 0;
}

void MappedBuffer::grow(std::size_t at_least) {
  // Doubling keeps the number of moves logarithmic; the unused end of the
  // mapping is never touched, so it costs address space only.
  const std::size_t front = static_cast<std::size_t>(data_ - base_);
  std::size_t want = std::max(at_least, capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_);
  want = std::max(want, 16 * page_size());
  if (want > SIZE_MAX - front) throw std::bad_alloc();
  const std::size_t length = whole_pages(front + want);
  std::byte* p = nullptr;
  if (base_ == nullptr) {
    p = map_anonymous(length);
  } else {
#ifdef MREMAP_MAYMOVE
    void* moved = ::mremap(base_, mapped_, length, MREMAP_MAYMOVE);
    if (moved != MAP_FAILED) p = static_cast<std::byte*>(moved);
#endif
    if (p == nullptr) {
      // Without a way to move a mapping, or for one in two parts after
      // prepend (which cannot move whole), the bytes are copied once.
      p = map_anonymous(length);
      std::memcpy(p + front, data_, size_);
      ::munmap(base_, mapped_);
    }
  }
  base_ = p;
  mapped_ = length;
  data_ = p + front;
  capacity_ = length - front;
}

std::byte* MappedBuffer::prepend(std::size_t n) {
  const std::size_t front = static_cast<std::size_t>(data_ - base_);
  if (n <= front) {
    data_ -= n;
  } else {
#if defined(MREMAP_MAYMOVE) && defined(MREMAP_FIXED)
    // A fresh mapping with whole pages of room in front, and the old pages
    // moved in behind that room.
    const std::size_t room = whole_pages(n - front);
    if (mapped_ > SIZE_MAX - room) throw std::bad_alloc();
    std::byte* p = map_anonymous(room + mapped_);
    if (base_ != nullptr &&
        ::mremap(base_, mapped_, mapped_, MREMAP_MAYMOVE | MREMAP_FIXED, p + room) == MAP_FAILED) {
      ::munmap(p, room + mapped_);
      throw std::bad_alloc();
    }
    base_ = p;
    mapped_ += room;
    data_ = p + room + front - n;
#else
    extend(n);
    std::memmove(data_ + n, data_, size_ - n);
    return data_;
#endif
  }
  size_ += n;
  capacity_ += n;
  return data_;
}

void MappedBuffer::put_u32(std::uint32_t v) {
  static_assert(std::endian::native == std::endian::little);
  std::memcpy(extend(4), &v, 4);
}

void MappedBuffer::put_u64(std::uint64_t v) { std::memcpy(extend(8), &v, 8); }

void MappedBuffer::put_f32(float v) { put_u32(std::bit_cast<std::uint32_t>(v)); }

void MappedBuffer::pad_to_4() {
  const std::size_t pad = (4 - size_ % 4) % 4;
  if (pad != 0) std::memset(extend(pad), 0, pad);
}

void MappedBuffer::release_unused(std::size_t keep_room) noexcept {
  if (base_ == nullptr) return;
  const std::size_t room = std::max(size_, keep_room);
  if (room == 0) {
    unmap();
    return;
  }
  const std::size_t front = static_cast<std::size_t>(data_ - base_);
  if (room > mapped_ - front) return;
  const std::size_t keep = whole_pages(front + room);
  // Unmapping the end of a mapping keeps its start in place.
  if (keep < mapped_ && ::munmap(base_ + keep, mapped_ - keep) == 0) {
    capacity_ -= mapped_ - keep;
    mapped_ = keep;
  }
}

}  // namespace tessavine
