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


def main():
    if not ensure_modules(["faiss-cpu"], ["faiss"]):
        sys.exit("faiss-cpu could not be installed")
    from tessavine._core import ChunkRecord, IndexReader, IndexWriter
    texts = embeddings.corpus_chunks()
    ids, real, queries, query_vectors, source = embeddings.load()
    vectors = chunk_vectors(len(texts), ids, real)
    root = tempfile.mkdtemp(prefix="bench-hybrid-")
    try:
        writer = IndexWriter(vectors.shape[1])
        for i, text in enumerate(texts):
            heading, body = text.split("\n", 1)
            writer.add(ChunkRecord(f"c/{i}.md", heading.split(" ") if heading else [], 1, 1, body), vectors[i])
        writer.commit(root)
        reader = IndexReader.open(root)
        peer = Peer(texts, vectors)

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
    print(f"corpus index: {len(texts):,} chunks, D = {vectors.shape[1]}; vectors: {source}; "
          f"the other chunks take an embedded chunk's vector with noise sigma {NOISE}")
    print(f"{len(queries)} known-item queries, k = {K}, depth = {DEPTH}, candidates = 200, single thread")
    table(rows, ["search", "p50 ms", "p99 ms", "peer p50 ms", "peer p99 ms", "p50 peer / ours"])


if __name__ == "__main__":
    main()
