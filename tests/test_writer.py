"""The writer side: ChunkRecord, IndexWriter, CommitInfo, index_exists, and what
a commit leaves on disk, also when the committing process is killed."""
import collections
import json
import os
import pathlib
import random
import signal
import tempfile
import threading
import time

import numpy as np
import pytest

from tessavine import _core
from tessavine._core import ChunkRecord, CommitInfo, IndexWriter, index_exists


def rec(text="body", headings=("Intro", "Setup"), path="notes/a.md", start=3, end=9):
    return ChunkRecord(path, list(headings), start, end, text)


def vec(dim, seed=0):
    return np.random.default_rng(seed).standard_normal(dim).astype(np.float32)


def current(root):
    return (pathlib.Path(root) / "CURRENT").read_text()


# ---- ChunkRecord ----

def test_chunk_record_fields_and_keywords():
    r = ChunkRecord(path="p.md", heading_path=("A", "B"), line_start=0, line_end=2**32 - 1, text="t")
    assert (r.path, r.heading_path, r.line_start, r.line_end, r.text) == ("p.md", ["A", "B"], 0, 2**32 - 1, "t")
    assert type(r.heading_path) is list
    r.heading_path.append("C")
    assert r.heading_path == ["A", "B"]
    # Nothing else is examined.
    ChunkRecord("", [], 9, 1, "")


@pytest.mark.parametrize("args, exc, text", [
    ((1, "x", -1, 2**32, 3), TypeError, "'path'"),
    (("p", "AB", 1, 2, "t"), TypeError, "Can't extract `str` to `Vec`"),
    (("p", {"A"}, 1, 2, "t"), TypeError, "'heading_path'"),
    (("p", (h for h in ["A"]), 1, 2, "t"), TypeError, "'heading_path'"),
    (("p", ["A", 1], 1, 2, "t"), TypeError, "'heading_path'"),
    (("p", [], -1, 2**32, 3), OverflowError, ""),
    (("p", [], 1, 2**32, 3), OverflowError, ""),
    (("p", [], 1.0, 2, "t"), TypeError, "'line_start'"),
    (("p", [], 1, 2, b"t"), TypeError, "'text'"),
    (("p", [], 1, 2), TypeError, "text"),
])
def test_chunk_record_conversion_order_and_errors(args, exc, text):
    with pytest.raises(exc) as info:
        ChunkRecord(*args)
    assert text in str(info.value)


class ClaimsToBeHuge:
    """A sequence whose __len__ promises far more items than it holds."""
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 2:
            return f"H{i}"
        raise IndexError(i)


def test_heading_path_length_is_not_trusted():
    with pytest.raises(IndexError):
        ChunkRecord("p", ClaimsToBeHuge(), 1, 2, "t")


def test_chunk_record_lone_surrogate_is_an_encode_error():
    with pytest.raises(UnicodeEncodeError):
        ChunkRecord("p", ["\ud800"], 1, 2, "t")


@pytest.mark.parametrize("path, headings, shown", [
    ("notes/a.md", ["Intro", "Setup"], 'ChunkRecord(path="notes/a.md", lines=3-9, heading_path=["Intro", "Setup"])'),
    ("a\"b\\c", [], 'ChunkRecord(path="a\\"b\\\\c", lines=3-9, heading_path=[])'),
    ("t\tn\nr\r0\0x\x01", ["it's", "é"],
     'ChunkRecord(path="t\\tn\\nr\\r0\\0x\\u{1}", lines=3-9, heading_path=["it\'s", "é"])'),
])
def test_chunk_record_repr(path, headings, shown):
    assert repr(rec(path=path, headings=headings)) == shown


def test_chunk_record_equality_only_and_unhashable():
    a, b = rec(), rec()
    assert a == b and not (a != b)
    assert a != rec(text="other") and a != rec(headings=["Intro"]) and a != rec(end=10)
    assert (a == "x") is False and (a != "x") is True
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(AttributeError):
        a.text = "changed"


