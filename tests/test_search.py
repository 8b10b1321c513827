"""Vector, hybrid and phrase search from Python: argument handling, the Hit
class, the refusals with their texts, and every mode's scores and the hybrid
scores against a plain NumPy float32 evaluation, bit for bit."""
import math
import random
import struct

import numpy as np
import pytest

from tessavine import _core
from tessavine._core import ChunkRecord, Hit, IndexFormatError, IndexReader, IndexWriter

f32 = np.float32
MODES = ["int8", "binary", "binary+int8", "ternary+int8"]
WORDS = ("red fox jumps over lazy dog quick brown cat state art gallery tree lemon "
         "the of and a").split()


def build(root, texts, vectors=None, dim=0, headings=False):
    writer = IndexWriter(dim)
    for i, text in enumerate(texts):
        vector = None if vectors is None else np.asarray(vectors[i], dtype=f32)
        heading_path = ["Notes", "red fox"][:i % 3] if headings else []
        writer.add(ChunkRecord(f"n/{i}.md", heading_path, 1, 2, text), vector)
    writer.commit(root)
    return IndexReader.open(root)


def vec(*values):
    return np.array(values, dtype=f32)


def spoil_record(reader, chunk):
    """Makes one stored record undecodable without changing the file's size."""
    path = reader.dir / "docs.bin"
    data = bytearray(path.read_bytes())
    at = data.index(b'{"path":"n/%d.md"' % chunk)
    data[at] = ord("x")
    path.write_bytes(bytes(data))


# --- the plain float32 evaluation ---------------------------------------------

def total_key(score):
    """Sort key of the IEEE totalOrder of a float32."""
    bits = struct.unpack("<I", struct.pack("<f", score))[0]
    return ~bits & 0xFFFFFFFF if bits & 0x80000000 else bits | 0x80000000


def best_first(pairs, k):
    pairs = [(i, -math.inf if math.isnan(s) else s) for i, s in pairs]
    return sorted(pairs, key=lambda p: (-total_key(p[1]), p[0]))[:k]


def normalize(values):
    sumsq = f32(0)
    for x in values:
        sumsq = f32(sumsq + f32(x * x))
    norm = np.sqrt(sumsq)
    if sumsq == 0 or not np.isfinite(norm):
        return values.copy()
    return (values / norm).astype(f32)


def sign_code(values):
    return np.packbits(values > 0, bitorder="little")


