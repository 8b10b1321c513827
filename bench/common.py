"""Shared helpers of the benchmark scripts."""
import os
import pathlib
import sys
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("TESSAVINE_BUILD", REPO / "build"))
sys.path.insert(0, str(REPO / "python"))
CORPUS = pathlib.Path(os.environ.get("TESSAVINE_CORPUS", REPO.parent / "shared" / "corpus"))


def corpus_notes():
    """(relative path, text) of every Markdown note of the corpus, in path order."""
    if not CORPUS.is_dir():
        sys.exit(f"corpus not found at {CORPUS} (set TESSAVINE_CORPUS)")
    return [(str(p.relative_to(CORPUS)), p.read_text(encoding="utf-8"))
            for sub in ("cpp-docs", "tldr") for p in sorted((CORPUS / sub).rglob("*.md"))]


def best_of(fn, repeat=5):
    """Smallest wall time of `repeat` runs of fn(), in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def table(rows, header):
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).rjust(w) for c, w in zip(r, widths))
    print(line(header))
    for r in rows:
        print(line(r))