def test_class_surface():
    for cls in (ChunkRecord, CommitInfo, IndexWriter):
        assert cls.__module__ == "tessavine._core"
    assert ChunkRecord.__text_signature__ == "(path, heading_path, line_start, line_end, text)"
    assert ChunkRecord.__doc__ == "One stored chunk: where it came from and its text."
    assert IndexWriter.__text_signature__ == "(dim, embedder=None, metadata=None)"
    assert IndexWriter.__doc__ == ("Collects chunks in memory, then writes them as one index generation.\n\n"
                                   "A writer is single-use: after `commit` it is empty and further calls raise\n"
                                   "`RuntimeError`.")
    assert IndexWriter.add.__text_signature__ == "($self, record, embedding=None)"
    assert IndexWriter.add.__doc__ == ("Add one chunk and return its id. `embedding` (float32, shape `(dim,)`)\n"
                                       "is required unless the index is keyword-only.")
    assert IndexWriter.commit.__text_signature__ == "($self, root)"
    assert IndexWriter.commit.__doc__ == ("Write the index under `root` as a new generation and make it live.\n"
                                          "Runs without holding the GIL.")
    assert index_exists.__text_signature__ == "(root)"
    assert index_exists.__doc__ == "Whether `root` holds a committed index."
    assert CommitInfo.__doc__ == "Result of a successful commit."
    with pytest.raises(TypeError):
        CommitInfo()
    all_names = _core.__all__
    assert all_names.index("index_exists") > all_names.index("tokenize")
    assert [n for n in all_names if n in ("ChunkRecord", "CommitInfo", "IndexWriter")] == \
        ["ChunkRecord", "CommitInfo", "IndexWriter"]


# ---- IndexWriter arguments ----

@pytest.mark.parametrize("kwargs, exc, text", [
    (dict(dim=-1), OverflowError, ""),
    (dict(dim=2**64), OverflowError, ""),
    (dict(dim="4"), TypeError, "'dim'"),
    (dict(dim=0, embedder=3), TypeError, "'embedder'"),
    (dict(dim=0, metadata=[("a", 1)]), TypeError, "'metadata'"),
    (dict(dim=0, metadata={"x": float("nan")}), ValueError, "metadata: "),
    (dict(dim=0, metadata={"x": [float("inf")]}), ValueError, "metadata: "),
    (dict(dim=0, metadata={"x": object()}), TypeError, "not JSON serializable"),
])
def test_writer_constructor_errors(kwargs, exc, text):
    with pytest.raises(exc) as info:
        IndexWriter(**kwargs)
    assert str(info.value).startswith(text) or text in str(info.value)


def nested(levels):
    value = {}
    for _ in range(levels - 1):
        value = {"k": value}
    return value


def test_metadata_goes_through_json_dumps_into_the_manifest(tmp_path):
    meta = collections.OrderedDict([("b", 1), ("a", {"d": [1, 2.5, None, True], "c": "é\n"}), ("7", 7)])
    info = IndexWriter(0, embedder="model", metadata=meta).commit(tmp_path)
    manifest = json.loads((info.dir / "manifest.json").read_text())
    assert manifest["metadata"] == {"7": 7, "a": {"c": "é\n", "d": [1, 2.5, None, True]}, "b": 1}
    assert list(manifest["metadata"]) == ["7", "a", "b"]
    assert manifest["embedder"] == "model"
    # The deepest metadata the manifest can hold commits; one level more is
    # refused when the writer is made, not after its chunks were collected.
    IndexWriter(0, metadata=nested(127)).commit(tmp_path / "deep")
    with pytest.raises(ValueError, match="^metadata: "):
        IndexWriter(0, metadata=nested(128))


def test_add_dimension_rules_and_embedding_types():
    w = IndexWriter(0)
    with pytest.raises(ValueError) as info:
        w.add(rec(), vec(4))
    assert str(info.value) == "this index is keyword-only (dim = 0); remove the embedding"
    w4 = IndexWriter(4)
    with pytest.raises(ValueError) as info:
        w4.add(rec())
    assert str(info.value) == "this index stores embeddings; every chunk needs one"
    with pytest.raises(ValueError) as info:
        w4.add(rec(), vec(3))
    assert str(info.value) == "expected 4-dimensional vector, got 3"
    with pytest.raises(ValueError, match="NaN"):
        w4.add(rec(), np.array([1, np.nan, 0, 0], dtype=np.float32))
    for bad in (vec(4).astype(np.float64), vec(8).reshape(2, 4), [1.0, 2.0, 3.0, 4.0]):
        with pytest.raises(TypeError, match="'embedding'"):
            w4.add(rec(), bad)
    with pytest.raises(TypeError, match="'record'"):
        w4.add(("notes/a.md", [], 1, 2, "t"), vec(4))
    assert len(w4) == 0
    assert [w4.add(rec(), vec(4)), w4.add(record=rec(), embedding=vec(4, 1))] == [0, 1]
    assert len(w4) == 2


