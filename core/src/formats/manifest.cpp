#include "formats/manifest.h"

#include <charconv>
#include <type_traits>
#include <cmath>
#include <limits>
#include <vector>

#include "base/escape.h"
#include "base/json_text.h"
#include "base/utf8.h"

namespace tessavine {

using json = nlohmann::json;

namespace {

template <class F>
std::string format_float(F v) {
  if (!std::isfinite(v)) return "null";
  // The shortest digits that read back as the same value, laid out in plain
  // decimal for moderate exponents and as d.ddde{exp} (no '+', no padding)
  // beyond them; plain forms always carry a decimal point (2 is "2.0").
  constexpr int kMaxPlain = std::is_same_v<F, float> ? 13 : 16;
  constexpr int kMinPlain = std::is_same_v<F, float> ? -6 : -5;
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  std::string out;
  std::size_t i = 0;
  if (sci[0] == '-') {
    out += '-';
    i = 1;
  }
  std::string digits;
  for (; i < e_pos; ++i)
    if (sci[i] != '.') digits += sci[i];
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  const int length = static_cast<int>(digits.size());
  const int kk = exponent + 1;  // position of the decimal point after the first digit
  if (kk >= length && kk <= kMaxPlain) {
    out += digits;
    out.append(static_cast<std::size_t>(kk - length), '0');
    out += ".0";
  } else if (kk > 0 && kk <= kMaxPlain) {
    out += digits.substr(0, static_cast<std::size_t>(kk));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(kk));
  } else if (kk > kMinPlain && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

// ---- writing ----

class ManifestWriter {
 public:
  std::string out;
  std::string error;

  void newline(int depth) {
    out += '\n';
    out.append(2 * static_cast<std::size_t>(depth), ' ');
  }

  bool string(std::string_view s) {
    if (!utf8::valid(s)) return fail("string is not valid UTF-8");
    json_text::append_string(out, s);
    return true;
  }

  bool key(int depth, std::string_view k) {
    newline(depth);
    if (!string(k)) return false;
    out += ": ";
    return true;
  }

  // Writes a scalar or an empty container; false for a non-empty container.
  bool leaf(const json& v, bool& written) {
    written = true;
    switch (v.type()) {
      case json::value_t::null: out += "null"; return true;
      case json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return true;
      case json::value_t::number_integer: out += std::to_string(v.get<std::int64_t>()); return true;
      case json::value_t::number_unsigned: out += std::to_string(v.get<std::uint64_t>()); return true;
      case json::value_t::number_float: out += format_f64(v.get<double>()); return true;
      case json::value_t::string: return string(v.get_ref<const std::string&>());
      case json::value_t::object:
      case json::value_t::array:
        if (v.empty()) {
          out += v.is_object() ? "{}" : "[]";
          return true;
        }
        written = false;
        return true;
      case json::value_t::binary: return fail("binary values cannot be written as JSON");
      case json::value_t::discarded: return fail("discarded value cannot be written as JSON");
    }
    return fail("unknown value type");
  }

  // Metadata may be nested deeply, so values are walked with an explicit
  // stack rather than by recursion.
  bool value(const json& root, int depth) {
    bool written = false;
    if (!leaf(root, written)) return false;
    if (written) return true;
    struct Frame {
      const json* node;
      json::const_iterator it;
      int depth;
    };
    std::vector<Frame> stack;
    const auto open = [&](const json& v, int d) {
      // `d` is the container's nesting depth in the file (the root object is 0).
      if (d >= kManifestMaxDepth) {
        return fail("recursion limit exceeded");
      }
      out += v.is_object() ? '{' : '[';
      stack.push_back({&v, v.cbegin(), d + 1});
      return true;
    };
    if (!open(root, depth)) return false;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (f.it == f.node->cend()) {
        newline(f.depth - 1);
        out += f.node->is_object() ? '}' : ']';
        stack.pop_back();
        continue;
      }
      if (f.it != f.node->cbegin()) out += ',';
      const int d = f.depth;
      if (f.node->is_object()) {
        if (!key(d, f.it.key())) return false;
      } else {
        newline(d);
      }
      const json& child = *f.it;
      ++f.it;  // before the push below, which may move the frames
      if (!leaf(child, written)) return false;
      if (!written && !open(child, d)) return false;
    }
    return true;
  }

  bool fail(std::string message) {
    error = std::move(message);
    return false;
  }
};

// ---- reading ----

struct DecodeError {
  std::string message;
};

[[noreturn]] void decode_fail(std::string message) { throw DecodeError{std::move(message)}; }

std::string describe(const json& v) {
  switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return v.get<bool>() ? "boolean `true`" : "boolean `false`";
    case json::value_t::number_integer: return "integer `" + std::to_string(v.get<std::int64_t>()) + "`";
    case json::value_t::number_unsigned:
      return "integer `" + std::to_string(v.get<std::uint64_t>()) + "`";
    case json::value_t::number_float: return "floating point `" + format_f64(v.get<double>()) + "`";
    case json::value_t::string: {
      std::string out = "string ";
      json_text::append_string(out, v.get_ref<const std::string&>());
      return out;
    }
    case json::value_t::object: return "map";
    case json::value_t::array: return "sequence";
    default: return "value";
  }
}

[[noreturn]] void type_fail(const json& v, std::string_view expected) {
  decode_fail("invalid type: " + describe(v) + ", expected " + std::string(expected));
}

std::uint64_t to_unsigned(const json& v, std::uint64_t max, std::string_view expected) {
  if (v.is_number_unsigned() || v.is_number_integer()) {
    // is_number_integer() also holds for unsigned values; ask the exact type.
    const bool negative =
        v.type() == json::value_t::number_integer && v.get<std::int64_t>() < 0;
    if (negative || v.get<std::uint64_t>() > max) {
      decode_fail("invalid value: " + describe(v) + ", expected " + std::string(expected));
    }
    return v.get<std::uint64_t>();
  }
  type_fail(v, expected);
}

// Rounds to the nearest float; beyond the largest float (and its rounding
// margin) the result is infinite, without the undefined conversion.
float to_f32(const json& v) {
  if (v.is_number_float()) {
    const double d = v.get<double>();
    constexpr double kMax = std::numeric_limits<float>::max();
    constexpr double kOverflow = 0x1.ffffffp127;  // halfway to the next power of two
    if (std::isfinite(d) && std::fabs(d) > kMax) {
      const float mag = std::fabs(d) >= kOverflow ? std::numeric_limits<float>::infinity()
                                                   : std::numeric_limits<float>::max();
      return d < 0 ? -mag : mag;
    }
    return static_cast<float>(d);
  }
  if (v.is_number_unsigned()) return static_cast<float>(v.get<std::uint64_t>());
  if (v.is_number_integer()) return static_cast<float>(v.get<std::int64_t>());
  type_fail(v, "f32");
}

// In declaration order, which decides which missing field is named first.
constexpr std::string_view kFields[] = {"format",   "schema_version", "created_by", "generation",
                                        "n_chunks", "dim",            "embedder",   "bm25",
                                        "files",    "metadata"};
enum Field { kFormat, kSchema, kCreatedBy, kGeneration, kNChunks, kDim, kEmbedder, kBm25,
             kFiles, kMetadata, kUnknown };
constexpr Field kRequired[] = {kFormat, kSchema, kCreatedBy, kGeneration, kNChunks, kDim,
                               kBm25, kFiles};

// Fills the manifest from parser events as each value completes, so errors
// are reported in the order they stand in the text.
class ManifestReader {
 public:
  Manifest m;
  bool seen[kUnknown] = {};

