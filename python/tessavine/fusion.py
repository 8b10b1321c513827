"""How the notes layer ranks chunks in each search mode."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from tessavine._core import IndexReader


@dataclass(frozen=True)
class Ranked:
    id: int
    score: float
    bm25_rank: int | None
    vector_rank: int | None


def rank(reader: IndexReader, query: str, vector: npt.NDArray[np.float32] | None, mode: str,
         k: int) -> list[Ranked]:
    if mode == "vector":
        assert vector is not None
        return [Ranked(i, s, None, r) for r, (i, s) in enumerate(reader.search_vector(vector, k), 1)]
    hits = reader.search(query, vector if mode == "hybrid" else None, k=k)
    return [Ranked(h.id, h.score, h.bm25_rank, h.vector_rank) for h in hits]
