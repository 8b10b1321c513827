// manifest.json reader: from_json, and for every manifest it accepts, the
// text written by to_json must read back as the same manifest.

#include "formats/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto m = tessavine::Manifest::from_json({reinterpret_cast<const char*>(data), size});
  if (!m) return 0;
  auto text = m->to_json();
  if (!text) __builtin_trap();
  // Non-finite parameters are written as null, which does not read back.
  if (!std::isfinite(m->bm25.k1) || !std::isfinite(m->bm25.b)) return 0;
  auto again = tessavine::Manifest::from_json(*text);
  if (!again || !(*again == *m)) __builtin_trap();
  return 0;
}
