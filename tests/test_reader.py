"""IndexReader end to end: refusals, BM25 scores to the bit, chunks, threads, readers outliving commits."""
import ctypes
import ctypes.util
import json
import pathlib
import random
import threading
from multiprocessing.pool import ThreadPool

import numpy as np
import pytest

from tessavine import _core
from tessavine._core import ChunkRecord, IndexFormatError, IndexReader, IndexWriter, SchemaError

from conftest import assert_releases_gil, build, open_built, raises

WORDS = ("alpha beta gamma delta epsilon zeta theta iota kappa lambda omicron sigma upsilon omega "
         "reader writer index chunk posting term query score mapping storage").split()


def ramp(n, dim):
    return [np.linspace(-1, 1, dim, dtype=np.float32) + np.float32(i) for i in range(n)]


def random_texts(rng, n, max_len=30):
    # Skewed choice: some words are in most chunks, most are rare.
    weights = [1.0 / (i + 1) for i in range(len(WORDS))]
    return [" ".join(rng.choices(WORDS, weights, k=rng.randint(0, max_len))) for _ in range(n)]


def manifest_of(gen):
    return json.loads((gen / "manifest.json").read_text())


def edit_manifest(fn):
    def apply(gen):
        fn(m := manifest_of(gen))
        (gen / "manifest.json").write_text(json.dumps(m, indent=2))
    return apply


def put_file(gen, name, data):
    """Replaces an index file and lists its new size, so the size check passes."""
    (gen / name).write_bytes(data)
    edit_manifest(lambda m: m["files"].update({name: len(data)}))(gen)


def edit(name, fn):
    return lambda gen: put_file(gen, name, fn((gen / name).read_bytes()))


def foreign(name, n, dim):
    """The file `name` of another generation with n chunks of dimension dim."""
    def apply(gen):
        info = build(gen.parent.parent / f"other-{n}-{dim}", FIXTURE_TEXTS[:n], ramp(n, dim))
        put_file(gen, name, (info.dir / name).read_bytes())
    return apply


def set_manifest(**changes):
    return edit_manifest(lambda m: m.update(changes))


def set_current(text):
    return lambda gen: (gen.parent / "CURRENT").unlink() if text is None else (gen.parent / "CURRENT").write_text(text)


FIXTURE_TEXTS = ["alpha beta", "beta gamma", "gamma delta"]
NO_SUCH = ": No such file or directory (os error 2)"
# The refusals of each file's own checks are tested row by row in the core;
# here one row per file, and the checks against the manifest and each other.
# IndexFormatError texts follow "invalid index data: ".
OPEN_FAILURES = {
    "docs": (edit("docs.bin", lambda d: b"TVBM" + d[4:]), "docs: wrong magic bytes"),
    "bm25": (edit("bm25.bin", lambda d: b""), "bm25: file is too short"),
    "vectors": (edit("vectors.bin", lambda d: d[:-1]), "vectors: size does not match header"),
    "manifest": (edit_manifest(lambda m: m.pop("bm25")), "manifest.json: missing field `bm25`"),
    "schema": (set_manifest(schema_version=7),
               "index schema version 7 is not supported (this build reads 2); rebuild the index", SchemaError),
    "size vs manifest": (edit_manifest(lambda m: m["files"].update({"docs.bin": 1})),
                         "docs.bin: size {docs} does not match manifest (Some(1))"),
    "file not listed": (edit_manifest(lambda m: m["files"].pop("bm25.bin")),
                        "bm25.bin: size {bm25} does not match manifest (None)"),
    "chunk count": (set_manifest(n_chunks=4), "chunk counts disagree between files"),
    "bm25 of fewer chunks": (foreign("bm25.bin", 2, 4), "chunk counts disagree between files"),
    "manifest dimension": (set_manifest(dim=5), "vector file disagrees with manifest"),
    "vectors of fewer chunks": (foreign("vectors.bin", 2, 4), "vector file disagrees with manifest"),
    "wider vectors": (foreign("vectors.bin", 3, 8), "vector file disagrees with manifest"),
    "no vectors": (lambda g: (g / "vectors.bin").unlink(), "I/O error on {gen}/vectors.bin" + NO_SUCH, OSError),
    "no CURRENT": (set_current(None), "I/O error on {root}/CURRENT" + NO_SUCH, OSError),
    "CURRENT not a generation": (set_current("latest\n"), 'CURRENT names "latest", not a generation'),
    "CURRENT names a missing one": (set_current("gen-9\n"), "I/O error on {root}/gen-9/manifest.json" + NO_SUCH,
                                    OSError),
}


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("case", OPEN_FAILURES)
def test_open_refuses_corrupt_generations(tmp_path, case, mmap):
    corrupt, message, cls = (*OPEN_FAILURES[case], IndexFormatError)[:3]
    gen = build(tmp_path / "root", FIXTURE_TEXTS, ramp(3, 4)).dir
    sizes = manifest_of(gen)["files"]
    corrupt(gen)
    error = raises(cls, lambda: IndexReader.open(str(tmp_path / "root"), mmap=mmap))
    prefix = "invalid index data: " if cls is IndexFormatError else ""
    assert type(error) is cls and error.args == (
        prefix + message.format(gen=gen, root=gen.parent, docs=sizes["docs.bin"], bm25=sizes["bm25.bin"]),)
    assert cls is not OSError or error.errno is None


