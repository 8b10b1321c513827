"""The writer side: ChunkRecord, IndexWriter, CommitInfo, index_exists, and what
a commit leaves on disk, also when the committing process is killed."""
import collections
import json
import os
import pathlib
import random
import signal
import threading
import time

import numpy as np
import pytest

from tessavine._core import ChunkRecord, CommitInfo, IndexWriter, index_exists

from conftest import raises


def rec(text="body", headings=("Intro", "Setup"), path="notes/a.md", start=3, end=9):
    return ChunkRecord(path, list(headings), start, end, text)


def vec(dim, seed=0):
    return np.random.default_rng(seed).standard_normal(dim).astype(np.float32)


def current(root):
    return (pathlib.Path(root) / "CURRENT").read_text()


def LyingLength(claimed, held):
    """A sequence whose __len__ says `claimed` while it holds `held` items."""
    return type("LyingLength", (list,), {"__len__": lambda self: claimed})(f"H{i}" for i in range(held))


@pytest.mark.parametrize("args, exc, text", [
    ((1, "x", -1, 2**32, 3), TypeError, "'path'"),  # the first bad argument is named
    (("p", "AB", 1, 2, "t"), TypeError, "Can't extract `str` to `Vec`"),
    (("p", {"A"}, 1, 2, "t"), TypeError, "'heading_path'"), (("p", ["A", 1], 1, 2, "t"), TypeError, "'heading_path'"),
    (("p", LyingLength(2**62, 2), 1, 2, "t"), ValueError, "argument 'heading_path'"),  # nothing reserved for it
    (("p", LyingLength(1, 3), 1, 2, "t"), ValueError, "argument 'heading_path'"),
    (("p", ["\ud800"], 1, 2, "t"), UnicodeEncodeError, ""), (("p", [], -1, 2, "t"), OverflowError, ""),
    (("p", [], 1, 2**32, "t"), OverflowError, ""), (("p", [], 1.0, 2, "t"), TypeError, "'line_start'"),
])
def test_chunk_record_conversion_order_and_errors(args, exc, text):
    assert text in str(raises(exc, lambda: ChunkRecord(*args)))


@pytest.mark.parametrize("path, headings, shown", [
    ("notes/a.md", ["Intro", "Setup"], 'ChunkRecord(path="notes/a.md", lines=3-9, heading_path=["Intro", "Setup"])'),
    ("t\tn\nr\r0\0x\x01\"\\", ["it's", "é"],
     'ChunkRecord(path="t\\tn\\nr\\r0\\0x\\u{1}\\"\\\\", lines=3-9, heading_path=["it\'s", "é"])'),
])
def test_chunk_record_repr(path, headings, shown):
    assert repr(rec(path=path, headings=headings)) == shown


def test_chunk_record_fields_equality_only_and_unhashable():
    r = ChunkRecord(path="p.md", heading_path=("A", "B"), line_start=0, line_end=2**32 - 1, text="t")
    assert (r.path, r.heading_path, r.line_start, r.line_end, r.text) == ("p.md", ["A", "B"], 0, 2**32 - 1, "t")
    assert type(r.heading_path) is list
    r.heading_path.append("C")
    assert r.heading_path == ["A", "B"]
    ChunkRecord("", [], 9, 1, "")  # nothing else is examined
    assert (a := rec()) == rec() and not (a != rec())
    assert a != rec(text="other") and a != rec(headings=["Intro"]) and a != rec(end=10)
    assert (a == "x") is False and (a != "x") is True
    raises(TypeError, [lambda: a < a, lambda: hash(a), CommitInfo])
    raises(AttributeError, lambda: setattr(a, "text", "changed"))


def nested(levels):
    value = {}
    for _ in range(levels - 1):
        value = {"k": value}
    return value


@pytest.mark.parametrize("kwargs, exc, text", [
    (dict(dim=0, embedder=3), TypeError, "'embedder'"), (dict(dim=0, metadata=[("a", 1)]), TypeError, "'metadata'"),
    (dict(dim=0, metadata={"x": float("nan")}), ValueError, "metadata: "),
    (dict(dim=0, metadata={"x": object()}), TypeError, "not JSON serializable"),
    # One level deeper than a manifest can hold: refused when the writer is made, not after the chunks came.
    (dict(dim=0, metadata=nested(128)), ValueError, "metadata: "),
])
def test_writer_constructor_errors(kwargs, exc, text):
    assert text in str(raises(exc, lambda: IndexWriter(**kwargs)))


def test_metadata_goes_through_json_dumps_into_the_manifest(tmp_path):
    meta = collections.OrderedDict([("b", 1), ("a", {"d": [1, 2.5, None, True], "c": "é\n"}), ("7", 7)])
    info = IndexWriter(0, embedder="model", metadata=meta).commit(tmp_path)
    manifest = json.loads((info.dir / "manifest.json").read_text())
    assert list(manifest["metadata"].items()) == [("7", 7), ("a", {"c": "é\n", "d": [1, 2.5, None, True]}), ("b", 1)]
    assert manifest["embedder"] == "model"
    IndexWriter(0, metadata=nested(127)).commit(tmp_path / "deep")


