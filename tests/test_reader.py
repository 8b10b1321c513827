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


def put_manifest(gen, manifest):
    (gen / "manifest.json").write_text(json.dumps(manifest, indent=2))


def put_file(gen, name, data):
    """Replaces an index file and lists its new size, so the size check passes."""
    (gen / name).write_bytes(data)
    m = manifest_of(gen)
    m["files"][name] = len(data)
    put_manifest(gen, m)


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


def docs_case(fn):
    return lambda gen: put_file(gen, "docs.bin", fn((gen / "docs.bin").read_bytes()))


def bm25_case(fn):
    return lambda gen: put_file(gen, "bm25.bin", fn((gen / "bm25.bin").read_bytes()))


def vectors_case(fn):
    return lambda gen: put_file(gen, "vectors.bin", fn((gen / "vectors.bin").read_bytes()))


def manifest_case(fn):
    def apply(gen):
        m = manifest_of(gen)
        fn(m)
        put_manifest(gen, m)
    return apply


def manifest_text(text):
    return lambda gen: (gen / "manifest.json").write_text(text)


def remove(name):
    return lambda gen: (gen / name).unlink()


def bad_docs_offsets(d):
    # Three records: the offset of record 2 drops below that of record 1.
    return patch(d, 16 + 8 * 2, "Q", struct.unpack_from("<Q", d, 16 + 8 * 1)[0] - 1)


def set_size_only(name, delta):
    return manifest_case(lambda m: m["files"].__setitem__(name, m["files"][name] + delta))


def duplicate_files(gen):
    text = (gen / "manifest.json").read_text()
    (gen / "manifest.json").write_text(text.replace('"metadata"', '"files": {}, "metadata"'))


INVALID = "invalid index data: "
OPEN_FAILURES = [
    # file header
    ("docs too short", docs_case(lambda d: d[:15]), IndexFormatError, "docs: file is too short"),
    ("docs wrong magic", lambda g: put_file(g, "docs.bin", (g / "bm25.bin").read_bytes()),
     IndexFormatError, "docs: wrong magic bytes"),
    ("docs version", docs_case(lambda d: patch(d, 4, "H", 2)), IndexFormatError,
     "docs: unsupported version 2 (expected 1)"),
    ("bm25 too short", bm25_case(lambda d: b""), IndexFormatError, "bm25: file is too short"),
    ("bm25 version", bm25_case(lambda d: patch(d, 4, "H", 0)), IndexFormatError,
     "bm25: unsupported version 0 (expected 1)"),
    ("vectors wrong magic", lambda g: put_file(g, "vectors.bin", (g / "docs.bin").read_bytes()),
     IndexFormatError, "vectors: wrong magic bytes"),
    ("vectors version", vectors_case(lambda d: patch(d, 4, "H", 1)), IndexFormatError,
     "vectors: unsupported version 1 (expected 2)"),
    # docs.bin
    ("docs offset table", docs_case(lambda d: patch(d, 8, "I", 1000)), IndexFormatError,
     "docs: truncated offset table"),
    ("docs offsets", docs_case(bad_docs_offsets), IndexFormatError, "docs: offsets are not monotonic"),
    ("docs size", docs_case(lambda d: d + b" "), IndexFormatError, "docs: size does not match offsets"),
    # bm25.bin
    ("bm25 tables", bm25_case(lambda d: patch(d, 12, "I", 10**6)), IndexFormatError,
     "bm25: truncated offset tables"),
    ("bm25 size", bm25_case(lambda d: d + b"\0" * 8), IndexFormatError, "bm25: size does not match its tables"),
    ("bm25 term offsets", bm25_case(lambda d: patch(d, TERM_OFFSETS + 4, "I", 10)), IndexFormatError,
     "bm25: offsets are not monotonic"),
    ("bm25 posting offsets", bm25_case(lambda d: patch(d, POSTING_OFFSETS + 4, "I", 100)),
     IndexFormatError, "bm25: offsets are not monotonic"),
    ("bm25 term beyond file", bm25_case(lambda d: patch(d, TERM_OFFSETS + 8, "I", 10**5)),
     IndexFormatError, "bm25: term extends beyond the end of the file"),
    ("bm25 utf-8", bm25_case(lambda d: patch(d, TERM_AREA, "B", 0xFF)), IndexFormatError,
     "bm25: term is not valid UTF-8"),
    ("bm25 term order", bm25_case(lambda d: d[:TERM_AREA + 5] + b"aaaa" + d[TERM_AREA + 9:]),
     IndexFormatError, "bm25: terms are not strictly sorted"),
    ("bm25 missing document", bm25_case(lambda d: patch(d, POSTINGS + 8, "I", D)), IndexFormatError,
     "bm25: posting references a missing document"),
    ("bm25 posting order", bm25_case(lambda d: patch(d, POSTINGS + 16, "I", 0)), IndexFormatError,
     "bm25: postings are not sorted by document"),
    # vectors.bin
    ("vectors dimension", vectors_case(lambda d: patch(d, 12, "I", 0)), IndexFormatError,
     "vectors: dimension is zero"),
    ("vectors size", vectors_case(lambda d: d[:-1]), IndexFormatError, "vectors: size does not match header"),
    ("vectors too short", vectors_case(lambda d: d[:3]), IndexFormatError, "vectors: file is too short"),
    # manifest.json
    ("manifest syntax", manifest_text("{"), IndexFormatError, None),
    ("manifest missing field", manifest_case(lambda m: m.pop("bm25")), IndexFormatError,
     "manifest.json: missing field `bm25`"),
    ("manifest duplicate field", duplicate_files, IndexFormatError, "manifest.json: duplicate field `files`"),
    ("manifest format", manifest_case(lambda m: m.update(format="abc", schema_version=1)),
     IndexFormatError, 'manifest.json: format is "abc", expected "tessavine-index"'),
    ("manifest schema", manifest_case(lambda m: m.update(schema_version=7)), SchemaError,
     "index schema version 7 is not supported (this build reads 2); rebuild the index"),
    # the files against the manifest and each other
    ("size vs manifest", set_size_only("docs.bin", 1), IndexFormatError, None),
    ("file not listed", manifest_case(lambda m: m["files"].pop("bm25.bin")), IndexFormatError, None),
    ("chunk count", manifest_case(lambda m: m.update(n_chunks=4)), IndexFormatError,
     "chunk counts disagree between files"),
    ("vector dimension", manifest_case(lambda m: m.update(dim=5)), IndexFormatError,
     "vector file disagrees with manifest"),
    # missing files
    ("no manifest", remove("manifest.json"), OSError, "manifest.json"),
    ("no docs", remove("docs.bin"), OSError, "docs.bin"),
    ("no vectors", remove("vectors.bin"), OSError, "vectors.bin"),
]