  bool event(int depth, json::parse_event_t ev, json& v) {
    using E = json::parse_event_t;
    switch (ev) {
      case E::object_start:
      case E::array_start:
        if (depth >= kManifestMaxDepth) decode_fail("recursion limit exceeded");
        if (depth == 0) {
          root_object_ = ev == E::object_start;
        } else if (depth == 1 && root_object_) {
          if (ev == E::object_start && field_ == kBm25) bm25_seen_[0] = bm25_seen_[1] = false;
          if (field_ == kFiles || field_ == kMetadata || field_ == kBm25) {
            if (ev != E::object_start) type_fail(json::array(), expected(field_));
          } else if (field_ != kUnknown) {
            type_fail(ev == E::object_start ? json::object() : json::array(), expected(field_));
          }
        } else if (depth == 2 && root_object_ && field_ == kFiles) {
          type_fail(ev == E::object_start ? json::object() : json::array(), "u64");
        } else if (depth == 2 && root_object_ && field_ == kBm25 && inner_ != kInnerUnknown) {
          type_fail(ev == E::object_start ? json::object() : json::array(), "f32");
        }
        return true;
      case E::key:
        if (!root_object_) return true;
        if (depth == 1) on_key(v.get_ref<const std::string&>());
        if (depth == 2 && field_ == kBm25) on_bm25_key(v.get_ref<const std::string&>());
        return true;
      case E::value:
        if (!root_object_) return true;
        if (depth == 1) on_value(v);
        if (depth == 2 && field_ == kBm25) on_bm25_value(v);
        if (depth == 2 && field_ == kFiles) to_unsigned(v, std::numeric_limits<std::uint64_t>::max(), "u64");
        return true;
      case E::object_end:
      case E::array_end:
        if (root_object_ && depth == 1) on_container_end(v);
        return true;
    }
    return true;
  }

