// Writes the seed inputs of the fuzzers (make_seeds <corpus-root> fills <root>/fuzz_*): generations committed
// by the writer, packed for fuzz_generation and split into files for the file readers, plus a few hand-made
// inputs the writer never produces.
#include <fstream>

#include "formats/bm25.h"
#include "formats/docs.h"
#include "index/writer.h"

namespace fs = std::filesystem;
using namespace tessavine;

namespace {

void write(const fs::path& dir, const std::string& name, const auto& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Keyword-only and vector generations, empty and not, whose records hold escapes, the widest line numbers
// and empty fields, with metadata of every JSON kind.
void generation_seeds(const fs::path& root) {
  const std::vector<ChunkRecord> records = {
      {"notes/a.md", {"Top", "Caf\xC3\xA9"}, 1, 3, "alpha beta gamma"},
      {"notes/b.md", {}, 0, 4294967295u, "q\"\\\n\t\x01\x7F \xF0\x9F\x98\x80 gamma \"quoted\" beta"},
      {"", {""}, 7, 7, ""}, {"n.md", {"Sub"}, 1, 2, "zeta fooBar alpha beta\n\nbeta gamma delta"}};
  const auto metadata = nlohmann::json::parse(
      R"({"tags":["a","b"],"n":-3,"big":18446744073709551615,"f":0.1,"o":{"k":null,"t":true}})");
  const std::pair<const char*, const char*> files[] = {
      {"manifest.json", "fuzz_manifest"}, {"docs.bin", "fuzz_docs"}, {"bm25.bin", "fuzz_bm25"}, {"vectors.bin", ""}};
  const fs::path tmp = root / "tmp-root";
  for (std::uint64_t dim : {0, 3, 16}) {
    for (std::size_t count : {std::size_t{0}, records.size()}) {
      fs::remove_all(tmp);
      IndexWriter writer(WriterOptions{dim, "model \"x\"", metadata, {}});
      for (std::size_t i = 0; i < count; ++i) {
        std::vector<float> v(dim);
        for (std::size_t j = 0; j < dim; ++j) v[j] = j ? static_cast<float>((i * 7 + j * 3) % 5) - 2.0f : 1.0f;
        if (!writer.add(records[i], dim ? std::optional(std::span<const float>(v)) : std::nullopt)) std::abort();
      }
      const auto info = std::move(writer).commit(tmp);
      if (!info) std::abort();
      const std::string name = "dim" + std::to_string(dim) + "-n" + std::to_string(count);
      std::string packed = '\0' + read_file(tmp / "CURRENT");
      for (const auto& [file, harness] : files) {
        if (!fs::exists(info->dir / file)) break;
        packed += "\n--file--\n" + read_file(info->dir / file);
        if (*harness) write(root / harness, name, read_file(info->dir / file));
      }
      write(root / "fuzz_generation", name, packed);
    }
  }
  fs::remove_all(tmp);
}

void hand_made_seeds(const fs::path& root) {
  // docs.bin: the array form and an unknown key, which only other writers produce.
  const std::string area =
      R"(["p",["h"],1,2,"t"]{"x":[{"y":null}],"text":"t","line_end":2,"line_start":1,"heading_path":[],"path":"p"})";
  Writer w = Writer::with_header(kDocsMagic, kDocsVersion, 2, 0);
  for (std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{19}, area.size()}) w.put_u64(offset);
  w.put_bytes(area);
  write(root / "fuzz_docs", "forms", std::move(w).into_bytes());
  // bm25.bin: terms of one character and parameters the writer never stores.
  Bm25Builder bm25;
  for (const auto& terms : {std::vector<std::string>{"b", "a", "ab", "caf\xC3\xA9", "a"}, {}})
    bm25.add_tokens(terms);
  write(root / "fuzz_bm25", "short-terms", std::move(bm25).finish(0.0f, 1.0f).value());
  write(root / "fuzz_manifest", "compact",
        std::string(R"({"format":"tessavine-index","schema_version":2,"created_by":"c",)"
                    R"("generation":2,"n_chunks":0,"dim":0,"bm25":{"k1":1,"b":0.5,"z":[]},)"
                    R"("files":{"bm25.bin":40,"docs.bin":24},"extra":{"a":[1]}})"));
  // Notes and queries for the text harnesses (chunk seeds start with two option bytes: max_chars, mode).
  const std::string note =
      "Intro line\r\n# Title ##\n\nSome camelCase text, XMLParser utf8 v2.\n"
      "## Sub\n```cpp\nint x;\n\n# not a heading\n````\n   ~~~\nunclosed \xC3\xA9\xE2\x80\x83\n"
      "####### seven\n    # indented\nalpha beta gamma delta epsilon zeta eta theta\n";
  write(root / "fuzz_chunk", "note", std::string("\x14\x00", 2) + note);
  write(root / "fuzz_chunk", "plain", "\x05\x01" + note);
  write(root / "fuzz_tokenize", "note", note + "\xC4\xB0STANBUL \xCE\xA3\xCE\x91\xCE\xA3 ToDo 2fa");
  write(root / "fuzz_phrase", "query",
        std::string("\"state of the art\" \xE2\x80\x9C" "fooBar baz\xE2\x80\x9D \"a\" unmatched \"open"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus-root>\n", argv[0]);
    return 2;
  }
  generation_seeds(argv[1]);
  hand_made_seeds(argv[1]);
}
