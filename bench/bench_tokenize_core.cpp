// Throughput of the core tokenizer alone (no Python objects) over a corpus
// directory: every *.md file below it, best of five passes.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "text/tokenize.h"

namespace {

class CountingSink final : public tessavine::TermSink {
 public:
  void term(std::string_view) override { ++count; }
  std::size_t count = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::vector<std::string> texts;
  std::size_t bytes = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[1])) {
    if (entry.path().extension() != ".md") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    texts.push_back(buf.str());
    bytes += texts.back().size();
  }
  double best_list = 1e30, best_sink = 1e30;
  std::size_t terms = 0;
  for (int pass = 0; pass < 5; ++pass) {
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& t : texts) terms = tessavine::tokenize(t).size();
    auto t1 = std::chrono::steady_clock::now();
    CountingSink sink;
    for (const auto& t : texts) tessavine::tokenize(t, sink);
    auto t2 = std::chrono::steady_clock::now();
    best_list = std::min(best_list, std::chrono::duration<double>(t1 - t0).count());
    best_sink = std::min(best_sink, std::chrono::duration<double>(t2 - t1).count());
    terms = sink.count;
  }
  std::printf("%zu %zu %.6f %.6f\n", bytes, terms, best_list, best_sink);
  return 0;
}
