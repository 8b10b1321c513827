"""IndexReader end to end: opening (and refusing) generations, BM25 scores to
the bit, chunk retrieval, threads, and readers that outlive later commits."""
import ctypes
import ctypes.util
import json
import pathlib
import random
import struct
import sys
import threading
import time

import numpy as np
import pytest

from tessavine import _core
from tessavine._core import ChunkRecord, IndexFormatError, IndexReader, IndexWriter, SchemaError

WORDS = ("alpha beta gamma delta epsilon zeta theta iota kappa lambda omicron sigma upsilon omega "
         "reader writer index chunk posting term query score mapping storage").split()


def build(root, texts, dim=0, headings=("Notes",)):
    writer = IndexWriter(dim)
    for i, text in enumerate(texts):
        vector = np.linspace(-1, 1, dim, dtype=np.float32) + np.float32(i) if dim else None
        writer.add(ChunkRecord(f"n/{i}.md", list(headings), i + 1, i + 2, text), vector)
    return writer.commit(root)


def random_texts(rng, n, max_len=30):
    # Skewed choice: some words are in most chunks, most are rare.
    weights = [1.0 / (i + 1) for i in range(len(WORDS))]
    return [" ".join(rng.choices(WORDS, weights, k=rng.randint(0, max_len))) for _ in range(n)]


# --- opening: every refusal reaches Python with its class and its text ------

def manifest_of(gen):
    return json.loads((gen / "manifest.json").read_text())


def edit_manifest(fn):
    def apply(gen):
        m = manifest_of(gen)
        fn(m)
        (gen / "manifest.json").write_text(json.dumps(m, indent=2))
    return apply


def put_file(gen, name, data):
    """Replaces an index file and lists its new size, so the size check passes."""
    (gen / name).write_bytes(data)
    edit_manifest(lambda m: m["files"].update({name: len(data)}))(gen)


