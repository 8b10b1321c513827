"""Commits and opens racing on one index root.

  writers  4 writer processes commit small generations in a loop while 8
           threads of a fifth process open the root and search (60 s).
  readers  one process commits about 70 generations a second while 8 of its
           threads open the root and search (90 s).

Every commit writes a unique marker into its metadata and at the head of each
chunk's text. Readers check that a generation they open carries one marker
throughout and that the generation its manifest names is the directory they
opened; a thread of the reading process polls CURRENT and notes every name it
sees. At the end each commit that returned is checked against all of that.

  python bench/stress_writers.py writers [--seconds 60] [--writers 4] [--dir /dev/shm]
  python bench/stress_writers.py readers [--seconds 90] [--rate 70]
"""
import argparse
import collections
import json
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import threading
import time

from common import CORPUS, table

from tessavine._core import ChunkRecord, IndexReader, IndexWriter, chunk_text

QUERIES = ["install package", "remove a file", "list directory contents", "compile the program",
           "git commit", "network address", "start the server", "show help"]


def small_notes(count=400):
    """Chunks of some of the corpus's short pages (tldr), a few per commit."""
    if not (CORPUS / "tldr").is_dir():
        sys.exit(f"corpus not found at {CORPUS} (set TESSAVINE_CORPUS)")
    paths = sorted((CORPUS / "tldr").rglob("*.md"))[:count]
    notes = [(str(p.relative_to(CORPUS)), chunk_text(p.read_text(encoding="utf-8"))) for p in paths]
    return [(p, cs[:4]) for p, cs in notes if cs]


def commit_one(root, marker, note):
    path, chunks = note
    w = IndexWriter(0, metadata={"marker": marker})
    for c in chunks:
        w.add(ChunkRecord(path, c.heading_path, c.line_start, c.line_end, f"{marker}\n{c.text}"))
    return w.commit(root)


def writer_role(root, wid, rate):
    """Says it is ready, reads the time to stop from stdin, commits until
    then (at most `rate` commits a second; 0: as fast as it can) and prints
    what each commit returned."""
    notes, rng = small_notes(), random.Random(wid)
    print("ready", flush=True)
    until = float(sys.stdin.readline())
    returned, errors, n, start = [], collections.Counter(), 0, time.time()
    while time.time() < until:
        if rate:
            time.sleep(max(0.0, start + n / rate - time.time()))
        marker, n = f"w{wid}-{n}", n + 1
        try:
            info = commit_one(root, marker, rng.choice(notes))
        except Exception as e:  # counted and shown: any of these is a fault
            errors[f"{type(e).__name__}: {e}"] += 1
            continue
        # CURRENT moves only forward: right after the return it names this
        # commit's generation or a later one.
        now = int((root / "CURRENT").read_text().strip()[4:])
        returned.append([info.generation, marker, info.dir.name, now >= info.generation])
    print(json.dumps({"returned": returned, "errors": errors}))


class Readers:
    """Threads that open the root and search it until `until`, and one that
    polls CURRENT."""

    def __init__(self, root, until, threads=8):
        self.root, self.until = root, until
        self.lock = threading.Lock()
        self.counts = collections.Counter()
        self.errors = collections.Counter()
        self.seen = {}            # generation -> markers seen in it
        self.current_names = set()
        self.threads = [threading.Thread(target=self.read) for _ in range(threads)]
        self.threads.append(threading.Thread(target=self.poll_current))

    def run(self):
        for t in self.threads:
            t.start()
        for t in self.threads:
            t.join()

    def read(self):
        rng = random.Random()
        while time.time() < self.until:
            # CURRENT, once there, is only ever replaced, never removed.
            committed = (self.root / "CURRENT").exists()
            try:
                reader = IndexReader.open(self.root)
            except Exception as e:
                never = isinstance(e, OSError) and not committed
                with self.lock:
                    if never:
                        self.counts["opens of a root never committed"] += 1
                    else:
                        self.errors[f"{type(e).__name__}: {e}"] += 1
                continue
            m = reader.manifest
            marker, gen = m["metadata"]["marker"], m["generation"]
            whole = reader.dir.name == f"gen-{gen:06d}" and all(
                reader.chunk(i).text.startswith(marker + "\n") for i in range(len(reader)))
            reader.search(rng.choice(QUERIES), k=5)
            with self.lock:
                self.counts["opens"] += 1
                self.counts["searches"] += 1
                if not whole:
                    self.errors[f"mixed files in gen-{gen:06d}"] += 1
                self.seen.setdefault(gen, set()).add(marker)

    def poll_current(self):
        while time.time() < self.until:
            try:
                self.current_names.add((self.root / "CURRENT").read_text().strip())
            except OSError:
                pass
            time.sleep(0.0005)


