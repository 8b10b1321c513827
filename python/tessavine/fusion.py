"""How the notes layer ranks chunks in each search mode.

Hybrid search fuses the keyword ranking (BM25 with the module's phrase and
word-order re-ranking) with the vector ranking by weighted reciprocal rank.
The weights were chosen on the corpus's keyword-style queries and on
natural-language questions (bench/bench_notes.py): equal weights let the
vectors push the keyword hit down on queries made of rare words, while a
lighter vector vote still lifts the right chunk on questions worded unlike
the note.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from tessavine._core import IndexReader, tokenize

#: Length of each source ranking.
DEPTH = 50
#: Reciprocal-rank constant and the vector ranking's weight (keyword: 1).
RRF_K = 60.0
VECTOR_WEIGHT = 0.5
QUOTES = '"\u201c\u201d'


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
    if mode == "keyword" or vector is None:
        return [Ranked(h.id, h.score, h.bm25_rank, None) for h in reader.search(query, k=k)]
    keyword = reader.search(query, k=max(k, DEPTH))
    near = [i for i, _ in reader.search_vector(vector, max(k, DEPTH))]
    return fuse(reader, query, [h.id for h in keyword], {h.id: h.bm25_rank for h in keyword}, near, k)


def fuse(reader: IndexReader, query: str, keyword: list[int], bm25_rank: dict[int, int | None],
         near: list[int], k: int) -> list[Ranked]:
    """Weighted reciprocal-rank fusion of the keyword list and the vector list."""
    vector_rank = {i: r for r, i in enumerate(near, 1)}
    score: dict[int, float] = {}
    for r, i in enumerate(keyword, 1):
        score[i] = 1.0 / (RRF_K + r)
    for i, r in vector_rank.items():
        score[i] = score.get(i, 0.0) + VECTOR_WEIGHT / (RRF_K + r)
    order = sorted(score, key=lambda i: (-score[i], i))
    phrases = quoted_phrases(query)
    if phrases:
        # As in keyword search: chunks that hold every quoted phrase come first.
        holds = {i: holds_phrases(reader, i, phrases) for i in order}
        order.sort(key=lambda i: not holds[i])
    return [Ranked(i, score[i], bm25_rank.get(i), vector_rank.get(i)) for i in order[:k]]


def quoted_phrases(query: str) -> list[list[str]]:
    """The term lists of the query's quoted parts (an open quote runs to the end)."""
    parts: list[str] = []
    current: list[str] = []
    inside = False
    for c in query:
        if c in QUOTES:
            if inside:
                parts.append("".join(current))
                current = []
            inside = not inside
        elif inside:
            current.append(c)
    if inside:
        parts.append("".join(current))
    return [terms for terms in map(tokenize, parts) if terms]


def holds_phrases(reader: IndexReader, chunk: int, phrases: list[list[str]]) -> bool:
    record = reader.chunk(chunk)
    terms = tokenize(" ".join(record.heading_path) + "\n" + record.text)
    return all(any(terms[s:s + len(p)] == p for s in range(len(terms) - len(p) + 1)) for p in phrases)