def patch(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into("<" + fmt, data, offset, value)
    return bytes(data)


# The fixture generation holds three chunks whose only terms are these, so
# the bm25.bin layout is known: D = 3, T = 4, terms alpha beta delta gamma.
FIXTURE_TEXTS = ["alpha beta", "beta gamma", "gamma delta"]
D, T = 3, 4
TERM_OFFSETS = 32 + 4 * D
POSTING_OFFSETS = 36 + 4 * D + 4 * T
TERM_AREA = 40 + 4 * D + 8 * T
POSTINGS = TERM_AREA + 20  # "alphabetadeltagamma" padded to 20 bytes


def edit(name, fn):
    return lambda gen: put_file(gen, name, fn((gen / name).read_bytes()))


def foreign(name, n, dim):
    """The file `name` of another generation with n chunks of dimension dim."""
    def apply(gen):
        info = build(gen.parent.parent / f"other-{n}-{dim}", FIXTURE_TEXTS[:n], dim, headings=())
        put_file(gen, name, (info.dir / name).read_bytes())
    return apply


def set_manifest(**changes):
    return edit_manifest(lambda m: m.update(changes))


def set_listed_size(name, size):
    return edit_manifest(lambda m: m["files"].pop(name) if size is None else m["files"].update({name: size}))


def write_manifest_text(fn):
    return lambda gen: (gen / "manifest.json").write_text(fn((gen / "manifest.json").read_text()))


def bad_docs_offsets(d):
    # Three records: the offset of record 2 drops below that of record 1.
    return patch(d, 16 + 8 * 2, "Q", struct.unpack_from("<Q", d, 16 + 8)[0] - 1)


NO_SUCH = ": No such file or directory (os error 2)"


def case(name, corrupt, message, cls=IndexFormatError):
    """IndexFormatError messages follow "invalid index data: "; None accepts any manifest.json parse message."""
    return pytest.param(corrupt, cls, message, id=name)


OPEN_FAILURES = [
    case("docs too short", edit("docs.bin", lambda d: d[:15]), "docs: file is too short"),
    case("docs wrong magic", edit("docs.bin", lambda d: b"TVBM" + d[4:]), "docs: wrong magic bytes"),
    case("docs version", edit("docs.bin", lambda d: patch(d, 4, "H", 2)), "docs: unsupported version 2 (expected 1)"),
    case("bm25 too short", edit("bm25.bin", lambda d: b""), "bm25: file is too short"),
    case("bm25 version", edit("bm25.bin", lambda d: patch(d, 4, "H", 0)), "bm25: unsupported version 0 (expected 1)"),
    case("vectors wrong magic", edit("vectors.bin", lambda d: b"TVDS" + d[4:]), "vectors: wrong magic bytes"),
    case("vectors version", edit("vectors.bin", lambda d: patch(d, 4, "H", 1)),
         "vectors: unsupported version 1 (expected 2)"),
    case("docs offset table", edit("docs.bin", lambda d: patch(d, 8, "I", 1000)), "docs: truncated offset table"),
    case("docs offsets", edit("docs.bin", bad_docs_offsets), "docs: offsets are not monotonic"),
    case("docs size", edit("docs.bin", lambda d: d + b" "), "docs: size does not match offsets"),
    case("bm25 tables", edit("bm25.bin", lambda d: patch(d, 12, "I", 10**6)), "bm25: truncated offset tables"),
    case("bm25 size", edit("bm25.bin", lambda d: d + b"\0" * 8), "bm25: size does not match its tables"),
    case("bm25 term offsets", edit("bm25.bin", lambda d: patch(d, TERM_OFFSETS + 4, "I", 10)),
         "bm25: offsets are not monotonic"),
    case("bm25 posting offsets", edit("bm25.bin", lambda d: patch(d, POSTING_OFFSETS + 4, "I", 100)),
         "bm25: offsets are not monotonic"),
    case("bm25 term beyond file", edit("bm25.bin", lambda d: patch(d, TERM_OFFSETS + 8, "I", 10**5)),
         "bm25: term extends beyond the end of the file"),
    case("bm25 utf-8", edit("bm25.bin", lambda d: patch(d, TERM_AREA, "B", 0xFF)), "bm25: term is not valid UTF-8"),
    case("bm25 term order", edit("bm25.bin", lambda d: d[:TERM_AREA + 5] + b"aaaa" + d[TERM_AREA + 9:]),
         "bm25: terms are not strictly sorted"),
    # beta's postings, (0, 1) and (1, 1), at POSTINGS + 8.
    case("bm25 missing document", edit("bm25.bin", lambda d: patch(d, POSTINGS + 8, "I", D)),
         "bm25: posting references a missing document"),
    case("bm25 posting order", edit("bm25.bin", lambda d: patch(d, POSTINGS + 16, "I", 0)),
         "bm25: postings are not sorted by document"),
    case("vectors dimension", edit("vectors.bin", lambda d: patch(d, 12, "I", 0)), "vectors: dimension is zero"),
    case("vectors size", edit("vectors.bin", lambda d: d[:-1]), "vectors: size does not match header"),
    case("vectors too short", edit("vectors.bin", lambda d: d[:3]), "vectors: file is too short"),
    case("manifest syntax", write_manifest_text(lambda t: "{"), None),
    case("manifest missing field", edit_manifest(lambda m: m.pop("bm25")), "manifest.json: missing field `bm25`"),
    case("manifest duplicate field", write_manifest_text(lambda t: t.replace('"metadata"', '"files": {}, "metadata"')),
         "manifest.json: duplicate field `files`"),
    case("manifest format", set_manifest(format="abc", schema_version=1),
         'manifest.json: format is "abc", expected "tessavine-index"'),
    case("manifest schema", set_manifest(schema_version=7),
         "index schema version 7 is not supported (this build reads 2); rebuild the index", SchemaError),
    case("size vs manifest", set_listed_size("docs.bin", 1), "docs.bin: size {docs} does not match manifest (Some(1))"),
    case("file not listed", set_listed_size("bm25.bin", None), "bm25.bin: size {bm25} does not match manifest (None)"),
    case("chunk count", set_manifest(n_chunks=4), "chunk counts disagree between files"),
    case("bm25 of fewer chunks", foreign("bm25.bin", 2, 4), "chunk counts disagree between files"),
    case("manifest dimension", set_manifest(dim=5), "vector file disagrees with manifest"),
    case("vectors of fewer chunks", foreign("vectors.bin", 2, 4), "vector file disagrees with manifest"),
    case("wider vectors", foreign("vectors.bin", 3, 8), "vector file disagrees with manifest"),
    case("no manifest", lambda g: (g / "manifest.json").unlink(), "I/O error on {gen}/manifest.json" + NO_SUCH,
         OSError),
    case("no docs", lambda g: (g / "docs.bin").unlink(), "I/O error on {gen}/docs.bin" + NO_SUCH, OSError),
    case("no vectors", lambda g: (g / "vectors.bin").unlink(), "I/O error on {gen}/vectors.bin" + NO_SUCH, OSError),
]


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("corrupt,cls,message", OPEN_FAILURES)
def test_open_refuses_corrupt_generations(tmp_path, corrupt, cls, message, mmap):
    gen = build(tmp_path / "root", FIXTURE_TEXTS, dim=4, headings=()).dir
    sizes = manifest_of(gen)["files"]
    corrupt(gen)
    with pytest.raises(cls) as caught:
        IndexReader.open(tmp_path / "root", mmap=mmap)
    error, text = caught.value, str(caught.value)
    assert type(error) is cls and error.args == (text,)
    if cls is IndexFormatError:
        assert text.startswith("invalid index data: ")
        text = text.removeprefix("invalid index data: ")
    if message is None:
        assert text.startswith("manifest.json: ")
    else:
        assert text == message.format(gen=gen, docs=sizes["docs.bin"], bm25=sizes["bm25.bin"])
    if cls is OSError:
        assert error.errno is None


@pytest.mark.parametrize("content,cls,message", [
    (None, OSError, "I/O error on {root}/CURRENT" + NO_SUCH),
    ("latest\n", IndexFormatError, 'invalid index data: CURRENT names "latest", not a generation'),
    ("gen-9\n", OSError, "I/O error on {root}/gen-9/manifest.json" + NO_SUCH),
])
def test_open_follows_current(tmp_path, content, cls, message):
    if content is not None:
        (tmp_path / "CURRENT").write_text(content)
    with pytest.raises(cls) as caught:
        IndexReader.open(str(tmp_path))
    assert type(caught.value) is cls and str(caught.value) == message.format(root=tmp_path)


def test_keyword_only_generation_ignores_stray_vectors_file(tmp_path):
    put_file(build(tmp_path, ["alpha beta"]).dir, "vectors.bin", b"junk")  # even one the manifest lists
    reader = IndexReader.open(tmp_path)
    assert not reader.has_vectors and reader.search_bm25("alpha", 3)[0][0] == 0


# --- the Python surface ------------------------------------------------------

def test_class_surface(tmp_path):
    assert IndexReader.__module__ == "tessavine._core"
    assert IndexReader.__doc__ == ("A read-only view of the live index generation under a root directory.\n\n"
                                   "The files are memory-mapped by default. Re-open to see newer commits.")
    assert IndexReader.open.__text_signature__ == "(root, mmap=True)"
    assert IndexReader.open.__doc__ == "Open the live generation under `root`."
    assert IndexReader.search_bm25.__text_signature__ == "($self, text, k)"
    assert IndexReader.search_bm25.__doc__ == "Keyword search only: the `k` best `(id, bm25_score)` pairs."
    assert IndexReader.chunk.__text_signature__ == "($self, id)"
    assert IndexReader.chunk.__doc__ == "The stored chunk with this id."
    assert IndexReader.manifest.__doc__ == "The generation's manifest as a dict (parsed from `manifest.json`)."
    assert IndexReader.dir.__doc__ == "Directory of the opened generation."
    assert IndexReader.has_vectors.__doc__ == "Whether the index stores embeddings (false for keyword-only indexes)."
    for call in (IndexReader, lambda: IndexReader.open(bytes(tmp_path)), lambda: IndexReader.open(tmp_path, mmap=1)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError, match="embedded null byte"):
        IndexReader.open(str(tmp_path) + "\0x")


def test_properties_and_chunks(tmp_path):
    records = [ChunkRecord("a.md", [], 0, 2**32 - 1, "first text"),
               ChunkRecord("b.md", ["H1", "", "H3"], 7, 9, "line\n\"quoted\" \x01 é"),
               ChunkRecord("c.md", ["Only"], 1, 1, "")]
    writer = IndexWriter(3, embedder="toy", metadata={"tags": ["x", {"b": 1, "a": 2.5}]})
    for i, r in enumerate(records):
        writer.add(r, np.array([1, i, -1], dtype=np.float32))
    info = writer.commit(tmp_path)
    reader = IndexReader.open(pathlib.Path(tmp_path))
    assert len(reader) == 3 and reader.has_vectors is True
    assert isinstance(reader.dir, pathlib.Path) and reader.dir == info.dir
    manifest = reader.manifest
    assert manifest == json.loads((info.dir / "manifest.json").read_text())
    assert manifest["embedder"] == "toy" and manifest["metadata"]["tags"][1] == {"a": 2.5, "b": 1}
    manifest["dim"] = 99
    assert reader.manifest["dim"] == 3 and reader.manifest is not reader.manifest
    for i, r in enumerate(records):
        got = reader.chunk(i)
        assert type(got) is ChunkRecord and got == r and got.heading_path == r.heading_path
    assert reader.chunk(id=2).text == ""
    for bad in (3, 2**32 - 1):
        with pytest.raises(ValueError) as caught:
            reader.chunk(bad)
        assert caught.value.args == (f"chunk id {bad} out of range",)
    for bad, cls in ((-1, OverflowError), (2**32, OverflowError), ("1", TypeError)):
        with pytest.raises(cls):
            reader.chunk(bad)


def test_search_bm25_arguments_and_result_types(tmp_path):
    build(tmp_path, ["alpha beta", "beta", "gamma"])
    reader = IndexReader.open(tmp_path)
    hits = reader.search_bm25(text="beta alpha", k=2**64 - 1)
    assert type(hits) is list and [type(h) for h in hits] == [tuple, tuple]
    assert [h[0] for h in hits] == [0, 1] and all(type(s) is float for _, s in hits)
    assert reader.search_bm25("beta", 0) == [] and reader.search_bm25("the and", 5) == []
    for args, cls in ((("beta", -1), OverflowError), (("beta", 2**64), OverflowError), ((b"beta", 3), TypeError),
                      (("beta",), TypeError), (("beta \ud800", 3), UnicodeEncodeError)):
        with pytest.raises(cls):
            reader.search_bm25(*args)
    assert reader.search_bm25("gamma", 1)[0][0] == 2  # failed calls leave the reader usable


def test_empty_generation(tmp_path):
    build(tmp_path, [])
    reader = IndexReader.open(tmp_path)
    assert len(reader) == 0 and reader.search_bm25("alpha", 10) == [] and reader.search("alpha") == []
    with pytest.raises(ValueError, match="^chunk id 0 out of range$"):
        reader.chunk(0)


# --- BM25 scores against a plain float32 evaluation ---------------------------

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]
f32 = np.float32


