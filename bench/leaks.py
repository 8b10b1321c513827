"""Leaks: every public call of tessavine._core, failing calls and the open and
drop of readers included, run many times in a row. After a warm-up, the
process's resident memory, open file descriptors, memory mappings and Python's
allocated blocks must stay flat; the script prints each call's figures before
and after and exits with 1 when one of them grew past its allowance.

    python bench/leaks.py [--iterations 100000] [--warmup 5000] [call ...]"""
import argparse
import gc
import os
import shutil
import sys
import tempfile

import numpy as np

from common import table
from tessavine._core import (Chunk, ChunkRecord, IndexFormatError, IndexReader, IndexWriter, chunk_text, hamming,
                             index_exists, quantize_binary, tokenize)

DIM = 16
NOTE = "# Title\n\nalpha beta gamma\n\n## Sub\n```\ncode here\n```\n" + "delta epsilon zeta " * 20
# Growth allowed over a whole run, after warm-up.
ALLOWED = {"rss_kib": 4096, "fds": 0, "maps": 4, "blocks": 100}


def figures():
    gc.collect()
    with open("/proc/self/statm") as f:
        rss_kib = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
    with open("/proc/self/maps") as f:
        maps = sum(1 for _ in f)
    return {"rss_kib": rss_kib, "fds": len(os.listdir("/proc/self/fd")), "maps": maps,
            "blocks": sys.getallocatedblocks()}


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn.__name__} did not raise {exc.__name__}")


def build(root, n, dim=DIM):
    rng = np.random.default_rng(7)
    w = IndexWriter(dim, embedder="model", metadata={"k": [1, "two"]})
    for i in range(n):
        w.add(ChunkRecord(f"n{i}.md", ["Top", str(i)], i, i + 1, f"alpha beta note {i} " + NOTE),
              rng.standard_normal(dim).astype(np.float32) if dim else None)
    return w.commit(root)


def calls(work):
    """Name and one iteration of every call, each using its own fixtures."""
    root = os.path.join(work, "ix")
    build(root, 50)
    corrupt = os.path.join(work, "corrupt")
    shutil.copytree(root, corrupt)
    gen = os.path.join(corrupt, open(os.path.join(corrupt, "CURRENT")).read().strip())
    with open(os.path.join(gen, "bm25.bin"), "r+b") as f:
        f.write(b"XXXX")
    reader = IndexReader.open(root)
    rng = np.random.default_rng(1)
    query = rng.standard_normal(DIM).astype(np.float32)
    batch = rng.standard_normal((32, DIM)).astype(np.float32)
    codes = quantize_binary(batch)
    commit_root = os.path.join(work, "commits")
    record_args = ("p.md", ["A", "B"], 1, 2, "text")

    def chunk_fields():
        for c in chunk_text(NOTE, max_chars=40):
            c.text, c.heading_path, c.byte_start, c.byte_end, c.line_start, c.line_end, c == c, repr(c)
        raises(TypeError, Chunk)

    def writer():
        w = IndexWriter(DIM, embedder="e", metadata={"a": [1.5, None]})
        w.add(ChunkRecord(*record_args), query)
        raises(ValueError, w.add, ChunkRecord(*record_args), query[:3])
        raises(ValueError, w.add, ChunkRecord(*record_args))
        len(w)

    def commit():
        w = IndexWriter(0)
        w.add(ChunkRecord(*record_args))
        info = w.commit(commit_root)
        info.dir, info.generation, info.n_chunks, repr(info)
        raises(RuntimeError, w.commit, commit_root)

    def hybrid():
        for h in reader.search('alpha "beta note"', query, k=20):
            h.id, h.score, h.bm25_rank, h.vector_rank, repr(h)
        raises(ValueError, reader.search, "alpha", query[:3])

    def record():
        r = ChunkRecord(*record_args)
        r.path, r.heading_path, r.line_start, r.line_end, r.text, r == r, repr(r)
        raises(TypeError, ChunkRecord, "p", ["A", 1], 1, 2, "t")

    return {
        "tokenize": lambda: (tokenize("camelCase XMLParser utf8 " + NOTE), raises(TypeError, tokenize, 1)),
        "chunk_text": lambda: (chunk_fields(), raises(ValueError, chunk_text, NOTE, max_chars=0)),
        "quantize_binary": lambda: (quantize_binary(batch), raises(TypeError, quantize_binary, batch[0])),
        "hamming": lambda: (hamming(codes[0], codes[1]), raises(ValueError, hamming, codes[0], codes[0][:1])),
        "index_exists": lambda: (index_exists(root), index_exists(os.path.join(work, "missing"))),
        "ChunkRecord": record,
        "IndexWriter": writer,
        "commit": commit,
        "open": lambda: (IndexReader.open(root, mmap=True), IndexReader.open(root, mmap=False)),
        "open failing": lambda: (raises(OSError, IndexReader.open, os.path.join(work, "missing")),
                                 raises(IndexFormatError, IndexReader.open, corrupt)),
        "search": hybrid,
        "search_bm25": lambda: (reader.search_bm25("alpha beta gamma", 10), reader.search_bm25("", 10)),
        "search_vector": lambda: ([reader.search_vector(query, 10, 50, m) for m in
                                   ("int8", "binary", "binary+int8", "ternary+int8")],
                                  raises(ValueError, reader.search_vector, query, 10, 50, "nope")),
        "chunk": lambda: (reader.chunk(3), raises(ValueError, reader.chunk, 50)),
        "reader fields": lambda: (reader.manifest, reader.dir, reader.has_vectors, len(reader), repr(reader)),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=5_000)
    parser.add_argument("only", nargs="*", help="names of the calls to run (all by default)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        rows, failed = [], []
        for name, call in calls(work).items():
            if args.only and name not in args.only:
                continue
            for _ in range(args.warmup):
                call()
            before = figures()
            for _ in range(args.iterations):
                call()
            after = figures()
            grown = [k for k in ALLOWED if after[k] - before[k] > ALLOWED[k]]
            failed += [f"{name}: {k} {before[k]} -> {after[k]}" for k in grown]
            rows.append([name] + [f"{before[k]} -> {after[k]}" for k in ALLOWED] + [" ".join(grown) or "ok"])
            print(f"{name} done", file=sys.stderr)
    finally:
        shutil.rmtree(work)
    print(f"{args.iterations} iterations after {args.warmup} of warm-up")
    table(rows, ["call", "RSS KiB", "fds", "maps", "blocks", "verdict"])
    if failed:
        sys.exit("grew past its allowance: " + "; ".join(failed))


if __name__ == "__main__":
    main()
