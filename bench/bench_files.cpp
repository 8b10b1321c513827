// Speed of the index file builders and readers on the Markdown corpus chunked
// at 1200 characters: records encoded, BM25 documents added, the BM25 finish,
// get_record decodes, and the validation done when a generation is opened.
// Each of our figures is printed next to a peer measured in the same run:
// nlohmann::json for the records, a textbook std::map inverted index for BM25.
//   bench_files [corpus-dir]   (default $TESSAVINE_CORPUS, else ../shared/corpus)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "storage/bin_format.h"
#include "formats/bm25.h"
#include "formats/docs.h"
#include "text/tokenize.h"
#include "base/utf8.h"

#if __has_include("text/chunk.h")
#include "text/chunk.h"
#define HAVE_CHUNKER 1
#else
#define HAVE_CHUNKER 0
#endif

namespace fs = std::filesystem;
using namespace tessavine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxChars = 1200;
constexpr int kRepeats = 5;

struct Note {
  std::string path;
  std::string text;
};

std::vector<Note> load_corpus(const fs::path& root) {
  std::vector<Note> notes;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file() || e.path().extension() != ".md") continue;
    if (e.path().parent_path() == root) continue;  // the corpus's own README
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    notes.push_back({fs::relative(e.path(), root).generic_string(), ss.str()});
  }
  std::sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) { return a.path < b.path; });
  return notes;
}

#if HAVE_CHUNKER
void chunk_note(const Note& note, std::vector<ChunkRecord>& out) {
  for (const Chunk& c : chunk_text(note.text, ChunkOptions{kMaxChars, true})) {
    out.push_back({note.path, c.heading_texts(), c.line_start, c.line_end, c.text});
  }
}
#else
// Stand-in until the Markdown chunker is in this tree: paragraphs (split on
// blank lines) packed greedily up to 1200 characters, longer ones cut, with
// the heading path of the ATX headings seen so far.
void chunk_note(const Note& note, std::vector<ChunkRecord>& out) {
  std::vector<std::string> headings;
  ChunkRecord cur{note.path, {}, 0, 0, ""};
  std::size_t cur_chars = 0;
  const auto flush = [&] {
    if (!cur.text.empty()) out.push_back(cur);
    cur.text.clear();
    cur_chars = 0;
  };
  std::uint32_t line_no = 0;
  std::size_t pos = 0;
  std::string para;
  std::uint32_t para_start = 1;
  const auto add_para = [&](std::uint32_t last_line) {
    if (para.empty()) return;
    const std::size_t chars = utf8::count_chars(para);
    if (cur_chars + chars > kMaxChars) flush();
    if (cur.text.empty()) {
      cur.line_start = para_start;
      cur.heading_path = headings;
    }
    // A paragraph longer than a chunk is cut on character boundaries.
    std::size_t i = 0;
    while (i < para.size()) {
      std::size_t j = i, n = 0;
      while (j < para.size() && cur_chars + n < kMaxChars) {
        utf8::decode(para, j);
        ++n;
      }
      cur.text.append(para, i, j - i);
      cur_chars += n;
      cur.line_end = last_line;
      i = j;
      if (i < para.size()) flush(), cur.line_start = last_line, cur.heading_path = headings;
    }
    para.clear();
  };
  while (pos <= note.text.size()) {
    std::size_t end = note.text.find('\n', pos);
    if (end == std::string::npos) end = note.text.size();
    const std::string_view line(note.text.data() + pos, end - pos);
    ++line_no;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
      add_para(line_no - 1);
      para_start = line_no + 1;
    } else {
      if (line.starts_with("#")) {
        const std::size_t level = line.find_first_not_of('#');
        if (level != std::string_view::npos && level <= 6 && line[level] == ' ') {
          add_para(line_no - 1);
          flush();
          headings.resize(std::min(headings.size(), level - 1));
          headings.emplace_back(line.substr(level + 1));
          para_start = line_no;
        }
      }
      para.append(note.text, pos, end + 1 - pos > note.text.size() - pos ? end - pos : end + 1 - pos);
    }
    pos = end + 1;
  }
  add_para(line_no);
  flush();
}
#endif

std::string search_text(const ChunkRecord& r) {
  std::string s;
  for (std::size_t i = 0; i < r.heading_path.size(); ++i) {
    if (i > 0) s += ' ';
    s += r.heading_path[i];
  }
  s += '\n';
  s += r.text;
  return s;
}

