"""Keyword search: tessavine's search_bm25 against SQLite FTS5 and tantivy.

Chunks every note of the corpus with chunk_text at 1,200 characters, indexes
the same chunks (heading path, a line feed, the text) in all three engines,
and runs the 500 known-item queries of queries.tsv at k = 10 against each.
Prints, per engine: index build time, open time, p50 and p99 query latency
(each query timed alone, from the Python call to the list of results),
queries per second on one thread, and MRR@10 of the known item (a hit counts
when its chunk is in the query's target note under the target heading).

Peers: SQLite FTS5 from Python's sqlite3 (unicode61 tokenizer, bm25()
ranking, the query's words joined by OR) and tantivy from PyPI (default
tokenizer, the query parser's default OR of the words, one indexing thread),
installed into this interpreter on first use.

Corpus: "Microsoft C++, C, and Assembler documentation" by Microsoft
Corporation and contributors (CC BY 4.0) and tldr-pages (CC BY 4.0); see the
corpus README.

Scale: BENCH_SCALE=N indexes the corpus N times over (1, the default; 4; 16),
every copy's note paths under "copy{i}/"; a list such as 1,4,16 measures each
in turn and ends with the growth of every engine's p50 and p99 from the first
scale, so that the growth of each cost with the size of the index shows. A
known item counts in any copy. BENCH_ENGINES (default "tessavine,fts5,tantivy")
picks the engines, since FTS5 at 16x takes minutes. The engines' timed rounds
are interleaved, so that a busy machine slows them alike, and beside the p50
and p99 of all timings stand those of each query's best round ("best p50",
"best p99"), which a preempted call on a shared machine does not move.

Run: make bench, or TESSAVINE_CORPUS=../shared/corpus .venv/bin/python bench/bench_bm25.py
"""
import importlib
import os
import shutil
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

from common import CORPUS, best_of, ensure_modules  # noqa: E402 (also puts python/ on the path)
K = 10
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
SCALES = [int(s) for s in os.environ.get("BENCH_SCALE", "1").split(",")]
ENGINES = os.environ.get("BENCH_ENGINES", "tessavine,fts5,tantivy").split(",")

from tessavine._core import ChunkRecord, IndexReader, IndexWriter, chunk_text  # noqa: E402


def load_tantivy():
    if not ensure_modules(["tantivy"], ["tantivy"]):
        print("  could not install tantivy; its row stays empty")
        return None
    return importlib.import_module("tantivy")


def corpus_chunks(scale=1):
    """(path, heading path, search text, record) of every chunk, in corpus
    order, `scale` times over: copy i stores its note paths under "copy{i}/"
    (the first element keeps the corpus path, for the known items)."""
    manifest = CORPUS / "manifest.tsv"
    if not manifest.is_file():
        sys.exit(f"corpus not found at {CORPUS} (set TESSAVINE_CORPUS)")
    paths = [line.split("\t")[0] for line in manifest.read_text().splitlines()]
    chunks = []
    for path in paths:
        if not path.endswith(".md"):
            continue
        for c in chunk_text((CORPUS / path).read_bytes().decode("utf-8"), 1200):
            record = ChunkRecord(path, c.heading_path, c.line_start, c.line_end, c.text)
            chunks.append((path, c.heading_path, " ".join(c.heading_path) + "\n" + c.text, record))
    if scale == 1:
        return chunks
    return [(path, heading, text, ChunkRecord(f"copy{i}/{path}", heading, r.line_start, r.line_end, r.text))
            for i in range(scale) for path, heading, text, r in chunks]


def load_queries():
    rows = [line.split("\t") for line in (CORPUS / "queries.tsv").read_text(encoding="utf-8").splitlines()]
    return [(q, path, heading) for q, path, heading in rows]


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


class Tessavine:
    name = "tessavine search_bm25"

    def __init__(self, work):
        self.root = work / "tessavine"

    def build(self, chunks):
        writer = IndexWriter(0)
        for *_, record in chunks:
            writer.add(record)
        writer.commit(self.root)

    def open(self):
        self.reader = IndexReader.open(self.root)

    def search(self, query):
        return [i for i, _ in self.reader.search_bm25(query, K)]

    def searcher(self):
        search = self.reader.search_bm25
        return lambda q: search(q, K)


class Fts5:
    name = "SQLite FTS5 bm25()"

    def __init__(self, work):
        self.path = work / "fts5.sqlite"

    def build(self, chunks):
        db = sqlite3.connect(self.path)
        db.execute("CREATE VIRTUAL TABLE chunks USING fts5(body)")
        with db:
            db.executemany("INSERT INTO chunks(rowid, body) VALUES (?, ?)",
                           ((i, text) for i, (_, _, text, _) in enumerate(chunks)))
        db.close()

    def open(self):
        self.db = sqlite3.connect(self.path, check_same_thread=False)
        self.db.execute("SELECT rowid FROM chunks WHERE chunks MATCH 'x' LIMIT 0").fetchall()

    @staticmethod
    def match(query):
        return " OR ".join(f'"{w}"' for w in query.split())

    SQL = "SELECT rowid, bm25(chunks) FROM chunks WHERE chunks MATCH ? ORDER BY bm25(chunks) LIMIT ?"

    def search(self, query):
        return [i for i, _ in self.db.execute(self.SQL, (self.match(query), K)).fetchall()]

    def searcher(self):
        execute, sql, match = self.db.execute, self.SQL, self.match
        return lambda q: execute(sql, (match(q), K)).fetchall()


