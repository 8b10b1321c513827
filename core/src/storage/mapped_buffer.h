// A growable byte array in an anonymous mapping of its own, for the builders
// and the file images they make. Growing moves the mapping instead of copying
// the bytes (on Linux), so an old and a new array are never held at once, as
// they are while a std::vector grows; pages never written are never resident;
// and a buffer cleared for reuse keeps its pages, so the next image written
// into it costs no fresh memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace tessavine {

// The huge-page size this code asks for: a buffer of at least this many
// bytes is advised to use huge pages, and one mapped in whole huge pages is
// placed on their boundaries.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

class MappedBuffer {
 public:
  MappedBuffer() = default;
  MappedBuffer(MappedBuffer&& other) noexcept;
  MappedBuffer& operator=(MappedBuffer&& other) noexcept;
  MappedBuffer(const MappedBuffer&) = delete;
  MappedBuffer& operator=(const MappedBuffer&) = delete;
  ~MappedBuffer();

  std::size_t size() const { return size_; }
  std::byte* data() { return data_; }
  const std::byte* data() const { return data_; }
  std::span<const std::byte> bytes() const { return {data_, size_}; }

  // Room for `n` bytes in all. Throws std::bad_alloc, with the contents
  // unchanged, when the memory cannot be had; every append below does too.
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }
  // `n` more bytes at the front, left for the caller to fill; the contents
  // move up by n. On Linux their pages move instead of their bytes, so a
  // large buffer gains a header without being copied.
  std::byte* prepend(std::size_t n);
  // `n` more bytes at the end, left for the caller to fill.
  std::byte* extend(std::size_t n) {
    if (n > capacity_ - size_) grow(size_ + n);
    std::byte* at = data_ + size_;
    size_ += n;
    return at;
  }
  void append(std::span<const std::byte> bytes) {
    if (!bytes.empty()) std::memcpy(extend(bytes.size()), bytes.data(), bytes.size());
  }
  void append(std::string_view bytes) { append(std::as_bytes(std::span(bytes))); }
  // Little-endian, as in the index files.
  void put_u32(std::uint32_t v);
  void put_u64(std::uint64_t v);
  void put_f32(float v);
  // Zero bytes (at most three) until the size is a multiple of 4.
  void pad_to_4();

  // Empties the buffer but keeps its memory for the next contents.
  void clear() { size_ = 0; }
  // Hands back the memory of the whole huge pages among the contents' bytes
  // [from, to), for an image whose bytes have been written out. The bytes in
  // those pages then read as zero; the size stays.
  void discard(std::size_t from, std::size_t to) noexcept;
  // Hands the pages past the contents, or past room for `keep_room` bytes
  // if that is more, back to the system.
  void release_unused(std::size_t keep_room = 0) noexcept;

 private:
  void grow(std::size_t at_least);
  void unmap() noexcept;

  std::byte* base_ = nullptr;  // the mapping
  std::size_t mapped_ = 0;     // its length, a multiple of the page size
  std::byte* data_ = nullptr;  // the contents, from some offset into the mapping to its end
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tessavine
