// Bit counting for code built for the baseline target, which has no popcount
// instruction.
#pragma once

#include <cstdint>

namespace tessavine {

// The number of bits set in x. The compiler's builtin becomes a library call
// per word without the POPCNT instruction; this bit-slicing count is several
// times faster.
inline std::uint64_t popcount_swar(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return (x * 0x0101010101010101ull) >> 56;
}

}  // namespace tessavine