def test_keyword_only_generation_ignores_stray_vectors_file(tmp_path):
    put_file(build(tmp_path, ["alpha beta"]).dir, "vectors.bin", b"junk")  # even one the manifest lists
    reader = IndexReader.open(tmp_path)
    assert not reader.has_vectors and reader.search_bm25("alpha", 3)[0][0] == 0


def test_open_argument_errors(tmp_path):
    raises(TypeError, [IndexReader, lambda: IndexReader.open(bytes(tmp_path))])
    assert "embedded null byte" in str(raises(ValueError, lambda: IndexReader.open(str(tmp_path) + "\0x")))


def test_properties_and_chunks_read_back(tmp_path):
    records = [ChunkRecord("a.md", [], 0, 2**32 - 1, "first text"),
               ChunkRecord('b\\"y', ["H1", "", "Café 😀"], 7, 9, "line\n\"quoted\" \0\x01\x1f\x7f é"),
               ChunkRecord("", ["\n\t"], 2**32 - 1, 0, "")]
    # The manifest is read back through the core's parser and written again.
    metadata = {"tags": ["x", {"b": 1, "a": 2.5}], "n": [2**64 - 1, -2**63, 1e300, 0.1, True, None, [], {}],
                "tab\t\x7f": "\0\x01"}
    writer = IndexWriter(3, embedder='mini "lm"\n\x01', metadata=metadata)
    for i, r in enumerate(records):
        writer.add(r, np.array([1, i, -1], dtype=np.float32))
    info = writer.commit(tmp_path)
    reader = IndexReader.open(pathlib.Path(tmp_path))
    assert (len(reader), reader.has_vectors, type(reader.dir), reader.dir) == (3, True, type(info.dir), info.dir)
    assert (manifest := reader.manifest) == json.loads((info.dir / "manifest.json").read_text())
    assert manifest["embedder"] == 'mini "lm"\n\x01' and manifest["metadata"] == metadata
    manifest["dim"] = 99
    assert reader.manifest["dim"] == 3 and reader.manifest is not reader.manifest
    assert [reader.chunk(i) for i in range(3)] == records and type(reader.chunk(0)) is ChunkRecord
    assert reader.chunk(id=2).text == ""
    for i in (3, 2**32 - 1):
        raises(ValueError, lambda: reader.chunk(i), f"chunk id {i} out of range")


def test_search_bm25_results_and_an_empty_generation(tmp_path):
    reader = open_built(tmp_path / "ix", ["alpha beta", "beta", "gamma"])
    hits = reader.search_bm25(text="beta alpha", k=2**64 - 1)
    assert type(hits) is list and [type(h) for h in hits] == [tuple, tuple]
    assert [h[0] for h in hits] == [0, 1] and all(type(s) is float for _, s in hits)
    assert reader.search_bm25("beta", 0) == [] and reader.search_bm25("the and", 5) == []
    raises(UnicodeEncodeError, lambda: reader.search_bm25("beta \ud800", 3))
    assert reader.search_bm25("gamma", 1)[0][0] == 2  # failed calls leave the reader usable
    empty = open_built(tmp_path / "empty", [])
    assert len(empty) == 0 and empty.search_bm25("alpha", 10) == [] and empty.search("alpha") == []
    raises(ValueError, lambda: empty.chunk(0), "chunk id 0 out of range")


f32 = np.float32
# NumPy's float32 log is not the C library's in the last bit for some arguments.
_logf = ctypes.CFUNCTYPE(ctypes.c_float, ctypes.c_float)(("logf", ctypes.CDLL(ctypes.util.find_library("m"))))


