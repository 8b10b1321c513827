// Which chunks' stored records a search has found to decode, a bit each. A
// generation's files never change once published, so a search that only
// needs to know that a record decodes (one re-ranking cannot lift into the
// result any more) need not read it again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tessavine {

class CheckedRecords {
 public:
  explicit CheckedRecords(std::size_t count)
      : words_(std::make_unique<std::atomic<std::uint64_t>[]>((count + 63) / 64)) {}

  // The bit only ever says that bytes which cannot change decode; no other
  // data travels with it, so no ordering is needed.
  bool has(std::uint32_t id) const { return words_[id / 64].load(std::memory_order_relaxed) >> (id % 64) & 1u; }
  void add(std::uint32_t id) const {
    const std::uint64_t bit = std::uint64_t{1} << (id % 64);
    if ((words_[id / 64].load(std::memory_order_relaxed) & bit) == 0) {
      words_[id / 64].fetch_or(bit, std::memory_order_relaxed);
    }
  }

 private:
  std::unique_ptr<std::atomic<std::uint64_t>[]> words_;
};

}  // namespace tessavine
