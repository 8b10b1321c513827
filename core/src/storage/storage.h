// The read-only bytes of one index file for the lifetime of its reader:
// either a shared read-only mapping of the whole file or an owned copy.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <vector>

#include "base/error.h"

namespace tessavine {

class Storage {
 public:
  // Maps the file (mmap true) or reads it whole (mmap false). An empty file
  // is always read, since a mapping of length 0 cannot be made. The file
  // descriptor is closed before returning, in every outcome.
  static Result<Storage> open(const std::filesystem::path& path, bool mmap);

  // Owned bytes that did not come from a file (tests, fuzzers, tools).
  static Storage from_bytes(std::vector<std::byte> bytes);

  Storage() = default;
  Storage(Storage&& other) noexcept;
  Storage& operator=(Storage&& other) noexcept;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage();

  std::span<const std::byte> bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  bool is_mapped() const { return mapped_; }

 private:
  void release() noexcept;

  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;          // a mapping of the file
  std::size_t anonymous_ = 0;    // length of the anonymous mapping a read file lies in
  std::vector<std::byte> owned_;  // bytes given to from_bytes
};

}  // namespace tessavine
