"""The measurements of the benchmark report, each run by report.py in a
process of its own, so that peak memory and open times belong to one engine
and one scale. Prints one JSON object as its last line of output.

  jobs.py build ENGINE SCALE      build time, commit time, peak memory above
                                  the inputs, index size
  jobs.py truth SCALE             exact cosine top 10 of every query vector
  jobs.py search GROUP SCALE      open times and query latencies, with the ids
                                  found (report.py scores them)

The inputs (corpus size, largest scale, work directory) come from
bench/.cache/run/inputs.json, written by report.py.
"""
import gc
import json
import os
import random
import shutil
import sys
import time
from pathlib import Path

import numpy as np

import peers
import scaled
from common import best_of, page_buffer, read_into

RUN = scaled.CACHE / "run"
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "3"))
BUDGET = float(os.environ.get("BENCH_SECONDS", "15"))  # per measurement, once 50 queries are timed
MIN_QUERIES = 50
OPEN_REPEAT = 5

TEXT_ENGINES = {"tessavine": peers.OursText, "tantivy": peers.Tantivy, "SQLite FTS5": peers.Fts5,
                "bm25s": peers.Bm25s}
VECTOR_ENGINES = {"tessavine + vectors": peers.OursFull, "faiss IndexBinaryFlat": peers.FaissBinary,
                  "faiss IndexFlatIP": peers.FaissFlat}
ENGINES = {**TEXT_ENGINES, **VECTOR_ENGINES}
NEEDS_CHUNKS = {"tessavine", "tantivy", "SQLite FTS5", "bm25s", "tessavine + vectors"}
NEEDS_VECTORS = set(VECTOR_ENGINES)


def inputs():
    return json.loads((RUN / "inputs.json").read_text())


def index_dir(scale, engine):
    return Path(inputs()["work"]) / f"{scale}x" / engine.replace(" ", "_").replace("+", "plus")


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak():
    # Writing 5 to clear_refs resets VmHWM to the current RSS (Linux).
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def tree_bytes(root):
    return sum(p.stat().st_size for p in Path(root).rglob("*") if p.is_file())


def scale_vectors(scale):
    run = inputs()
    return scaled.vectors(run["n_base"], scale, run["max_scale"])


def query_vectors():
    return np.load(RUN / "query-vectors.npy")


def build(engine_name, scale):
    engine = ENGINES[engine_name]()
    chunks = scaled.copies(scaled.corpus_chunks(), scale) if engine_name in NEEDS_CHUNKS else None
    vectors = scale_vectors(scale) if engine_name in NEEDS_VECTORS else None
    root = index_dir(scale, engine_name)
    shutil.rmtree(root, ignore_errors=True)
    root.parent.mkdir(parents=True, exist_ok=True)
    gc.collect()
    base = status("VmRSS")
    reset_peak()
    marks = [time.perf_counter()]
    engine.build(chunks, vectors, root, lambda: marks.append(time.perf_counter()))
    marks.append(time.perf_counter())
    peak = status("VmHWM") - base
    return {"build_s": marks[2] - marks[0], "add_s": marks[1] - marks[0], "commit_s": marks[2] - marks[1],
            "peak_bytes": peak, "input_bytes": base, "size_bytes": tree_bytes(root),
            "n": len(chunks) if chunks is not None else len(vectors)}


def truth(scale):
    unit = scaled.unit(scale_vectors(scale))
    top = scaled.exact_top_k(unit, query_vectors())
    np.save(RUN / f"truth-{scale}x.npy", top)
    return {"queries": len(top)}


def timed(search, items, to_ids, kind="text"):
    """Latencies of search over items (ROUNDS rounds, cut short after BUDGET
    seconds once MIN_QUERIES are timed) and the ids of the first round, to be
    scored by known items ("text") or against exact cosine ("vector")."""
    for item in items[:20]:
        search(item)  # warm-up: page in the index, fill the caches
    clock = time.perf_counter
    times, answers = [], []
    start = clock()
    for r in range(ROUNDS):
        for j, item in enumerate(items):
            t0 = clock()
            answer = search(item)
            t1 = clock()
            times.append(t1 - t0)
            if r == 0:
                answers.append(answer)
            if t1 - start > BUDGET and (r or j + 1 >= MIN_QUERIES):
                break
        else:
            continue
        break
    return stats(times, answers, to_ids, kind)


