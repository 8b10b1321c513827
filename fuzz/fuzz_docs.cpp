// docs.bin reader: from_bytes, then every record decoded, and read in place
// as hybrid search reads it.

#include "formats/docs.h"
#include "formats/record_text.h"
#include "index/writer.h"
#include "text/tokenize.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* p = reinterpret_cast<const std::byte*>(data);
  auto docs = tessavine::Docs::from_bytes(tessavine::Storage::from_bytes({p, p + size}));
  if (!docs) return 0;
  std::vector<std::string_view> runs;
  for (std::uint32_t i = 0; i < docs->count(); ++i) {
    // The compact-shape fast path must agree with the general decoder.
    const std::string_view bytes = docs->record_bytes(i);
    const auto plain = tessavine::decode_record_json_plain(bytes);
    auto record = docs->get_record(i);
    if (record.has_value() != plain.has_value()) __builtin_trap();
    // A record read in place is one the decoder takes, with the same terms.
    if (tessavine::search_text_runs(bytes, runs)) {
      if (!record) __builtin_trap();
      std::vector<std::string> terms;
      for (const std::string_view run : runs) {
        for (std::string& t : tessavine::tokenize(run)) terms.push_back(std::move(t));
      }
      if (terms != tessavine::tokenize(tessavine::search_text(*record))) __builtin_trap();
    }
    if (!record) continue;
    if (!(*record == *plain)) __builtin_trap();
    std::string json;  // a decoded record must survive its own encoding
    tessavine::append_record_json(json, *record);
    auto again = tessavine::decode_record_json(json);
    if (!again || !(*again == *record)) __builtin_trap();
  }
  return 0;
}
