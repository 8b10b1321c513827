"""Hybrid search latency on the corpus index: p50 and p99 of
IndexReader.search over the corpus's 500 known-item queries, without and with
a query vector, and with the query's first two words as a quoted phrase.

The index holds every chunk of the corpus (chunk_text defaults) with a
384-dimensional embedding: the cached all-MiniLM-L6-v2 embedding where the
chunk was embedded (see embeddings.py), otherwise an embedded chunk's vector
with small noise; query vectors are the queries embedded with the same model.

The peer, measured in the same run, does the same job with common parts:
SQLite FTS5 (bm25, terms joined by OR, a quoted phrase as an FTS5 phrase) and
faiss-cpu IndexFlatIP, each asked for 50 results, fused by reciprocal rank in
Python. It re-ranks nothing, so its phrase rows only show the cost of phrase
matching in FTS5. Single thread throughout.

Then the overhead of hybrid search over its parts, from our own calls: BM25
alone (search_bm25, k = 10), the vector search alone (search_vector,
ternary+int8, k = 10, candidates = 200), and hybrid search without and with
the vector, each timed per query over BENCH_ROUNDS rounds (default 3), the
calls interleaved query by query; "best" columns take each query's best round,
which a preempted call on a shared machine does not move.

BENCH_SCALE=N indexes the corpus N times over (every copy's chunks under
"copy{i}/"; the copies' vectors get the same small noise as the unembedded
chunks). BENCH_PEER=0 leaves the peer out (faiss's flat scan at 16x takes
minutes). BENCH_VECTORS=random uses random unit vectors instead of the model's
embeddings: the cost of our vector search does not depend on the values.
"""
import os
import shutil
import sqlite3
import sys
import tempfile
import time

import numpy as np

import embeddings
from common import ensure_modules, table

