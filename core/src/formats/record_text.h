// The search text of a stored docs record (its heading path and text), read
// in place for matching, without decoding the record into strings.
#pragma once

#include <cstddef>
#include <optional>
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

// search_text_runs in two steps. The first checks the record's path and
// tells where it ends; the second reads the rest, the tail. Whether a record
// reads in place, its runs and so how they match depend on its tail's bytes
// alone: records that differ only in their paths (a note stored twice) read
// alike. The runs are slices of the tail.
std::optional<std::size_t> path_end(std::string_view record);
bool tail_runs(std::string_view tail, std::vector<std::string_view>& runs);

}  // namespace tessavine
