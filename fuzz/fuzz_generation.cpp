// A whole generation directory: the input is a flag byte, then the files CURRENT, manifest.json, docs.bin,
// bm25.bin and vectors.bin separated by kSeparator (a missing part leaves the file out). The root is opened
// mapped and read, and every kind of query runs on both readers: they must agree to the bit, and every
// result must be in range, bounded by k and free of repeats.

#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "index/reader.h"

namespace fs = std::filesystem;
using namespace tessavine;

namespace {

constexpr std::string_view kSeparator = "\n--file--\n";
constexpr const char* kFiles[] = {"CURRENT", "manifest.json", "docs.bin", "bm25.bin", "vectors.bin"};
constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
// The harness's own limit: a query vector longer than this is not built.
constexpr std::uint64_t kMaxQueryDim = 1 << 16;

const fs::path& root() {
  static const fs::path dir = [] {
    std::string pattern = (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/fuzz_generation.XXXXXX");
    if (!mkdtemp(pattern.data())) std::abort();
    return fs::path(pattern);
  }();
  return dir;
}

// Writes the parts of `input`; `fix_sizes` makes the manifest's sizes match, so mutations get past that check.
void write_root(std::string_view input, bool fix_sizes) {
  std::vector<std::optional<std::string>> parts(std::size(kFiles));
  for (std::size_t i = 0; i < parts.size() && input.data() != nullptr; ++i) {
    const std::size_t end = input.find(kSeparator);
    parts[i] = std::string(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view{} : input.substr(end + kSeparator.size());
  }
  if (fix_sizes && parts[1]) {
    auto manifest = nlohmann::json::parse(*parts[1], nullptr, false);
    if (manifest.is_object()) {
      if (!manifest["files"].is_object()) manifest["files"] = nlohmann::json::object();
      for (std::size_t i = 2; i < parts.size(); ++i)
        if (parts[i]) manifest["files"][kFiles[i]] = parts[i]->size();
      parts[1] = manifest.dump(2);
    }
  }
  fs::create_directories(root() / "gen-000001");
  for (std::size_t i = 0; i < parts.size(); ++i)
    if (parts[i]) std::ofstream(i == 0 ? root() / kFiles[i] : root() / "gen-000001" / kFiles[i]) << *parts[i];
}

// The results of every query, flattened for comparison between the readers.
struct Trace {
  std::vector<std::uint64_t> values;
  std::string errors;
  void add(std::unsigned_integral auto... v) { (values.push_back(v), ...); }
  void add(const Error& e) { errors += e.to_string() + '\n'; }
  bool operator==(const Trace&) const = default;
};

void check_ids(const std::vector<std::uint32_t>& ids, std::size_t k, std::uint32_t n) {
  if (ids.size() > k || std::set<std::uint32_t>(ids.begin(), ids.end()).size() != ids.size()) __builtin_trap();
  for (std::uint32_t id : ids)
    if (id >= n) __builtin_trap();
}

void ranked(Trace& t, const std::vector<Scored>& r, std::size_t k, std::uint32_t n) {
  std::vector<std::uint32_t> ids;
  const auto key = [&](std::size_t i) { return Scored{nan_to_neg_inf(r[i].score), r[i].id}; };
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (i > 0 && better(key(i), key(i - 1))) __builtin_trap();
    ids.push_back(r[i].id);
    t.add(r[i].id, std::bit_cast<std::uint32_t>(r[i].score));
  }
  check_ids(ids, k, n);
}

Trace run_queries(const IndexReader& reader, std::uint8_t flags) {
  Trace t;
  const std::uint32_t n = reader.size();
  std::vector<std::string> texts = {"alpha beta", "\"beta gamma\" delta", "", "zeta Alpha beta gamma"};
  for (std::uint32_t id = 0; id < n && id < 64; ++id) {
    auto record = reader.chunk(id);
    if (!record) t.add(record.error());
    else t.add(record->text.size());
    if (record && id == 0) texts.push_back("\"" + record->text.substr(0, 200));
  }
  if (reader.chunk(n).has_value()) __builtin_trap();
  const std::size_t k = (flags & 4) ? kAll : 1 + flags % 16;
  for (const std::string& text : texts) ranked(t, reader.search_bm25(text, k), k, n);

  std::vector<std::optional<std::vector<float>>> vectors = {std::nullopt};
  const std::uint64_t dim = reader.manifest().dim;
  if (dim > 0 && dim <= kMaxQueryDim) {
    std::vector<float> q(dim);
    for (std::size_t i = 0; i < q.size(); ++i) q[i] = std::sin(0.7f * static_cast<float>(i) + flags);
    vectors.push_back(q);
    q[0] = std::numeric_limits<float>::quiet_NaN();
    vectors.push_back(q);
    vectors.push_back(std::vector<float>(dim + 1, 1.0f));
  }
  for (const auto& v : std::span(vectors).subspan(1)) {
    for (auto mode : {VectorMode::Int8, VectorMode::Binary, VectorMode::BinaryInt8, VectorMode::TernaryInt8}) {
      for (std::size_t candidates : {std::size_t{0}, std::size_t{3}, kAll}) {
        auto r = reader.search_vector_with(*v, k, candidates, mode);
        if (r) ranked(t, *r, k, n);
        else t.add(r.error());
      }
    }
  }
  for (const std::string& text : texts) {
    for (const auto& v : vectors) {
      SearchParams params{.k = k, .depth = (flags & 8) ? 2 : kAll, .phrase_boost = (flags & 16) ? 0.0f : 1.0f};
      auto hits = v ? reader.search(text, std::span<const float>(*v), params)
                    : reader.search(text, std::nullopt, params);
      if (!hits) {
        t.add(hits.error());
        continue;
      }
      std::vector<std::uint32_t> ids;
      for (const Hit& h : *hits) {
        ids.push_back(h.id);
        t.add(h.id, std::bit_cast<std::uint32_t>(h.score), h.bm25_rank.value_or(0), h.vector_rank.value_or(0));
      }
      check_ids(ids, k, n);
    }
  }
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // libFuzzer ends without running exit handlers: nothing stays behind between inputs.
  struct Cleanup { ~Cleanup() { fs::remove_all(root()); } } cleanup;
  write_root({reinterpret_cast<const char*>(data + 1), size - 1}, data[0] & 1);
  auto mapped = IndexReader::open(root(), true);
  auto read = IndexReader::open(root(), false);
  if (mapped.has_value() != read.has_value()) __builtin_trap();
  if (!mapped) {
    if (mapped.error().to_string() != read.error().to_string()) __builtin_trap();
    return 0;
  }
  if (!(run_queries(*mapped, data[0]) == run_queries(*read, data[0]))) __builtin_trap();
  return 0;
}
