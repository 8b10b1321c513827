"""The benchmark report: tessavine beside its peers at 1x, 4x and 16x the
corpus, measured in one run, written to bench/RESULTS.md with plots
bench/*.png.

Every build and every group of searches runs in a process of its own
(jobs.py), one scale after the other; the indexes of a scale are removed once
its searches are done. A job whose estimated memory exceeds what the machine
has available is not started and is reported as not fitting; one killed
while running is reported the same way.

  report.py [--scales 1,4,16] [--render-only] [--resume] [--note TEXT ...]

--render-only writes RESULTS.md and the plots again from the figures of the
last run (bench/.cache/run/results.json); --resume keeps the figures of the
jobs that already finished in that run and runs only the others (for
developing the report, not for published figures: those come from one run);
--note adds a line to the report's notes on the run (with --render-only too).

Environment: BENCH_SECONDS (time budget per latency measurement once 50
queries are timed, default 15), BENCH_ROUNDS (rounds over the queries,
default 3), BENCH_EMBED_SECONDS (embedding budget of the first run, see
embeddings.py).
"""
import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time
from importlib import metadata

from common import REPO, ensure_modules

PEER_PACKAGES = ["tantivy", "bm25s", "faiss-cpu", "matplotlib"]
PEER_MODULES = ["tantivy", "bm25s", "faiss", "matplotlib"]

import scaled  # noqa: E402 (common puts python/ on the path)

RUN = scaled.CACHE / "run"
RESULTS = RUN / "results.json"
BUILDS = ["tessavine", "tessavine + vectors", "tantivy", "SQLite FTS5", "bm25s",
          "faiss IndexBinaryFlat", "faiss IndexFlatIP"]
SEARCHES = ["tessavine", "tantivy", "SQLite FTS5", "bm25s", "tessavine + vectors", "faiss", "NumPy",
            "hybrid peer"]
GIB = 1 << 30
JOB_TIMEOUT = 1800


def available_memory():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def memory_needed(kind, name, text, vectors):
    """A generous estimate of a job's peak memory from the scale's chunk text
    and vector bytes (interpreter and libraries included)."""
    base = 0.5 * GIB + 3 * text  # interpreter, chunk tuples
    if kind == "build":
        extra = {"tessavine": 4 * text, "tessavine + vectors": 4 * text + 1.5 * vectors,
                 "tantivy": 0.5 * GIB, "SQLite FTS5": 0.3 * GIB, "bm25s": 12 * text,
                 "faiss IndexBinaryFlat": 1.2 * vectors, "faiss IndexFlatIP": 3 * vectors}[name]
        if name in ("tessavine + vectors", "faiss IndexBinaryFlat", "faiss IndexFlatIP"):
            extra += vectors
        return base + extra
    if kind == "truth":
        return base + 2.5 * vectors
    return base + {"tessavine": 2 * text, "tantivy": 2 * text, "SQLite FTS5": text, "bm25s": 6 * text,
                   "tessavine + vectors": 2 * text + 0.4 * vectors, "faiss": 1.2 * vectors,
                   "NumPy": 2.2 * vectors, "hybrid peer": 2 * text + vectors}[name]


