"""A folder of Markdown notes and its index: walk, chunk, embed, commit, search.

The index lives in its own folder (by default `.tessavine` inside the notes
folder): the generations the module writes, and the embedding cache
(`embeddings/`) beside them. Paths in the index are relative to the notes
folder and use `/`, so the notes and their index move together.
"""
from __future__ import annotations

import hashlib
import os
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from tessavine import cache as cache_file
from tessavine._core import (ChunkRecord, IndexReader, IndexWriter, TessavineError, __version__, chunk_text,
                             index_exists)
from tessavine.embedders import EXTRA, Embedder, MiniLM, embed_checked, embedder_dim
from tessavine.errors import EmbedderError, NotesError
from tessavine.fusion import rank
from tessavine.snippets import Snippet, make_snippet

Mode = Literal["hybrid", "keyword", "vector"]
MODES: tuple[Mode, ...] = ("hybrid", "keyword", "vector")
INDEX_DIR = ".tessavine"
#: Texts embedded per call to the embedder; also the step of the progress bar.
EMBED_BATCH = 256
#: How often a long embedding run saves what it has embedded so far.
CHECKPOINT_SECONDS = 120.0

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
        the others are embedded. When nothing changed since the live
        generation, no new one is written. `progress(done, total)` is called
        as chunks are embedded."""
        start = time.perf_counter()
        # What the new generation would be made of: the module's version, the
        # settings, and every note's path and bytes.
        fingerprint = hashlib.blake2b(repr((__version__, max_chars, self.embed_headings,
                                            self.embedder and self.embedder.name)).encode(), digest_size=16)
        records, texts, notes, skipped = self._read_notes(max_chars, fingerprint)
        metadata = {**self._metadata(notes, max_chars), "fingerprint": fingerprint.hexdigest()}
        embedded = 0
        if self.embedder is None:
            if self._unchanged(metadata):
                return self._report(notes, records, 0, skipped, start)
            writer = IndexWriter(0, metadata=metadata)
            for record in records:
                writer.add(record)
        else:
            keys = cache_file.text_keys(texts)
            dim = embedder_dim(self.embedder) or embed_checked(self.embedder, ["dimension"], None).shape[1]
            cache = cache_file.EmbeddingCache.load(self.root, self.embedder.name, dim)
            vectors = [cache.rows.get(k) for k in keys]
            holes = [i for i, v in enumerate(vectors) if v is None]
            if not holes and self._unchanged(metadata):
                # Nothing to commit; the cache may still hold entries no chunk
                # uses, or be in the single file of earlier versions.
                cache.save(self.root, keys)
                return self._report(notes, records, 0, skipped, start)
            embedded = self._embed(texts, keys, vectors, holes, cache, dim, progress)
            writer = IndexWriter(dim, embedder=self.embedder.name, metadata=metadata)
            for record, vector in zip(records, vectors):
                writer.add(record, vector)
        writer.commit(self.root)
        return self._report(notes, records, embedded, skipped, start)

    def _report(self, notes: int, records: list[ChunkRecord], embedded: int, skipped: list[Skipped],
                start: float) -> IndexReport:
        generation = int(self.reader().manifest["generation"])
        reused = len(records) - embedded if self.embedder is not None else 0
        return IndexReport(notes, len(records), embedded, reused, tuple(skipped), generation,
                           time.perf_counter() - start)

    def _read_notes(self, max_chars: int,
                    fingerprint: Any) -> tuple[list[ChunkRecord], list[str], int, list[Skipped]]:
        """The chunks of every readable note, the text the embedder sees of each
        (none without an embedder), the number of notes, and the notes skipped;
        `fingerprint` hashes the path and bytes of each note read."""
        folder = self._folder()
        records: list[ChunkRecord] = []
        texts: list[str] = []
        skipped: list[Skipped] = []
        notes = 0
        embed, headings = self.embedder is not None, self.embed_headings
        for rel, path, regular in walk(folder, self.root):
            # A pipe would block the read; a name that is not UTF-8 cannot be stored.
            reason = "name is not valid UTF-8" if not utf8(rel) else None if regular else "not a regular file"
            if reason:
                skipped.append(Skipped(rel.encode("utf-8", "backslashreplace").decode(), reason))
                continue
            try:
                with open(path, "rb", buffering=0) as f:
                    data = f.read()
                text = data.decode("utf-8")
            except UnicodeDecodeError as e:
                skipped.append(Skipped(rel, f"not valid UTF-8 (byte {e.start})"))
                continue
            except OSError as e:
                skipped.append(Skipped(rel, e.strerror or str(e)))
                continue
            notes += 1
            fingerprint.update(b"%d:%s\0%d:" % (len(rel), rel.encode(), len(data)))
            fingerprint.update(data)
            # Each property read of a chunk builds a new object: read each once.
            for c in chunk_text(text.removeprefix("\ufeff"), max_chars=max_chars):
                heading_path, chunk = c.heading_path, c.text
                records.append(ChunkRecord(rel, heading_path, c.line_start, c.line_end, chunk))
                if embed:
                    texts.append(embedded_text(heading_path, chunk, headings))
        return records, texts, notes, skipped

    def _unchanged(self, metadata: dict[str, Any]) -> bool:
        """Whether the live generation holds exactly what would be committed now."""
        try:
            return bool(index_exists(self.root) and self.reader().manifest["metadata"] == metadata)
        except (OSError, TessavineError):
            return False

    def _folder(self) -> Path:
        if self.folder is None:
            raise NotesError("no notes folder given")
        if not self.folder.is_dir():
            raise NotesError(f"{self.folder}: {'not a folder' if self.folder.exists() else 'no such folder'}")
        return self.folder

    def _metadata(self, notes: int, max_chars: int) -> dict[str, Any]:
        return {"notes": notes, "max_chars": max_chars,
                "embedded_text": "heading_path+text" if self.embed_headings else "text"}

    def _embed(self, texts: list[str], keys: list[bytes], vectors: list[npt.NDArray[np.float32] | None],
               holes: list[int], cache: cache_file.EmbeddingCache, dim: int, progress: Progress | None) -> int:
        """Embeds the chunks at `holes` (those the cache lacks) into `vectors`,
        leaves the cache holding exactly the vectors of `keys`, and returns the
        number of chunks embedded."""
        assert self.embedder is not None
        missing: dict[bytes, list[int]] = {}
        for i in holes:
            missing.setdefault(keys[i], []).append(i)
        # Longest first and in batches: similar lengths pad least, and the
        # progress bar sees steady steps.
        todo = sorted(missing, key=lambda k: -len(texts[missing[k][0]]))
        fresh = np.empty((len(todo), dim), dtype=np.float32)
        if progress is not None:
            progress(0, len(todo))
        saved = time.monotonic()
        for step in range(0, len(todo), EMBED_BATCH):
            batch = todo[step:step + EMBED_BATCH]
            fresh[step:step + len(batch)] = embed_checked(self.embedder, [texts[missing[k][0]] for k in batch], dim)
            if progress is not None:
                progress(step + len(batch), len(todo))
            if time.monotonic() - saved > CHECKPOINT_SECONDS and step + len(batch) < len(todo):
                # A long first index that is stopped keeps what it embedded.
                cache.put(todo[:step + len(batch)], fresh)
                cache.save(self.root, list(cache.rows))
                saved = time.monotonic()
        cache.put(todo, fresh)
        for key, vector in zip(todo, fresh):
            for i in missing[key]:
                vectors[i] = vector
        cache.save(self.root, keys)
        return len(holes)

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
            if not MiniLM.available():
                raise EmbedderError(f"{self.root}: the index was built with {MiniLM.name}, which is not "
                                    f"installed (pip install '{EXTRA}'); or search in mode 'keyword'")
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
        entries, size = cache_file.stats(self.root)
        return {"index": str(self.root), "generation": m["generation"], "chunks": m["n_chunks"],
                "dim": m["dim"], "embedder": m["embedder"], "notes": m["metadata"].get("notes"),
                "files": {f"{reader.dir.name}/{name}": size for name, size in m["files"].items()},
                "cache_entries": entries, "cache_bytes": size}


def utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def walk(folder: Path, skip: Path) -> list[tuple[str, str, bool]]:
    """(path relative to `folder` with `/`, path, whether it is a regular
    file) of every `*.md` note below `folder`, in path order. Hidden folders
    (`.git`), the folder `skip` and symbolic links that lead out of `folder`
    are left out, and no link to a folder is followed; hidden files are notes
    like any other (tldr has a page named `..md`)."""
    top = os.path.realpath(folder)
    skip_real = os.path.realpath(skip)
    found = []
    # Below the real path of `top`, and with no directory link followed, every
    # path is real: plain string comparisons suffice.
    pending = [(top, "")]
    while pending:
        directory, prefix = pending.pop()
        try:
            with os.scandir(directory) as listing:
                entries = list(listing)
        except OSError:
            continue
        for entry in entries:
            name = entry.name
            if kind(entry.is_dir):
                if not name.startswith(".") and not entry.is_symlink() and entry.path != skip_real:
                    pending.append((entry.path, prefix + name + "/"))
            elif name.endswith(".md"):
                if entry.is_symlink() and os.path.commonpath([top, os.path.realpath(entry.path)]) != top:
                    continue
                found.append((prefix + name, entry.path, kind(entry.is_file)))
    found.sort()
    return found


def kind(test: Callable[[], bool]) -> bool:
    """A directory entry's `is_dir` or `is_file`, false when it cannot be told."""
    try:
        return test()
    except OSError:
        return False
