"""Index writer over the corpus chunked at 1200 characters: add calls per second
(keyword-only and with 384-dimensional embeddings), commit time, and the
writer's peak memory (RSS growth over the whole build, commit included) per MB
of chunk text. The peer is SQLite FTS5 through Python's sqlite3 (one
transaction, embeddings as float32 blobs in a side table), measured in the same
run. Each configuration runs in a fresh process so that peak memory is its own.

Chunks come from tessavine's own chunk_text. Embeddings are random float32
vectors: the writer's cost does not depend on their values."""
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import corpus_notes, table
from tessavine._core import chunk_text

MAX_CHARS = 1200
DIM = 384
ROUNDS = 3


def corpus_chunks():
    """(path, heading_path, line_start, line_end, text) of every chunk."""
    return [(path, c.heading_path, c.line_start, c.line_end, c.text)
            for path, text in corpus_notes() for c in chunk_text(text, MAX_CHARS)]


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


def run_ours(chunks, embeddings, root):
    from tessavine._core import ChunkRecord, IndexWriter
    records = [ChunkRecord(*c) for c in chunks]
    rows = list(embeddings) if embeddings is not None else [None] * len(records)
    results = []
    for r in range(ROUNDS):
        shutil.rmtree(root, ignore_errors=True)
        base = rss_kb("VmRSS")
        reset_peak()
        w = IndexWriter(DIM if embeddings is not None else 0)
        add = w.add
        t0 = time.perf_counter()
        if embeddings is None:
            for rec in records:
                add(rec)
        else:
            for rec, e in zip(records, rows):
                add(rec, e)
        t1 = time.perf_counter()
        w.commit(root)
        t2 = time.perf_counter()
        peak = rss_kb("VmHWM") - base
        del w
        results.append((t1 - t0, t2 - t1, peak))
    return results


def run_peer(chunks, embeddings, root):
    blobs = [e.tobytes() for e in embeddings] if embeddings is not None else None
    results = []
    for r in range(ROUNDS):
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(root)
        base = rss_kb("VmRSS")
        reset_peak()
        db = sqlite3.connect(os.path.join(root, "index.db"), isolation_level=None)
        db.execute("PRAGMA synchronous=FULL")
        db.execute("CREATE VIRTUAL TABLE chunks USING fts5(path, heading, text)")
        if blobs is not None:
            db.execute("CREATE TABLE vectors(id INTEGER PRIMARY KEY, embedding BLOB)")
        db.execute("BEGIN")
        insert = db.execute
        t0 = time.perf_counter()
        for i, (path, headings, _s, _e, text) in enumerate(chunks):
            insert("INSERT INTO chunks(rowid, path, heading, text) VALUES (?, ?, ?, ?)",
                   (i, path, " ".join(headings), text))
            if blobs is not None:
                insert("INSERT INTO vectors VALUES (?, ?)", (i, blobs[i]))
        t1 = time.perf_counter()
        db.execute("COMMIT")
        t2 = time.perf_counter()
        db.close()
        peak = rss_kb("VmHWM") - base
        results.append((t1 - t0, t2 - t1, peak))
    return results


def child(which, dim):
    chunks = corpus_chunks()
    embeddings = None
    if dim:
        embeddings = np.random.default_rng(1).standard_normal((len(chunks), dim)).astype(np.float32)
    root = tempfile.mkdtemp(prefix="bench-writer-")
    try:
        runs = (run_ours if which == "ours" else run_peer)(chunks, embeddings, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    text_mb = sum(len(c[4].encode("utf-8")) for c in chunks) / 1e6
    print(json.dumps({
        "chunks": len(chunks),
        "text_mb": text_mb,
        "add_s": min(r[0] for r in runs),
        "commit_s": min(r[1] for r in runs),
        "peak_mb": runs[0][2] * 1024 / 1e6,  # /proc reports KiB
    }))


def measure(which, dim):
    out = subprocess.run([sys.executable, __file__, "--child", which, str(dim)], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    rows = []
    figures = {}
    for dim in (0, DIM):
        ours, peer = measure("ours", dim), measure("peer", dim)
        figures[dim] = ours
        label = "keyword-only" if dim == 0 else f"{dim}-d embeddings"
        n = ours["chunks"]
        rows.append([f"add calls/s, {label}", f"{n / ours['add_s']:,.0f}", f"{n / peer['add_s']:,.0f}",
                     f"{peer['add_s'] / ours['add_s']:.2f}x"])
        rows.append([f"commit s, {label}", f"{ours['commit_s']:.3f}", f"{peer['commit_s']:.3f}",
                     f"{peer['commit_s'] / ours['commit_s']:.2f}x"])
        rows.append([f"peak RSS growth MB per MB text, {label}", f"{ours['peak_mb'] / ours['text_mb']:.2f}",
                     f"{peer['peak_mb'] / peer['text_mb']:.2f}", f"{peer['peak_mb'] / ours['peak_mb']:.2f}x"])
    f = figures[0]
    print(f"corpus chunked at {MAX_CHARS} characters (chunk_text): {f['chunks']} chunks, "
          f"{f['text_mb']:.1f} MB of chunk text; single thread; add and commit best of {ROUNDS}, "
          f"peak memory of the first round; embeddings random float32")
    table(rows, ["figure", "tessavine", "sqlite fts5", "ours vs peer"])
    code_bytes = (DIM + 7) // 8
    quantised_mb = f["chunks"] * (2 * code_bytes + 4 + DIM) / 1e6
    for dim in (0, DIM):
        budget = 4 * figures[dim]["text_mb"] + (quantised_mb if dim else 0)
        print(f"goal, dim {dim}: peak growth {figures[dim]['peak_mb']:.1f} MB <= 4 x text"
              f"{' + quantised vectors' if dim else ''} = {budget:.1f} MB: "
              f"{'met' if figures[dim]['peak_mb'] <= budget else 'NOT met'}")
    rate = figures[0]["chunks"] / figures[0]["add_s"]
    print(f"goal: >= 50,000 keyword-only add calls/s: {rate:,.0f}: {'met' if rate >= 50_000 else 'NOT met'}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
