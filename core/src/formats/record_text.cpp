#include "formats/record_text.h"

#include <cstdint>

#include "base/unicode.h"
#include "formats/compact_json.h"

namespace tessavine {
namespace {

// Escapes are separators, except one for a letter or digit, which would
// join the words on either side.
bool separator(char32_t c) { return !unicode::is_alphanumeric(c); }

}  // namespace

// Both steps walk the record with the cursor of the compact decoder of
// docs.cpp, so that a record read here decodes there to the same heading
// path and text.
std::optional<std::size_t> path_end(std::string_view record) {
  CompactJson j(record);
  const auto skip = [](std::string_view) {};
  const auto any = [](char32_t) { return true; };
  if (!j.lit("{\"path\":") || !j.str(skip, any)) return std::nullopt;
  return j.position();
}

bool tail_runs(std::string_view tail, std::vector<std::string_view>& runs) {
  runs.clear();
  CompactJson j(tail);
  const auto keep = [&](std::string_view bytes) {
    if (!bytes.empty()) runs.push_back(bytes);
  };
  std::uint32_t line = 0;
  if (!j.lit(",\"heading_path\":[")) return false;
  if (!j.lit("]")) {
    do {
      if (!j.str(keep, separator)) return false;
    } while (j.lit(","));
    if (!j.lit("]")) return false;
  }
  return j.lit(",\"line_start\":") && j.u32(line) && j.lit(",\"line_end\":") && j.u32(line) &&
         j.lit(",\"text\":") && j.str(keep, separator) && j.lit("}") && j.at_end();
}

bool search_text_runs(std::string_view record, std::vector<std::string_view>& runs) {
  runs.clear();
  const std::optional<std::size_t> end = path_end(record);
  return end && tail_runs(record.substr(*end), runs);
}

}  // namespace tessavine
