// The vectors file: every chunk's embedding in quantised form only (binary
// code, ternary mask, int8 codes and scale), in four contiguous sections so
// that search scans codes in place from the mapped file. Also the search-time
// choice of which forms to use (VectorMode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/bin_format.h"
#include "storage/mapped_buffer.h"
#include "storage/storage.h"

namespace tessavine {

// Which stored forms vector search uses. Never stored in a file.
class VectorMode {
 public:
  enum Kind : std::uint8_t { Int8, Binary, BinaryInt8, TernaryInt8 };

  // The default mode is ternary+int8.
  constexpr VectorMode() = default;
  // Implicit: `VectorMode mode = VectorMode::Binary;`.
  constexpr VectorMode(Kind kind) : kind_(kind) {}

  // Exactly "int8", "binary", "binary+int8" or "ternary+int8": no trimming,
  // no case folding. Anything else is an InvalidArgument error.
  static Result<VectorMode> from_str(std::string_view text);

  constexpr Kind kind() const { return kind_; }
  // The mode's text, as from_str accepts it.
  std::string_view name() const;

  friend constexpr bool operator==(VectorMode, VectorMode) = default;

 private:
  Kind kind_ = TernaryInt8;
};

// Collects and quantises vectors of one dimension and produces the file image.
class VectorBuilder {
 public:
  // `dim` must be at least 1: a keyword-only index has no vectors file.
  explicit VectorBuilder(std::size_t dim) : dim_(dim) {}
  VectorBuilder(VectorBuilder&&) noexcept = default;
  VectorBuilder& operator=(VectorBuilder&&) noexcept = default;
  VectorBuilder(const VectorBuilder&) = delete;
  VectorBuilder& operator=(const VectorBuilder&) = delete;

  // Stores the quantised forms of `vector` and returns its number (the count
  // before the call). Checks the length, then finiteness, then the count
  // limit; a failed call leaves the builder as it was.
  Result<std::uint32_t> add(std::span<const float> vector);

  // The size of the image finish will make, after the limits finish checks,
  // in its order: a builder that passes here finishes without failing.
  Result<std::uint64_t> image_size() const;
  // The complete file image. Consumes the builder, also on failure.
  Result<std::vector<std::byte>> finish() &&;
  // The same image, written into `reuse` (emptied first), whose memory then
  // serves again instead of fresh pages.
  Result<MappedBuffer> finish_mapped(MappedBuffer reuse = {}) &&;

  std::size_t dim() const { return dim_; }
  std::size_t size() const { return count_; }

 private:
  // The four sections as they grow, each ready to be copied into the image.
  MappedBuffer binary_codes_;
  MappedBuffer masks_;
  MappedBuffer scales_;  // little-endian 32-bit floats
  MappedBuffer int8_codes_;
  std::size_t count_ = 0;
  std::size_t dim_;
};

// A validated vectors file, read in place. Immutable; safe to share between
// threads. Per-vector accessors take a vector number below count().
class Vectors {
 public:
  // Checks the header and that the length is exactly what the counts imply.
  // The storage is released on failure.
  static Result<Vectors> from_bytes(Storage storage);

  std::size_t count() const { return count_; }
  std::size_t dim() const { return dim_; }
  // Bytes of one binary code or mask: ceil(dim / 8).
  std::size_t code_bytes() const { return code_bytes_; }

  // Whole sections, count() × code_bytes() bytes each, vector after vector.
  std::span<const std::uint8_t> binary_codes() const { return {at(kCodesOffset), count_ * code_bytes_}; }
  std::span<const std::uint8_t> masks() const { return {at(masks_offset_), count_ * code_bytes_}; }

  std::span<const std::uint8_t> binary_code(std::size_t i) const {
    return {at(kCodesOffset + i * code_bytes_), code_bytes_};
  }
  std::span<const std::uint8_t> mask(std::size_t i) const {
    return {at(masks_offset_ + i * code_bytes_), code_bytes_};
  }
  float scale(std::size_t i) const { return read_f32_le(storage_.bytes(), scales_offset_ + 4 * i); }
  std::span<const std::int8_t> int8_codes(std::size_t i) const {
    return {reinterpret_cast<const std::int8_t*>(at(int8_offset_ + i * dim_)), dim_};
  }

  // Section offsets within the file.
  std::size_t masks_offset() const { return masks_offset_; }
  std::size_t scales_offset() const { return scales_offset_; }
  std::size_t int8_offset() const { return int8_offset_; }
  std::span<const std::byte> bytes() const { return storage_.bytes(); }

 private:
  static constexpr std::size_t kCodesOffset = 16;

  Vectors() = default;
  const std::uint8_t* at(std::size_t offset) const {
    return reinterpret_cast<const std::uint8_t*>(storage_.bytes().data()) + offset;
  }

  Storage storage_;
  std::size_t count_ = 0;
  std::size_t dim_ = 0;
  std::size_t code_bytes_ = 0;
  std::size_t masks_offset_ = 0;
  std::size_t scales_offset_ = 0;
  std::size_t int8_offset_ = 0;
};

}  // namespace tessavine