def check(returned, readers):
    """Rows of the report; the last column says whether it is sound."""
    gens = [g for g, *_ in returned]
    by_gen = {g: marker for g, marker, *_ in returned}
    other = sum(1 for g, markers in readers.seen.items() if markers != {by_gen.get(g)})
    in_current = sum(1 for g, _, name, _ in returned if name in readers.current_names)
    return [
        ["commits that returned", len(returned), ""],
        ["  generation numbers not unique", len(gens) - len(set(gens)), "must be 0"],
        ["  numbers not 1..N in turn", int(sorted(gens) != list(range(1, len(gens) + 1))), "must be 0"],
        ["  CURRENT older than the commit right after it returned", sum(1 for *_, ok in returned if not ok), "must be 0"],
        ["  seen named by CURRENT (polled)", in_current, ""],
        ["  opened by a reader", sum(1 for g in set(gens) if g in readers.seen), ""],
        ["generations opened holding another commit's content", other, "must be 0"],
        *[[k, v, ""] for k, v in sorted(readers.counts.items())],
        ["opens or searches raising", sum(readers.errors.values()), "must be 0"],
    ]


def run(args, root):
    """Writer processes against the reader threads of this one."""
    writers = [subprocess.Popen([sys.executable, __file__, "_writer", str(root), str(i), str(args.rate)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
               for i in range(args.writers)]
    for w in writers:
        assert w.stdout.readline() == "ready\n"
    until = time.time() + args.seconds
    for w in writers:
        w.stdin.write(f"{until}\n")
        w.stdin.flush()
    readers = Readers(root, until)
    readers.run()
    returned, errors = [], collections.Counter()
    for w in writers:
        out = json.loads(w.communicate()[0])
        returned += out["returned"]
        errors.update(out["errors"])
    rows = check(returned, readers)
    rows.insert(1, ["  commits per second", f"{len(returned) / args.seconds:.1f}", ""])
    rows.insert(1, ["commits raising", sum(errors.values()), "must be 0"])
    oserrors = sum(v for k, v in readers.errors.items() if k.startswith(("OSError", "FileNotFoundError")))
    rows.append(["  of them OSError", oserrors, "must be 0"])
    return rows, errors + readers.errors


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "_writer":
        return writer_role(pathlib.Path(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", choices=["writers", "readers"])
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--writers", type=int, help="writer processes (writers: 4, readers: 1)")
    parser.add_argument("--rate", type=float, help="commits a second per writer (writers: no limit, readers: 70)")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    args = parser.parse_args()
    many = args.scenario == "writers"
    args.seconds = args.seconds or (60.0 if many else 90.0)
    args.writers = args.writers or (4 if many else 1)
    args.rate = args.rate if args.rate is not None else (0.0 if many else 70.0)
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        rows, errors = run(args, pathlib.Path(d) / "ix")
    print(f"{args.scenario}: {args.writers} writer processes, 8 reader threads, {args.seconds:.0f} s, "
          f"root in {args.dir or tempfile.gettempdir()}")
    table(rows, ["", "count", ""])
    for text, n in errors.most_common(10):
        print(f"  {n} x {text}")
    bad = [r for r in rows if r[2] == "must be 0" and r[1] != 0]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
