"""How the notes layer ranks chunks in each search mode.

Hybrid search adapts to the query, as measured on the corpus's keyword-style
known-item queries and on natural-language questions (bench/bench_notes.py):

- A query of keywords (no stop-word, no question mark) is answered by the
  keyword ranking, the vectors only breaking near-ties (reciprocal-rank
  fusion with a small vector weight). Equal weights let the vectors push the
  right chunk down on queries made of rare words.
- A question in plain words fuses the scores themselves: BM25 scaled by the
  best BM25 score, cosine scaled over the vector list, weighted 0.6 to 0.4.
  Its words matter less than its meaning, and the vectors lift the right
  chunk where the question is worded unlike the note.

Either way, chunks that hold every quoted phrase come first, as in keyword search.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from tessavine._core import IndexReader, tokenize

#: Length of each source ranking.
DEPTH = 50
#: Keyword queries: reciprocal-rank constant and the vector ranking's weight (keywords: 1).
RRF_K = 5.0
VECTOR_WEIGHT = 0.1
#: Questions: the weight of the scaled BM25 score (the cosine gets the rest).
BM25_SHARE = 0.6
QUOTES = '"\u201c\u201d'
#: The tokenizer's stop-words: a query holding one is written in plain words.
STOP_WORDS = frozenset("a an and are as at be but by for if in into is it no not of on or such that the their "
                       "then there these they this to was will with".split())


def is_question(query: str) -> bool:
    return query.rstrip().endswith("?") or any(w in STOP_WORDS for w in re.findall(r"\w+", query.lower()))


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
    depth = max(k, DEPTH)
    near = reader.search_vector(vector, depth)
    if is_question(query):
        bm25 = reader.search_bm25(query, depth)
        score = blend(bm25, near)
        bm25_rank = {i: r for r, (i, _) in enumerate(bm25, 1)}
    else:
        keyword = reader.search(query, k=depth)
        bm25_rank = {h.id: h.bm25_rank for h in keyword if h.bm25_rank is not None}
        score = {}
        for r, h in enumerate(keyword, 1):
            score[h.id] = 1.0 / (RRF_K + r)
        for r, (i, _) in enumerate(near, 1):
            score[i] = score.get(i, 0.0) + VECTOR_WEIGHT / (RRF_K + r)
    vector_rank = {i: r for r, (i, _) in enumerate(near, 1)}
    return ordered(reader, query, score, bm25_rank, vector_rank, k)


def blend(bm25: list[tuple[int, float]], near: list[tuple[int, float]]) -> dict[int, float]:
    """BM25 over the best BM25 score and cosine over the span of the vector
    list, mixed BM25_SHARE to the rest."""
    score: dict[int, float] = {}
    if bm25 and bm25[0][1] > 0:
        for i, s in bm25:
            score[i] = BM25_SHARE * s / bm25[0][1]
    if near:
        low, span = near[-1][1], max(near[0][1] - near[-1][1], 1e-6)
        for i, s in near:
            score[i] = score.get(i, 0.0) + (1.0 - BM25_SHARE) * (s - low) / span
    return score


def ordered(reader: IndexReader, query: str, score: dict[int, float], bm25_rank: dict[int, int],
            vector_rank: dict[int, int], k: int) -> list[Ranked]:
    """The k best by score, chunks holding every quoted phrase first."""
    order = sorted(score, key=lambda i: (-score[i], i))
    phrases = quoted_phrases(query)
    if phrases:
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
