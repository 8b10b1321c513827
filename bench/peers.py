"""The engines of the benchmark report behind one small interface: tessavine
(keyword-only and with vectors) and its peers tantivy, SQLite FTS5, bm25s,
faiss (IndexBinaryFlat, IndexFlatIP) and NumPy.

An engine is built by `build(chunks, vectors, root, mark)`, which adds every
chunk (or vector), calls `mark()` and then commits (publishes) to `root`; it is
opened by `open`, and answers queries through the plain function `searcher`
returns, which is what the timed loops call. `ids` turns one answer into chunk
ids after the timing. Single thread throughout.

Defaults of the peers that differ from tessavine's are listed in DEFAULTS and
printed in the report.
"""
import os
import sqlite3

import numpy as np

from scaled import K, search_text

DEPTH = 50
CANDIDATES = 200
RRF_K = 60.0
MODES = ["binary", "binary+int8", "ternary+int8", "int8"]

DEFAULTS = {
    "tantivy": "default tokenizer (splits on non-alphanumerics, lower-cases, drops tokens over 40 "
               "bytes; no stop-words, no stemming, no camel-case or letter/digit splits); the query "
               "parser's default OR of the words; BM25 k1 1.2, b 0.75; one field holding heading path "
               "and text, not stored (its index holds no text, while tessavine's docs.bin holds every "
               "chunk record); writer with 1 thread and the default 128 MB heap (it flushes a segment "
               "whenever the heap is full, so larger scales search several segments); merges run on "
               "tantivy's own merge thread and are waited for in the commit; a fast integer field maps "
               "its documents back to chunk ids after the timing; searched with count=False (no hit "
               "count, which lets it skip blocks)",
    "SQLite FTS5": "unicode61 tokenizer (case folding, diacritics removed; no stop-words, no "
                   "stemming, no camel-case splits); the query's words quoted and joined by OR; "
                   "bm25() with k1 1.2, b 0.75; one column holding heading path and text, stored in "
                   "its content table; rowid = chunk id; one transaction, default page cache and "
                   "synchronous setting",
    "bm25s": "its own tokenizer (lower-cased, words of 2+ word characters by its regular expression, "
             "underscores kept inside words), its default English stop-word list, no stemming; k1 set "
             "to 1.2 and b 0.75 to match ours (its default k1 is 1.5), its default 'lucene' idf; "
             "scores are precomputed at index time into a sparse matrix; no text stored; the NumPy "
             "backend, in the calling thread (n_threads=0)",
    "faiss": "IndexBinaryFlat over the same sign codes (tessavine's quantize_binary), exhaustive "
             "Hamming with its own top-k; IndexFlatIP over the unit-normalised float32 vectors "
             "(exact cosine); 1 OpenMP thread; an index is written with write_index and read back "
             "whole (no mmap)",
    "NumPy": "exact cosine: one float32 matrix-vector product over the unit-normalised vectors, "
             "argpartition for the top 10, then a sort of those 10; BLAS limited to 1 thread",
}


class OursText:
    """tessavine keyword-only index (IndexWriter(0)), queried with search_bm25."""
    name = "tessavine"
    dim = 0

    def build(self, chunks, vectors, root, mark):
        from tessavine._core import ChunkRecord, IndexWriter
        writer = IndexWriter(self.dim)
        add = writer.add
        if self.dim == 0:
            for c in chunks:
                add(ChunkRecord(*c))
        else:
            for c, v in zip(chunks, vectors):
                add(ChunkRecord(*c), v)
        mark()
        writer.commit(root)

    def open(self, root, mmap=True):
        from tessavine._core import IndexReader
        self.reader = IndexReader.open(root, mmap=mmap)

    def files(self):
        return sorted(p for p in self.reader.dir.iterdir() if p.is_file())

    def searcher(self, k=K):
        search = self.reader.search_bm25
        return lambda q: search(q, k)

    @staticmethod
    def ids(answer):
        return [i for i, _ in answer]


class OursFull(OursText):
    """tessavine index with 384-dimensional vectors: vector and hybrid search."""
    name = "tessavine + vectors"
    dim = 384

    def vector_searcher(self, mode, k=K):
        search = self.reader.search_vector
        return lambda v: search(v, k, CANDIDATES, mode)

    def hybrid_searcher(self, with_vector):
        search = self.reader.search
        if with_vector:
            return lambda qv: search(qv[0], qv[1], k=K, depth=DEPTH)
        return lambda qv: search(qv[0], k=K, depth=DEPTH)

    @staticmethod
    def hit_ids(answer):
        return [h.id for h in answer]


class Tantivy:
    name = "tantivy"

    def __init__(self):
        import tantivy
        self.t = tantivy
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False)
        builder.add_integer_field("id", fast=True)
        self.schema = builder.build()

    def build(self, chunks, vectors, root, mark):
        os.makedirs(root, exist_ok=True)
        index = self.t.Index(self.schema, path=str(root))
        writer = index.writer(num_threads=1)
        Document = self.t.Document
        for i, c in enumerate(chunks):
            writer.add_document(Document(body=search_text(c), id=i))
        mark()
        writer.commit()
        writer.wait_merging_threads()

    def open(self, root):
        self.index = self.t.Index.open(str(root))
        self.index_searcher = self.index.searcher()

    def searcher(self, k=K):
        search, parse = self.index_searcher.search, self.index.parse_query
        fields = ["body"]
        return lambda q: search(parse(q, fields), k, count=False).hits

    def ids(self, answer):
        return self.index_searcher.fast_field_values("id", [a for _, a in answer])


