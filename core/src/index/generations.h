// The layout of an index root: generation directories named "gen-{n}", the
// file CURRENT naming the live one, and the operations that read it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/file_system.h"

namespace tessavine {

inline constexpr std::string_view kCurrentFileName = "CURRENT";

// The number of a generation name: "gen-", an optional "+", then decimal
// digits (leading zeros allowed) whose value fits 64 bits. Nothing otherwise.
std::optional<std::uint64_t> parse_generation_name(std::string_view name);

// The name the writer gives generation n: zero-padded to at least six digits
// (gen-000001), wider numbers in full (gen-1000000).
std::string generation_dir_name(std::uint64_t n);

// The generation numbers of `root`'s directories (following symbolic links),
// ascending, duplicates kept. A missing root has none; a failure to list the
// root is an Io error on `root`; entries that cannot be examined are skipped.
Result<std::vector<std::uint64_t>> list_generations(const std::filesystem::path& root,
                                                    FileSystem& fs = posix_file_system());

// What CURRENT names, as read and checked by readers and the writer.
struct CurrentName {
  std::string name;         // trimmed content, exactly as stored (gen-007, gen-+3)
  std::uint64_t number = 0;  // its generation number
};

// Reads root/CURRENT: an Io error on that path when it cannot be read or is
// not UTF-8; InvalidData "CURRENT names {quoted}, not a generation" when its
// trimmed content is not a generation name.
Result<CurrentName> read_current(const std::filesystem::path& root,
                                 FileSystem& fs = posix_file_system());

// root joined with the name CURRENT holds. The directory is not looked at.
Result<std::filesystem::path> current_generation_dir(const std::filesystem::path& root,
                                                     FileSystem& fs = posix_file_system());

// Whether an error says that a file or directory is not there.
inline bool is_missing(const Error& error) {
  return error.kind() == ErrorKind::Io && error.os_error() == ENOENT;
}

// How often an open starts again from a CURRENT that moved on.
inline constexpr int kOpenAttempts = 100;

// Runs `open` on the directory of the generation CURRENT names. A commit
// removes the generation before last, so the one CURRENT named may vanish
// between reading CURRENT and opening its files: when `open` finds a file
// missing and CURRENT meanwhile names another generation, it starts again
// from that one (at most kOpenAttempts times in all). A generation missing
// while CURRENT still names it gives `open`'s error unchanged.
template <class Open>
auto open_current(const std::filesystem::path& root, FileSystem& fs, Open&& open)
    -> decltype(open(std::filesystem::path())) {
  auto current = read_current(root, fs);
  if (!current) return fail(std::move(current).error());
  for (int attempt = 1;; ++attempt) {
    auto opened = open(root / current->name);
    if (opened || attempt == kOpenAttempts || !is_missing(opened.error())) return opened;
    auto now = read_current(root, fs);
    if (!now || now->name == current->name) return opened;
    current = std::move(now);
  }
}

// Whether CURRENT names a generation whose manifest.json is a regular file.
// Call it qualified: argument-dependent lookup also finds std::filesystem::exists.
// Never fails.
bool exists(const std::filesystem::path& root, FileSystem& fs = posix_file_system());

}  // namespace tessavine