def stats(times, answers, to_ids, kind):
    t = np.array(times)
    return {"p50": float(np.percentile(t, 50)), "p99": float(np.percentile(t, 99)),
            "qps": len(t) / float(t.sum()), "queries": len(answers), "timings": len(t),
            "kind": kind, "ids": [list(map(int, to_ids(a))) for a in answers]}


def timed_together(searches):
    """`timed` for several searches whose latencies are compared with each
    other, taking turns query by query: name -> (search, items, to_ids, kind),
    all with as many items. On a shared machine whose speed drifts, each then
    sees the same conditions as the others. The order is shuffled anew for
    every query (with a fixed seed), so that no search always follows the
    same other one, whose data it would find in the caches or not."""
    n = min(len(items) for _search, items, _to_ids, _kind in searches.values())
    for j in range(min(20, n)):
        for search, items, _to_ids, _kind in searches.values():
            search(items[j])
    clock = time.perf_counter
    times = {name: [] for name in searches}
    answers = {name: [] for name in searches}
    start = clock()
    names = list(searches)
    order = random.Random(13)
    for r in range(ROUNDS):
        for j in range(n):
            order.shuffle(names)
            for name in names:
                search, items, _to_ids, _kind = searches[name]
                t0 = clock()
                answer = search(items[j])
                times[name].append(clock() - t0)
                if r == 0:
                    answers[name].append(answer)
            if clock() - start > BUDGET * len(searches) and (r or j + 1 >= MIN_QUERIES):
                break
        else:
            continue
        break
    return {name: stats(times[name], answers[name], to_ids, kind)
            for name, (_search, _items, to_ids, kind) in searches.items()}


def read_once(paths, chunk=1 << 20):
    """One sequential read of the files through a reused buffer: the floor of
    any open that looks at every byte."""
    buf = page_buffer(chunk)
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.readinto(buf):
                pass


def read_fresh(paths):
    """One sequential read of each file into fresh memory of its size: what an
    open without mmap has to do at least, page faults included."""
    for p in paths:
        read_into(p, page_buffer(p.stat().st_size, huge=True))


def drop(engine):
    """Lets go of what the engine's last open made (mappings, buffers, a
    database connection), so that the next open is timed without it."""
    if getattr(engine, "db", None) is not None:
        engine.db.close()
    for name in ("reader", "index", "index_searcher", "retriever", "db"):
        if hasattr(engine, name):
            setattr(engine, name, None)
    gc.collect()


def best_open(engine, root, repeat, **kwargs):
    """Smallest wall time of `repeat` opens, each timed from a closed engine."""
    best = float("inf")
    for _ in range(repeat):
        drop(engine)
        t0 = time.perf_counter()
        engine.open(root, **kwargs)
        best = min(best, time.perf_counter() - t0)
    return best


def open_times(engine, root, flags):
    return {key: best_open(engine, root, OPEN_REPEAT, **kwargs) for key, kwargs in flags.items()}


