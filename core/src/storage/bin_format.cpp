#include "storage/bin_format.h"

#include <bit>
#include <string>

namespace tessavine {

Result<std::pair<std::uint32_t, std::uint32_t>> read_header(std::span<const std::byte> bytes,
                                                            std::uint32_t magic,
                                                            std::uint16_t version,
                                                            std::string_view name) {
  const std::string n(name);
  if (bytes.size() < kHeaderSize) return fail(Error::invalid_data(n + ": file is too short"));
  if (read_u32_le(bytes, 0) != magic) return fail(Error::invalid_data(n + ": wrong magic bytes"));
  const std::uint16_t found = read_u16_le(bytes, 4);
  if (found != version) {
    return fail(Error::invalid_data(n + ": unsupported version " + std::to_string(found) +
                                    " (expected " + std::to_string(version) + ")"));
  }
  return std::pair{read_u32_le(bytes, 8), read_u32_le(bytes, 12)};
}

Writer Writer::with_header(std::uint32_t magic, std::uint16_t version, std::uint32_t count_a,
                           std::uint32_t count_b) {
  Writer w;
  w.buf_.reserve(kHeaderSize);
  w.put_u32(magic);
  w.buf_.push_back(static_cast<std::byte>(version & 0xFF));
  w.buf_.push_back(static_cast<std::byte>(version >> 8));
  w.buf_.push_back(std::byte{0});
  w.buf_.push_back(std::byte{0});
  w.put_u32(count_a);
  w.put_u32(count_b);
  return w;
}

void Writer::put_u32(std::uint32_t v) {
  const std::byte b[4] = {static_cast<std::byte>(v), static_cast<std::byte>(v >> 8),
                          static_cast<std::byte>(v >> 16), static_cast<std::byte>(v >> 24)};
  buf_.insert(buf_.end(), b, b + 4);
}

void Writer::put_u64(std::uint64_t v) {
  put_u32(static_cast<std::uint32_t>(v));
  put_u32(static_cast<std::uint32_t>(v >> 32));
}

void Writer::put_f32(float v) { put_u32(std::bit_cast<std::uint32_t>(v)); }

void Writer::put_bytes(std::span<const std::byte> bytes) {
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

void Writer::put_bytes(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::byte*>(bytes.data());
  buf_.insert(buf_.end(), p, p + bytes.size());
}

void Writer::pad_to_4() {
  while (buf_.size() % 4 != 0) buf_.push_back(std::byte{0});
}

}  // namespace tessavine