DEPTH = 50
K = 10
NOISE = 0.01
SCALE = int(os.environ.get("BENCH_SCALE", "1"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
PEER = os.environ.get("BENCH_PEER", "1") != "0"


def percentiles(fn, items):
    times = []
    for item in items:
        t0 = time.perf_counter()
        fn(item)
        times.append(time.perf_counter() - t0)
    return np.percentile(times, 50), np.percentile(times, 99)


def chunk_vectors(n, ids, vectors):
    """A vector for each of n chunks: its own embedding when it has one."""
    out = embeddings.tile(vectors, n, NOISE, seed=3)
    out[ids] = vectors
    return out


def quoted(text):
    words = text.split()
    return f'"{" ".join(words[:2])}" {" ".join(words[2:])}'.strip() if len(words) >= 2 else text


class Peer:
    def __init__(self, texts, vectors):
        import faiss
        faiss.omp_set_num_threads(1)
        self.db = sqlite3.connect(":memory:")
        self.db.execute("CREATE VIRTUAL TABLE chunks USING fts5(text)")
        self.db.executemany("INSERT INTO chunks(rowid, text) VALUES (?, ?)", enumerate(texts))
        self.flat = faiss.IndexFlatIP(vectors.shape[1])
        self.flat.add(vectors / np.linalg.norm(vectors, axis=1, keepdims=True))

    def fts_query(self, text):
        from tessavine._core import tokenize
        parts = []
        for i, piece in enumerate(text.split('"')):
            terms = tokenize(piece)
            if i % 2 and terms:
                parts.append('"' + " ".join(terms) + '"')
            else:
                parts.extend(f'"{t}"' for t in terms)
        return " OR ".join(parts)

    def search(self, text, vector):
        rankings = []
        query = self.fts_query(text)
        if query:
            rankings.append([r for (r,) in self.db.execute(
                "SELECT rowid FROM chunks WHERE chunks MATCH ? ORDER BY rank LIMIT ?", (query, DEPTH))])
        if vector is not None:
            q = vector / np.linalg.norm(vector)
            rankings.append(list(self.flat.search(q[None, :], DEPTH)[1][0]))
        fused = {}
        for ranking in rankings:
            for r, chunk in enumerate(ranking):
                fused[chunk] = fused.get(chunk, 0.0) + 1.0 / (60.0 + r + 1.0)
        return sorted(fused.items(), key=lambda p: (-p[1], p[0]))[:K]


def random_unit(n, seed):
    x = np.random.default_rng(seed).standard_normal((n, embeddings.DIM)).astype(np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def overheads(reader, queries, query_vectors):
    """p50 and p99 (s) of each of our calls, per query interleaved."""
    calls = {
        "BM25 alone": lambda q, v: reader.search_bm25(q, K),
        "vector alone": lambda q, v: reader.search_vector(v, K, 200, "ternary+int8"),
        "hybrid, no vector": lambda q, v: reader.search(q, None, k=K, depth=DEPTH),
        "hybrid with vector": lambda q, v: reader.search(q, v, k=K, depth=DEPTH),
    }
    times = {name: [] for name in calls}
    items = list(zip(queries, query_vectors))
    for q, v in items[:20]:
        for call in calls.values():
            call(q, v)
    clock = time.perf_counter
    for _ in range(ROUNDS):
        for q, v in items:
            for name, call in calls.items():
                t0 = clock()
                call(q, v)
                times[name].append(clock() - t0)
    out = {}
    for name, t in times.items():
        best = np.min(np.array(t).reshape(ROUNDS, len(items)), axis=0)
        out[name] = (np.percentile(t, 50), np.percentile(t, 99), np.percentile(best, 50), np.percentile(best, 99))
    return out


def main():
    if PEER and not ensure_modules(["faiss-cpu"], ["faiss"]):
        sys.exit("faiss-cpu could not be installed")
    from tessavine._core import ChunkRecord, IndexReader, IndexWriter
    texts = embeddings.corpus_chunks()
    if os.environ.get("BENCH_VECTORS") == "random":
        queries = embeddings.corpus_queries()
        ids = np.arange(len(texts))
        real, query_vectors = random_unit(len(texts), 1), random_unit(len(queries), 2)
        source = "RANDOM unit vectors (BENCH_VECTORS=random)"
    else:
        ids, real, queries, query_vectors, source = embeddings.load()
    n = len(texts)
    vectors = chunk_vectors(n * SCALE, ids, real)
    root = tempfile.mkdtemp(prefix="bench-hybrid-")
    try:
        writer = IndexWriter(vectors.shape[1])
        for c in range(SCALE):
            prefix = f"copy{c}/" if SCALE > 1 else ""
            for i, text in enumerate(texts):
                heading, body = text.split("\n", 1)
                writer.add(ChunkRecord(f"{prefix}c/{i}.md", heading.split(" ") if heading else [], 1, 1, body),
                           vectors[c * n + i])
        writer.commit(root)
        reader = IndexReader.open(root)
        parts = overheads(reader, queries, query_vectors)
        if not PEER:
            report_overheads(parts, n * SCALE, vectors.shape[1], source, len(queries))
            return
        peer = Peer(texts * SCALE, vectors)

        cases = [("text", queries, [None] * len(queries)),
                 ("text + vector", queries, list(query_vectors)),
                 ("quoted phrase", [quoted(q) for q in queries], [None] * len(queries)),
                 ("quoted phrase + vector", [quoted(q) for q in queries], list(query_vectors))]
        rows = []
        for name, texts_, vecs in cases:
            items = list(zip(texts_, vecs))
            ours = lambda item: reader.search(item[0], item[1], k=K, depth=DEPTH)
            theirs = lambda item: peer.search(item[0], item[1])
            for item in items[:20]:
                ours(item)
                theirs(item)
            o50, o99 = percentiles(ours, items)
            p50, p99 = percentiles(theirs, items)
            rows.append([name, f"{o50 * 1e3:.3f}", f"{o99 * 1e3:.3f}", f"{p50 * 1e3:.3f}", f"{p99 * 1e3:.3f}",
                         f"{p50 / o50:.2f}x"])
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"corpus index: {len(texts) * SCALE:,} chunks, D = {vectors.shape[1]}; vectors: {source}; "
          f"the other chunks take an embedded chunk's vector with noise sigma {NOISE}")
    print(f"{len(queries)} known-item queries, k = {K}, depth = {DEPTH}, candidates = 200, single thread")
    table(rows, ["search", "p50 ms", "p99 ms", "peer p50 ms", "peer p99 ms", "p50 peer / ours"])
    print()
    report_overheads(parts, len(texts) * SCALE, vectors.shape[1], source, len(queries))


def report_overheads(parts, chunks, dim, source, n_queries):
    print(f"overhead of hybrid search over its parts: {chunks:,} chunks (corpus x{SCALE}), D = {dim}, "
          f"vectors: {source}; {n_queries} queries x {ROUNDS} rounds, k = {K}, depth = {DEPTH}")
    table([[name] + [f"{t * 1e6:.1f}" for t in times] for name, times in parts.items()],
          ["call", "p50 us", "p99 us", "best p50 us", "best p99 us"])
    for col, label in ((0, "p50"), (2, "best-round p50")):
        bm25, vector = parts["BM25 alone"][col], parts["vector alone"][col]
        print(f"{label}: hybrid without a vector / BM25 alone {parts['hybrid, no vector'][col] / bm25:.2f}; "
              f"hybrid with a vector / (BM25 alone + vector alone) "
              f"{parts['hybrid with vector'][col] / (bm25 + vector):.2f}")


if __name__ == "__main__":
    main()
