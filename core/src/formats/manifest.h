// manifest.json: what a generation is (format, schema, sizes of its files,
// BM25 parameters, the host's metadata), as indented JSON.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tessavine {

inline constexpr std::string_view kManifestFormat = "tessavine-index";

// Containers nested deeper than this are refused on both sides, so every
// manifest that can be written can be read back, and a hostile file cannot
// make the recursive parts of the JSON library overflow the stack.
inline constexpr int kManifestMaxDepth = 128;

struct Bm25Settings {
  float k1 = 1.2f;
  float b = 0.75f;
  bool operator==(const Bm25Settings&) const = default;
};

struct Manifest {
  std::string format;
  std::uint32_t schema_version = 0;
  std::string created_by;
  std::uint64_t generation = 0;
  std::uint32_t n_chunks = 0;
  std::uint32_t dim = 0;
  std::optional<std::string> embedder;
  Bm25Settings bm25;
  std::map<std::string, std::uint64_t> files;
  // A JSON object; nlohmann's objects keep their keys in byte-wise order.
  nlohmann::json metadata = nlohmann::json::object();

  // The indented text, ending with a line feed. Fails (InvalidArgument
  // "manifest: …") only for values JSON cannot hold: text that is not UTF-8,
  // binary values, nesting beyond kManifestMaxDepth.
  Result<std::string> to_json() const;
  static Result<Manifest> from_json(std::string_view text);
  static Result<Manifest> from_json(std::span<const std::byte> bytes) {
    return from_json(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }

  bool operator==(const Manifest& other) const;
};

// Shortest text that reads back as the same float, always with a decimal
// point or an exponent; "null" when not finite.
std::string format_f32(float v);
std::string format_f64(double v);

}  // namespace tessavine