def test_add_dimension_rules_and_embedding_types():
    raises(ValueError, lambda: IndexWriter(0).add(rec(), vec(4)),
           "this index is keyword-only (dim = 0); remove the embedding")
    w4 = IndexWriter(4)
    for embedding, exc, message in [
            (None, ValueError, "this index stores embeddings; every chunk needs one"),
            (vec(3), ValueError, "expected 4-dimensional vector, got 3"),
            (np.array([1, np.nan, 0, 0], dtype=np.float32), ValueError, "vector contains NaN or infinity"),
            (vec(4).astype(np.float64), TypeError, None)]:
        error = raises(exc, lambda: w4.add(rec(), embedding), message)
        assert message or "'embedding'" in str(error)
    assert "'record'" in str(raises(TypeError, lambda: w4.add(("notes/a.md", [], 1, 2, "t"), vec(4))))
    assert len(w4) == 0 and [w4.add(rec(), vec(4)), w4.add(record=rec(), embedding=vec(4, 1))] == [0, 1]
    assert len(w4) == 2


def test_strided_embedding_is_stored_like_a_contiguous_one(tmp_path):
    strided, stored = vec(16, 3)[::2], []
    for i, embedding in enumerate((strided, np.ascontiguousarray(strided))):
        (w := IndexWriter(8)).add(rec(), embedding)
        stored.append((w.commit(tmp_path / str(i)).dir / "vectors.bin").read_bytes())
    assert not strided.flags.c_contiguous and stored[0] == stored[1]


def test_commit_info_and_single_use(tmp_path):
    w = IndexWriter(0)
    for i in range(3):
        w.add(rec(f"chunk {i}"))
    assert not index_exists(tmp_path / "ix")
    info = w.commit(str(tmp_path / "ix"))
    assert index_exists(tmp_path / "ix") and current(tmp_path / "ix") == "gen-000001\n"
    assert isinstance(info.dir, pathlib.Path) and (info.dir, info.generation, info.n_chunks) == (
        tmp_path / "ix" / "gen-000001", 1, 3)
    assert repr(info) == f"CommitInfo(generation=1, n_chunks=3, dir='{tmp_path}/ix/gen-000001')"
    raises(AttributeError, lambda: setattr(info, "generation", 2))

    # A failed commit consumes the writer too.
    (root := tmp_path / "file").write_text("x")
    (failed := IndexWriter(0)).add(rec())
    err = raises(OSError, lambda: failed.commit(root))
    assert str(err).startswith(f"I/O error on {root}: ") and err.errno is None and root.read_text() == "x"
    for used in (w, failed):
        assert len(used) == 0
        raises(RuntimeError, [lambda: used.add(rec()), lambda: used.commit(tmp_path / "ix")],
               "this IndexWriter was already committed")


def test_commit_releases_the_gil_and_other_calls_fail_at_once(tmp_path):
    w = IndexWriter(0)
    for i in range(40_000):
        w.add(ChunkRecord("n.md", ["H"], i, i, "alpha beta gamma delta " * 20 + f" word{i}"))
    ticks, stop, result, seen = [0], threading.Event(), {}, {}

    def tick():
        while not stop.is_set():
            ticks[0] += 1

    committer = threading.Thread(target=lambda: result.setdefault("info", w.commit(tmp_path)))
    ticker = threading.Thread(target=tick)
    ticker.start(), committer.start()
    # len is probed first: once it fails, the commit holds the writer, so the other calls cannot add to it.
    while committer.is_alive() and not seen:
        try:
            len(w)
        except RuntimeError as e:
            seen["len"], ticks_during = str(e), ticks[0]
            for name, call in (("add", lambda: w.add(rec())), ("commit", lambda: w.commit(tmp_path))):
                seen[name] = str(raises(RuntimeError, call))
    committer.join(), stop.set(), ticker.join()
    assert seen == {"len": "Already mutably borrowed", "add": "Already borrowed", "commit": "Already borrowed"}
    assert ticks[0] > ticks_during > 0
    assert result["info"].n_chunks == 40_000 and len(w) == 0


def check_root(root):
    """CURRENT names a complete generation; returns the leftovers seen."""
    name = current(root).strip()
    manifest = json.loads((root / name / "manifest.json").read_text())
    assert manifest["generation"] == int(name[4:])
    assert all((root / name / file).stat().st_size == size for file, size in manifest["files"].items())
    return [p.name for p in root.iterdir() if p.name.startswith((".tmp-", "CURRENT.tmp-"))]


VECTORS = [vec(8, i) for i in range(40)]


def commit_random(root, rng):
    w = IndexWriter(8, metadata={"seed": rng.random()})
    for i in range(rng.randrange(0, 40)):
        w.add(ChunkRecord(f"n{i}.md", ["H"], i, i, "some words here " * rng.randrange(1, 30)), VECTORS[i])
    return w.commit(root)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_commits_survive_sigkill_at_random_moments(fast_dir):
    root = fast_dir / "ix"
    # Kill moments spread over a few commits' time, however fast syncs are.
    rng, started = random.Random(20261206), time.perf_counter()
    for _ in range(3):
        commit_random(root, rng)
    span, leftovers_seen = 10 * (time.perf_counter() - started) / 3, 0
    for kill in range(60):
        ready_r, ready_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.write(ready_w, b"x")
                child_rng = random.Random(kill)
                while True:
                    commit_random(root, child_rng)
            finally:
                os._exit(1)
        os.read(ready_r, 1), os.close(ready_r), os.close(ready_w)
        time.sleep(rng.uniform(0.0, span))
        os.kill(pid, signal.SIGKILL)
        assert os.WIFSIGNALED(os.waitpid(pid, 0)[1]), "the committing child stopped by itself"
        leftovers_seen += bool(check_root(root))
        info = commit_random(root, rng)
        assert check_root(root) == [] and current(root) == info.dir.name + "\n"
        # Generations the child renamed into place but never named are gone too.
        assert len(list(root.iterdir())) <= 3
    # The kills must have hit commits in progress, not only idle moments.
    assert leftovers_seen > 0