  void finish(json& root) {
    if (!root.is_object()) type_fail(root, "struct Manifest");
    for (const Field f : kRequired) {
      if (!seen[f]) decode_fail("missing field `" + std::string(kFields[f]) + "`");
    }
    const auto it = root.find("metadata");
    if (it != root.end()) m.metadata = std::move(*it);
  }

 private:
  static constexpr int kInnerUnknown = 2;

  static std::string_view expected(Field f) {
    switch (f) {
      case kFormat:
      case kCreatedBy: return "a string";
      case kSchema:
      case kNChunks:
      case kDim: return "u32";
      case kGeneration: return "u64";
      case kEmbedder: return "a string or null";
      case kBm25: return "struct Bm25Settings";
      case kFiles:
      case kMetadata: return "a map";
      default: return "a value";
    }
  }

  void on_key(const std::string& k) {
    field_ = kUnknown;
    for (int i = 0; i < kUnknown; ++i) {
      if (k == kFields[i]) field_ = static_cast<Field>(i);
    }
    if (field_ == kUnknown) return;
    if (seen[field_]) decode_fail("duplicate field `" + k + "`");
    seen[field_] = true;
  }

  void on_bm25_key(const std::string& k) {
    inner_ = k == "k1" ? 0 : k == "b" ? 1 : kInnerUnknown;
    if (inner_ == kInnerUnknown) return;
    if (bm25_seen_[inner_]) decode_fail("duplicate field `" + k + "`");
    bm25_seen_[inner_] = true;
  }

  void on_value(json& v) {
    switch (field_) {
      case kFormat:
      case kCreatedBy:
        if (!v.is_string()) type_fail(v, "a string");
        (field_ == kFormat ? m.format : m.created_by) = std::move(v.get_ref<std::string&>());
        break;
      case kSchema: m.schema_version = static_cast<std::uint32_t>(to_unsigned(v, UINT32_MAX, "u32")); break;
      case kNChunks: m.n_chunks = static_cast<std::uint32_t>(to_unsigned(v, UINT32_MAX, "u32")); break;
      case kDim: m.dim = static_cast<std::uint32_t>(to_unsigned(v, UINT32_MAX, "u32")); break;
      case kGeneration: m.generation = to_unsigned(v, UINT64_MAX, "u64"); break;
      case kEmbedder:
        if (v.is_null()) {
          m.embedder.reset();
        } else if (v.is_string()) {
          m.embedder = std::move(v.get_ref<std::string&>());
        } else {
          type_fail(v, "a string or null");
        }
        break;
      case kBm25:
      case kFiles:
      case kMetadata: type_fail(v, expected(field_));
      case kUnknown: break;
    }
  }

