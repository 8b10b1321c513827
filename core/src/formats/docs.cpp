#include "formats/docs.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <nlohmann/json.hpp>

#include "storage/bin_format.h"
#include "base/json_text.h"
#include "base/utf8.h"
#include "formats/compact_json.h"

namespace tessavine {

void append_record_json(std::string& out, const ChunkRecord& r) {
  const auto append_u32 = [&out](std::uint32_t v) {
    char buf[16];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
  };
  out += "{\"path\":";
  json_text::append_string(out, r.path);
  out += ",\"heading_path\":[";
  for (std::size_t i = 0; i < r.heading_path.size(); ++i) {
    if (i > 0) out += ',';
    json_text::append_string(out, r.heading_path[i]);
  }
  out += "],\"line_start\":";
  append_u32(r.line_start);
  out += ",\"line_end\":";
  append_u32(r.line_end);
  out += ",\"text\":";
  json_text::append_string(out, r.text);
  out += '}';
}

namespace {

constexpr std::string_view kFieldNames[5] = {"path", "heading_path", "line_start", "line_end",
                                             "text"};
constexpr int kUnknownField = -1;

using json = nlohmann::json;

// Streams one record out of the parser's events without building a DOM. Keys
// are checked as they arrive, so a duplicate is reported where it stands.
class RecordReader final : public nlohmann::json_sax<json> {
 public:
  ChunkRecord record;
  std::string error;

  bool finished() const { return done_; }

  bool null() override { return scalar("null"); }
  bool boolean(bool v) override { return scalar(v ? "boolean `true`" : "boolean `false`"); }
  bool number_integer(number_integer_t v) override {
    if (skip_ > 0) return true;
    // The parser reports every number written with a minus sign here, "-0" too.
    if (v >= 0) return number_unsigned(static_cast<number_unsigned_t>(v));
    if (is_line_field()) {
      return fail_with("invalid value: integer `" + std::to_string(v) + "`, expected u32");
    }
    return scalar("integer `" + std::to_string(v) + "`");
  }
  bool number_unsigned(number_unsigned_t v) override {
    if (skip_ > 0) return true;
    if (is_line_field()) {
      if (v > std::numeric_limits<std::uint32_t>::max()) {
        return fail_with("invalid value: integer `" + std::to_string(v) + "`, expected u32");
      }
      (field_ == 2 ? record.line_start : record.line_end) = static_cast<std::uint32_t>(v);
      return value_done();
    }
    return scalar("integer `" + std::to_string(v) + "`");
  }
  bool number_float(number_float_t, const string_t& raw) override {
    return scalar("floating point `" + raw + "`");
  }
  bool string(string_t& v) override {
    if (skip_ > 0) return true;
    if (in_headings_) {
      record.heading_path.push_back(std::move(v));
      return true;
    }
    if (at_field() && (field_ == 0 || field_ == 4)) {
      (field_ == 0 ? record.path : record.text) = std::move(v);
      return value_done();
    }
    return scalar("string " + quote(v));
  }
  bool binary(binary_t&) override { return scalar("byte array"); }

  bool start_object(std::size_t) override {
    if (skip_ > 0 || (at_field() && field_ == kUnknownField)) return enter_skip();
    if (state_ == State::Root) {
      state_ = State::Object;
      return true;
    }
    return fail_type("map");
  }
  bool key(string_t& k) override {
    if (skip_ > 0) return true;
    field_ = kUnknownField;
    for (int i = 0; i < 5; ++i) {
      if (k == kFieldNames[i]) field_ = i;
    }
    if (field_ != kUnknownField) {
      if (seen_[field_]) return fail_with("duplicate field `" + k + "`");
      seen_[field_] = true;
    }
    expecting_value_ = true;
    return true;
  }
  bool end_object() override {
    if (skip_ > 0) return leave_skip();
    for (int i = 0; i < 5; ++i) {
      if (!seen_[i]) return fail_with("missing field `" + std::string(kFieldNames[i]) + "`");
    }
    done_ = true;
    return true;
  }
  bool start_array(std::size_t) override {
    if (skip_ > 0 || (at_field() && field_ == kUnknownField)) return enter_skip();
    if (state_ == State::Root) {
      state_ = State::Array;
      field_ = 0;
      expecting_value_ = true;  // stays true: every element is a value
      return true;
    }
    if (at_field() && field_ == 1) {
      in_headings_ = true;
      return true;
    }
    return fail_type("sequence");
  }
  bool end_array() override {
    if (skip_ > 0) return leave_skip();
    if (in_headings_) {
      in_headings_ = false;
      return value_done();
    }
    if (elements_ != 5) {
      return fail_with("invalid length " + std::to_string(elements_) +
                       ", expected struct ChunkRecord with 5 elements");
    }
    done_ = true;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    return fail_with(json_text::decoder_message(ex.what()));
  }

