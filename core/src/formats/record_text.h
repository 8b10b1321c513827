// The search text of a stored docs record (its heading path and text), read
// in place for matching, without decoding the record into strings.
#pragma once

#include <string_view>
#include <vector>

namespace tessavine {

// Replaces `runs` with slices of `record` (the JSON bytes of one docs.bin
// record) such that tokenizing the slices one after the other gives the
// terms of the record's search text: the heading path's elements, then the
// text, each cut at its escapes, all of which stand for separators. Reads
// only what DocsBuilder writes (the five keys in order, no white space)
// and only what the general decoder reads the same way; returns false for
// anything else, including every damaged record and any escape that stands
// for a letter or digit, and the caller then decodes the record in full.
bool search_text_runs(std::string_view record, std::vector<std::string_view>& runs);

}  // namespace tessavine
