"""Writes bench/RESULTS.md and the plots bench/*.png from the figures of one
run of report.py (bench/.cache/run/results.json)."""
import math

import numpy as np

import peers
import scaled
from common import REPO

OUT = REPO / "bench" / "RESULTS.md"
MIB = 1 << 20
TEXT_PEERS = ["tantivy", "SQLite FTS5", "bm25s"]
VECTOR_BUILDS = ["tessavine + vectors", "faiss IndexBinaryFlat", "faiss IndexFlatIP"]


# ---------------------------------------------------------------- figures

def score(results, relevant):
    """Adds MRR@10 (known items) and recall@10 (exact cosine) to every
    measurement that kept its ids, and drops the ids."""
    n_base = results["n_base"]
    jobs = results["jobs"]
    for key, job in jobs.items():
        if not key.startswith("search ") or "error" in job:
            continue
        scale = key.rsplit(" ", 1)[1]
        truth = jobs.get(f"truth {scale}", {}).get("ids")
        for m in measurements(job):
            ids = m.pop("ids", None)
            if ids is None:
                continue
            if m.get("kind") == "vector":
                if truth is not None:
                    m["recall"] = scaled.recall_at_10(ids, truth[:len(ids)])
            elif m.get("kind") == "text":
                m["mrr"] = scaled.mrr_at_10(ids, relevant[:len(ids)], n_base)
    for scale in results["scales"]:
        jobs.get(f"truth {scale}", {}).pop("ids", None)


def measurements(job):
    """The latency measurements of a search job (dicts holding "p50")."""
    if "p50" in job:
        return [job]
    return [m for v in job.values() if isinstance(v, dict) for m in measurements(v)]


class Figures:
    """Reads figures out of the results by (job, path) and scale."""

    def __init__(self, results):
        self.r = results
        self.scales = results["scales"]

    def job(self, key, scale):
        return self.r["jobs"].get(f"{key} {scale}")

    def get(self, key, path, scale):
        """The figure, or a string saying why there is none."""
        job = self.job(key, scale)
        if job is None:
            return "not run"
        if "error" in job:
            return "did not fit" if job.get("no_fit") else "failed"
        value = job
        for part in path:
            if not isinstance(value, dict) or part not in value:
                return "—"
            value = value[part]
        return value

    def series(self, key, path):
        return [self.get(key, path, s) for s in self.scales]