def ternary_mask(values):
    total = f32(0)
    for x in values:
        total = f32(total + abs(x))
    mean = f32(total / f32(len(values)))
    if not np.isfinite(mean):
        return np.zeros((len(values) + 7) // 8, dtype=np.uint8)
    return np.packbits(np.abs(values) > f32(mean * f32(0.7)), bitorder="little")


def read_vectors(path):
    """The four sections of vectors.bin: codes, masks, scales, int8 codes."""
    data = path.read_bytes()
    n, dim = struct.unpack_from("<II", data, 8)
    b = (dim + 7) // 8
    s = (n * b + 3) // 4 * 4
    codes = np.frombuffer(data, np.uint8, n * b, 16).reshape(n, b)
    masks = np.frombuffer(data, np.uint8, n * b, 16 + s).reshape(n, b)
    scales = np.frombuffer(data, "<f4", n, 16 + 2 * s).astype(f32)
    int8 = np.frombuffer(data, np.int8, n * dim, 16 + 2 * s + 4 * n).reshape(n, dim)
    return codes, masks, scales, int8


def popcount_rows(bytes_2d):
    return np.unpackbits(bytes_2d, axis=1).sum(axis=1).astype(np.int64)


def int8_scores(q, int8, scales):
    """16 lane sums over full blocks, lanes left to right, a remainder from -0.0."""
    n, dim = int8.shape
    products = q[None, :] * int8.astype(f32)
    blocks = dim // 16
    lanes = np.zeros((n, 16), dtype=f32)
    for b in range(blocks):
        lanes = lanes + products[:, 16 * b:16 * b + 16]
    total = lanes[:, 0]
    for lane in range(1, 16):
        total = total + lanes[:, lane]
    if dim % 16:
        rest = np.full(n, -0.0, dtype=f32)
        for j in range(16 * blocks, dim):
            rest = rest + products[:, j]
        total = total + rest
    return total * scales


def reference_vector_search(stored, query, k, candidates, mode):
    codes, masks, scales, int8 = stored
    n, dim = int8.shape
    q = normalize(np.asarray(query, dtype=f32))
    qc = sign_code(q)
    if mode == "ternary+int8":
        qm = ternary_mask(q)
        both_mask = qm[None, :] & masks
        both = popcount_rows(both_mask)
        differ = popcount_rows(both_mask & (qc[None, :] ^ codes))
        distances = np.minimum(dim - both + 2 * differ, 65535)
    else:
        distances = popcount_rows(qc[None, :] ^ codes)
    by_distance = [int(i) for i in np.argsort(distances, kind="stable")]
    if mode == "binary":
        return [(i, float(f32(1) - f32(2 * distances[i]) / f32(dim))) for i in by_distance[:k]]
    pool = range(n) if mode == "int8" else by_distance[:max(k, candidates)]
    scores = int8_scores(q, int8, scales)
    return [(i, float(s)) for i, s in best_first([(i, scores[i]) for i in pool], k)]


QUOTES = '"\u201c\u201d'


def parse_query(text):
    phrases, buffer, inside = [], "", False
    for ch in text:
        if ch in QUOTES:
            if inside:
                terms = _core.tokenize(buffer)
                if terms:
                    phrases.append(terms)
                buffer = ""
            inside = not inside
        elif inside:
            buffer += ch
    if inside and _core.tokenize(buffer):
        phrases.append(_core.tokenize(buffer))
    return phrases, _core.tokenize(text)


def occurs(needle, hay):
    return any(hay[i:i + len(needle)] == needle for i in range(len(hay) - len(needle) + 1))


def reference_hybrid(reader, text, vector, k=10, depth=50, candidates=200, rrf_k=60.0, phrase_boost=1.0):
    rrf_k, phrase_boost = f32(rrf_k), f32(phrase_boost)
    pool = max(k, depth)
    bm25 = [i for i, _ in reader.search_bm25(text, pool)]
    vector_ranking = [] if vector is None else [i for i, _ in reader.search_vector(vector, pool, candidates)]
    fused = {}
    for ranking in (bm25, vector_ranking):
        for r, chunk in enumerate(ranking):
            fused[chunk] = f32(fused.get(chunk, f32(0)) + f32(1) / f32(f32(rrf_k + f32(r)) + f32(1)))
    scored = best_first(fused.items(), len(fused))
    phrases, terms = parse_query(text)
    flags = {}
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


# --- scores against the plain evaluation --------------------------------------

@pytest.mark.parametrize("seed", range(5))
def test_every_mode_equals_the_plain_evaluation(tmp_path, seed):
    rng = random.Random(seed)
    nprng = np.random.default_rng(seed)
    dim = rng.choice([3, 8, 16, 31, 64, 100, 384])
    n = rng.choice([1, 20, 150, 400])
    vectors = nprng.standard_normal((n, dim)).astype(f32)
    # Repeats and coarse values make distance and score ties common.
    vectors[nprng.random(n) < 0.2] = vectors[0]
    coarse = nprng.random(n) < 0.3
    vectors[coarse] = nprng.integers(-2, 3, (int(coarse.sum()), dim)).astype(f32)
    reader = build(tmp_path, ["x"] * n, vectors, dim)
    stored = read_vectors(reader.dir / "vectors.bin")
    for _ in range(8):
        query = vectors[rng.randrange(n)] if rng.random() < 0.5 else nprng.standard_normal(dim).astype(f32) * 7
        if not query.any():
            query = query + f32(1)
        for mode in MODES:
            k = rng.choice([1, 5, 10, n + 3])
            candidates = rng.choice([0, 3, 50, 200])
            got = reader.search_vector(query, k, candidates, mode)
            assert all(type(i) is int and type(s) is float for i, s in got)
            assert hex_of(got) == hex_of(reference_vector_search(stored, query, k, candidates, mode)), mode


@pytest.mark.parametrize("seed", range(5))
def test_hybrid_search_equals_the_plain_evaluation(tmp_path, seed):
    rng = random.Random(seed)
    nprng = np.random.default_rng(seed)
    dim = rng.choice([8, 24, 64])
    n = rng.choice([30, 120])
    texts = [" ".join(rng.choices(WORDS, k=rng.randint(1, 12))) for _ in range(n)]
    vectors = nprng.standard_normal((n, dim)).astype(f32)
    reader = build(tmp_path, texts, vectors, dim, headings=True)
    for _ in range(40):
        text = " ".join(rng.choices(WORDS, k=rng.randint(0, 3)))
        if rng.random() < 0.5:
            q1, q2 = rng.choice(QUOTES), rng.choice(QUOTES + " ")
            text += f" {q1}{' '.join(rng.choices(WORDS, k=rng.randint(1, 3)))}{q2.strip()}"
        vector = vectors[rng.randrange(n)] if rng.random() < 0.6 else None
        params = dict(k=rng.choice([0, 1, 5, 10, 40]), depth=rng.choice([0, 5, 50]),
                      candidates=rng.choice([1, 20, 200]), rrf_k=rng.choice([60.0, 0.0, 2.5]),
                      phrase_boost=rng.choice([1.0, 0.0, -1.0, 2.5, math.nan]))
        got = reader.search(text, vector, **params)
        assert all(type(h) is Hit for h in got)
        assert hex_of(as_tuples(got)) == hex_of(reference_hybrid(reader, text, vector, **params)), (text, params)


# --- vector search edge cases ---------------------------------------------------

def test_binary_scores_at_dimension_eight(tmp_path):
    reader = build(tmp_path, ["a", "b", "c", "d"],
                   [vec(1, 1, 1, 1, 1, 1, -1, -1), vec(1, 1, 1, 1, 1, 1, 1, 1),
                    vec(-1, -1, -1, -1, -1, -1, -1, -1), vec(1, 1, 1, 1, 1, 1, 1, 1)], 8)
    got = reader.search_vector(vec(2, 2, 2, 2, 2, 2, 2, 2), 10, mode="binary")
    assert got == [(1, 1.0), (3, 1.0), (0, 0.5), (2, -1.0)]
    # Identical vectors tie on every mode; the lower chunk number comes first.
    for mode in MODES:
        top = reader.search_vector(vec(1, 1, 1, 1, 1, 1, 1, 1), 2, candidates=1, mode=mode)
        assert [i for i, _ in top] == [1, 3] and top[0][1] == top[1][1]


def test_vector_refusals_in_order(tmp_path):
    keyword_only = build(tmp_path / "kw", ["lemon tree"])
    reader = build(tmp_path / "vec", ["lemon", "tree"], [vec(1, 0, 0, 0), vec(0, 1, 0, 0)], 4)
    cases = [
        (keyword_only, vec(1, 2, 3), "this index is keyword-only"),
        (reader, vec(math.nan, 0, 0), "expected 4-dimensional vector, got 3"),
        (reader, vec(0, math.nan, 0, 0), "query vector contains NaN or infinity"),
        (reader, vec(0, -math.inf, 0, 1), "query vector contains NaN or infinity"),
        (reader, vec(0, -0.0, 0, -0.0), "query vector is all zeros"),
    ]
    for target, query, message in cases:
        for mode in MODES:
            with pytest.raises(ValueError) as caught:
                target.search_vector(query, 0, mode=mode)
            assert caught.value.args == (message,)
        with pytest.raises(ValueError) as caught:
            target.search("lemon", query)
        assert caught.value.args == (message,)
    # A zero-length array is a vector of length 0, not "no vector".
    with pytest.raises(ValueError, match="^expected 4-dimensional vector, got 0$"):
        reader.search("lemon", np.zeros(0, dtype=f32))
    with pytest.raises(ValueError, match="^this index is keyword-only$"):
        keyword_only.search("lemon", np.zeros(0, dtype=f32))
    assert [h.id for h in keyword_only.search("lemon")] == [0]
    # The reader is still usable.
    assert reader.search_vector(vec(1, 0, 0, 0), 1)[0][0] == 0


@pytest.mark.parametrize("dim, refused, message", [
    (32768, ["ternary+int8"], "ternary search supports at most 32767 dimensions, not 32768"),
    (65536, ["ternary+int8", "binary", "binary+int8"], None),
])
def test_dimension_limits_of_the_first_stage(tmp_path, dim, refused, message):
    first = np.ones(dim, dtype=f32)
    reader = build(tmp_path, ["one", "two"], [first, -first], dim)
    for mode in MODES:
        if mode in refused:
            kind = mode.split("+")[0]
            limit = 32767 if kind == "ternary" else 65535
            text = message or f"{kind} search supports at most {limit} dimensions, not {dim}"
            for k in (0, 5):
                with pytest.raises(ValueError) as caught:
                    reader.search_vector(first, k, mode=mode)
                assert caught.value.args == (text,)
        else:
            assert [i for i, _ in reader.search_vector(first, 5, mode=mode)] == [0, 1]
    if "ternary+int8" in refused:
        with pytest.raises(ValueError, match="^ternary search supports at most 32767"):
            reader.search("one", first)


def test_search_vector_arguments(tmp_path):
    reader = build(tmp_path, ["a", "b", "c"], np.eye(3, 8, dtype=f32) + f32(0.1), 8)
    strided = np.zeros(16, dtype=f32)[::2]
    assert strided.dtype == f32 and not strided.flags.c_contiguous
    # dtype and dimensionality come first, then the mode, then the layout.
    with pytest.raises(TypeError):
        reader.search_vector(np.zeros(8), 1, mode="nope")
    with pytest.raises(TypeError):
        reader.search_vector(np.zeros((1, 8), dtype=f32), 1, mode="nope")
    with pytest.raises(TypeError):
        reader.search_vector([0.0] * 8, 1)
    with pytest.raises(OverflowError):
        reader.search_vector(strided, -1, mode="nope")
    with pytest.raises(ValueError) as caught:
        reader.search_vector(strided, 1, mode="Binary")
    assert caught.value.args == ('unknown vector mode "Binary"; expected one of int8, binary, binary+int8, ternary+int8',)
    for call in (lambda: reader.search_vector(strided, 1), lambda: reader.search("a", strided)):
        with pytest.raises(TypeError) as caught:
            call()
        assert caught.value.args == ("The given array is not contiguous or is misaligned.",)
    with pytest.raises(TypeError):
        reader.search_vector(vector=vec(*[1] * 8))
    with pytest.raises(OverflowError):
        reader.search_vector(vec(*[1] * 8), 2**64)
    got = reader.search_vector(vector=vec(*[1] * 8), k=2**64 - 1, candidates=2**64 - 1, mode="int8")
    assert sorted(i for i, _ in got) == [0, 1, 2]
    assert reader.search_vector(vec(*[1] * 8), 0) == []
    assert IndexReader.search_vector.__text_signature__ == '($self, vector, k, candidates=200, mode="ternary+int8")'
    assert IndexReader.search_vector.__doc__ == (
        "Vector search only: the `k` best `(id, cosine)` pairs. `mode` is one of\n"
        "`VECTOR_MODES`; the default is what hybrid search uses.")


# --- hybrid search ----------------------------------------------------------------

def test_search_defaults_and_surface(tmp_path):
    texts = ["apple " * (i % 4 + 1) + "pear " * i for i in range(30)]
    reader = build(tmp_path, texts)
    bm25 = reader.search_bm25("apple", 50)
    hits = reader.search("apple")
    assert type(hits) is list and len(hits) == 10
    for r, hit in enumerate(hits):
        assert (hit.id, hit.score, hit.bm25_rank, hit.vector_rank) == \
               (bm25[r][0], float(f32(1) / f32(f32(60 + r) + f32(1))), r + 1, None)
    assert as_tuples(reader.search("apple", None, 10, 50, 200, 60.0, 1.0)) == as_tuples(hits)
    assert as_tuples(reader.search("apple", k=20, depth=5)) == as_tuples(reader.search("apple", k=20, depth=20))
    assert reader.search("apple", k=0) == [] and reader.search("") == []
    assert len(reader.search("apple", k=2**64 - 1, depth=2**64 - 1, candidates=2**64 - 1)) == 30
    assert IndexReader.search.__text_signature__ == \
        "($self, text, vector=None, k=10, depth=50, candidates=200, rrf_k=60.0, phrase_boost=...)"
    assert IndexReader.search.__doc__ == (
        "Hybrid search: BM25 over `text`, plus vector search when `vector`\n"
        "(float32, shape `(dim,)`) is given, fused with reciprocal rank fusion,\n"
        "then adjusted for quoted phrases and in-order terms (`phrase_boost`).")
    for bad in (dict(k=-1), dict(depth=2**64), dict(candidates=-5)):
        with pytest.raises(OverflowError):
            reader.search("apple", **bad)
    for bad in (dict(rrf_k="60"), dict(phrase_boost=None), dict(text=b"apple"), dict(vector=[1.0])):
        with pytest.raises(TypeError):
            reader.search(**{"text": "apple", **bad})
    with pytest.raises(TypeError):
        reader.search("apple", nope=1)
    # Integers convert to floats; huge values narrow to infinity.
    assert as_tuples(reader.search("apple", rrf_k=60)) == as_tuples(hits)
    assert all(h.score == 0.0 for h in reader.search("apple", rrf_k=1e300))


def test_hit_class(tmp_path):
    reader = build(tmp_path, ["lemon tree", "lemon", "tree"], [vec(1, 0), vec(0, 1), vec(1, 1)], 2)
    hits = reader.search("lemon", vec(0, 1))
    assert Hit.__module__ == "tessavine._core"
    assert Hit.__doc__ == ("One hybrid search result. Ranks are 1-based, `None` if the chunk was not\n"
                           "in that retriever's list.")
    with pytest.raises(TypeError):
        Hit()
    with pytest.raises(TypeError):
        Hit(1, 0.5, None, None)
    top = hits[0]
    assert (top.id, top.bm25_rank, top.vector_rank) == (1, 1, 1)
    assert type(top.score) is float and top.score == float(f32(2) / f32(61))
    for name in ("id", "score", "bm25_rank", "vector_rank"):
        with pytest.raises(AttributeError):
            setattr(top, name, 1)
        assert getattr(Hit, name).__doc__ is None
    assert repr(top) == f"Hit(id=1, score={top.score:.5f}, bm25_rank=1, vector_rank=1)" \
        == "Hit(id=1, score=0.03279, bm25_rank=1, vector_rank=1)"
    keyword_hit = reader.search("lemon")[1]
    assert repr(keyword_hit).endswith("vector_rank=None)")
    vector_only = [h for h in hits if h.bm25_rank is None]
    assert vector_only and repr(vector_only[0]).startswith(f"Hit(id={vector_only[0].id}, score=0.0")
    # Equality is identity, even for the same result searched twice.
    again = reader.search("lemon", vec(0, 1))[0]
    assert top == top and top != again and not (top == again)
    assert hash(top) != hash(again) or top is again


@pytest.mark.parametrize("score", [0.016393442, 0.5, 1e-6, 0.000005, 0.0000149, 123.456789, 2.0 / 61])
def test_hit_repr_rounds_the_exact_float_value(tmp_path, score):
    # 1/61 and friends come from real searches; the other values check the
    # rounding of the exact float value through a search with a chosen rrf_k.
    reader = build(tmp_path, ["lemon"])
    rrf_k = float(f32(1) / f32(score)) - 1.0
    hit = reader.search("lemon", rrf_k=rrf_k)[0]
    assert repr(hit) == "Hit(id=0, score=%.5f, bm25_rank=1, vector_rank=None)" % hit.score


def test_rerank_decodes_only_chunks_that_pass_the_postings_check(tmp_path):
    reader = build(tmp_path, ["plum kiwi", "plum plum", "kiwi plum", "plum"])
    spoil_record(reader, 1)
    reader = IndexReader.open(reader.dir.parent)
    # Chunk 1 lacks "kiwi": never decoded.
    assert len(reader.search("plum kiwi")) == 4
    assert len(reader.search('"kiwi" plum')) == 4
    # It holds every term of these: decoded, and the search fails, even with
    # k = 0, since re-ranking runs before the list is cut.
    for query in ("plum plum", '"plum"'):
        for k in (0, 10):
            with pytest.raises(IndexFormatError, match="^invalid index data: docs: record 1: "):
                reader.search(query, k=k)
    assert reader.search("plum", k=0) == []


def test_search_from_many_threads(tmp_path):
    import threading
    rng = random.Random(4)
    nprng = np.random.default_rng(4)
    texts = [" ".join(rng.choices(WORDS, k=8)) for _ in range(500)]
    vectors = nprng.standard_normal((500, 32)).astype(f32)
    reader = build(tmp_path, texts, vectors, 32)
    queries = [(" ".join(rng.choices(WORDS, k=2)), vectors[i]) for i in range(20)]
    expected = [(as_tuples(reader.search(t, v)), reader.search_vector(v, 10)) for t, v in queries]
    results = [None] * 8

    def run(slot):
        results[slot] = [(as_tuples(reader.search(t, v)), reader.search_vector(v, 10)) for t, v in queries]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)
