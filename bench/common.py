"""Shared helpers of the benchmark scripts."""
import importlib
import mmap
import os
import pathlib
import subprocess
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


def ensure_modules(packages, modules):
    """Imports `modules`, installing `packages` into this interpreter's
    environment with pip first when one is missing. False if that fails."""
    try:
        for m in modules:
            importlib.import_module(m)
        return True
    except ImportError:
        pass
    print(f"setting up: pip install {' '.join(packages)}", file=sys.stderr)
    done = subprocess.run([sys.executable, "-m", "pip", "install", "-q", *packages])
    if done.returncode != 0:
        return False
    importlib.invalidate_caches()
    try:
        for m in modules:
            importlib.import_module(m)
        return True
    except ImportError:
        return False


def best_of(fn, repeat=5):
    """Smallest wall time of `repeat` runs of fn(), in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def page_buffer(size, huge=False):
    """`size` bytes of fresh anonymous memory starting on a page, as a
    writable memoryview; with `huge`, in 2 MiB pages where the kernel grants
    them, as a careful reader of large files asks. The copy out of the page
    cache runs several times slower on some processors when its target sits
    16 bytes past a cache line, where the allocator puts a bytearray or a
    NumPy array of this size: a reference read must not hang on that."""
    buf = mmap.mmap(-1, max(size, 1), flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    if huge and hasattr(mmap, "MADV_HUGEPAGE"):
        buf.madvise(mmap.MADV_HUGEPAGE)
    return memoryview(buf)[:size]


def read_into(path, view):
    """Reads the file at `path` into `view` until it is full or the file ends."""
    got = 0
    with open(path, "rb", buffering=0) as f:
        while got < len(view):
            n = f.readinto(view[got:])
            if not n:
                break
            got += n
    return got


def table(rows, header):
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).rjust(w) for c, w in zip(r, widths))
    print(line(header))
    for r in rows:
        print(line(r))
