// Writes the seed inputs of the fuzzers: valid files made by the builders,
// plus a few hand-made variants the builders never produce.
//   make_seeds <corpus-root>   (creates <root>/fuzz_docs, fuzz_bm25, fuzz_manifest,
//                               fuzz_generation)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/bm25.h"
#include "formats/docs.h"
#include "formats/manifest.h"
#include "index/writer.h"

namespace fs = std::filesystem;
using namespace tessavine;

namespace {

void write(const fs::path& dir, const std::string& name, const void* data, std::size_t size) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write(static_cast<const char*>(data),
                                                    static_cast<std::streamsize>(size));
}
void write(const fs::path& dir, const std::string& name, const std::vector<std::byte>& b) {
  write(dir, name, b.data(), b.size());
}
void write(const fs::path& dir, const std::string& name, const std::string& s) {
  write(dir, name, s.data(), s.size());
}

void docs_seeds(const fs::path& dir) {
  write(dir, "empty", DocsBuilder{}.finish().value());
  DocsBuilder b;
  (void)b.add({"notes/a.md", {}, 1, 3, "Hello world"});
  (void)b.add({"notes/b.md", {"Top", "Caf\xC3\xA9"}, 0, 4294967295u, "q\"\\\n\t\x01\x7F \xF0\x9F\x98\x80"});
  (void)b.add({"", {""}, 7, 7, ""});
  write(dir, "three", std::move(b).finish().value());
  // The array form and an unknown key, which only other writers produce.
  const std::string area =
      R"(["p",["h"],1,2,"t"]{"x":[{"y":null}],"text":"t","line_end":2,"line_start":1,"heading_path":[],"path":"p"})";
  Writer w = Writer::with_header(kDocsMagic, kDocsVersion, 2, 0);
  w.put_u64(0);
  w.put_u64(19);
  w.put_u64(area.size());
  w.put_bytes(area);
  write(dir, "forms", std::move(w).into_bytes());
}

void bm25_seeds(const fs::path& dir) {
  write(dir, "empty", Bm25Builder{}.finish(1.2f, 0.75f).value());
  Bm25Builder b;
  b.add_tokens(std::vector<std::string>{"alpha", "alpha", "beta"});
  b.add_tokens(std::vector<std::string>{});
  b.add_tokens(std::vector<std::string>{"b", "a", "ab", "caf\xC3\xA9"});
  b.add_tokens(std::vector<std::string>{"beta", "gamma", "a"});
  write(dir, "four", std::move(b).finish(1.2f, 0.75f).value());
  Bm25Builder one;
  one.add_tokens(std::vector<std::string>{"x"});
  write(dir, "one", std::move(one).finish(0.0f, 1.0f).value());
}

void manifest_seeds(const fs::path& dir) {
  Manifest m;
  m.format = std::string(kManifestFormat);
  m.schema_version = kSchemaVersion;
  m.created_by = "tessavine-core 0.2.0";
  m.generation = 1;
  m.n_chunks = 3;
  m.dim = 384;
  m.files = {{"bm25.bin", 168}, {"docs.bin", 431}, {"vectors.bin", 1468}};
  write(dir, "plain", m.to_json().value());
  m.embedder = "model \"x\"";
  m.dim = 0;
  m.files.erase("vectors.bin");
  m.metadata = nlohmann::json::parse(
      R"({"tags":["a","b"],"n":-3,"big":18446744073709551615,"f":0.1,"o":{"k":null,"t":true}})");
  write(dir, "metadata", m.to_json().value());
  write(dir, "compact",
        std::string(R"({"format":"tessavine-index","schema_version":2,"created_by":"c",)"
                    R"("generation":2,"n_chunks":0,"dim":0,"bm25":{"k1":1,"b":0.5,"z":[]},)"
                    R"("files":{"bm25.bin":40,"docs.bin":24},"extra":{"a":[1]}})"));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Generations committed by the writer, packed as fuzz_generation reads them.
void generation_seeds(const fs::path& dir) {
  const std::vector<std::string> texts = {"alpha beta gamma", "beta gamma delta\n\nalpha",
                                          "zeta fooBar alpha beta", "", "gamma \"quoted\" beta"};
  for (std::uint64_t dim : {0, 3, 16}) {
    for (std::size_t count : {std::size_t{0}, texts.size()}) {
      const fs::path root = dir / "tmp-root";
      fs::remove_all(root);
      IndexWriter writer(WriterOptions{dim, "model", nlohmann::json::object(), {}});
      for (std::size_t i = 0; i < count; ++i) {
        std::vector<float> v(dim);
        for (std::size_t j = 0; j < dim; ++j) v[j] = static_cast<float>((i * 7 + j * 3) % 5) - 2.0f;
        if (dim > 0) v[0] = 1.0f;
        const ChunkRecord record{"n" + std::to_string(i) + ".md", {"Top", "Sub"}, 1, 2, texts[i]};
        if (!writer.add(record, dim ? std::optional(std::span<const float>(v)) : std::nullopt))
          std::abort();
      }
      const auto info = std::move(writer).commit(root);
      if (!info) std::abort();
      std::string packed(1, '\0');
      packed += read_file(root / "CURRENT");
      for (const char* name : {"manifest.json", "docs.bin", "bm25.bin", "vectors.bin"}) {
        if (!fs::exists(info->dir / name)) break;
        packed += "\n--file--\n" + read_file(info->dir / name);
      }
      write(dir, "dim" + std::to_string(dim) + "-n" + std::to_string(count), packed);
      fs::remove_all(root);
    }
  }
}

// Notes and queries for the text harnesses (chunk seeds start with their two
// option bytes: max_chars 1 + 20, Markdown mode).
void text_seeds(const fs::path& root) {
  const std::string note =
      "Intro line\r\n# Title ##\n\nSome camelCase text, XMLParser utf8 v2.\n"
      "## Sub\n```cpp\nint x;\n\n# not a heading\n````\n   ~~~\nunclosed \xC3\xA9\xE2\x80\x83\n"
      "####### seven\n    # indented\nalpha beta gamma delta epsilon zeta eta theta\n";
  write(root / "fuzz_chunk", "note", "\x14\x00" + note);
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
  const fs::path root = argv[1];
  docs_seeds(root / "fuzz_docs");
  bm25_seeds(root / "fuzz_bm25");
  manifest_seeds(root / "fuzz_manifest");
  generation_seeds(root / "fuzz_generation");
  text_seeds(root);
  return 0;
}