  void on_bm25_value(const json& v) {
    if (inner_ == 0) m.bm25.k1 = to_f32(v);
    if (inner_ == 1) m.bm25.b = to_f32(v);
  }

  void on_container_end(const json& v) {
    if (field_ == kBm25) {
      if (!bm25_seen_[0]) decode_fail("missing field `k1`");
      if (!bm25_seen_[1]) decode_fail("missing field `b`");
    } else if (field_ == kFiles) {
      m.files.clear();
      for (const auto& [name, size] : v.items()) m.files[name] = size.get<std::uint64_t>();
    }
  }

  bool root_object_ = false;
  Field field_ = kUnknown;
  int inner_ = kInnerUnknown;
  bool bm25_seen_[2] = {};
};

}  // namespace

std::string format_f32(float v) { return format_float(v); }
std::string format_f64(double v) { return format_float(v); }

Result<std::string> Manifest::to_json() const {
  ManifestWriter w;
  w.out.reserve(512);
  const auto line = [&w](std::string_view k, const std::string& text) {
    w.key(1, k);
    w.out += text;
    w.out += ',';
  };
  w.out += '{';
  bool ok = w.key(1, "format") && w.string(format);
  w.out += ',';
  line("schema_version", std::to_string(schema_version));
  ok = ok && w.key(1, "created_by") && w.string(created_by);
  w.out += ',';
  line("generation", std::to_string(generation));
  line("n_chunks", std::to_string(n_chunks));
  line("dim", std::to_string(dim));
  if (embedder) {
    ok = ok && w.key(1, "embedder") && w.string(*embedder);
    w.out += ',';
  } else {
    line("embedder", "null");
  }
  w.key(1, "bm25");
  w.out += '{';
  w.key(2, "k1");
  w.out += format_f32(bm25.k1) + ',';
  w.key(2, "b");
  w.out += format_f32(bm25.b);
  w.newline(1);
  w.out += "},";
  w.key(1, "files");
  if (files.empty()) {
    w.out += "{}";
  } else {
    w.out += '{';
    bool first = true;
    for (const auto& [name, size] : files) {
      if (!first) w.out += ',';
      first = false;
      ok = ok && w.key(2, name);
      w.out += std::to_string(size);
    }
    w.newline(1);
    w.out += '}';
  }
  w.out += ',';
  ok = ok && w.key(1, "metadata");
  if (ok && !metadata.is_object()) ok = w.fail("metadata is not a JSON object");
  ok = ok && w.value(metadata, 1);
  if (!ok) return fail(Error::invalid_argument("manifest: " + w.error));
  w.out += "\n}\n";
  return std::move(w.out);
}

Result<Manifest> Manifest::from_json(std::string_view text) {
  ManifestReader reader;
  try {
    json root = json::parse(
        text.data(), text.data() + text.size(),
        [&reader](int depth, json::parse_event_t ev, json& v) { return reader.event(depth, ev, v); });
    reader.finish(root);
  } catch (const DecodeError& e) {
    return fail(Error::invalid_data("manifest.json: " + e.message));
  } catch (const std::exception& e) {
    return fail(Error::invalid_data("manifest.json: " + json_text::decoder_message(e.what())));
  }
  Manifest m = std::move(reader.m);
  if (m.format != kManifestFormat) {
    return fail(Error::invalid_data("manifest.json: format is " + tessavine::quoted(m.format) +
                                    ", expected " + tessavine::quoted(kManifestFormat)));
  }
  if (m.schema_version != kSchemaVersion) return fail(Error::unsupported_schema(m.schema_version));
  return m;
}

bool Manifest::operator==(const Manifest& o) const {
  return format == o.format && schema_version == o.schema_version &&
         created_by == o.created_by && generation == o.generation && n_chunks == o.n_chunks &&
         dim == o.dim && embedder == o.embedder && bm25 == o.bm25 && files == o.files &&
         metadata == o.metadata;
}

}  // namespace tessavine