// Best of kRepeats, in seconds.
double best_of(const std::function<void()>& run) {
  double best = 1e300;
  for (int i = 0; i < kRepeats; ++i) {
    const auto t0 = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

void row(const char* what, const char* unit, double ours, double peer, bool higher_is_better) {
  const double ratio = higher_is_better ? ours / peer : peer / ours;
  std::printf("%-34s %14.0f %14.0f %8.2fx  %s\n", what, ours, peer, ratio, unit);
}

void row_ms(const char* what, double ours_s, double peer_s) {
  std::printf("%-34s %14.2f %14.2f %8.2fx  ms (lower is better)\n", what, ours_s * 1e3,
              peer_s * 1e3, peer_s / ours_s);
}

// ---- peers ----

std::string peer_encode(const ChunkRecord& r) {
  nlohmann::ordered_json j;
  j["path"] = r.path;
  j["heading_path"] = r.heading_path;
  j["line_start"] = r.line_start;
  j["line_end"] = r.line_end;
  j["text"] = r.text;
  return j.dump();
}

ChunkRecord peer_decode(std::string_view bytes) {
  const auto j = nlohmann::json::parse(bytes);
  return {j.at("path").get<std::string>(), j.at("heading_path").get<std::vector<std::string>>(),
          j.at("line_start").get<std::uint32_t>(), j.at("line_end").get<std::uint32_t>(),
          j.at("text").get<std::string>()};
}

// The textbook inverted index: ordered maps all the way.
struct PeerBm25 {
  std::vector<std::uint32_t> doc_lens;
  std::map<std::string, std::vector<Posting>> postings;

  void add(const std::vector<std::string>& terms) {
    const auto doc = static_cast<std::uint32_t>(doc_lens.size());
    std::map<std::string, std::uint32_t> tf;
    for (const auto& t : terms) ++tf[t];
    for (const auto& [t, n] : tf) postings[t].push_back({doc, n});
    doc_lens.push_back(static_cast<std::uint32_t>(terms.size()));
  }

  std::vector<std::byte> finish(float k1, float b) const {
    std::uint64_t sum = 0;
    for (auto l : doc_lens) sum += l;
    Writer w = Writer::with_header(kBm25Magic, kBm25Version,
                                   static_cast<std::uint32_t>(doc_lens.size()),
                                   static_cast<std::uint32_t>(postings.size()));
    w.put_f32(doc_lens.empty() ? 0.0f : static_cast<float>(double(sum) / double(doc_lens.size())));
    w.put_f32(k1);
    w.put_f32(b);
    w.put_u32(0);
    for (auto l : doc_lens) w.put_u32(l);
    std::uint32_t total = 0;
    w.put_u32(0);
    for (const auto& [t, p] : postings) w.put_u32(total += static_cast<std::uint32_t>(t.size()));
    total = 0;
    w.put_u32(0);
    for (const auto& [t, p] : postings) w.put_u32(total += static_cast<std::uint32_t>(p.size()));
    for (const auto& [t, p] : postings) w.put_bytes(t);
    w.pad_to_4();
    for (const auto& [t, ps] : postings) {
      for (const auto& p : ps) {
        w.put_u32(p.doc);
        w.put_u32(p.tf);
      }
    }
    return std::move(w).into_bytes();
  }
};

}  // namespace

int main(int argc, char** argv) {
  fs::path root = argc > 1 ? fs::path(argv[1])
                  : std::getenv("TESSAVINE_CORPUS") ? fs::path(std::getenv("TESSAVINE_CORPUS"))
                                                    : fs::path("../shared/corpus");
  const auto notes = load_corpus(root);
  std::vector<ChunkRecord> records;
  for (const auto& n : notes) chunk_note(n, records);
  std::vector<std::vector<std::string>> terms;
  terms.reserve(records.size());
  std::size_t n_terms = 0;
  for (const auto& r : records) {
    terms.push_back(tokenize(search_text(r)));
    n_terms += terms.back().size();
  }
  std::printf("corpus: %zu notes, %zu chunks of at most %zu chars (%s), %zu terms\n", notes.size(),
              records.size(), kMaxChars,
              HAVE_CHUNKER ? "Markdown chunker" : "stand-in chunker: paragraphs packed greedily",
              n_terms);
  std::printf("%-34s %14s %14s %9s\n", "figure", "ours", "peer", "ratio");
  const double n_rec = static_cast<double>(records.size());

  // Records encoded per second (DocsBuilder::add; finish included).
  std::vector<std::byte> docs_bytes;
  const double enc = best_of([&] {
    DocsBuilder b;
    for (const auto& r : records) (void)b.add(r);
    docs_bytes = std::move(b).finish().value();
  });
  std::size_t peer_sink = 0;
  const double enc_peer = best_of([&] {
    std::string data;
    for (const auto& r : records) data += peer_encode(r);
    peer_sink += data.size();
  });
  row("records encoded / s", "(nlohmann ordered_json dump)", n_rec / enc, n_rec / enc_peer, true);

  // BM25 builder: documents added per second, then finish.
  double add_s = 1e300, fin_s = 1e300, add_peer = 1e300, fin_peer = 1e300;
  std::vector<std::byte> bm25_bytes, peer_bytes;
  PeerBm25 peer_index;
  for (int i = 0; i < kRepeats; ++i) {
    Bm25Builder b;
    auto t0 = Clock::now();
    for (const auto& t : terms) b.add_tokens(t);
    auto t1 = Clock::now();
    bm25_bytes = std::move(b).finish(1.2f, 0.75f).value();
    auto t2 = Clock::now();
    add_s = std::min(add_s, std::chrono::duration<double>(t1 - t0).count());
    fin_s = std::min(fin_s, std::chrono::duration<double>(t2 - t1).count());

    PeerBm25 p;
    t0 = Clock::now();
    for (const auto& t : terms) p.add(t);
    t1 = Clock::now();
    peer_bytes = p.finish(1.2f, 0.75f);
    t2 = Clock::now();
    add_peer = std::min(add_peer, std::chrono::duration<double>(t1 - t0).count());
    fin_peer = std::min(fin_peer, std::chrono::duration<double>(t2 - t1).count());
    peer_index = std::move(p);
  }
  if (peer_bytes != bm25_bytes) std::printf("warning: peer bm25.bin differs from ours\n");
  row("BM25 documents added / s", "(std::map inverted index)", n_rec / add_s, n_rec / add_peer,
      true);
  row_ms("BM25 finish", fin_s, fin_peer);
  row_ms("BM25 whole build (add + finish)", add_s + fin_s, add_peer + fin_peer);

  // Opening: the whole-file validation of both readers (on owned copies
  // made beforehand, so only the checks are timed).
  std::optional<Docs> docs;
  std::optional<Bm25> bm25;
  double open_docs = 1e300, open_bm25 = 1e300;
  for (int i = 0; i < kRepeats; ++i) {
    Storage ds = Storage::from_bytes(docs_bytes);
    Storage bs = Storage::from_bytes(bm25_bytes);
    auto t0 = Clock::now();
    docs.emplace(Docs::from_bytes(std::move(ds)).value());
    auto t1 = Clock::now();
    bm25.emplace(Bm25::from_bytes(std::move(bs)).value());
    auto t2 = Clock::now();
    open_docs = std::min(open_docs, std::chrono::duration<double>(t1 - t0).count());
    open_bm25 = std::min(open_bm25, std::chrono::duration<double>(t2 - t1).count());
  }
  std::printf("%-34s %14.2f %14s %9s  ms (docs.bin, %.1f MB)\n", "Docs::from_bytes", open_docs * 1e3,
              "-", "-", docs_bytes.size() / 1e6);
  std::printf("%-34s %14.2f %14s %9s  ms (bm25.bin, %.1f MB)\n", "Bm25::from_bytes", open_bm25 * 1e3,
              "-", "-", bm25_bytes.size() / 1e6);

  // get_record decodes per second, every record in chunk order.
  const double dec = best_of([&] {
    for (std::uint32_t i = 0; i < docs->count(); ++i) peer_sink += docs->get_record(i)->text.size();
  });
  const double dec_peer = best_of([&] {
    for (std::uint32_t i = 0; i < docs->count(); ++i) {
      peer_sink += peer_decode(docs->record_bytes(i)).text.size();
    }
  });
  row("get_record decodes / s", "(nlohmann parse + get)", n_rec / dec, n_rec / dec_peer, true);

  // Term lookups, as BM25 search and phrase checks do them.
  std::vector<std::string> probes;
  for (std::size_t i = 0; i < terms.size(); i += 7) {
    for (const auto& t : terms[i]) probes.push_back(t);
  }
  std::size_t found = 0;
  const double look = best_of([&] {
    for (const auto& t : probes) found += bm25->find_term(t).has_value();
  });
  const double look_peer = best_of([&] {
    for (const auto& t : probes) found += peer_index.postings.count(t);
  });
  row("find_term lookups / s", "(std::map::find in memory)", probes.size() / look,
      probes.size() / look_peer, true);
  if (peer_sink == 42) std::printf("%zu\n", found);
  return 0;
}
