"""Index writer over the corpus chunked at 1200 characters, at 1x and at larger
scales (the chunks copied with distinct paths): add time, commit time, build
time (add + commit) and the build's peak memory above its inputs (RSS growth
over the whole build, commit included), also per MB of chunk text. Peers in
the same run, single-threaded: tantivy (one indexing thread, the search text
in one unstored field, as bench_bm25.py builds it; it keeps no records, while
ours also stores every record in docs.bin) and SQLite FTS5 through Python's
sqlite3 (one transaction, embeddings as float32 blobs in a side table). Each
configuration runs in a fresh process so that peak memory is its own.

Chunks come from tessavine's own chunk_text. Embeddings are random float32
vectors: the writer's cost does not depend on their values.

usage: bench_writer.py [--scale N ...] [--rounds R] [--dims D ...]
  --scale   corpus copies (default 1)
  --rounds  builds per configuration; add and commit are the best of them,
            peak memory is the first round's (default 3 at 1x, 1 above)
  --dims    embedding dimensions for tessavine and FTS5 (default 0 384 at 1x,
            0 above)"""
import argparse
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import corpus_notes, ensure_modules, table
from tessavine._core import chunk_text

MAX_CHARS = 1200


def corpus_chunks(scale):
    """(path, heading_path, line_start, line_end, text) of every chunk, the
    corpus copied `scale` times (copy c > 0 under copy<c>/)."""
    base = [(path, c.heading_path, c.line_start, c.line_end, c.text)
            for path, text in corpus_notes() for c in chunk_text(text, MAX_CHARS)]
    return [(f"copy{c}/{p}" if c else p, h, s, e, t) for c in range(scale) for p, h, s, e, t in base]


def rss_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    # Writing 5 to clear_refs resets VmHWM to the current RSS (Linux).
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def measured(rounds, root, setup, add_all, commit):
    """(add s, commit s, peak KiB) of each round."""
    results = []
    for _ in range(rounds):
        shutil.rmtree(root, ignore_errors=True)
        base = rss_kb("VmRSS")
        reset_peak()
        state = setup()
        t0 = time.perf_counter()
        add_all(state)
        t1 = time.perf_counter()
        commit(state)
        t2 = time.perf_counter()
        peak = rss_kb("VmHWM") - base
        del state
        results.append((t1 - t0, t2 - t1, peak))
    return results


def run_ours(chunks, embeddings, root, rounds):
    from tessavine._core import ChunkRecord, IndexWriter
    records = [ChunkRecord(*c) for c in chunks]
    rows = list(embeddings) if embeddings is not None else None

    def add_all(w):
        add = w.add
        if rows is None:
            for rec in records:
                add(rec)
        else:
            for rec, e in zip(records, rows):
                add(rec, e)

    dim = 0 if embeddings is None else embeddings.shape[1]
    return measured(rounds, root, lambda: IndexWriter(dim), add_all, lambda w: w.commit(root))


def run_tantivy(chunks, root, rounds):
    import tantivy
    texts = [" ".join(h) + "\n" + t for _p, h, _s, _e, t in chunks]
    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", stored=False)
    schema = builder.build()

    def setup():
        os.makedirs(root)
        index = tantivy.Index(schema, path=root)
        return index.writer(heap_size=256_000_000, num_threads=1)

    def add_all(writer):
        add, doc = writer.add_document, tantivy.Document
        for text in texts:
            add(doc(body=text))

    def commit(writer):
        writer.commit()
        writer.wait_merging_threads()

    return measured(rounds, root, setup, add_all, commit)