def test_strided_embedding_is_stored_like_a_contiguous_one(tmp_path):
    wide = vec(16, 3)
    strided, contiguous = wide[::2], np.ascontiguousarray(wide[::2])
    assert not strided.flags.c_contiguous
    dirs = []
    for i, embedding in enumerate((strided, contiguous)):
        w = IndexWriter(8)
        w.add(rec(), embedding)
        dirs.append(w.commit(tmp_path / str(i)).dir)
    assert (dirs[0] / "vectors.bin").read_bytes() == (dirs[1] / "vectors.bin").read_bytes()


# ---- commit and its results ----

def test_commit_info_and_single_use(tmp_path):
    w = IndexWriter(0)
    for i in range(3):
        w.add(rec(f"chunk {i}"))
    info = w.commit(str(tmp_path / "ix"))
    assert isinstance(info.dir, pathlib.Path)
    assert info.dir == tmp_path / "ix" / "gen-000001"
    assert (info.generation, info.n_chunks) == (1, 3)
    assert repr(info) == f"CommitInfo(generation=1, n_chunks=3, dir='{tmp_path}/ix/gen-000001')"
    assert info.dir is not info.dir
    with pytest.raises(AttributeError):
        info.generation = 2
    assert current(tmp_path / "ix") == "gen-000001\n"
    assert len(w) == 0
    for call in (lambda: w.add(rec()), lambda: w.commit(tmp_path / "ix")):
        with pytest.raises(RuntimeError) as err:
            call()
        assert str(err.value) == "this IndexWriter was already committed"


def test_failed_commit_consumes_the_writer(tmp_path):
    root = tmp_path / "file"
    root.write_text("x")
    w = IndexWriter(0)
    w.add(rec())
    with pytest.raises(OSError) as info:
        w.commit(root)
    assert str(info.value).startswith(f"I/O error on {root}: ")
    assert info.value.errno is None
    assert root.read_text() == "x"
    assert len(w) == 0
    with pytest.raises(RuntimeError, match="^this IndexWriter was already committed$"):
        w.commit(tmp_path / "other")
    with pytest.raises(RuntimeError, match="^this IndexWriter was already committed$"):
        w.add(rec())


def test_commit_root_argument(tmp_path):
    with pytest.raises(TypeError, match="'root'"):
        IndexWriter(0).commit(b"/tmp/x")
    with pytest.raises(TypeError, match="'root'"):
        index_exists(3)


def test_index_exists(tmp_path):
    assert not index_exists(tmp_path / "missing")
    assert not index_exists(tmp_path)
    (tmp_path / "CURRENT").write_text("gen-000001\n")
    (tmp_path / "gen-000001").mkdir()
    assert not index_exists(tmp_path)
    IndexWriter(0).commit(tmp_path)
    assert index_exists(tmp_path)
    assert current(tmp_path) == "gen-000002\n"


def test_commit_sequence_and_empty_generations(tmp_path):
    for dim in (0, 3):
        root = tmp_path / f"d{dim}"
        infos = [IndexWriter(dim).commit(root) for _ in range(3)]
        assert [i.generation for i in infos] == [1, 2, 3]
        assert sorted(p.name for p in root.iterdir()) == ["CURRENT", "gen-000002", "gen-000003"]
        files = sorted(p.name for p in infos[-1].dir.iterdir())
        assert files == sorted(["bm25.bin", "docs.bin", "manifest.json"] + (["vectors.bin"] if dim else []))
        assert infos[-1].n_chunks == 0


def test_leftovers_and_current_forms(tmp_path):
    (tmp_path / "CURRENT").write_text("  \n gen-+003 \n\n")
    for name in ("gen-+003", "gen-000004", "gen-000007", "gen-7", ".tmp-gen-000004-1-2"):
        (tmp_path / name).mkdir()
    (tmp_path / "CURRENT.tmp-1-2").write_text("gen-000004\n")
    info = IndexWriter(0).commit(tmp_path)
    # gen-000004 and gen-000007 are unpublished and go; gen-7 is not in the
    # writer's own form, so it stays and its number is skipped.
    assert info.generation == 8
    assert sorted(p.name for p in tmp_path.iterdir()) == ["CURRENT", "gen-+003", "gen-000008", "gen-7"]

    (tmp_path / "CURRENT").write_text("gen-999999")
    (tmp_path / "gen-999999").mkdir()
    assert IndexWriter(0).commit(tmp_path).dir.name == "gen-1000000"


