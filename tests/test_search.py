"""Vector, hybrid and phrase search: arguments, Hit, refusals, and hybrid scores against a plain float32
evaluation, bit for bit."""
import math
import random
import re
import struct

import numpy as np
import pytest

from tessavine import _core
from tessavine._core import Hit

from conftest import open_built, raises

f32 = np.float32
MODES = _core.VECTOR_MODES
WORDS = ("red fox jumps over lazy dog quick brown cat state art gallery tree lemon fooBar bar "
         "the of and a").split()


def vec(*values):
    return np.array(values, dtype=f32)


def total_key(score):
    """Sort key of the IEEE totalOrder of a float32."""
    bits = struct.unpack("<I", struct.pack("<f", score))[0]
    return ~bits & 0xFFFFFFFF if bits & 0x80000000 else bits | 0x80000000


def best_first(pairs, k):
    pairs = [(i, -math.inf if math.isnan(s) else s) for i, s in pairs]
    return sorted(pairs, key=lambda p: (-total_key(p[1]), p[0]))[:k]


QUOTES = '"\u201c\u201d'


def parse_query(text):
    # Any quote opens or closes a phrase; an unclosed one runs to the end.
    phrases = [terms for terms in map(_core.tokenize, re.split(f"[{QUOTES}]", text)[1::2]) if terms]
    return phrases, _core.tokenize(text)


def occurs(needle, hay):
    return any(hay[i:i + len(needle)] == needle for i in range(len(hay) - len(needle) + 1))


def reference_hybrid(reader, text, vector, k=10, depth=50, candidates=200, rrf_k=60.0, phrase_boost=1.0):
    rrf_k, phrase_boost, pool = f32(rrf_k), f32(phrase_boost), max(k, depth)
    bm25 = [i for i, _ in reader.search_bm25(text, pool)]
    vector_ranking = [] if vector is None else [i for i, _ in reader.search_vector(vector, pool, candidates)]
    fused = {}
    for ranking in (bm25, vector_ranking):
        for r, chunk in enumerate(ranking):
            fused[chunk] = f32(fused.get(chunk, f32(0)) + f32(1) / f32(f32(rrf_k + f32(r)) + f32(1)))
    scored = best_first(fused.items(), len(fused))
    (phrases, terms), flags = parse_query(text), {}
    if phrases or (len(terms) >= 2 and phrase_boost > 0):
        boost = f32(phrase_boost / f32(rrf_k + f32(1)))
        rescored = []
        for chunk, score in scored:
            record = reader.chunk(chunk)
            chunk_terms = _core.tokenize(" ".join(record.heading_path) + "\n" + record.text)
            if len(terms) >= 2 and occurs(terms, chunk_terms):
                score = f32(boost + f32(score))
            flags[chunk] = bool(phrases) and all(occurs(p, chunk_terms) for p in phrases)
            rescored.append((chunk, f32(score)))
        scored = sorted(rescored, key=lambda p: (not flags[p[0]], -total_key(p[1]), p[0]))
    rank = lambda ranking, chunk: ranking.index(chunk) + 1 if chunk in ranking else None
    return [(chunk, float(score), rank(bm25, chunk), rank(vector_ranking, chunk)) for chunk, score in scored[:k]]


def as_tuples(hits):
    return [(h.id, h.score, h.bm25_rank, h.vector_rank) for h in hits]


def hex_of(rows):
    return [(r[0], float(r[1]).hex()) + tuple(r[2:]) for r in rows]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # rrf_k = -1 divides by zero
@pytest.mark.parametrize("seed", range(5))
def test_hybrid_search_equals_the_plain_evaluation(tmp_path, seed):
    rng, nprng = random.Random(seed), np.random.default_rng(seed)
    dim, n = rng.choice([8, 24, 64]), rng.choice([30, 120])
    texts = [" ".join(rng.choices(WORDS, k=rng.randint(1, 12))) for _ in range(n)]
    vectors = nprng.standard_normal((n, dim)).astype(f32)
    reader = open_built(tmp_path, texts, vectors, headings=([], ["Notes"], ["Notes", "red fox"]))
    for _ in range(40):
        text = " ".join(rng.choices(WORDS, k=rng.randint(0, 3)))
        for _ in range(rng.choice([0, 0, 1, 2])):  # quoted phrases, the closing quote may be missing
            q1, q2 = rng.choice(QUOTES), rng.choice(QUOTES + " ")
            text += f" {q1}{' '.join(rng.choices(WORDS, k=rng.randint(1, 3)))}{q2.strip()}"
        vector = vectors[rng.randrange(n)] if rng.random() < 0.6 else None
        params = dict(k=rng.choice([0, 1, 5, 10, 40]), depth=rng.choice([0, 5, 50]),
                      candidates=rng.choice([1, 20, 200]), rrf_k=rng.choice([60.0, 0.0, 2.5, -1.0, math.nan]),
                      phrase_boost=rng.choice([1.0, 0.0, -1.0, 2.5, math.nan]))
        got = reader.search(text, vector, **params)
        assert all(type(h) is Hit for h in got)
        assert hex_of(as_tuples(got)) == hex_of(reference_hybrid(reader, text, vector, **params)), (text, params)


