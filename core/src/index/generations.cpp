#include "index/generations.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "base/escape.h"
#include "base/unicode.h"
#include "base/utf8.h"

namespace tessavine {

namespace fs = std::filesystem;

std::optional<std::uint64_t> parse_generation_name(std::string_view name) {
  constexpr std::string_view prefix = "gen-";
  if (!name.starts_with(prefix)) return std::nullopt;
  std::string_view digits = name.substr(prefix.size());
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  // from_chars would accept a leading minus sign of its own; only digits pass.
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::string generation_dir_name(std::uint64_t n) {
  std::string digits = std::to_string(n);
  if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
  return "gen-" + digits;
}

Result<std::vector<std::uint64_t>> list_generations(const fs::path& root, FileSystem& fs) {
  auto names = fs.list_dir(root);
  if (!names) {
    if (names.error().os_error() == ENOENT) return std::vector<std::uint64_t>{};
    return fail(std::move(names).error());
  }
  std::vector<std::uint64_t> numbers;
  for (const std::string& name : *names) {
    // The name is checked first: that costs no system call.
    if (!utf8::valid(name)) continue;
    const auto n = parse_generation_name(name);
    if (!n) continue;
    auto type = fs.stat(root / name);
    if (type && *type == FileType::Directory) numbers.push_back(*n);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

Result<CurrentName> read_current(const fs::path& root, FileSystem& fs) {
  const fs::path path = root / kCurrentFileName;
  auto content = fs.read_file(path);
  if (!content) return fail(std::move(content).error());
  if (!utf8::valid(*content)) {
    return fail(Error::io_message(path, "stream did not contain valid UTF-8"));
  }
  const std::string_view trimmed = unicode::trim_white_space(*content);
  const auto number = parse_generation_name(trimmed);
  if (!number) {
    return fail(Error::invalid_data("CURRENT names " + quoted(trimmed) + ", not a generation"));
  }
  return CurrentName{std::string(trimmed), *number};
}

Result<fs::path> current_generation_dir(const fs::path& root, FileSystem& fs) {
  auto current = read_current(root, fs);
  if (!current) return fail(std::move(current).error());
  return root / current->name;
}

bool exists(const fs::path& root, FileSystem& fs) {
  auto found = open_current(root, fs, [&](const fs::path& dir) -> Result<bool> {
    auto type = fs.stat(dir / "manifest.json");
    if (!type) return fail(std::move(type).error());
    return *type == FileType::Regular;
  });
  return found && *found;
}

}  // namespace tessavine