@pytest.mark.parametrize("content", ["latest", "gen-", "gen-x", "gen--3", "gen-18446744073709551616"])
def test_malformed_current(tmp_path, content):
    (tmp_path / "CURRENT").write_text(content)
    with pytest.raises(_core.IndexFormatError) as info:
        IndexWriter(0).commit(tmp_path)
    assert str(info.value) == f'invalid index data: CURRENT names "{content}", not a generation'


# ---- threads ----

def test_commit_releases_the_gil_and_other_calls_fail_at_once(tmp_path):
    w = IndexWriter(0)
    text = "alpha beta gamma delta " * 20
    for i in range(40_000):
        w.add(ChunkRecord("n.md", ["H"], i, i, f"{text} word{i}"))

    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    result = {}
    committer = threading.Thread(target=lambda: result.setdefault("info", w.commit(tmp_path)))
    ticker = threading.Thread(target=tick)
    ticker.start()
    committer.start()
    seen = {}
    while committer.is_alive():
        try:
            len(w)
        except RuntimeError as e:
            seen["len"] = str(e)
            ticks_during = ticks
            for name, call in (("add", lambda: w.add(rec())), ("commit", lambda: w.commit(tmp_path))):
                try:
                    call()
                except RuntimeError as e2:
                    seen[name] = str(e2)
            break
    committer.join()
    stop.set()
    ticker.join()
    assert seen == {"len": "Already mutably borrowed", "add": "Already borrowed", "commit": "Already borrowed"}
    assert ticks > ticks_during > 0
    assert result["info"].n_chunks == 40_000
    assert len(w) == 0


# ---- crash safety ----

def check_root(root):
    """CURRENT names a complete generation; returns the leftovers seen."""
    name = current(root).strip()
    gen = root / name
    manifest = json.loads((gen / "manifest.json").read_text())
    assert manifest["generation"] == int(name[4:])
    for file, size in manifest["files"].items():
        assert (gen / file).stat().st_size == size
    return [p.name for p in root.iterdir() if p.name.startswith((".tmp-", "CURRENT.tmp-"))]


VECTORS = [vec(8, i) for i in range(40)]


def small_writer(rng, seed):
    w = IndexWriter(8, metadata={"seed": seed})
    for i in range(rng.randrange(0, 40)):
        w.add(ChunkRecord(f"n{i}.md", ["H"], i, i, "some words here " * rng.randrange(1, 30)), VECTORS[i])
    return w


def commit_forever(root, seed):
    rng = random.Random(seed)
    while True:
        small_writer(rng, seed).commit(root)


@pytest.fixture
def quick_dir(tmp_path):
    """A directory on a memory file system when there is one: a killed process
    leaves the same files behind wherever they are, and syncs cost nothing."""
    if not os.path.isdir("/dev/shm"):
        yield tmp_path
        return
    with tempfile.TemporaryDirectory(dir="/dev/shm") as d:
        yield pathlib.Path(d)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_commits_survive_sigkill_at_random_moments(quick_dir):
    rng = random.Random(20261206)
    root = quick_dir / "ix"
    # Kill moments spread over a few commits' time, however fast syncs are here.
    started = time.perf_counter()
    for _ in range(3):
        small_writer(rng, -1).commit(root)
    span = 10 * (time.perf_counter() - started) / 3
    leftovers_seen = 0
    for kill in range(60):
        ready_r, ready_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.write(ready_w, b"x")
                commit_forever(root, kill)
            finally:
                os._exit(1)
        os.read(ready_r, 1)
        os.close(ready_r)
        os.close(ready_w)
        time.sleep(rng.uniform(0.0, span))
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        assert os.WIFSIGNALED(status), "the committing child stopped by itself"
        leftovers_seen += bool(check_root(root))
        w = IndexWriter(8)
        w.add(rec(), vec(8))
        info = w.commit(root)
        assert check_root(root) == []
        assert current(root) == info.dir.name + "\n"
        # Generations the child renamed into place but never named are gone too.
        assert len(list(root.iterdir())) <= 3
    # The kills must have hit commits in progress, not only idle moments.
    assert leftovers_seen > 0