def logf(x):
    # NumPy's float32 log is not the C library's in the last bit for some arguments.
    return f32(_libm.logf(float(x)))


def reference_bm25(search_texts, query, k, k1=f32(1.2), b=f32(0.75)):
    docs = [_core.tokenize(t) for t in search_texts]
    lens = [len(d) for d in docs]
    postings = {}
    for doc, terms in enumerate(docs):
        for term in sorted(set(terms)):
            postings.setdefault(term, []).append((doc, terms.count(term)))
    n = f32(len(docs))
    avgdl = max(f32(sum(lens) / len(docs)), np.finfo(np.float32).tiny)
    one_minus_b, k1_plus_1 = f32(1) - b, k1 + f32(1)
    scores = {}
    for term in sorted(set(_core.tokenize(query)) & postings.keys()):
        df = f32(len(postings[term]))
        idf = logf(((n - df) + f32(0.5)) / (df + f32(0.5)) + f32(1))
        for doc, tf in postings[term]:
            dl, tf = f32(lens[doc]), f32(tf)
            scores[doc] = scores.get(doc, f32(0)) + (k1_plus_1 * (idf * tf)) / (
                k1 * (one_minus_b + (b * dl) / avgdl) + tf)
    ranked = sorted(scores.items(), key=lambda item: (-item[1], item[0]))[:k]
    return [(doc, float(score)) for doc, score in ranked]


