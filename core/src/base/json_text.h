// JSON text shared by the docs records and the manifest: one string escaping
// for both, and the clean-up of the JSON library's own error messages.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tessavine::json_text {

// Appends `s` as a JSON string with its quotation marks. Only `"`, `\` and
// the controls below 0x20 are escaped (\b \t \n \f \r, else \u00xx in
// lower-case hex); 0x7F and non-ASCII bytes are copied as they are.
void append_string(std::string& out, std::string_view s);

// The library's message without its "[json.exception.…] " tag, and made
// valid UTF-8: parse errors quote the offending input, which may not be.
std::string decoder_message(std::string_view what);

}  // namespace tessavine::json_text
