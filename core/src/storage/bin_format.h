// The common 16-byte header of the binary index files, the buffer every
// builder assembles its file in, and the little-endian reads the file readers
// use on untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"

namespace tessavine {

// Four ASCII bytes in file order, compared as one little-endian u32.
constexpr std::uint32_t magic_of(const char (&tag)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(tag[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[3])) << 24;
}

inline constexpr std::uint32_t kDocsMagic = magic_of("TVDS");
inline constexpr std::uint32_t kBm25Magic = magic_of("TVBM");
inline constexpr std::uint32_t kVectorsMagic = magic_of("TVVC");

inline constexpr std::uint16_t kDocsVersion = 1;
inline constexpr std::uint16_t kBm25Version = 1;
inline constexpr std::uint16_t kVectorsVersion = 2;

inline constexpr std::size_t kHeaderSize = 16;

struct FileHeader {
  std::uint32_t magic = 0;
  std::uint16_t version = 0;
  std::uint16_t reserved = 0;
  std::uint32_t count_a = 0;
  std::uint32_t count_b = 0;
};

// Little-endian reads at a byte offset. The caller has checked that
// offset + width <= bytes.size(); memcpy keeps unaligned reads defined.
inline std::uint16_t read_u16_le(std::span<const std::byte> bytes, std::size_t offset) {
  unsigned char b[2];
  std::memcpy(b, bytes.data() + offset, 2);
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

inline std::uint32_t read_u32_le(std::span<const std::byte> bytes, std::size_t offset) {
  unsigned char b[4];
  std::memcpy(b, bytes.data() + offset, 4);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

inline std::uint64_t read_u64_le(std::span<const std::byte> bytes, std::size_t offset) {
  return static_cast<std::uint64_t>(read_u32_le(bytes, offset)) |
         static_cast<std::uint64_t>(read_u32_le(bytes, offset + 4)) << 32;
}

inline float read_f32_le(std::span<const std::byte> bytes, std::size_t offset) {
  const std::uint32_t bits = read_u32_le(bytes, offset);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Checks length, magic and version, in that order, and returns (count A,
// count B). The reserved field is ignored and the counts are not compared
// with the length: each file reader does that for its own layout.
Result<std::pair<std::uint32_t, std::uint32_t>> read_header(std::span<const std::byte> bytes,
                                                            std::uint32_t magic,
                                                            std::uint16_t version,
                                                            std::string_view name);

// A growable file image that always starts with a FileHeader.
class Writer {
 public:
  static Writer with_header(std::uint32_t magic, std::uint16_t version, std::uint32_t count_a,
                            std::uint32_t count_b);

  void put_u32(std::uint32_t v);
  void put_u64(std::uint64_t v);
  void put_f32(float v);
  void put_bytes(std::span<const std::byte> bytes);
  void put_bytes(std::string_view bytes);
  // Zero bytes (at most three) until the length is a multiple of 4.
  void pad_to_4();

  std::size_t size() const { return buf_.size(); }
  // Reserves room for `n` more bytes; the caller knows the final size.
  void reserve_more(std::size_t n) { buf_.reserve(buf_.size() + n); }
  std::vector<std::byte> into_bytes() && { return std::move(buf_); }

 private:
  Writer() = default;
  std::vector<std::byte> buf_;
};

}  // namespace tessavine