@pytest.mark.parametrize("seed", range(6))
def test_scores_equal_a_plain_float32_evaluation_bit_for_bit(tmp_path, seed):
    rng = random.Random(seed)
    texts = random_texts(rng, rng.randint(1, 250))
    headings = ["Index", "Reader"] if seed % 2 else []
    build(tmp_path, texts, headings=headings)
    search_texts = [" ".join(headings) + "\n" + t for t in texts]
    mapped, read = IndexReader.open(tmp_path), IndexReader.open(tmp_path, mmap=False)
    for _ in range(40):
        query = " ".join(rng.choices(WORDS + ["the", "missing"], k=rng.randint(1, 6)))
        k = rng.choice([1, 5, 10, 1000])
        got = mapped.search_bm25(query, k)
        assert [(i, s.hex()) for i, s in got] == [(i, s.hex()) for i, s in reference_bm25(search_texts, query, k)]
        assert read.search_bm25(query, k) == got
    assert all(read.chunk(i) == mapped.chunk(i) for i in range(len(texts)))


# --- threads and generations ------------------------------------------------

def test_sixteen_threads_share_one_reader(tmp_path):
    rng = random.Random(5)
    build(tmp_path, random_texts(rng, 2000, max_len=60), dim=32)
    reader = IndexReader.open(tmp_path)
    queries = [(" ".join(rng.choices(WORDS, k=rng.randint(1, 5))), np.float32(rng.random()) - np.arange(32, dtype="f4"))
               for _ in range(30)]

    def run_all():
        return [(reader.search_bm25(t, 10), reader.search_vector(v, 10),
                 [(h.id, h.score, h.bm25_rank, h.vector_rank) for h in reader.search(t, v)]) for t, v in queries]

    expected = run_all()
    results = [None] * 16
    barrier = threading.Barrier(16)

    def run(slot):
        barrier.wait()
        results[slot] = [run_all() for _ in range(3)]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(rounds == [expected] * 3 for rounds in results)


def test_searches_release_the_interpreter_lock(tmp_path):
    # With a long switch interval, the main thread wakes from its short sleeps
    # while another thread loops over searches only if the searches release
    # the lock; otherwise each wake-up waits for a forced switch.
    build(tmp_path, random_texts(random.Random(3), 20000, max_len=60))
    reader = IndexReader.open(tmp_path)
    stop, calls = threading.Event(), []

    def search_forever():
        while not stop.is_set():
            reader.search_bm25("alpha beta gamma", 10)
            calls.append(1)

    old = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    thread = threading.Thread(target=search_forever)
    try:
        thread.start()
        while not calls:
            time.sleep(0.001)
        # However slow a search is (a sanitized build), the sleeps wake at
        # once while the searches go on.
        start = time.monotonic()
        while len(calls) < 3 and time.monotonic() - start < 5.0:
            time.sleep(0.001)
        woke_after, searches = time.monotonic() - start, len(calls)
    finally:
        stop.set()
        sys.setswitchinterval(old)
        thread.join()
    assert woke_after < 5.0 and searches >= 3


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
    fresh = IndexReader.open(tmp_path, mmap=mmap)
    assert len(fresh) == 7 and fresh.manifest["generation"] == 3
