// docs.bin reader: from_bytes, then every record decoded.

#include "formats/docs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* p = reinterpret_cast<const std::byte*>(data);
  auto docs = tessavine::Docs::from_bytes(tessavine::Storage::from_bytes({p, p + size}));
  if (!docs) return 0;
  for (std::uint32_t i = 0; i < docs->count(); ++i) {
    // The compact-shape fast path must agree with the general decoder.
    const auto plain = tessavine::decode_record_json_plain(docs->record_bytes(i));
    auto record = docs->get_record(i);
    if (record.has_value() != plain.has_value()) __builtin_trap();
    if (!record) continue;
    if (!(*record == *plain)) __builtin_trap();
    std::string json;  // a decoded record must survive its own encoding
    tessavine::append_record_json(json, *record);
    auto again = tessavine::decode_record_json(json);
    if (!again || !(*again == *record)) __builtin_trap();
  }
  return 0;
}