def num(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def ratio(a, b):
    return a / b if num(a) and num(b) and b else None


def fmt(v, unit):
    if not num(v):
        return str(v)
    if unit == "us":
        v *= 1e6
    elif unit == "ms":
        v *= 1e3
    elif unit == "mib":
        v /= MIB
    if unit == "q":
        return f"{v:.3f}"
    if unit == "x":
        return f"{v:.2f}x"
    if abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


# ---------------------------------------------------------------- tables

class Table:
    """One figure at every scale: a row per engine, then ratio rows."""

    def __init__(self, fig, title, unit, note=""):
        self.fig, self.title, self.unit, self.note = fig, title, unit, note
        self.rows = []     # (label, [values])
        self.ratios = []   # (label, [values])

    def row(self, label, values):
        self.rows.append((label, values))
        return values

    def ratio(self, label, top, bottom):
        self.ratios.append((label, [ratio(a, b) for a, b in zip(top, bottom)]))

    def markdown(self):
        scales = self.fig.scales
        head = ["", *[f"{s}x" for s in scales]]
        growth = len(scales) > 1
        if growth:
            head.append(f"growth {scales[0]}x→{scales[-1]}x")
        lines = [f"**{self.title}**" + (f" — {self.note}" if self.note else ""), "",
                 "| " + " | ".join(head) + " |", "|" + "---|" + "---:|" * (len(head) - 1)]
        for label, values in self.rows:
            cells = [fmt(v, self.unit) for v in values]
            if growth:
                g = ratio(values[-1], values[0])
                cells.append(f"{g:.1f}x" if g is not None else "—")
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
        for label, values in self.ratios:
            cells = [f"{v:.2f}" if v is not None else "—" for v in values]
            if growth:
                cells.append("")
            lines.append(f"| *{label}* | " + " | ".join(cells) + " |")
        return "\n".join(lines) + "\n"


def build_tables(f, text_bytes):
    out = []
    for title, path, unit, note in (
            ("Build time, add + commit (s)", ["build_s"], "s", "every chunk added, then one commit"),
            ("Commit alone (s)", ["commit_s"], "s", "the part of the build after the last add"),
            ("Peak memory of the build above its inputs (MiB)", ["peak_bytes"], "mib",
             "resident set high-water mark minus the resident set before the first add, inputs "
             "(chunk tuples, vectors) already loaded"),
            ("Index size on disk (MiB)", ["size_bytes"], "mib", "")):
        t = Table(f, title, unit, note)
        ours = t.row("tessavine (keyword index)", f.series("build tessavine", path))
        for p in TEXT_PEERS:
            t.row(p, f.series(f"build {p}", path))
        for p in VECTOR_BUILDS:
            label = "tessavine + vectors (384-d)" if p == "tessavine + vectors" else p
            t.row(label, f.series(f"build {p}", path))
        if path == ["peak_bytes"]:
            t.row("chunk text held (UTF-8)", text_bytes)
            t.ratio("tessavine peak / chunk text", ours, text_bytes)
        for p in TEXT_PEERS:
            t.ratio(f"tessavine / {p}", ours, f.series(f"build {p}", path))
        out.append(t)
    return out


def open_table(f):
    t = Table(f, "Open (ms)", "ms", "best of 5, files in the page cache, each open timed after the "
              "previous one's reader is let go; the sequential read reads every file of the generation "
              "once through a reused 1 MiB buffer, the read into fresh memory reads each file into a new "
              "buffer of its size (page faults included, 2 MiB pages where the kernel grants them, as "
              "the open without mmap asks); both buffers start on a page, as a copy into one 16 bytes "
              "past a cache line runs several times slower on some processors")
    rows = {}
    for key, label in (("tessavine", "tessavine keyword index"), ("tessavine + vectors", "tessavine + vectors")):
        for sub, what in (("mmap", "open, mmap=True"), ("no_mmap", "open, mmap=False"),
                          ("read_once", "one sequential read of its files"),
                          ("read_fresh", "one read of its files into fresh memory")):
            rows[(key, sub)] = t.row(f"{label}: {what}", f.series(f"search {key}", ["open", sub]))
    tantivy = t.row("tantivy: Index.open + searcher", f.series("search tantivy", ["open", "open"]))
    t.row("SQLite FTS5: connect + first query", f.series("search SQLite FTS5", ["open", "open"]))
    t.row("bm25s: load, mmap=False", f.series("search bm25s", ["open", "no_mmap"]))
    t.row("bm25s: load, mmap=True", f.series("search bm25s", ["open", "mmap"]))
    for p in ("faiss IndexBinaryFlat", "faiss IndexFlatIP"):
        t.row(f"{p}: read_index", f.series("search faiss", [p, "open"]))
    for key, label in (("tessavine", "keyword index"), ("tessavine + vectors", "+ vectors")):
        t.ratio(f"{label}: mmap=False / sequential read", rows[(key, "no_mmap")], rows[(key, "read_once")])
        t.ratio(f"{label}: mmap=True / sequential read", rows[(key, "mmap")], rows[(key, "read_once")])
        t.ratio(f"{label}: mmap=False / read into fresh memory", rows[(key, "no_mmap")], rows[(key, "read_fresh")])
        t.ratio(f"{label}: mmap=True / read into fresh memory", rows[(key, "mmap")], rows[(key, "read_fresh")])
    t.ratio("keyword index mmap=True / tantivy", rows[("tessavine", "mmap")], tantivy)
    return t


LATENCY = (("p50 latency (µs)", "p50", "us"), ("p99 latency (µs)", "p99", "us"),
           ("queries per second, 1 thread", "qps", ""))


def bm25_source(engine):
    """Where an engine's BM25 measurement is: tantivy's is the one timed in
    turns with tessavine's, in tessavine's job."""
    if engine == "tantivy":
        return "search tessavine", "tantivy bm25"
    return f"search {engine}", "bm25"


def bm25_series(f, engine, field):
    key, name = bm25_source(engine)
    return f.series(key, [name, field])


def bm25_tables(f):
    out = []
    for title, field, unit in LATENCY + (("MRR@10 of the known item", "mrr", "q"),):
        t = Table(f, f"BM25: {title}", unit)
        ours = t.row("tessavine search_bm25", bm25_series(f, "tessavine", field))
        for p in TEXT_PEERS:
            t.row(p, bm25_series(f, p, field))
        for p in TEXT_PEERS:
            t.ratio(f"tessavine / {p}", ours, bm25_series(f, p, field))
        out.append(t)
    for title, field, unit in LATENCY[:2]:
        t = Table(f, f"BM25, long queries: {title}", unit,
                  "100 stretches of 20 to 40 distinct terms of a chunk's text, joined by spaces, "
                  "timed in turns with tantivy's")
        ours = t.row("tessavine search_bm25", f.series("search tessavine", ["bm25 long", field]))
        theirs = t.row("tantivy", f.series("search tessavine", ["tantivy bm25 long", field]))
        t.ratio("tessavine / tantivy", ours, theirs)
        out.append(t)
    return out


def vector_tables(f):
    out = []
    full = "search tessavine + vectors"
    for title, field, unit in LATENCY + (("recall@10 against exact cosine", "recall", "q"),):
        title, unit = (title.replace("µs", "ms"), "ms") if unit == "us" else (title, unit)
        t = Table(f, f"Vectors: {title}", unit)
        mode = {m: t.row(f"tessavine {m}", f.series(full, [m, field])) for m in peers.MODES}
        binary = t.row("faiss IndexBinaryFlat", f.series("search faiss", ["faiss IndexBinaryFlat", field]))
        flat = t.row("faiss IndexFlatIP", f.series("search faiss", ["faiss IndexFlatIP", field]))
        numpy = t.row("NumPy exact", f.series("search NumPy", [field]))
        if field == "p50":
            floor = [ratio(c, b) for c, b in zip(f.series(full, ["int8_code_bytes"]), f.series(full, ["bandwidth"]))]
            t.row("floor: one read of the int8 codes at measured bandwidth", floor)
            t.ratio("int8 / floor", mode["int8"], floor)
        for m in ("binary", "binary+int8", "ternary+int8"):
            t.ratio(f"{m} / faiss IndexBinaryFlat", mode[m], binary)
        t.ratio("int8 / faiss IndexFlatIP", mode["int8"], flat)
        t.ratio("int8 / NumPy exact", mode["int8"], numpy)
        out.append(t)
    return out


def hybrid_tables(f):
    out = []
    full = "search tessavine + vectors"
    for title, field, unit in LATENCY + (("MRR@10 of the known item", "mrr", "q"),):
        t = Table(f, f"Hybrid: {title}", unit)
        bm10 = t.row("tessavine search_bm25, k=10", f.series(full, ["bm25 k10", field]))
        bm50 = t.row("tessavine search_bm25, k=50", f.series(full, ["bm25 k50", field]))
        v10 = t.row("tessavine search_vector ternary+int8, k=10", f.series(full, ["ternary+int8", field]))
        v50 = t.row("tessavine search_vector ternary+int8, k=50", f.series(full, ["ternary+int8 k50", field]))
        text = t.row("tessavine search, text only", f.series(full, ["hybrid text", field]))
        both = t.row("tessavine search, text + vector", f.series(full, ["hybrid text+vector", field]))
        ptext = t.row(f"{peers.HybridPeer.name}, text only", f.series("search hybrid peer", ["hybrid text", field]))
        pboth = t.row(f"{peers.HybridPeer.name}, text + vector",
                      f.series("search hybrid peer", ["hybrid text+vector", field]))
        if field in ("p50", "p99"):
            t.ratio("text only / search_bm25 k=10", text, bm10)
            t.ratio("text + vector / (search_bm25 + search_vector, k=10)", both, add(bm10, v10))
            t.ratio("text + vector / (search_bm25 + search_vector, k=50)", both, add(bm50, v50))
        t.ratio("text only / peer", text, ptext)
        t.ratio("text + vector / peer", both, pboth)
        out.append(t)
    return out


def add(a, b):
    return [x + y if num(x) and num(y) else None for x, y in zip(a, b)]


# ---------------------------------------------------------------- goals

def goals(f, text_bytes):
    last, first = f.scales[-1], f.scales[0]
    g = lambda key, path, s: f.get(key, path, s)  # noqa: E731
    lines = []

    def line(text, value, goal):
        shown = f"{value:.2f}" if value is not None else "—"
        lines.append(f"| {text} | {shown} | {goal} |")

    ours, tantivy = bm25_source("tessavine"), bm25_source("tantivy")
    bm = lambda engine, field, s: g(engine[0], [engine[1], field], s)  # noqa: E731
    line(f"BM25 p50, tessavine / tantivy, at {last}x", ratio(bm(ours, "p50", last), bm(tantivy, "p50", last)),
         "≤ 0.5")
    line(f"BM25 p99, tessavine / tantivy, at {last}x", ratio(bm(ours, "p99", last), bm(tantivy, "p99", last)),
         "≤ 0.5")
    line(f"BM25 p50 growth {first}x → {last}x, tessavine", ratio(bm(ours, "p50", last), bm(ours, "p50", first)),
         "≤ 8")
    line(f"BM25 p50 growth {first}x → {last}x, tantivy (for comparison)",
         ratio(bm(tantivy, "p50", last), bm(tantivy, "p50", first)), "")
    full = "search tessavine + vectors"
    for s in sorted({first, last}):
        line(f"hybrid without a vector / search_bm25 alone (k=10), p50 at {s}x",
             ratio(g(full, ["hybrid text", "p50"], s), g(full, ["bm25 k10", "p50"], s)), "≤ 2")
        parts = add([g(full, ["bm25 k10", "p50"], s)], [g(full, ["ternary+int8", "p50"], s)])[0]
        line(f"hybrid with a vector / (search_bm25 + search_vector ternary+int8, k=10), p50 at {s}x",
             ratio(g(full, ["hybrid text+vector", "p50"], s), parts), "≤ 1.2")
    line(f"build peak memory above inputs / chunk text, at {last}x",
         ratio(g("build tessavine", ["peak_bytes"], last), text_bytes[-1]), "≤ 2")
    line(f"build time (add + commit), tessavine / tantivy, at {last}x",
         ratio(g("build tessavine", ["build_s"], last), g("build tantivy", ["build_s"], last)), "≤ 1")
    line(f"commit time, tessavine / tantivy, at {last}x",
         ratio(g("build tessavine", ["commit_s"], last), g("build tantivy", ["commit_s"], last)), "≤ 1")
    for key, label in (("search tessavine", "keyword index"), (full, "index with vectors")):
        read = g(key, ["open", "read_once"], last)
        line(f"open mmap=False / one sequential read of the files, {label}, at {last}x",
             ratio(g(key, ["open", "no_mmap"], last), read), "≤ 2")
        line(f"open mmap=True / one sequential read of the files, {label}, at {last}x",
             ratio(g(key, ["open", "mmap"], last), read), "≤ 1")
        fresh = g(key, ["open", "read_fresh"], last)
        line(f"open mmap=False / one read of the files into fresh memory, {label}, at {last}x",
             ratio(g(key, ["open", "no_mmap"], last), fresh), "")
        line(f"open mmap=True / one read of the files into fresh memory, {label}, at {last}x",
             ratio(g(key, ["open", "mmap"], last), fresh), "")
    floor = ratio(g(full, ["int8_code_bytes"], last), g(full, ["bandwidth"], last))
    n = g("build tessavine + vectors", ["n"], last)
    line(f"exhaustive int8 p50 / one read of the int8 codes at measured bandwidth, "
         f"{n:,} x 384" if num(n) else "exhaustive int8 / bandwidth floor",
         ratio(g(full, ["int8", "p50"], last), floor), "≤ 1.5")
    return ["| ratio (one run) | value | goal |", "|---|---:|---|", *lines]


# ---------------------------------------------------------------- plots

def plot(f, name, title, panels):
    """panels: list of (subtitle, ylabel, {label: values by scale})."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    n = [f.r["n_base"] * s for s in f.scales]
    fig, axes = plt.subplots(1, len(panels), figsize=(6.5 * len(panels), 4.8), squeeze=False)
    for ax, (subtitle, ylabel, series) in zip(axes[0], panels):
        for label, values in series.items():
            pts = [(x, y) for x, y in zip(n, values) if num(y) and y > 0]
            if pts:
                ax.plot(*zip(*pts), marker="o", label=label,
                        linewidth=2.5 if label.startswith("tessavine") else 1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(n, [f"{s}x\n{x:,}" for s, x in zip(f.scales, n)])
        ax.minorticks_off()
        ax.set_title(subtitle, fontsize=10)
        ax.set_ylabel(ylabel)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(REPO / "bench" / name, dpi=90)
    plt.close(fig)
    return name


def scaled_values(values, factor):
    return [v * factor if num(v) else v for v in values]


def plots(f):
    names = []
    builds = ["tessavine", *TEXT_PEERS, *VECTOR_BUILDS]
    names.append(plot(f, "build.png", "Build (1 thread)", [
        ("add + commit", "seconds", {b: f.series(f"build {b}", ["build_s"]) for b in builds}),
        ("peak memory above inputs", "MiB",
         {b: scaled_values(f.series(f"build {b}", ["peak_bytes"]), 1 / MIB) for b in builds}),
        ("index size", "MiB", {b: scaled_values(f.series(f"build {b}", ["size_bytes"]), 1 / MIB) for b in builds}),
    ]))
    opens = {}
    for key in ("tessavine", "tessavine + vectors"):
        for sub, what in (("mmap", "mmap=True"), ("no_mmap", "mmap=False"), ("read_once", "sequential read"),
                          ("read_fresh", "read into fresh memory")):
            opens[f"{key} {what}"] = scaled_values(f.series(f"search {key}", ["open", sub]), 1e3)
    opens["tantivy"] = scaled_values(f.series("search tantivy", ["open", "open"]), 1e3)
    opens["SQLite FTS5"] = scaled_values(f.series("search SQLite FTS5", ["open", "open"]), 1e3)
    opens["bm25s mmap=False"] = scaled_values(f.series("search bm25s", ["open", "no_mmap"]), 1e3)
    names.append(plot(f, "open.png", "Open", [("open time", "ms", opens)]))
    names.append(plot(f, "bm25.png", "BM25, k = 10, 1 thread", [
        (field, "µs", {k: scaled_values(bm25_series(f, k, field), 1e6) for k in ["tessavine", *TEXT_PEERS]})
        for field in ("p50", "p99")]))
    full = "search tessavine + vectors"
    vec = {f"tessavine {m}": scaled_values(f.series(full, [m, "p50"]), 1e3) for m in peers.MODES}
    vec.update({p: scaled_values(f.series("search faiss", [p, "p50"]), 1e3)
                for p in ("faiss IndexBinaryFlat", "faiss IndexFlatIP")})
    vec["NumPy exact"] = scaled_values(f.series("search NumPy", ["p50"]), 1e3)
    vec["floor: one read of the int8 codes"] = [
        ratio(c, b) * 1e3 if ratio(c, b) is not None else None
        for c, b in zip(f.series(full, ["int8_code_bytes"]), f.series(full, ["bandwidth"]))]
    names.append(plot(f, "vectors.png", "Vector search, k = 10, 1 thread", [("p50", "ms", vec)]))
    hyb = {"tessavine text only": f.series(full, ["hybrid text", "p50"]),
           "tessavine text + vector": f.series(full, ["hybrid text+vector", "p50"]),
           "tessavine search_bm25 k=10": f.series(full, ["bm25 k10", "p50"]),
           "tessavine ternary+int8 k=10": f.series(full, ["ternary+int8", "p50"]),
           "peer text only": f.series("search hybrid peer", ["hybrid text", "p50"]),
           "peer text + vector": f.series("search hybrid peer", ["hybrid text+vector", "p50"])}
    names.append(plot(f, "hybrid.png", "Hybrid search, k = 10, depth 50, 1 thread",
                      [("p50", "µs", {k: scaled_values(v, 1e6) for k, v in hyb.items()})]))
    return names


# ---------------------------------------------------------------- document

def write(results):
    f = Figures(results)
    text_bytes = [results["text_bytes"][str(s)] for s in f.scales]
    m = results["machine"]
    dirty = results.get("dirty_files")
    if dirty is None and results.get("dirty"):
        commit = results["commit"][:12] + " with uncommitted changes (see the notes)"
    else:
        commit = results["commit"][:12] + (f" with uncommitted changes to {', '.join(dirty)}" if dirty else "")
    shown = [f"# Benchmark report", "",
             f"Baseline of {results['date']}, commit `{commit}` ({results.get('commit_subject', '')}), "
             f"produced by `make bench` (bench/report.py) in {results.get('run_seconds', 0) / 60:.0f} min.",
             "",
             f"Machine: {m['cpu']}, {m['cores']} cores shared with other work, {m['memory'] / (1 << 30):.0f} GiB; "
             f"Python {m['python']}; " + ", ".join(f"{k} {v}" for k, v in results["versions"].items()) + ".",
             "The machine is shared and noisy: absolute figures move from run to run; the ratios between "
             "engines measured in this one run are the result.", "",
             "## What was measured", "",
             f"- Corpus: {results['n_base']:,} chunks (`chunk_text` defaults, 1,200 characters) of the notes in "
             "`../shared/corpus`; scale s holds s copies of every note, copy c under the path prefix `copyNN/`:",
             "", "| scale | chunks | chunk text (MiB) |", "|---|---:|---:|",
             *[f"| {s}x | {results['n_base'] * s:,} | {t / MIB:,.0f} |" for s, t in zip(f.scales, text_bytes)], "",
             f"- Vectors (384-d): {results['vectors_source']}; "
             + ("corpus chunks outside the sample take an embedded chunk's vector with Gaussian noise, and "
                if "sample" in results["vectors_source"] else "")
             + f"every copy after the first adds noise of sigma {results['noise']} per component.",
             f"- Queries: the {results['queries']} known-item queries of `queries.tsv` (query vectors: the same "
             f"model), k = {results['k']}, one thread, each query timed alone from the Python call to the list "
             f"of results; {results['rounds']} round{'s' if results['rounds'] != 1 else ''} over the queries "
             "after a warm-up of 20 queries, cut short once a "
             f"measurement has run {results['budget']:.0f} s and timed at least 50 queries (the slow exhaustive "
             "peers at large scales: see the query counts below). QPS = timed queries / their summed time. "
             "Hybrid search and the searches it is set against (search_bm25 and ternary+int8 search_vector, "
             "k = 10 and 50) take turns query by query in one process, and so do tessavine's and tantivy's "
             "BM25 searches (tantivy's open times come from a process of its own), so that the ratios between "
             "them see the same state of the machine, whose speed drifts.",
             "- MRR@10: a hit is the known item when it is a chunk of the target note under the target heading, "
             f"in any copy. Recall@10: overlap with the exact float-cosine top 10 (NumPy, float32) of the "
             "same vectors.",
             "- Builds and searches each run in a fresh process per engine and scale; build peak memory is "
             "the rise of the resident set's high-water mark over the resident set with the inputs loaded. "
             "Every engine makes its own per-chunk objects inside the timed build (tessavine a `ChunkRecord`, "
             "tantivy a `Document`, FTS5 a row, bm25s its token lists), from the same list of chunk tuples.",
             "- Ratios are ours / peer: below 1 is better for times, memory and sizes; above 1 for QPS, "
             "MRR and recall.",
             "", "## Notes on this run", "", *notes(results), "", "## Goals", "",
             "Each ratio comes from this one run; the goal stands beside it.", "",
             *goals(f, text_bytes), "",
             "## Build", "", "![build](build.png)", ""]
    for t in build_tables(f, text_bytes):
        shown += [t.markdown()]
    shown += ["## Open", "", "![open](open.png)", "", open_table(f).markdown(),
              "## BM25", "", "![bm25](bm25.png)", ""]
    for t in bm25_tables(f):
        shown += [t.markdown()]
    shown += ["## Vector search", "",
              f"k = {scaled.K}, candidates = {peers.CANDIDATES}. The floor row is the time to read every "
              "int8 code once at the single-core read bandwidth measured in the same process (glibc memchr "
              "over 1 GiB, best of 5).", "", "![vectors](vectors.png)", ""]
    for t in vector_tables(f):
        shown += [t.markdown()]
    shown += ["## Hybrid search", "",
              f"`IndexReader.search(text, vector, k={scaled.K}, depth={peers.DEPTH})` with the other defaults; "
              f"the peer asks tantivy and faiss IndexFlatIP for {peers.DEPTH} results each and fuses them by "
              "reciprocal rank (k 60) in Python; it re-ranks nothing.", "", "![hybrid](hybrid.png)", ""]
    for t in hybrid_tables(f):
        shown += [t.markdown()]
    shown += ["## Queries timed per measurement", "",
              "Where a measurement was cut short by its time budget it timed fewer than all queries in its "
              "first round; its p99 then rests on fewer samples.", "",
              "| measurement | " + " | ".join(f"{s}x" for s in f.scales) + " |",
              "|---|" + "---:|" * len(f.scales)]
    shown += query_counts(f)
    shown += ["", "## Where the peers' defaults differ from tessavine's", "",
              "tessavine: its own tokenizer (lower-cased words of letters and digits, camel-case and "
              "letter/digit parts kept beside the whole word, 33 English stop-words and one-letter terms "
              "dropped, no stemming), BM25 k1 1.2, b 0.75 over the heading path and text of each chunk; the "
              "peers index the same text (heading path, a line feed, the text) in one field.", ""]
    shown += [f"- **{name}**: {text}" for name, text in peers.DEFAULTS.items()]
    failures = [(k, j["error"]) for k, j in results["jobs"].items() if "error" in j]
    if failures:
        shown += ["", "## Jobs without figures", "", *[f"- `{k}`: {e}" for k, e in failures]]
    shown += ["", "## Reproduce", "",
              "`make bench` (installs the peers, torch and the embedding model into `.venv/` on first use; "
              "the first run takes every chunk's vector from bench_notes.py's index of the corpus when it exists, "
              "else embeds a sample of the chunks, and caches them under `bench/.cache/`). "
              "`.venv/bin/python bench/report.py --scales 1` for a quick run at 1x; `--render-only` rewrites "
              "this file and the plots from the last run's figures.", ""]
    shown.insert(shown.index("## Build"), "Plots: " + ", ".join(f"[{n}]({n})" for n in plots(f)) + ".\n")
    OUT.write_text("\n".join(shown))


def notes(results):
    out = []
    if "load_start" in results:
        end = results.get("load_end", ["?"] * 3)
        out.append(f"- Load average of the machine (1, 5, 15 min): {fmt_load(results['load_start'])} at the "
                   f"start, {fmt_load(end)} at the end, on {results['machine']['cores']} cores.")
    out.append("- p99 latencies of the fast searches are set by the machine's scheduling (time slices of "
               "other processes, some milliseconds) more than by the engines when the machine is loaded; "
               "compare p50 first.")
    if "sample" in results["vectors_source"]:
        out.append("- The vectors are the real embeddings of a sample of the chunks, tiled with noise: the "
                   "smaller the sample, the more near-copies each query meets, which lowers the recall of the "
                   "binary first stages and the MRR of the text + vector rows (the vectors of chunks outside "
                   "the sample carry no meaning of their own). The sample's size is set by the embedding's "
                   "time budget on the first run (BENCH_EMBED_SECONDS) and cached in bench/.cache/.")
    out += [f"- {n}" for n in results.get("notes", [])]
    return out


def fmt_load(values):
    return ", ".join(f"{v:.1f}" if num(v) else str(v) for v in values)


def query_counts(f):
    rows = []
    for key, path, label in (
            [(bm25_source(e)[0], [bm25_source(e)[1]], f"BM25 {e}") for e in ["tessavine", *TEXT_PEERS]] +
            [("search tessavine", [m], f"BM25 {e}, long queries")
             for m, e in (("bm25 long", "tessavine"), ("tantivy bm25 long", "tantivy"))] +
            [("search tessavine + vectors", [m], f"tessavine {m}") for m in peers.MODES] +
            [("search faiss", [p], p) for p in ("faiss IndexBinaryFlat", "faiss IndexFlatIP")] +
            [("search NumPy", [], "NumPy exact")] +
            [("search tessavine + vectors", [h], f"tessavine {h}") for h in ("hybrid text", "hybrid text+vector")] +
            [("search hybrid peer", [h], f"peer {h}") for h in ("hybrid text", "hybrid text+vector")]):
        cells = []
        for s in f.scales:
            q, n = f.get(key, path + ["queries"], s), f.get(key, path + ["timings"], s)
            cells.append(f"{q} ({n} timings)" if num(q) else str(q))
        rows.append(f"| {label} | " + " | ".join(cells) + " |")
    return rows