 private:
  enum class State { Root, Object, Array };

  static std::string quote(const std::string& s) {
    std::string out;
    json_text::append_string(out, s);
    return out;
  }

  bool at_field() const { return state_ != State::Root && expecting_value_ && !in_headings_; }
  bool is_line_field() const { return at_field() && (field_ == 2 || field_ == 3); }

  // A value that is not what the current position wants, or one to skip.
  bool scalar(const std::string& what) {
    if (skip_ > 0) return true;
    if (at_field() && field_ == kUnknownField) return value_done();
    return fail_type(what);
  }

  bool fail_type(const std::string& what) {
    std::string expected;
    if (state_ == State::Root) {
      expected = "struct ChunkRecord";
    } else if (in_headings_ || field_ == 0 || field_ == 4) {
      expected = "a string";
    } else if (field_ == 1) {
      expected = "a sequence";
    } else if (field_ == 2 || field_ == 3) {
      expected = "u32";
    } else {
      expected = "any value";  // not reached: unknown values are skipped
    }
    return fail_with("invalid type: " + what + ", expected " + expected);
  }

  bool fail_with(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }

  // The value of the current key or array element is complete.
  bool value_done() {
    if (state_ == State::Array) {
      // Elements past the fifth are skipped like unknown keys and counted.
      ++elements_;
      field_ = elements_ < 5 ? static_cast<int>(elements_) : kUnknownField;
      return true;
    }
    expecting_value_ = false;
    return true;
  }

  bool enter_skip() {
    ++skip_;
    return true;
  }
  bool leave_skip() {
    if (--skip_ == 0) return value_done();
    return true;
  }