@pytest.fixture
def fixture_gen(tmp_path):
    info = build(tmp_path / "root", FIXTURE_TEXTS, dim=4, headings=())
    return tmp_path / "root", pathlib.Path(info.dir)


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("name,corrupt,cls,message", OPEN_FAILURES, ids=[c[0] for c in OPEN_FAILURES])
def test_open_refuses_corrupt_generations(fixture_gen, name, corrupt, cls, message, mmap):
    root, gen = fixture_gen
    sizes = manifest_of(gen)["files"]
    corrupt(gen)
    with pytest.raises(cls) as caught:
        IndexReader.open(root, mmap=mmap)
    error = caught.value
    assert type(error) is cls
    assert error.args == (str(error),)
    text = str(error)
    if cls is OSError:
        assert text == f"I/O error on {gen / message}: No such file or directory (os error 2)"
        assert error.errno is None
    elif cls is SchemaError:
        assert text == message
    elif name == "size vs manifest":
        n = sizes["docs.bin"]
        assert text == f"{INVALID}docs.bin: size {n} does not match manifest (Some({n + 1}))"
    elif name == "file not listed":
        n = sizes["bm25.bin"]
        assert text == f"{INVALID}bm25.bin: size {n} does not match manifest (None)"
    elif message is None:
        assert text.startswith(INVALID + "manifest.json: ")
    else:
        assert text == INVALID + message


def test_fixture_layout_is_what_the_corruptions_assume(fixture_gen):
    _, gen = fixture_gen
    data = (gen / "bm25.bin").read_bytes()
    assert struct.unpack_from("<II", data, 8) == (D, T)
    assert data[TERM_AREA:POSTINGS] == b"alphabetadeltagamma\0"
    # beta: documents 0 and 1, the postings that the order case breaks.
    assert struct.unpack_from("<4I", data, POSTINGS + 8) == (0, 1, 1, 1)


@pytest.mark.parametrize("content,cls,message", [
    (None, OSError, "I/O error on {root}/CURRENT: No such file or directory (os error 2)"),
    ("latest\n", IndexFormatError, 'invalid index data: CURRENT names "latest", not a generation'),
    ("gen-9\n", OSError, "I/O error on {root}/gen-9/manifest.json: No such file or directory (os error 2)"),
])
def test_open_follows_current(tmp_path, content, cls, message):
    root = tmp_path / "root"
    root.mkdir()
    if content is not None:
        (root / "CURRENT").write_text(content)
    with pytest.raises(cls) as caught:
        IndexReader.open(str(root))
    assert type(caught.value) is cls
    assert str(caught.value) == message.format(root=root)


def test_keyword_only_generation_ignores_stray_vectors_file(tmp_path):
    info = build(tmp_path, ["alpha beta"])
    put_file(pathlib.Path(info.dir), "vectors.bin", b"junk")  # even one the manifest lists
    reader = IndexReader.open(tmp_path)
    assert not reader.has_vectors
    assert reader.search_bm25("alpha", 3)[0][0] == 0


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
    with pytest.raises(TypeError):
        IndexReader()
    with pytest.raises(TypeError):
        IndexReader.open(bytes(tmp_path))
    with pytest.raises(TypeError):
        IndexReader.open(tmp_path, mmap=1)
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
    assert len(reader) == info.n_chunks == 3
    assert reader.has_vectors is True
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
    with pytest.raises(ValueError) as caught:
        reader.chunk(3)
    assert caught.value.args == ("chunk id 3 out of range",)
    for bad in (-1, 2**32):
        with pytest.raises(OverflowError):
            reader.chunk(bad)
    with pytest.raises(TypeError):
        reader.chunk("1")


