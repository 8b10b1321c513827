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

}  // namespace

MappedBuffer::MappedBuffer(MappedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(data_, capacity_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

MappedBuffer::~MappedBuffer() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

void MappedBuffer::grow(std::size_t at_least) {
  const std::size_t page = page_size();
  // Doubling keeps the number of moves logarithmic; the unused end of the
  // mapping is never touched, so it costs address space only.
  std::size_t capacity = std::max<std::size_t>(at_least, capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_);
  capacity = std::max<std::size_t>(capacity, 16 * page);
  if (capacity > SIZE_MAX - page) throw std::bad_alloc();
  capacity = (capacity + page - 1) / page * page;
  void* p = MAP_FAILED;
  if (data_ == nullptr) {
    p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else {
#ifdef MREMAP_MAYMOVE
    p = ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
#else
    // Without a way to move a mapping, the bytes are copied once.
    p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      std::memcpy(p, data_, size_);
      ::munmap(data_, capacity_);
    }
#endif
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::byte*>(p);
  capacity_ = capacity;
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

void MappedBuffer::release_unused() noexcept {
  const std::size_t page = page_size();
  const std::size_t keep = (size_ + page - 1) / page * page;
  if (data_ == nullptr || keep >= capacity_) return;
  if (keep == 0) {
    ::munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
    return;
  }
  // Unmapping the end of a mapping keeps its start in place.
  if (::munmap(data_ + keep, capacity_ - keep) == 0) capacity_ = keep;
}

}  // namespace tessavine