class Tantivy:
    name = "tantivy"

    def __init__(self, work, tantivy):
        self.dir = work / "tantivy"
        self.dir.mkdir()
        self.t = tantivy
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False)
        self.schema = builder.build()

    def build(self, chunks):
        index = self.t.Index(self.schema, path=str(self.dir))
        writer = index.writer(heap_size=256_000_000, num_threads=1)
        for _, _, text, _ in chunks:
            writer.add_document(self.t.Document(body=text))
        writer.commit()
        writer.wait_merging_threads()

    def open(self):
        self.index = self.t.Index.open(str(self.dir))
        self.index_searcher = self.index.searcher()
        assert self.index_searcher.num_segments == 1, "document numbers would not be chunk numbers"

    def search(self, query):
        # One segment written by one thread: document numbers are chunk numbers.
        hits = self.index_searcher.search(self.index.parse_query(query, ["body"]), K).hits
        return [address.doc for _, address in hits]

    def searcher(self):
        search, parse = self.index_searcher.search, self.index.parse_query
        fields = ["body"]
        return lambda q: [(a.doc, s) for s, a in search(parse(q, fields), K).hits]


def mrr(engine, queries, chunks):
    total = 0.0
    for query, path, heading in queries:
        for rank, i in enumerate(engine.search(query), 1):
            if chunks[i][0] == path and chunks[i][1] and chunks[i][1][-1] == heading:
                total += 1.0 / rank
                break
    return total / len(queries)


def latencies(engines, queries):
    """Per engine, the time of each query in each round, rounds interleaved."""
    searches = {engine.name: engine.searcher() for engine in engines}
    texts = [q for q, _, _ in queries]
    for search in searches.values():  # warm-up: page in the index, fill caches
        for q in texts:
            search(q)
    times = {name: [] for name in searches}
    clock = time.perf_counter
    for _ in range(ROUNDS):
        for name, search in searches.items():
            for q in texts:
                start = clock()
                search(q)
                times[name].append(clock() - start)
    return times


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def measure(scale, tantivy, queries):
    start = time.perf_counter()
    chunks = corpus_chunks(scale)
    print(f"corpus x{scale}: {len(chunks)} chunks at 1200 characters (chunked in {time.perf_counter() - start:.1f} s); "
          f"{len(queries)} queries, k = {K}, {ROUNDS} timed rounds")
    work = Path(tempfile.mkdtemp(prefix="bench-bm25-"))
    try:
        engines = []
        if "tessavine" in ENGINES:
            engines.append(Tessavine(work))
        if "fts5" in ENGINES:
            engines.append(Fts5(work))
        if tantivy is not None:
            engines.append(Tantivy(work, tantivy))
        rows = {}
        for engine in engines:
            build_s, _ = timed(lambda: engine.build(chunks))
            open_s = best_of(engine.open)
            engine.open()
            rows[engine.name] = dict(build=build_s, open=open_s, mrr=mrr(engine, queries, chunks))
        for name, times in latencies(engines, queries).items():
            best = [min(times[i::len(queries)]) for i in range(len(queries))]
            rows[name].update(p50=percentile(times, 50), p99=percentile(times, 99), qps=len(times) / sum(times),
                              mean=statistics.fmean(times), best50=percentile(best, 50), best99=percentile(best, 99))
        header = (f"{'':24}{'build s':>9}{'open ms':>9}{'p50 µs':>9}{'p99 µs':>9}{'best p50':>9}{'best p99':>9}"
                  f"{'QPS':>9}{'MRR@10':>8}")
        print(header)
        for name, r in rows.items():
            print(f"{name:24}{r['build']:9.2f}{r['open'] * 1e3:9.2f}{r['p50'] * 1e6:9.1f}{r['p99'] * 1e6:9.1f}"
                  f"{r['best50'] * 1e6:9.1f}{r['best99'] * 1e6:9.1f}{r['qps']:9.0f}{r['mrr']:8.3f}")
        ours = rows.get(Tessavine.name)
        for name, r in rows.items():
            if ours is None or name == Tessavine.name:
                continue
            print(f"{name}: p50 ratio ours/peer {ours['p50'] / r['p50']:.2f}, p99 {ours['p99'] / r['p99']:.2f}, "
                  f"best p50 {ours['best50'] / r['best50']:.2f}, best p99 {ours['best99'] / r['best99']:.2f}, "
                  f"QPS ours/peer {ours['qps'] / r['qps']:.2f}, build {ours['build'] / r['build']:.2f}, "
                  f"open {ours['open'] / r['open']:.2f}")
        return rows
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    tantivy = load_tantivy() if "tantivy" in ENGINES else None
    queries = load_queries()
    by_scale = {scale: measure(scale, tantivy, queries) for scale in SCALES}
    if len(SCALES) < 2:
        return
    first = SCALES[0]
    print(f"growth from x{first}:")
    for name in by_scale[first]:
        grow = lambda s, key: by_scale[s][name][key] / by_scale[first][name][key]  # noqa: E731
        cells = [f"x{s}: p50 {grow(s, 'p50'):.1f}x, p99 {grow(s, 'p99'):.1f}x, best p50 {grow(s, 'best50'):.1f}x, "
                 f"best p99 {grow(s, 'best99'):.1f}x" for s in SCALES[1:]]
        print(f"  {name:24}" + "; ".join(cells))


if __name__ == "__main__":
    main()
