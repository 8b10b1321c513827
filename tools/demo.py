"""The demo: index the corpus notes and answer a few of its known-item queries.

Every note is cut into chunks along its Markdown structure, each chunk is
indexed for keywords and given an embedding, the index is committed as a
generation under a temporary root, and a reader answers keyword, vector and
hybrid queries. A host would embed chunks with a real model; the demo stands
in a small feature-hashing embedder so that it runs anywhere in seconds.
"""
import csv
import os
import pathlib
import sys
import tempfile
import time
import zlib

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "python"))

import tessavine  # noqa: E402

CORPUS = pathlib.Path(os.environ.get("TESSAVINE_CORPUS", REPO.parent / "shared" / "corpus"))
DIM = 256


def embed(text):
    """Feature hashing of the text's terms: a stand-in for a real embedding model."""
    v = np.zeros(DIM, dtype=np.float32)
    for term in tessavine.tokenize(text):
        h = zlib.crc32(term.encode())
        v[h % DIM] += 1.0 if h & 0x100 else -1.0
    return v


def build(root):
    notes = sorted((CORPUS / "cpp-docs").rglob("*.md")) + sorted((CORPUS / "tldr").rglob("*.md"))
    if not notes:
        sys.exit(f"no notes found under {CORPUS}")
    writer = tessavine.IndexWriter(DIM, embedder="demo-feature-hashing",
                                   metadata={"corpus": "shared/corpus", "notes": len(notes)})
    t0 = time.perf_counter()
    for note in notes:
        path = str(note.relative_to(CORPUS))
        for chunk in tessavine.chunk_text(note.read_text(encoding="utf-8"), max_chars=1200):
            record = tessavine.ChunkRecord(path, chunk.heading_path, chunk.line_start,
                                           chunk.line_end, chunk.text)
            writer.add(record, embed(" ".join(chunk.heading_path) + "\n" + chunk.text))
    n = len(writer)
    info = writer.commit(root)
    print(f"indexed {len(notes)} notes as {n} chunks in {time.perf_counter() - t0:.1f} s: {info!r}")


def rank(r):
    return "-" if r is None else f"#{r}"


def show(reader, label, hits):
    print(f"  {label}:")
    for hit in hits[:3]:
        record = reader.chunk(hit.id)
        where = " > ".join(record.heading_path) or "(no heading)"
        print(f"    {hit.score:.5f}  {record.path}:{record.line_start}-{record.line_end}  {where}"
              f"  [bm25 {rank(hit.bm25_rank)}, vector {rank(hit.vector_rank)}]")


def main():
    queries = list(csv.reader(open(CORPUS / "queries.tsv", encoding="utf-8"), delimiter="\t"))
    with tempfile.TemporaryDirectory(prefix="tessavine-demo-") as tmp:
        root = pathlib.Path(tmp) / "index"
        build(root)
        reader = tessavine.IndexReader.open(root)
        m = reader.manifest
        print(f"opened {reader.dir.name}: {len(reader)} chunks, dim {m['dim']}, files {m['files']}")
        for text, target, heading in queries[:4]:
            print(f"\nquery {text!r} (known item: {target} > {heading})")
            show(reader, "hybrid", reader.search(text, embed(text)))
            show(reader, "keywords only", reader.search(text))
        phrase = '"virtual function" override'
        print(f"\nquery {phrase!r}: chunks holding the quoted phrase rank first")
        show(reader, "hybrid", reader.search(phrase, embed(phrase)))
        print(f"\ntokenize('XMLParser setup') = {tessavine.tokenize('XMLParser setup')}")


if __name__ == "__main__":
    main()
