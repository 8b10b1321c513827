"""Type stubs of the compiled extension module tessavine._core."""

import os
from pathlib import Path
from typing import Any, ClassVar, Final, Sequence, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__: list[str]

__version__: Final[str]
SCHEMA_VERSION: Final[int]
VECTOR_MODES: list[str]

# Integers go through __index__ (Python and NumPy integers); booleans must be
# `bool` or a NumPy boolean scalar, never an `int`; paths must be `str` or
# path-like objects whose path is a `str` (bytes paths are refused).
_Bool = bool | np.bool_
_Path = str | os.PathLike[str]
_Float = SupportsFloat | SupportsIndex

def quantize_binary(vectors: npt.NDArray[np.float32]) -> npt.NDArray[np.uint8]:
    """Quantize a batch of float32 vectors, shape `(n, dim)`, to packed binary
    codes of shape `(n, ceil(dim / 8))`."""

def hamming(a: npt.NDArray[np.uint8], b: npt.NDArray[np.uint8]) -> int:
    """Hamming distance between two packed binary codes of equal length."""

def tokenize(text: str) -> list[str]:
    """Split `text` into the terms BM25 indexes: lowercase, split on
    non-alphanumerics and at `camelCase` boundaries (plus the whole
    identifier), with stopwords and single letters dropped."""

def chunk_text(text: str, max_chars: SupportsIndex = 1200, markdown: _Bool = True) -> list[Chunk]:
    """Split `text` into chunks of at most `max_chars` characters, following
    Markdown headings and code fences when `markdown` is true."""

def index_exists(root: _Path) -> bool:
    """Whether `root` holds a committed index."""

@final
class Chunk:
    """A contiguous piece of a document, as produced by `chunk_text`.

    `byte_start`/`byte_end` are UTF-8 byte offsets into the source text (not
    Python string indices); `line_start`/`line_end` are 1-based and inclusive."""

    # Instances come only from chunk_text; calling the class raises TypeError.
    @property
    def text(self) -> str: ...
    @property
    def heading_path(self) -> list[str]: ...
    @property
    def byte_start(self) -> int: ...
    @property
    def byte_end(self) -> int: ...
    @property
    def line_start(self) -> int: ...
    @property
    def line_end(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class ChunkRecord:
    """One stored chunk: where it came from and its text."""

    def __init__(
        self,
        path: str,
        heading_path: Sequence[str],
        line_start: SupportsIndex,
        line_end: SupportsIndex,
        text: str,
    ) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def heading_path(self) -> list[str]: ...
    @property
    def line_start(self) -> int: ...
    @property
    def line_end(self) -> int: ...
    @property
    def text(self) -> str: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Hit:
    """One hybrid search result. Ranks are 1-based, `None` if the chunk was not
    in that retriever's list."""

    # Instances come only from IndexReader.search; equality is identity.
    @property
    def id(self) -> int: ...
    @property
    def score(self) -> float: ...
    @property
    def bm25_rank(self) -> int | None: ...
    @property
    def vector_rank(self) -> int | None: ...

@final
class CommitInfo:
    """Result of a successful commit."""

    # Instances come only from IndexWriter.commit.
    @property
    def dir(self) -> Path: ...
    @property
    def generation(self) -> int: ...
    @property
    def n_chunks(self) -> int: ...

@final
class IndexWriter:
    """Collects chunks in memory, then writes them as one index generation.

    A writer is single-use: after `commit` it is empty and further calls raise
    `RuntimeError`."""

    def __init__(
        self, dim: SupportsIndex, embedder: str | None = None, metadata: dict[str, Any] | None = None
    ) -> None: ...
    def add(self, record: ChunkRecord, embedding: npt.NDArray[np.float32] | None = None) -> int:
        """Add one chunk and return its id. `embedding` (float32, shape `(dim,)`)
        is required unless the index is keyword-only."""
    def commit(self, root: _Path) -> CommitInfo:
        """Write the index under `root` as a new generation and make it live.
        Runs without holding the GIL."""
    def __len__(self) -> int: ...

@final
class IndexReader:
    """A read-only view of the live index generation under a root directory.

    The files are memory-mapped by default. Re-open to see newer commits."""

    # Instances come only from IndexReader.open.
    @staticmethod
    def open(root: _Path, mmap: _Bool = True) -> IndexReader:
        """Open the live generation under `root`."""
    def search(
        self,
        text: str,
        vector: npt.NDArray[np.float32] | None = None,
        k: SupportsIndex = 10,
        depth: SupportsIndex = 50,
        candidates: SupportsIndex = 200,
        rrf_k: _Float = 60.0,
        phrase_boost: _Float = 1.0,
    ) -> list[Hit]:
        """Hybrid search: BM25 over `text`, plus vector search when `vector`
        (float32, shape `(dim,)`) is given, fused with reciprocal rank fusion,
        then adjusted for quoted phrases and in-order terms (`phrase_boost`)."""
    def search_bm25(self, text: str, k: SupportsIndex) -> list[tuple[int, float]]:
        """Keyword search only: the `k` best `(id, bm25_score)` pairs."""
    def search_vector(
        self,
        vector: npt.NDArray[np.float32],
        k: SupportsIndex,
        candidates: SupportsIndex = 200,
        mode: str = "ternary+int8",
    ) -> list[tuple[int, float]]:
        """Vector search only: the `k` best `(id, cosine)` pairs. `mode` is one of
        `VECTOR_MODES`; the default is what hybrid search uses."""
    def chunk(self, id: SupportsIndex) -> ChunkRecord:
        """The stored chunk with this id."""
    @property
    def manifest(self) -> dict[str, Any]:
        """The generation's manifest as a dict (parsed from `manifest.json`)."""
    @property
    def dir(self) -> Path:
        """Directory of the opened generation."""
    @property
    def has_vectors(self) -> bool:
        """Whether the index stores embeddings (false for keyword-only indexes)."""
    def __len__(self) -> int: ...

class TessavineError(Exception):
    """Base class for errors raised by the tessavine core."""

class IndexFormatError(TessavineError):
    """The index on disk is corrupt or not a tessavine index. Rebuild it."""

class SchemaError(IndexFormatError):
    """The index was written by an incompatible version of tessavine. Rebuild it."""
