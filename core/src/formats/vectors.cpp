#include "formats/vectors.h"

#include <bit>
#include <cmath>
#include <string>

#include "storage/bin_format.h"
#include "base/escape.h"
#include "formats/quant.h"

namespace tessavine {
namespace {

constexpr std::string_view kModeNames[] = {"int8", "binary", "binary+int8", "ternary+int8"};
constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;

template <class T>
std::string_view chars(const std::vector<T>& items) {
  static_assert(sizeof(T) == 1);
  return {reinterpret_cast<const char*>(items.data()), items.size()};
}

std::uint64_t padded_to_4(std::uint64_t size) { return size + (4 - size % 4) % 4; }

// The file length that n vectors of dimension dim take, both below 2^32;
// false when the sum does not fit in 64 bits (a hostile header).
bool expected_file_size(std::uint64_t n, std::uint64_t dim, std::uint64_t& out) {
  // Each product is below 2^64 for 32-bit factors; only the sum can overflow.
  const std::uint64_t padded = padded_to_4(n * code_bytes_for(dim));
  const std::uint64_t parts[] = {padded, padded, 4 * n, n * dim};
  std::uint64_t total = kHeaderSize;
  for (const std::uint64_t part : parts) {
    if (__builtin_add_overflow(total, part, &total)) return false;
  }
  out = total;
  return true;
}

}  // namespace

Result<VectorMode> VectorMode::from_str(std::string_view text) {
  for (std::size_t i = 0; i < std::size(kModeNames); ++i) {
    if (text == kModeNames[i]) return VectorMode(static_cast<Kind>(i));
  }
  return fail(Error::invalid_argument("unknown vector mode " + quoted(text) +
                                      "; expected one of int8, binary, binary+int8, ternary+int8"));
}

std::string_view VectorMode::name() const { return kModeNames[kind_]; }

Result<std::uint32_t> VectorBuilder::add(std::span<const float> vector) {
  if (vector.size() != dim_) return fail(Error::dimension_mismatch(dim_, vector.size()));
  for (const float v : vector) {
    if (!std::isfinite(v)) return fail(Error::invalid_argument("vector contains NaN or infinity"));
  }
  const std::size_t number = count_;
  if (number > kMaxU32) return fail(exceeds_u32("vector count"));

  const std::vector<float> unit = normalize_unit(vector);
  const std::vector<std::uint8_t> code = quantize_binary(unit);
  const Int8Code int8 = quantize_int8(unit);
  // The mask is taken from the stored codes, not from the floats, so that it
  // describes what rescoring will see.
  const std::vector<float> code_values(int8.codes.begin(), int8.codes.end());
  const std::vector<std::uint8_t> mask = ternary_mask(code_values);

  // Room in all four sections first: the appends below cannot fail, so the
  // sections always describe the same vectors.
  binary_codes_.reserve(binary_codes_.size() + code.size());
  masks_.reserve(masks_.size() + mask.size());
  scales_.reserve(scales_.size() + sizeof(float));
  int8_codes_.reserve(int8_codes_.size() + int8.codes.size());
  binary_codes_.append(chars(code));
  masks_.append(chars(mask));
  scales_.put_f32(int8.scale);
  int8_codes_.append(chars(int8.codes));
  ++count_;
  return static_cast<std::uint32_t>(number);
}

Result<std::uint64_t> VectorBuilder::image_size() const {
  if (count_ > kMaxU32) return fail(exceeds_u32("vector count"));
  if (dim_ > kMaxU32) return fail(exceeds_u32("dimension"));
  std::uint64_t size = 0;
  expected_file_size(count_, dim_, size);  // cannot overflow for 32-bit counts
  return size;
}

Result<std::vector<std::byte>> VectorBuilder::finish() && {
  auto image = std::move(*this).finish_mapped();
  if (!image) return fail(std::move(image).error());
  const auto bytes = image->bytes();
  return std::vector<std::byte>(bytes.begin(), bytes.end());
}

Result<MappedBuffer> VectorBuilder::finish_mapped(MappedBuffer reuse) && {
  VectorBuilder self = std::move(*this);
  auto size = self.image_size();
  if (!size) return fail(std::move(size).error());
  MappedBuffer out = std::move(reuse);
  out.clear();
  out.reserve(static_cast<std::size_t>(*size));
  out.append(std::move(Writer::with_header(kVectorsMagic, kVectorsVersion,
                                           static_cast<std::uint32_t>(self.count_),
                                           static_cast<std::uint32_t>(self.dim_)))
                 .into_bytes());
  // Each section goes as soon as it is copied.
  for (MappedBuffer* section :
       {&self.binary_codes_, &self.masks_, &self.scales_, &self.int8_codes_}) {
    out.append(section->bytes());
    *section = {};
    if (section == &self.binary_codes_ || section == &self.masks_) out.pad_to_4();
  }
  return out;
}

Result<Vectors> Vectors::from_bytes(Storage storage) {
  const auto header = read_header(storage.bytes(), kVectorsMagic, kVectorsVersion, "vectors");
  if (!header) return fail(header.error());
  const auto [n, dim] = *header;
  if (dim == 0) return fail(Error::invalid_data("vectors: dimension is zero"));
  std::uint64_t size = 0;
  if (!expected_file_size(n, dim, size) || size != storage.size()) {
    return fail(Error::invalid_data("vectors: size does not match header"));
  }
  // Every offset below is at most the verified file length.
  Vectors v;
  v.count_ = n;
  v.dim_ = dim;
  v.code_bytes_ = code_bytes_for(dim);
  const std::size_t padded = padded_to_4(static_cast<std::uint64_t>(n) * v.code_bytes_);
  v.masks_offset_ = kCodesOffset + padded;
  v.scales_offset_ = v.masks_offset_ + padded;
  v.int8_offset_ = v.scales_offset_ + 4 * v.count_;
  v.storage_ = std::move(storage);
  return v;
}

}  // namespace tessavine