class Fts5:
    name = "SQLite FTS5"
    SQL = "SELECT rowid FROM chunks WHERE chunks MATCH ? ORDER BY bm25(chunks) LIMIT ?"

    def build(self, chunks, vectors, root, mark):
        os.makedirs(root, exist_ok=True)
        db = sqlite3.connect(os.path.join(root, "fts5.sqlite"), isolation_level=None)
        db.execute("CREATE VIRTUAL TABLE chunks USING fts5(body)")
        db.execute("BEGIN")
        db.executemany("INSERT INTO chunks(rowid, body) VALUES (?, ?)",
                       ((i, search_text(c)) for i, c in enumerate(chunks)))
        mark()
        db.execute("COMMIT")
        db.close()

    def open(self, root):
        self.db = sqlite3.connect(os.path.join(root, "fts5.sqlite"), check_same_thread=False)
        self.db.execute("SELECT rowid FROM chunks WHERE chunks MATCH 'x' LIMIT 0").fetchall()

    def searcher(self, k=K):
        execute, sql = self.db.execute, self.SQL
        return lambda q: execute(sql, (" OR ".join(f'"{w}"' for w in q.split()), k)).fetchall()

    @staticmethod
    def ids(answer):
        return [i for (i,) in answer]


class Bm25s:
    name = "bm25s"

    def build(self, chunks, vectors, root, mark):
        import bm25s
        tokens = bm25s.tokenize([search_text(c) for c in chunks], show_progress=False)
        retriever = bm25s.BM25(k1=1.2, b=0.75)
        retriever.index(tokens, show_progress=False)
        mark()
        retriever.save(str(root))

    def open(self, root, mmap=False):
        import bm25s
        self.retriever = bm25s.BM25.load(str(root), mmap=mmap)

    def searcher(self, k=K):
        import bm25s
        tokenize, retrieve = bm25s.tokenize, self.retriever.retrieve

        def search(q):
            tokens = tokenize(q, return_ids=False, show_progress=False)
            return retrieve(tokens, k=k, show_progress=False, return_as="documents")
        return search

    @staticmethod
    def ids(answer):
        return [int(i) for i in answer[0]]


class FaissBinary:
    name = "faiss IndexBinaryFlat"
    FILE = "binary.faiss"

    def build(self, chunks, vectors, root, mark):
        import faiss
        from tessavine._core import quantize_binary
        index = faiss.IndexBinaryFlat(vectors.shape[1])
        index.add(quantize_binary(vectors))
        mark()
        os.makedirs(root, exist_ok=True)
        faiss.write_index_binary(index, os.path.join(root, self.FILE))

    def open(self, root):
        import faiss
        faiss.omp_set_num_threads(1)
        self.index = faiss.read_index_binary(os.path.join(root, self.FILE))

    def searcher(self, k=K):
        from tessavine._core import quantize_binary
        search = self.index.search
        return lambda v: search(quantize_binary(v[None, :]), k)[1][0]

    @staticmethod
    def ids(answer):
        return [int(i) for i in answer]


class FaissFlat(FaissBinary):
    name = "faiss IndexFlatIP"
    FILE = "flat.faiss"

    def build(self, chunks, vectors, root, mark):
        import faiss
        index = faiss.IndexFlatIP(vectors.shape[1])
        index.add(vectors / np.linalg.norm(vectors, axis=1, keepdims=True))
        mark()
        os.makedirs(root, exist_ok=True)
        faiss.write_index(index, os.path.join(root, self.FILE))

    def open(self, root):
        import faiss
        faiss.omp_set_num_threads(1)
        self.index = faiss.read_index(os.path.join(root, self.FILE))

    def searcher(self, k=K):
        search = self.index.search
        return lambda v: search(v[None, :], k)[1][0]


class NumpyExact:
    name = "NumPy exact"

    def __init__(self, unit_rows):
        self.rows = unit_rows

    def searcher(self, k=K):
        rows = self.rows

        def search(v):
            scores = rows @ v
            top = np.argpartition(-scores, k)[:k]
            return top[np.argsort(-scores[top], kind="stable")]
        return search

    @staticmethod
    def ids(answer):
        return [int(i) for i in answer]


class HybridPeer:
    """The same job from common parts: tantivy and faiss IndexFlatIP, each asked
    for DEPTH results, fused by reciprocal rank in Python."""
    name = "tantivy + faiss IndexFlatIP, RRF"

    def __init__(self, text, flat):
        self.text, self.flat = text, flat

    def searcher(self, with_vector):
        text = self.text.searcher(DEPTH)
        to_ids = self.text.ids
        flat = self.flat.searcher(DEPTH)

        def search(qv):
            rankings = [to_ids(text(qv[0]))]
            if with_vector:
                rankings.append(flat(qv[1]))
            fused = {}
            for ranking in rankings:
                for r, chunk in enumerate(ranking):
                    fused[chunk] = fused.get(chunk, 0.0) + 1.0 / (RRF_K + r + 1.0)
            return sorted(fused.items(), key=lambda p: (-p[1], p[0]))[:K]
        return search

    @staticmethod
    def ids(answer):
        return [int(i) for i, _ in answer]