def test_vector_refusals_in_order(tmp_path):
    keyword_only = open_built(tmp_path / "kw", ["lemon tree"])
    reader = open_built(tmp_path / "vec", ["lemon", "tree"], [vec(1, 0, 0, 0), vec(0, 1, 0, 0)])
    for target, query, message in [
        (keyword_only, vec(1, 2, 3), "this index is keyword-only"),  # even though BM25 would find "lemon"
        (keyword_only, vec(), "this index is keyword-only"),  # a zero-length array is a vector, not "no vector"
        (reader, vec(math.nan, 0, 0), "expected 4-dimensional vector, got 3"),  # the length comes first
        (reader, vec(0, -math.inf, 0, 1), "query vector contains NaN or infinity"),
        (reader, vec(0, -0.0, 0, -0.0), "query vector is all zeros"),
    ]:
        raises(ValueError, [lambda: target.search("lemon", query)] + [
            lambda mode=mode: target.search_vector(query, 0, mode=mode) for mode in MODES], message)
    assert [h.id for h in keyword_only.search("lemon")] == [0]
    assert reader.search_vector(vec(1, 0, 0, 0), 1)[0][0] == 0  # still usable


def test_ternary_dimension_limit(tmp_path):
    first = np.ones(32768, dtype=f32)
    reader = open_built(tmp_path, ["one", "two"], [first, -first])
    raises(ValueError, [lambda: reader.search_vector(first, 0), lambda: reader.search("one", first)],
           "ternary search supports at most 32767 dimensions, not 32768")
    for mode in ("int8", "binary", "binary+int8"):
        assert [i for i, _ in reader.search_vector(first, 5, mode=mode)] == [0, 1]


def test_query_is_normalised_and_huge_counts_mean_everything(tmp_path):
    vectors, query = np.split(np.random.default_rng(5).standard_normal((31, 24)).astype(f32), [30])
    reader, query = open_built(tmp_path, ["doc"] * 30, vectors), query[0]
    for mode in MODES:  # a power-of-two scale leaves the normalised query bit for bit the same
        got = reader.search_vector(query * f32(64), 2**64 - 1, candidates=2**64 - 1, mode=mode)
        assert len(got) == 30 and got == reader.search_vector(query, 30, candidates=30, mode=mode), mode


def test_search_vector_arguments(tmp_path):
    reader = open_built(tmp_path, ["a", "b", "c"], np.eye(3, 8, dtype=f32) + f32(0.1))
    strided = np.zeros(16, dtype=f32)[::2]
    assert strided.dtype == f32 and not strided.flags.c_contiguous
    # The dtype and dimensionality come first, then k, the mode, then the layout.
    for args, cls in (((np.zeros(8), 1), TypeError), ((strided, -1), OverflowError)):
        raises(cls, lambda: reader.search_vector(*args, mode="nope"))
    raises(ValueError, lambda: reader.search_vector(strided, 1, mode="Binary"),
           'unknown vector mode "Binary"; expected one of int8, binary, binary+int8, ternary+int8')
    raises(TypeError, [lambda: reader.search_vector(strided, 1), lambda: reader.search("a", strided)],
           "The given array is not contiguous or is misaligned.")
    assert reader.search_vector(vector=np.ones(8, f32), k=0) == []


def test_search_defaults_and_surface(tmp_path):
    reader = open_built(tmp_path, ["apple " * (i % 4 + 1) + "pear " * i for i in range(30)])
    assert type(hits := reader.search("apple")) is list and len(hits) == 10
    assert as_tuples(reader.search("apple", None, 10, 50, 200, 60.0, 1.0)) == as_tuples(hits)
    assert len(reader.search("apple", k=2**64 - 1, depth=2**64 - 1, candidates=2**64 - 1)) == 30
    for bad, cls in ((dict(depth=2**64), OverflowError), (dict(phrase_boost=None), TypeError),
                     (dict(vector=[1.0]), TypeError)):
        raises(cls, lambda: reader.search("apple", **bad))
    # Integers convert to floats; huge values narrow to infinity.
    assert as_tuples(reader.search("apple", rrf_k=60)) == as_tuples(hits)
    assert all(h.score == 0.0 for h in reader.search("apple", rrf_k=1e300))


def test_hit_class(tmp_path):
    reader = open_built(tmp_path / "ix", ["lemon tree", "lemon", "tree"], [vec(1, 0), vec(0, 1), vec(1, 1)])
    hits = reader.search("lemon", vec(0, 1))
    raises(TypeError, [Hit, lambda: Hit(1, 0.5, None, None)])
    assert ((top := hits[0]).id, top.bm25_rank, top.vector_rank) == (1, 1, 1)
    assert type(top.score) is float and top.score == float(f32(2) / f32(61))
    raises(AttributeError, [lambda n=n: setattr(top, n, 1) for n in ("id", "score", "bm25_rank", "vector_rank")])
    assert repr(top) == f"Hit(id=1, score={top.score:.5f}, bm25_rank=1, vector_rank=1)" \
        == "Hit(id=1, score=0.03279, bm25_rank=1, vector_rank=1)"
    assert repr(reader.search("lemon")[1]).endswith("vector_rank=None)")
    vector_only = [h for h in hits if h.bm25_rank is None]
    assert vector_only and repr(vector_only[0]).startswith(f"Hit(id={vector_only[0].id}, score=0.0")
    again = reader.search("lemon", vec(0, 1))[0]  # equality is identity, even for the same result searched twice
    assert top == top and top != again and not (top == again)
    assert hash(top) != hash(again) or top is again
    # The repr rounds the exact float value; scores chosen through rrf_k.
    lone = open_built(tmp_path / "lone", ["lemon"])
    for score in (0.016393442, 0.5, 1e-6, 0.000005, 0.0000149, 123.456789):
        hit = lone.search("lemon", rrf_k=float(f32(1) / f32(score)) - 1.0)[0]
        assert repr(hit) == "Hit(id=0, score=%.5f, bm25_rank=1, vector_rank=None)" % hit.score