def logf(x):
    return f32(_logf(float(x)))


def reference_bm25(search_texts, query, k, k1=f32(1.2), b=f32(0.75)):
    docs = [_core.tokenize(t) for t in search_texts]
    lens, postings, scores = [len(d) for d in docs], {}, {}
    for doc, terms in enumerate(docs):
        for term in sorted(set(terms)):
            postings.setdefault(term, []).append((doc, terms.count(term)))
    avgdl = max(f32(sum(lens) / len(docs)), np.finfo(np.float32).tiny)
    n, one_minus_b, k1_plus_1 = f32(len(docs)), f32(1) - b, k1 + f32(1)
    for term in sorted(set(_core.tokenize(query)) & postings.keys()):
        df = f32(len(postings[term]))
        idf = logf(((n - df) + f32(0.5)) / (df + f32(0.5)) + f32(1))
        for doc, tf in postings[term]:
            dl, tf = f32(lens[doc]), f32(tf)
            scores[doc] = scores.get(doc, f32(0)) + (k1_plus_1 * (idf * tf)) / (
                k1 * (one_minus_b + (b * dl) / avgdl) + tf)
    return [(doc, float(score)) for doc, score in sorted(scores.items(), key=lambda item: (-item[1], item[0]))[:k]]


@pytest.mark.parametrize("seed", range(6))
def test_scores_equal_a_plain_float32_evaluation_bit_for_bit(tmp_path, seed):
    rng = random.Random(seed)
    texts = random_texts(rng, rng.randint(1, 250))
    headings = ["Index", "Reader"] if seed % 2 else []
    build(tmp_path, texts, headings=(headings,))
    search_texts = [" ".join(headings) + "\n" + t for t in texts]
    mapped, read = IndexReader.open(tmp_path), IndexReader.open(tmp_path, mmap=False)
    for _ in range(40):
        query = " ".join(rng.choices(WORDS + ["the", "missing"], k=rng.randint(1, 6)))
        k = rng.choice([1, 5, 10, 1000])
        got = mapped.search_bm25(query, k)
        assert [(i, s.hex()) for i, s in got] == [(i, s.hex()) for i, s in reference_bm25(search_texts, query, k)]
        assert read.search_bm25(query, k) == got
    assert all(read.chunk(i) == mapped.chunk(i) for i in range(len(texts)))


def test_sixteen_threads_share_one_reader(tmp_path):
    rng = random.Random(5)
    reader = open_built(tmp_path, random_texts(rng, 2000, max_len=60), ramp(2000, 32))
    queries = [(" ".join(rng.choices(WORDS, k=rng.randint(1, 5))), np.float32(rng.random()) - np.arange(32, dtype="f4"))
               for _ in range(30)]

    def run_all():
        return [(reader.search_bm25(t, 10), reader.search_vector(v, 10),
                 [(h.id, h.score, h.bm25_rank, h.vector_rank) for h in reader.search(t, v)]) for t, v in queries]

    expected, barrier = run_all(), threading.Barrier(16)

    def run(_):
        barrier.wait()
        return [run_all() for _ in range(3)]

    with ThreadPool(16) as pool:
        results = pool.map(run, range(16))
    assert all(rounds == [expected] * 3 for rounds in results)


def test_searches_release_the_interpreter_lock(tmp_path):
    reader = open_built(tmp_path, random_texts(random.Random(3), 20000, max_len=60))
    assert_releases_gil(lambda: reader.search_bm25("alpha beta gamma", 10))


@pytest.mark.parametrize("mmap", [True, False])
def test_reader_keeps_its_generation_through_later_commits(tmp_path, mmap):
    first = build(tmp_path, ["alpha beta", "beta gamma"])
    reader = IndexReader.open(tmp_path, mmap=mmap)
    before = reader.search_bm25("alpha beta gamma", 10)
    build(tmp_path, ["delta"] * 5)
    build(tmp_path, ["gamma only"] * 7)
    assert not first.dir.exists()  # only the two newest generations are kept
    assert len(reader) == 2 and reader.dir == first.dir and reader.manifest["generation"] == 1
    assert reader.search_bm25("alpha beta gamma", 10) == before
    assert reader.search_bm25("delta", 10) == [] and reader.chunk(1).text == "beta gamma"
    assert len(fresh := IndexReader.open(tmp_path, mmap=mmap)) == 7 and fresh.manifest["generation"] == 3
