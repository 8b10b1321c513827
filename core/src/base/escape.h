// Quoted rendering of text inside messages and reprs: double quotes around it,
// a backslash before `"` and `\`, \t \r \n \0 for those controls, and \u{hex}
// for every other control, non-printable or combining character.
#pragma once

#include <string>
#include <string_view>

namespace tessavine {

// `text` must be UTF-8; ill-formed bytes are shown as U+FFFD.
std::string quoted(std::string_view text);

// Appends the escaped characters of `text` without the surrounding quotes.
void append_escaped(std::string& out, std::string_view text);

}  // namespace tessavine
