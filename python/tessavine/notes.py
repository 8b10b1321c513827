"""A folder of Markdown notes and its index: walk, chunk, embed, commit, search.

The index lives in its own folder (by default `.tessavine` inside the notes
folder): the generations the module writes, and `embeddings.cache` beside
them. Paths in the index are relative to the notes folder and use `/`, so the
notes and their index move together.
"""
from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from tessavine import cache as cache_file
from tessavine._core import IndexReader, IndexWriter, ChunkRecord, chunk_text, index_exists
from tessavine.embedders import Embedder, MiniLM, embed_checked, embedder_dim
from tessavine.errors import EmbedderError, NotesError
from tessavine.fusion import rank
from tessavine.snippets import Snippet, make_snippet

Mode = Literal["hybrid", "keyword", "vector"]
MODES: tuple[Mode, ...] = ("hybrid", "keyword", "vector")
INDEX_DIR = ".tessavine"
#: Texts embedded per call to the embedder; also the step of the progress bar.
EMBED_BATCH = 256

Progress = Callable[[int, int], None]
StrPath = str | os.PathLike[str]


@dataclass(frozen=True)
class Skipped:
    """A note that was not indexed, and why."""

    path: str
    reason: str


@dataclass(frozen=True)
class IndexReport:
    """What one `Notes.index` call did."""

    notes: int
    chunks: int
    embedded: int
    reused: int
    skipped: tuple[Skipped, ...]
    generation: int
    seconds: float

    def as_dict(self) -> dict[str, Any]:
        out = asdict(self)
        out["skipped"] = [asdict(s) for s in self.skipped]
        return out


@dataclass(frozen=True)
class SearchResult:
    """One hit: where it is, how it ranked, its text and its snippet."""

    path: str
    line_start: int
    line_end: int
    heading_path: tuple[str, ...]
    score: float
    bm25_rank: int | None
    vector_rank: int | None
    text: str
    snippet: Snippet = field(repr=False)

    def as_dict(self) -> dict[str, Any]:
        return {"path": self.path, "line_start": self.line_start, "line_end": self.line_end,
                "heading_path": list(self.heading_path), "score": self.score,
                "bm25_rank": self.bm25_rank, "vector_rank": self.vector_rank,
                "snippet": str(self.snippet), "text": self.text}


def embedded_text(heading_path: list[str], text: str, headings: bool) -> str:
    """What the embedder sees of a chunk: its heading path on a line of its
    own above its text, or the text alone."""
    return " > ".join(heading_path) + "\n" + text if headings and heading_path else text