def run_job(args, need, log, threads=1):
    """Runs jobs.py with `args`; its JSON result, or {"error": ...}."""
    free = available_memory()
    if need > free:
        return {"error": f"does not fit: needs about {need / GIB:.1f} GiB, "
                         f"{free / GIB:.1f} GiB available", "no_fit": True}
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads),
               MKL_NUM_THREADS=str(threads), RAYON_NUM_THREADS=str(threads), TOKENIZERS_PARALLELISM="false")
    start = time.monotonic()
    print(f"  {' '.join(args)} ...", end="", flush=True, file=sys.stderr)
    try:
        done = subprocess.run([sys.executable, str(REPO / "bench" / "jobs.py"), *args], env=env,
                              capture_output=True, text=True, timeout=JOB_TIMEOUT)
    except subprocess.TimeoutExpired:
        print(" timed out", file=sys.stderr)
        return {"error": f"timed out after {JOB_TIMEOUT} s"}
    with open(log, "a") as f:
        f.write(f"== {' '.join(args)} (exit {done.returncode})\n{done.stderr}\n")
    print(f" {time.monotonic() - start:.0f} s", file=sys.stderr)
    if done.returncode in (-9, 137) or "MemoryError" in done.stderr:
        return {"error": "does not fit: killed for lack of memory", "no_fit": True}
    if done.returncode != 0:
        tail = done.stderr.strip().splitlines()[-1:] or [f"exit {done.returncode}"]
        return {"error": tail[0][:300]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def git(*args):
    try:
        return subprocess.run(["git", *args], cwd=REPO, capture_output=True, text=True).stdout.rstrip()
    except OSError:
        return ""


def machine():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        pass
    with open("/proc/meminfo") as f:
        total = int(next(line for line in f if line.startswith("MemTotal:")).split()[1]) * 1024
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": total, "python": platform.python_version()}


def versions():
    out = {}
    for pkg in ("tantivy", "bm25s", "faiss-cpu", "numpy", "scipy", "torch", "matplotlib"):
        try:
            out[pkg] = metadata.version(pkg)
        except metadata.PackageNotFoundError:
            pass
    import sqlite3
    out["SQLite"] = sqlite3.sqlite_version
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scales", default=os.environ.get("BENCH_SCALES", "1,4,16"))
    parser.add_argument("--render-only", action="store_true")
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--note", action="append", default=[])
    args = parser.parse_args()
    if not ensure_modules(PEER_PACKAGES, PEER_MODULES):
        sys.exit("the peers could not be installed: " + " ".join(PEER_PACKAGES))
    import render
    if args.render_only:
        results = json.loads(RESULTS.read_text())
        if args.note:
            results["notes"] = results.get("notes", []) + args.note
            RESULTS.write_text(json.dumps(results))
        render.write(results)
        return

    scales = sorted(int(s) for s in args.scales.split(","))
    started = time.monotonic()
    results = json.loads(RESULTS.read_text()) if args.resume and RESULTS.exists() else {}
    if not args.resume:
        shutil.rmtree(RUN, ignore_errors=True)
    RUN.mkdir(parents=True, exist_ok=True)
    work = scaled.CACHE / "indexes"
    log = RUN / "jobs.log"

    import numpy as np
    print("preparing inputs (chunks, embeddings, scaled vectors) ...", file=sys.stderr)
    base = scaled.corpus_chunks()
    source, query_vectors = scaled.prepare_vectors(len(base), scales[-1])
    np.save(RUN / "query-vectors.npy", query_vectors)
    (RUN / "inputs.json").write_text(json.dumps({"n_base": len(base), "max_scale": scales[-1],
                                                 "work": str(work)}))
    query_rows = scaled.queries()
    relevant = scaled.relevant_ids(base, query_rows)
    head = git("rev-parse", "HEAD")
    results.update({
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "commit": head, "commit_subject": git("log", "-1", "--format=%s"),
        "dirty_files": [line[3:] for line in git("status", "--porcelain", "--untracked-files=no").splitlines()],
        "load_start": os.getloadavg(), "notes": args.note,
        "machine": machine(), "versions": versions(), "vectors_source": source, "noise": scaled.NOISE,
        "n_base": len(base), "queries": len(query_rows), "k": scaled.K, "scales": scales,
        "relevant_chunks": sum(map(len, relevant)),
        "text_bytes": {str(s): scaled.text_bytes(base, s) for s in scales},
        "rounds": int(os.environ.get("BENCH_ROUNDS", "3")), "budget": float(os.environ.get("BENCH_SECONDS", "15")),
    })
    results.setdefault("jobs", {})

    for scale in scales:
        text = scaled.text_bytes(base, scale)
        vec = len(base) * scale * query_vectors.shape[1] * 4
        print(f"scale {scale}x: {len(base) * scale:,} chunks", file=sys.stderr)
        plan = [("build", name, 1) for name in BUILDS] + [("truth", "", 2)] + \
               [("search", name, 1) for name in SEARCHES]
        keys = [f"{kind} {name} {scale}".replace("  ", " ") for kind, name, _ in plan]
        if all("error" not in results["jobs"].get(key, {"error": ""}) for key in keys):
            continue  # --resume: this scale is complete
        for (kind, name, threads), key in zip(plan, keys):
            argv = [kind, name, str(scale)] if name else [kind, str(scale)]
            out = run_job(argv, memory_needed(kind, name, text, vec), log, threads)
            if kind == "truth" and "error" not in out:
                out["ids"] = np.load(RUN / f"truth-{scale}x.npy").tolist()
            results["jobs"][key] = out
            RESULTS.write_text(json.dumps(results))
        shutil.rmtree(work / f"{scale}x", ignore_errors=True)

    results["run_seconds"] = time.monotonic() - started
    results["load_end"] = os.getloadavg()
    render.score(results, relevant)
    RESULTS.write_text(json.dumps(results))
    render.write(results)
    print(f"wrote {render.OUT} in {results['run_seconds'] / 60:.1f} min", file=sys.stderr)


if __name__ == "__main__":
    main()