  State state_ = State::Root;
  int field_ = kUnknownField;
  bool seen_[5] = {};
  bool expecting_value_ = false;
  bool in_headings_ = false;
  std::size_t elements_ = 0;
  bool done_ = false;
  std::size_t skip_ = 0;
};

// The records this builder writes have one fixed shape: the five keys in
// order, no whitespace, plain decimal numbers. This parser reads exactly that
// shape and gives up (nullopt) on anything else, including every error, so
// the general decoder below stays the only judge of malformed records and is
// the oracle of this one in the tests and the fuzzer.
std::optional<ChunkRecord> parse_compact(std::string_view record) {
  ChunkRecord r;
  CompactJson j(record);
  std::string* out = nullptr;
  const auto append = [&](std::string_view bytes) { out->append(bytes); };
  const auto append_char = [&](char32_t c) {
    utf8::append(*out, c);
    return true;
  };
  const auto str = [&](std::string& into) {
    out = &into;
    return j.str(append, append_char);
  };
  if (!j.lit("{\"path\":") || !str(r.path) || !j.lit(",\"heading_path\":[")) return std::nullopt;
  if (!j.lit("]")) {
    do {
      if (!str(r.heading_path.emplace_back())) return std::nullopt;
    } while (j.lit(","));
    if (!j.lit("]")) return std::nullopt;
  }
  if (!j.lit(",\"line_start\":") || !j.u32(r.line_start) || !j.lit(",\"line_end\":") ||
      !j.u32(r.line_end) || !j.lit(",\"text\":") || !str(r.text) || !j.lit("}") || !j.at_end()) {
    return std::nullopt;
  }
  return r;
}

}  // namespace

std::expected<ChunkRecord, std::string> decode_record_json_plain(std::string_view text) {
  RecordReader reader;
  try {
    const bool ok = json::sax_parse(text.data(), text.data() + text.size(), &reader,
                                    json::input_format_t::json, /*strict=*/true);
    if (ok && reader.finished()) return std::move(reader.record);
  } catch (const std::exception& ex) {
    return std::unexpected(json_text::decoder_message(ex.what()));
  }
  if (reader.error.empty()) reader.error = "invalid record";
  return std::unexpected(std::move(reader.error));
}

std::expected<ChunkRecord, std::string> decode_record_json(std::string_view text) {
  if (auto record = parse_compact(text)) return std::move(*record);
  return decode_record_json_plain(text);
}

Result<std::uint32_t> DocsBuilder::add(const ChunkRecord& record) {
  const std::size_t n = offsets_.size();
  if (n > std::numeric_limits<std::uint32_t>::max()) return fail(exceeds_u32("chunk count"));
  record_.clear();
  append_record_json(record_, record);
  offsets_.push_back(data_.size());
  try {
    data_.append(record_);
  } catch (...) {
    offsets_.pop_back();  // a failed add leaves the builder as it was
    throw;
  }
  return static_cast<std::uint32_t>(n);
}

Result<std::uint64_t> DocsBuilder::image_size() const {
  const std::uint64_t n = offsets_.size();
  if (n > std::numeric_limits<std::uint32_t>::max()) return fail(exceeds_u32("chunk count"));
  return kHeaderSize + 8 * (n + 1) + data_.size();
}

Result<MappedBuffer> DocsBuilder::finish_mapped() && {
  // Moved out so the builder's memory goes with this call in every outcome.
  DocsBuilder self = std::move(*this);
  auto size = self.image_size();
  if (!size) return fail(std::move(size).error());
  const std::size_t n = self.offsets_.size();
  const std::uint64_t area = self.data_.size();
  const std::size_t head = kHeaderSize + 8 * (n + 1);
  MappedBuffer image = std::move(self.data_);
  std::byte* p = image.prepend(head);
  const std::vector<std::byte> header =
      std::move(Writer::with_header(kDocsMagic, kDocsVersion, static_cast<std::uint32_t>(n), 0))
          .into_bytes();
  std::memcpy(p, header.data(), kHeaderSize);
  // The offsets in memory already have the file's byte layout.
  static_assert(std::endian::native == std::endian::little);
  if (n != 0) std::memcpy(p + kHeaderSize, self.offsets_.data(), 8 * n);
  std::memcpy(p + kHeaderSize + 8 * n, &area, 8);
  return image;
}

Result<std::vector<std::byte>> DocsBuilder::finish() && {
  auto image = std::move(*this).finish_mapped();
  if (!image) return fail(std::move(image).error());
  const auto bytes = image->bytes();
  return std::vector<std::byte>(bytes.begin(), bytes.end());
}

Result<Docs> Docs::from_bytes(Storage storage) {
  const auto bytes = storage.bytes();
  auto header = read_header(bytes, kDocsMagic, kDocsVersion, "docs");
  if (!header) return fail(std::move(header.error()));
  const std::uint32_t n = header->first;
  const std::uint64_t area = 24 + 8 * std::uint64_t{n};
  if (bytes.size() < area) return fail(Error::invalid_data("docs: truncated offset table"));
  std::uint64_t prev = 0;
  for (std::uint64_t i = 0; i <= n; ++i) {
    const std::uint64_t off = read_u64_le(bytes, 16 + 8 * i);
    if (off < prev) return fail(Error::invalid_data("docs: offsets are not monotonic"));
    prev = off;
  }
  // prev is the closing offset; compare without forming area + prev.
  if (prev != bytes.size() - area) {
    return fail(Error::invalid_data("docs: size does not match offsets"));
  }
  return Docs(std::move(storage), n);
}

std::string_view Docs::record_bytes(std::uint32_t i) const {
  const auto bytes = storage_.bytes();
  const std::uint64_t start = read_u64_le(bytes, 16 + 8 * std::uint64_t{i});
  const std::uint64_t end = read_u64_le(bytes, 24 + 8 * std::uint64_t{i});
  return {reinterpret_cast<const char*>(bytes.data()) + area_ + start, end - start};
}

void Docs::prefetch_record(std::uint32_t i) const {
  // A record's first few kilobytes cover all of most records.
  constexpr std::size_t kMostBytes = 4096;
  const std::string_view record = record_bytes(i);
  const std::size_t n = std::min(record.size(), kMostBytes);
  for (std::size_t at = 0; at < n; at += 64) __builtin_prefetch(record.data() + at);
  if (n > 0) __builtin_prefetch(record.data() + n - 1);
}

Result<ChunkRecord> Docs::get_record(std::uint32_t i) const {
  if (i >= count_) {
    return fail(Error::invalid_argument("chunk id " + std::to_string(i) + " out of range"));
  }
  auto record = decode_record_json(record_bytes(i));
  if (!record) {
    return fail(Error::invalid_data("docs: record " + std::to_string(i) + ": " + record.error()));
  }
  return std::move(*record);
}

}  // namespace tessavine
