"""Index files: records encoded, BM25 documents added, the BM25 finish and
get_record decodes over the corpus chunked at 1200 characters, next to
nlohmann::json and a std::map inverted index measured in the same run (the
C++ program bench_files, bench/bench_files.cpp, which times the core's
builders and readers directly).

Then the opening of a generation at each scale (the chunks copied with
distinct paths): IndexReader.open with mmap=False and with mmap=True next to
one sequential read of the same files, both whole into fresh memory (as the
open does) and through one reused buffer (the copying alone), best of 5 each,
files cached.

usage: bench_files.py [--scale N ...] [--dim D] [--no-micro]"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from common import BUILD, CORPUS, best_of, corpus_notes, page_buffer, read_into, table
from tessavine._core import ChunkRecord, IndexReader, IndexWriter, chunk_text


def build(root, scale, dim):
    base = [(path, c.heading_path, c.line_start, c.line_end, c.text)
            for path, text in corpus_notes() for c in chunk_text(text, 1200)]
    writer = IndexWriter(dim)
    rng = np.random.default_rng(1)
    for copy in range(scale):
        for p, h, s, e, t in base:
            record = ChunkRecord(f"copy{copy}/{p}" if copy else p, h, s, e, t)
            if dim:
                writer.add(record, rng.standard_normal(dim).astype(np.float32))
            else:
                writer.add(record)
    return writer.commit(root)


def read_files(paths):
    """Each file read whole into fresh memory, as IndexReader.open(mmap=False) does."""
    for path in paths:
        read_into(path, page_buffer(os.path.getsize(path), huge=True))


def stream_files(paths, chunk=1 << 20):
    """Each file read through one reused 1 MiB buffer: the copying alone."""
    view = page_buffer(chunk)
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.readinto(view):
                pass


def open_figures(scale, dim):
    work = tempfile.mkdtemp(prefix="bench-files-")
    try:
        info = build(os.path.join(work, "index"), scale, dim)
        files = [os.path.join(info.dir, n) for n in sorted(os.listdir(info.dir))]
        size = sum(os.path.getsize(f) for f in files)
        read_files(files)  # into the page cache
        plain = best_of(lambda: read_files(files))
        streamed = best_of(lambda: stream_files(files))
        owned = best_of(lambda: IndexReader.open(os.path.dirname(info.dir), mmap=False))
        mapped = best_of(lambda: IndexReader.open(os.path.dirname(info.dir), mmap=True))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"\nopen at {scale}x: {info.n_chunks:,} chunks, dim {dim}, files {size / 2**20:.0f} MiB "
          f"({', '.join(os.path.basename(f) for f in files)}); best of 5, page cache warm")
    table([["one sequential read of the files into fresh memory", f"{plain * 1e3:.1f}", "1.00",
            f"{plain / streamed:.2f}"],
           ["one sequential read through a 1 MiB buffer", f"{streamed * 1e3:.1f}", f"{streamed / plain:.2f}",
            "1.00"],
           ["IndexReader.open(mmap=False)", f"{owned * 1e3:.1f}", f"{owned / plain:.2f}", f"{owned / streamed:.2f}"],
           ["IndexReader.open(mmap=True)", f"{mapped * 1e3:.1f}", f"{mapped / plain:.2f}",
            f"{mapped / streamed:.2f}"]],
          ["", "ms", "x fresh read", "x buffered read"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=int, nargs="+", default=[1])
    parser.add_argument("--dim", type=int, default=0)
    parser.add_argument("--no-micro", action="store_true")
    args = parser.parse_args()
    if not args.no_micro:
        exe = BUILD / "bench_files"
        if not exe.exists():
            sys.exit(f"{exe} not found: build with `make build` first")
        subprocess.run([str(exe), str(CORPUS)], check=True)
    for scale in args.scale:
        open_figures(scale, args.dim)


if __name__ == "__main__":
    main()