def search(group, scale):
    texts = [q for q, _p, _h in scaled.queries()]
    qv = None if group in TEXT_ENGINES else query_vectors()
    result = {}
    if group in TEXT_ENGINES:
        engine = TEXT_ENGINES[group]()
        root = index_dir(scale, group)
        if group == "tessavine":
            result["open"] = open_times(engine, root, {"mmap": {"mmap": True}, "no_mmap": {"mmap": False}})
            engine.open(root)
            files = engine.files()
            result["open"]["read_once"] = best_of(lambda: read_once(files), OPEN_REPEAT)
            result["open"]["read_fresh"] = best_of(lambda: read_fresh(files), OPEN_REPEAT)
        elif group == "bm25s":
            result["open"] = open_times(engine, root, {"no_mmap": {"mmap": False}, "mmap": {"mmap": True}})
            engine.open(root, mmap=False)
        else:
            result["open"] = open_times(engine, root, {"open": {}})
            engine.open(root)
        if group == "tessavine":
            # Its latencies are set against tantivy's: the two take turns
            # query by query, as the hybrid searches do below.
            peer = peers.Tantivy()
            peer.open(index_dir(scale, "tantivy"))
            result.update(timed_together({"bm25": (engine.searcher(), texts, engine.ids, "text"),
                                          "tantivy bm25": (peer.searcher(), texts, peer.ids, "text")}))
            longs = scaled.long_queries(scaled.corpus_chunks())
            result.update(timed_together({"bm25 long": (engine.searcher(), longs, engine.ids, "long"),
                                          "tantivy bm25 long": (peer.searcher(), longs, peer.ids, "long")}))
        else:
            result["bm25"] = timed(engine.searcher(), texts, engine.ids)
    elif group == "tessavine + vectors":
        from bench_vectors import bandwidth_probe
        engine = peers.OursFull()
        root = index_dir(scale, group)
        result["open"] = open_times(engine, root, {"mmap": {"mmap": True}, "no_mmap": {"mmap": False}})
        engine.open(root)
        files = engine.files()
        result["open"]["read_once"] = best_of(lambda: read_once(files), OPEN_REPEAT)
        result["open"]["read_fresh"] = best_of(lambda: read_fresh(files), OPEN_REPEAT)
        result["bandwidth"] = bandwidth_probe()
        result["int8_code_bytes"] = len(engine.reader) * qv.shape[1]
        for mode in peers.MODES:
            if mode != "ternary+int8":
                result[mode] = timed(engine.vector_searcher(mode), list(qv), engine.ids, "vector")
        # Hybrid search and the searches it is set against, in turns.
        pairs = list(zip(texts, qv))
        result.update(timed_together({
            "ternary+int8": (engine.vector_searcher("ternary+int8"), list(qv), engine.ids, "vector"),
            "ternary+int8 k50": (engine.vector_searcher("ternary+int8", peers.DEPTH), list(qv), engine.ids,
                                 "vector"),
            "bm25 k10": (engine.searcher(), texts, engine.ids, "text"),
            "bm25 k50": (engine.searcher(peers.DEPTH), texts, engine.ids, "text"),
            "hybrid text": (engine.hybrid_searcher(False), pairs, engine.hit_ids, "text"),
            "hybrid text+vector": (engine.hybrid_searcher(True), pairs, engine.hit_ids, "text"),
        }))
    elif group == "faiss":
        for name in ("faiss IndexBinaryFlat", "faiss IndexFlatIP"):
            engine = VECTOR_ENGINES[name]()
            root = index_dir(scale, name)
            result[name] = {"open": best_open(engine, root, 2)}
            engine.open(root)
            result[name].update(timed(engine.searcher(), list(qv), engine.ids, "vector"))
            del engine
    elif group == "NumPy":
        engine = peers.NumpyExact(scaled.unit(scale_vectors(scale)))
        result = timed(engine.searcher(), list(qv), engine.ids, "vector")
    elif group == "hybrid peer":
        text, flat = peers.Tantivy(), peers.FaissFlat()
        text.open(index_dir(scale, "tantivy"))
        flat.open(index_dir(scale, "faiss IndexFlatIP"))
        engine = peers.HybridPeer(text, flat)
        pairs = list(zip(texts, qv))
        result["hybrid text"] = timed(engine.searcher(False), pairs, engine.ids)
        result["hybrid text+vector"] = timed(engine.searcher(True), pairs, engine.ids)
    else:
        raise SystemExit(f"unknown search group {group!r}")
    return result


def main(argv):
    if argv[0] == "build":
        out = build(argv[1], int(argv[2]))
    elif argv[0] == "truth":
        out = truth(int(argv[1]))
    elif argv[0] == "search":
        out = search(argv[1], int(argv[2]))
    else:
        raise SystemExit(__doc__)
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1:])