class Notes:
    """A folder of Markdown notes and the index that serves it.

    `folder` is needed to index; searching needs only the index folder
    (`index`, by default `folder/.tessavine`). `embedder` embeds chunks when
    indexing and queries when searching; without one, indexing is keyword-only
    and searching an index with vectors loads the embedder it was built with
    when that is the packaged all-MiniLM-L6-v2."""

    def __init__(self, folder: StrPath | None = None, *, index: StrPath | None = None,
                 embedder: Embedder | None = None, embed_headings: bool = True) -> None:
        if folder is None and index is None:
            raise ValueError("give the notes folder, the index folder, or both")
        self.folder = Path(folder) if folder is not None else None
        self.root = Path(index) if index is not None else Path(folder or ".") / INDEX_DIR
        self.embedder = embedder
        self.embed_headings = embed_headings
        self._reader: tuple[bytes, IndexReader] | None = None

    # -- indexing ---------------------------------------------------------

    def index(self, max_chars: int = 1200, progress: Progress | None = None) -> IndexReport:
        """Indexes every note of the folder as one new generation.

        Chunks whose embedded text is in the cache reuse their vector; only
        the others are embedded. `progress(done, total)` is called as chunks
        are embedded."""
        start = time.perf_counter()
        folder = self._folder()
        records: list[ChunkRecord] = []
        skipped: list[Skipped] = []
        notes = 0
        for rel, path in walk(folder, self.root):
            # A pipe would block the read; a name that is not UTF-8 cannot be stored.
            reason = "name is not valid UTF-8" if not utf8(rel) else None if path.is_file() else "not a regular file"
            if reason:
                skipped.append(Skipped(rel.encode("utf-8", "backslashreplace").decode(), reason))
                continue
            try:
                text = path.read_bytes().decode("utf-8")
            except UnicodeDecodeError as e:
                skipped.append(Skipped(rel, f"not valid UTF-8 (byte {e.start})"))
                continue
            except OSError as e:
                skipped.append(Skipped(rel, e.strerror or str(e)))
                continue
            notes += 1
            for c in chunk_text(text.removeprefix("\ufeff"), max_chars=max_chars):
                records.append(ChunkRecord(rel, c.heading_path, c.line_start, c.line_end, c.text))
        embedded = reused = 0
        if self.embedder is None:
            writer = IndexWriter(0, metadata=self._metadata(notes, max_chars))
            for record in records:
                writer.add(record)
        else:
            vectors, embedded, reused = self._embed(records, progress)
            writer = IndexWriter(vectors.shape[1], embedder=self.embedder.name,
                                 metadata=self._metadata(notes, max_chars))
            for record, vector in zip(records, vectors):
                writer.add(record, vector)
        info = writer.commit(self.root)
        return IndexReport(notes, len(records), embedded, reused, tuple(skipped), info.generation,
                           time.perf_counter() - start)

    def _folder(self) -> Path:
        if self.folder is None:
            raise NotesError("no notes folder given")
        if not self.folder.is_dir():
            raise NotesError(f"{self.folder}: no such folder")
        return self.folder

    def _metadata(self, notes: int, max_chars: int) -> dict[str, Any]:
        return {"notes": notes, "max_chars": max_chars,
                "embedded_text": "heading_path+text" if self.embed_headings else "text"}

    def _embed(self, records: list[ChunkRecord],
               progress: Progress | None) -> tuple[npt.NDArray[np.float32], int, int]:
        """Every record's vector, from the cache where it can; returns the
        vectors, the number of chunks embedded now and the number reused."""
        embedder = self.embedder
        assert embedder is not None
        texts = [embedded_text(r.heading_path, r.text, self.embed_headings) for r in records]
        keys = [cache_file.text_key(t) for t in texts]
        dim = embedder_dim(embedder) or embed_checked(embedder, ["dimension"], None).shape[1]
        cache = cache_file.EmbeddingCache.load(self.root, embedder.name, dim)
        missing: dict[bytes, int] = {}
        for i, key in enumerate(keys):
            if cache.get(key) is None and key not in missing:
                missing[key] = i
        # Longest first and in batches: similar lengths pad least, and the
        # progress bar sees steady steps.
        todo = sorted(missing.values(), key=lambda i: -len(texts[i]))
        fresh: dict[bytes, npt.NDArray[np.float32]] = {}
        if progress is not None:
            progress(0, len(todo))
        for step in range(0, len(todo), EMBED_BATCH):
            batch = todo[step:step + EMBED_BATCH]
            out = embed_checked(embedder, [texts[i] for i in batch], dim)
            for i, row in zip(batch, out):
                fresh[keys[i]] = row
            if progress is not None:
                progress(min(step + EMBED_BATCH, len(todo)), len(todo))
        vectors = np.empty((len(records), dim), dtype=np.float32)
        used: dict[bytes, int] = {}
        for i, key in enumerate(keys):
            cached = cache.get(key)
            vectors[i] = cached if cached is not None else fresh[key]
            used.setdefault(key, i)
        reused = sum(1 for k in keys if k not in missing)
        self._save_cache(cache, used, vectors)
        return vectors, len(keys) - reused, reused

    def _save_cache(self, cache: cache_file.EmbeddingCache, used: dict[bytes, int],
                    vectors: npt.NDArray[np.float32]) -> None:
        """Keeps exactly the entries that this index uses; a cache that already
        holds exactly them is left alone."""
        if len(cache) == len(used) and all(k in cache.rows for k in used):
            return
        self.root.mkdir(parents=True, exist_ok=True)
        cache_file.remove_temporaries(self.root)
        cache.save(self.root, list(used), vectors[list(used.values())])

    # -- searching --------------------------------------------------------

    def reader(self) -> IndexReader:
        """The live generation, opened again when a newer one was committed."""
        if not self.root.is_dir():
            raise NotesError(f"{self.root}: no index here (run 'tessavine index NOTES_DIR' first)")
        if not index_exists(self.root):
            raise NotesError(f"{self.root}: not a tessavine index")
        current = (self.root / "CURRENT").read_bytes()
        if self._reader is None or self._reader[0] != current:
            self._reader = (current, IndexReader.open(self.root))
        return self._reader[1]

    def default_mode(self) -> Mode:
        return "hybrid" if self.reader().has_vectors else "keyword"

    def search(self, query: str, k: int = 10, mode: Mode | None = None) -> list[SearchResult]:
        """The `k` best chunks for `query` (quoted phrases count as phrases).

        `mode` is "hybrid" (the default when the index has vectors),
        "keyword" (the default otherwise) or "vector"."""
        reader = self.reader()
        mode = mode or self.default_mode()
        if mode not in MODES:
            raise ValueError(f"unknown search mode {mode!r}; choose one of {', '.join(MODES)}")
        vector = None
        if mode != "keyword":
            if not reader.has_vectors:
                raise NotesError(f"{self.root}: the index has no vectors (built without an embedder); "
                                 f"search it in mode 'keyword'")
            vector = self.query_vector(reader, query)
        results = []
        for hit in rank(reader, query, vector, mode, k):
            record = reader.chunk(hit.id)
            results.append(SearchResult(record.path, record.line_start, record.line_end,
                                        tuple(record.heading_path), hit.score, hit.bm25_rank,
                                        hit.vector_rank, record.text, make_snippet(record.text, query)))
        return results

    def query_vector(self, reader: IndexReader, query: str) -> npt.NDArray[np.float32]:
        """The query embedded by the embedder the index was built with."""
        manifest = reader.manifest
        built_with, dim = manifest.get("embedder"), int(manifest["dim"])
        embedder = self.embedder
        if embedder is None:
            if built_with != MiniLM.name:
                raise EmbedderError(f"{self.root}: the index was built with embedder {built_with!r}; "
                                    f"pass that embedder to search it")
            embedder = self.embedder = MiniLM()
        declared = embedder_dim(embedder)
        if embedder.name != built_with or (declared is not None and declared != dim):
            raise EmbedderError(f"{self.root}: the index was built with embedder {built_with!r} "
                                f"(dimension {dim}), not {embedder.name!r} (dimension {declared or '?'})")
        try:
            vector: npt.NDArray[np.float32] = embed_checked(embedder, [query], dim)[0]
            return vector
        except EmbedderError as e:
            raise EmbedderError(f"{self.root}: the index was built with embedder {built_with!r} "
                                f"(dimension {dim}); {e}") from None

    def info(self) -> dict[str, Any]:
        """The live generation: number, chunks, dimension, embedder, files and
        their sizes, and the entries of the embedding cache."""
        reader = self.reader()
        m = reader.manifest
        path = self.root / cache_file.FILE_NAME
        parsed = cache_file.parse(path.read_bytes()) if path.is_file() else None
        return {"index": str(self.root), "generation": m["generation"], "chunks": m["n_chunks"],
                "dim": m["dim"], "embedder": m["embedder"], "notes": m["metadata"].get("notes"),
                "files": {f"{reader.dir.name}/{name}": size for name, size in m["files"].items()},
                "cache_entries": len(parsed[1]) if parsed else 0,
                "cache_bytes": path.stat().st_size if path.is_file() else 0}


def utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def walk(folder: Path, skip: Path) -> Iterator[tuple[str, Path]]:
    """(path relative to `folder` with `/`, path) of every `*.md` note below
    `folder`, in path order. Hidden files and folders, the folder `skip` and
    symbolic links that lead out of `folder` are left out."""
    top = folder.resolve()
    skip_real = skip.resolve()
    found = []
    for dirpath, dirnames, filenames in os.walk(top, followlinks=False):
        here = Path(dirpath)
        dirnames[:] = sorted(d for d in dirnames
                             if not d.startswith(".") and (here / d).resolve() != skip_real)
        for name in filenames:
            if name.startswith(".") or not name.endswith(".md"):
                continue
            path = here / name
            if path.is_symlink() and not path.resolve().is_relative_to(top):
                continue
            found.append(path.relative_to(top).as_posix())
    for rel in sorted(found):
        yield rel, top / rel
