"""The benchmark's inputs at a multiple of the corpus: chunks, embeddings,
known-item queries and the exact top 10 of every query vector.

A scale s holds s copies of every chunk of the corpus (chunk_text with its
defaults, notes in path order), copy c under the path prefix "copyNN/", so
chunk id c * N + i is copy c of corpus chunk i. Copies share their heading
and text objects, so s copies cost little more memory than one.

Vectors: corpus chunk i has its own all-MiniLM-L6-v2 embedding when it is in
the embedded sample (embeddings.py), otherwise an embedded chunk's vector with
small noise (as bench_hybrid.py does); every copy after the first adds fresh
Gaussian noise. The array of the largest scale is made once and cached under
bench/.cache/; smaller scales read its first rows.
"""
import hashlib

import numpy as np

import embeddings
from common import CORPUS, corpus_notes

CACHE = embeddings.CACHE
NOISE = 0.01  # per component; a unit vector's components are about 0.05
K = 10


def corpus_chunks():
    """(path, heading_path, line_start, line_end, text) of every corpus chunk,
    in the order of embeddings.corpus_chunks()."""
    from tessavine._core import chunk_text
    return [(path, c.heading_path, c.line_start, c.line_end, c.text)
            for path, note in corpus_notes() for c in chunk_text(note)]


def copies(base, scale):
    """The chunks of `scale` copies of the corpus, each copy under its own path prefix."""
    return [(f"copy{c:02d}/{path}", heading, start, end, text)
            for c in range(scale) for path, heading, start, end, text in base]


def search_text(chunk):
    """What the keyword index holds for a chunk: heading path, a line feed, the text."""
    return " ".join(chunk[1]) + "\n" + chunk[4]


def text_bytes(base, scale):
    """UTF-8 bytes of the chunk texts at a scale (what the index holds as text)."""
    return scale * sum(len(c[4].encode("utf-8")) for c in base)


def queries():
    """(query text, target path, target heading) of the known-item queries."""
    rows = (CORPUS / "queries.tsv").read_text(encoding="utf-8").splitlines()
    return [tuple(r.split("\t")) for r in rows if r.strip()]


def long_queries(base, n=100, seed=7):
    """Queries of 20 to 40 distinct terms, each a stretch of one chunk's own
    terms in text order, as when a paragraph is pasted into the search box.
    Joined by spaces, so that every engine's parser reads plain words."""
    import random
    from tessavine._core import tokenize
    rng = random.Random(seed)
    out = []
    while len(out) < n:
        terms = list(dict.fromkeys(tokenize(rng.choice(base)[4])))
        size = rng.randint(20, 40)
        if len(terms) >= size:
            start = rng.randrange(len(terms) - size + 1)
            out.append(" ".join(terms[start:start + size]))
    return out


def relevant_ids(base, query_rows):
    """For each query, the corpus chunk numbers that are its known item: in
    the target note under the target heading. Chunk id j is relevant when
    j % len(base) is, whatever its copy."""
    where = {}
    for i, (path, heading, *_rest) in enumerate(base):
        if heading:
            where.setdefault((path, heading[-1]), set()).add(i)
    return [where.get((path, heading), set()) for _q, path, heading in query_rows]


def mrr_at_10(found, relevant, n_base):
    """Mean reciprocal rank of the first relevant hit in each list of ids
    (queries left out of `found` are not counted)."""
    total = 0.0
    for ids, rel in zip(found, relevant):
        for rank, i in enumerate(ids[:K], 1):
            if int(i) % n_base in rel:
                total += 1.0 / rank
                break
    return total / max(1, len(found))


def recall_at_10(found, truth):
    return float(np.mean([len(set(map(int, f[:K])) & set(map(int, t))) / K
                          for f, t in zip(found, truth)])) if found else float("nan")


def _vectors_path(n_base, scale):
    tag = hashlib.sha1(f"{embeddings.DIM}-{n_base}-{scale}-{NOISE}".encode()).hexdigest()[:10]
    return CACHE / f"scaled-vectors-{n_base}x{scale}-{tag}.npy"


def prepare_vectors(n_base, max_scale):
    """Makes (once) the cached vectors of the largest scale; returns the
    embeddings' source text and the query vectors, unit-normalised."""
    ids, real, _texts, query_vectors, source = embeddings.load()
    path = _vectors_path(n_base, max_scale)
    if not path.exists():
        base = embeddings.tile(real, n_base, NOISE, seed=3)
        base[ids] = real
        out = np.lib.format.open_memmap(path.with_suffix(".tmp.npy"), mode="w+", dtype=np.float32,
                                        shape=(n_base * max_scale, embeddings.DIM))
        rng = np.random.default_rng(7)
        for c in range(max_scale):
            block = out[c * n_base:(c + 1) * n_base]
            block[:] = base
            if c:
                block += NOISE * rng.standard_normal(base.shape, dtype=np.float32)
        out.flush()
        del out
        path.with_suffix(".tmp.npy").rename(path)
    q = query_vectors.astype(np.float32)
    return source, q / np.linalg.norm(q, axis=1, keepdims=True)


def vectors(n_base, scale, max_scale):
    """The float32 vectors of the chunks at `scale`, read into memory."""
    return np.array(np.load(_vectors_path(n_base, max_scale), mmap_mode="r")[:n_base * scale])


def unit(rows):
    return rows / np.linalg.norm(rows, axis=1, keepdims=True)


def truth_path(n_base, scale, max_scale):
    return CACHE / f"truth-{_vectors_path(n_base, max_scale).stem}-{scale}.npy"


def exact_top_k(unit_rows, query_rows):
    """The K best rows by exact float cosine for each query, best first."""
    out = []
    for start in range(0, len(query_rows), 50):
        scores = query_rows[start:start + 50] @ unit_rows.T
        top = np.argpartition(-scores, K, axis=1)[:, :K]
        order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1, kind="stable")
        out.append(np.take_along_axis(top, order, axis=1))
    return np.concatenate(out)