def test_search_bm25_arguments_and_result_types(tmp_path):
    build(tmp_path, ["alpha beta", "beta", "gamma"])
    reader = IndexReader.open(tmp_path)
    hits = reader.search_bm25(text="beta alpha", k=2**64 - 1)
    assert type(hits) is list and [type(h) for h in hits] == [tuple, tuple]
    assert [h[0] for h in hits] == [0, 1] and all(type(s) is float for _, s in hits)
    assert reader.search_bm25("beta", 0) == []
    assert reader.search_bm25("the and", 5) == []
    with pytest.raises(OverflowError):
        reader.search_bm25("beta", -1)
    with pytest.raises(OverflowError):
        reader.search_bm25("beta", 2**64)
    with pytest.raises(TypeError):
        reader.search_bm25(b"beta", 3)
    with pytest.raises(TypeError):
        reader.search_bm25("beta")
    with pytest.raises(UnicodeEncodeError):
        reader.search_bm25("beta \ud800", 3)
    # A failed call leaves the reader usable.
    assert reader.search_bm25("gamma", 1)[0][0] == 2


def test_empty_generation(tmp_path):
    build(tmp_path, [])
    reader = IndexReader.open(tmp_path)
    assert len(reader) == 0 and reader.search_bm25("alpha", 10) == []
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
    avgdl = f32(sum(lens) / len(docs)) if docs else f32(0)
    if not avgdl >= np.finfo(np.float32).tiny:
        avgdl = np.finfo(np.float32).tiny
    one_minus_b, k1_plus_1 = f32(1) - b, k1 + f32(1)
    scores = {}
    for term in sorted(set(_core.tokenize(query))):
        if term not in postings:
            continue
        df = f32(len(postings[term]))
        idf = logf(((n - df) + f32(0.5)) / (df + f32(0.5)) + f32(1))
        for doc, tf in postings[term]:
            dl, tf = f32(lens[doc]), f32(tf)
            denominator = k1 * (one_minus_b + (b * dl) / avgdl) + tf
            numerator = k1_plus_1 * (idf * tf)
            scores[doc] = scores.get(doc, f32(0)) + numerator / denominator
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
        expected = reference_bm25(search_texts, query, k)
        got = mapped.search_bm25(query, k)
        assert [(i, s.hex()) for i, s in got] == [(i, s.hex()) for i, s in expected], query
        assert read.search_bm25(query, k) == got
    assert all(read.chunk(i) == mapped.chunk(i) for i in range(len(texts)))


# --- threads and generations ------------------------------------------------

def test_sixteen_threads_share_one_reader(tmp_path):
    rng = random.Random(5)
    build(tmp_path, random_texts(rng, 2000, max_len=60))
    reader = IndexReader.open(tmp_path)
    queries = [" ".join(rng.choices(WORDS, k=rng.randint(1, 5))) for _ in range(60)]
    expected = [reader.search_bm25(q, 10) for q in queries]
    results = [None] * 16
    barrier = threading.Barrier(16)

    def run(slot):
        barrier.wait()
        results[slot] = [[reader.search_bm25(q, 10) for q in queries] for _ in range(5)]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(rounds == [expected] * 5 for rounds in results)


def test_searches_release_the_interpreter_lock(tmp_path):
    # With a long switch interval, a thread that loops over searches lets the
    # main thread run sooner only if the searches themselves release the
    # lock: otherwise each wake-up below waits for a forced switch.
    rng = random.Random(3)
    # Searches long enough that a waiting thread wakes before one ends.
    build(tmp_path, random_texts(rng, 20000, max_len=60))
    reader = IndexReader.open(tmp_path)
    stop = threading.Event()
    calls = []

    def search_forever():
        while not stop.is_set():
            reader.search_bm25("alpha beta gamma", 10)
            calls.append(1)

    interval = 5.0
    old = sys.getswitchinterval()
    sys.setswitchinterval(interval)
    thread = threading.Thread(target=search_forever)
    try:
        thread.start()
        while not calls:
            time.sleep(0.001)
        start = time.monotonic()
        for _ in range(5):
            time.sleep(0.001)
        woke_after = time.monotonic() - start
        searches = len(calls)
    finally:
        stop.set()
        sys.setswitchinterval(old)
        thread.join()
    assert woke_after < interval and searches > 1


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
    assert reader.search_bm25("delta", 10) == []
    assert reader.chunk(1).text == "beta gamma"
    fresh = IndexReader.open(tmp_path, mmap=mmap)
    assert len(fresh) == 7 and fresh.manifest["generation"] == 3