def run_fts5(chunks, embeddings, root, rounds):
    blobs = [e.tobytes() for e in embeddings] if embeddings is not None else None

    def setup():
        os.makedirs(root)
        db = sqlite3.connect(os.path.join(root, "index.db"), isolation_level=None)
        db.execute("PRAGMA synchronous=FULL")
        db.execute("CREATE VIRTUAL TABLE chunks USING fts5(path, heading, text)")
        if blobs is not None:
            db.execute("CREATE TABLE vectors(id INTEGER PRIMARY KEY, embedding BLOB)")
        db.execute("BEGIN")
        return db

    def add_all(db):
        insert = db.execute
        for i, (path, headings, _s, _e, text) in enumerate(chunks):
            insert("INSERT INTO chunks(rowid, path, heading, text) VALUES (?, ?, ?, ?)",
                   (i, path, " ".join(headings), text))
            if blobs is not None:
                insert("INSERT INTO vectors VALUES (?, ?)", (i, blobs[i]))

    def commit(db):
        db.execute("COMMIT")
        db.close()

    return measured(rounds, root, setup, add_all, commit)


def child(which, dim, scale, rounds):
    chunks = corpus_chunks(scale)
    embeddings = None
    if dim:
        embeddings = np.random.default_rng(1).standard_normal((len(chunks), dim)).astype(np.float32)
    root = os.path.join(tempfile.mkdtemp(prefix="bench-writer-"), "index")
    try:
        if which == "ours":
            runs = run_ours(chunks, embeddings, root, rounds)
        elif which == "tantivy":
            runs = run_tantivy(chunks, root, rounds)
        else:
            runs = run_fts5(chunks, embeddings, root, rounds)
    finally:
        shutil.rmtree(os.path.dirname(root), ignore_errors=True)
    text_mb = sum(len(c[4].encode("utf-8")) for c in chunks) / 2**20
    print(json.dumps({
        "chunks": len(chunks),
        "text_mib": text_mb,
        "add_s": min(r[0] for r in runs),
        "commit_s": min(r[1] for r in runs),
        "build_s": min(r[0] + r[1] for r in runs),
        "peak_mib": runs[0][2] / 1024,  # /proc reports KiB
    }))


def measure(which, dim, scale, rounds):
    out = subprocess.run([sys.executable, __file__, "--child", which, str(dim), str(scale), str(rounds)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=int, nargs="+", default=[1])
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--dims", type=int, nargs="+")
    args = parser.parse_args()
    have_tantivy = ensure_modules(["tantivy"], ["tantivy"])
    for scale in args.scale:
        rounds = args.rounds or (3 if scale == 1 else 1)
        dims = args.dims if args.dims is not None else ([0, 384] if scale == 1 else [0])
        rows = []
        for dim in dims:
            label = "keyword-only" if dim == 0 else f"{dim}-d embeddings"
            engines = {"tessavine": measure("ours", dim, scale, rounds)}
            if dim == 0 and have_tantivy:
                engines["tantivy"] = measure("tantivy", 0, scale, rounds)
            engines["sqlite fts5"] = measure("fts5", dim, scale, rounds)
            ours = engines["tessavine"]
            cell = lambda name, fmt, key: fmt.format(engines[name][key]) if name in engines else "-"
            for what, key, fmt in (("add s", "add_s", "{:.2f}"), ("commit s", "commit_s", "{:.3f}"),
                                   ("build s (add + commit)", "build_s", "{:.2f}"),
                                   ("peak MiB above inputs", "peak_mib", "{:.0f}")):
                rows.append([f"{what}, {label}"] + [cell(n, fmt, key) for n in ("tessavine", "tantivy", "sqlite fts5")]
                            + [f"{engines['tantivy'][key] / ours[key]:.2f}x" if "tantivy" in engines else "-"])
            rows.append([f"peak / chunk text, {label}"]
                        + [f"{engines[n]['peak_mib'] / engines[n]['text_mib']:.2f}" if n in engines else "-"
                           for n in ("tessavine", "tantivy", "sqlite fts5")] + ["-"])
        print(f"\nscale {scale}x: {ours['chunks']:,} chunks at {MAX_CHARS} characters (chunk_text), "
              f"{ours['text_mib']:.1f} MiB of chunk text; single thread; add and commit best of {rounds}, "
              f"peak memory of the first round; embeddings random float32")
        table(rows, ["figure", "tessavine", "tantivy", "sqlite fts5", "tantivy / ours"])


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
    else:
        main()
