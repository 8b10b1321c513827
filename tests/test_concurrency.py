"""Several writers and readers on one root at once, and a commit into a full file system."""
import contextlib
import functools
import multiprocessing
import os
import pathlib
import subprocess
import time
from multiprocessing.pool import ThreadPool

import numpy as np
import pytest

from tessavine._core import ChunkRecord, IndexReader, IndexWriter


def commit_marked(root, marker):
    """Commits a generation whose metadata and only chunk carry `marker`."""
    (w := IndexWriter(0, metadata={"marker": marker})).add(ChunkRecord("n.md", [], 1, 1, f"marker {marker}"))
    return w.commit(root).generation


def commit_many(root, w, commits=12):
    """(generation, marker) of each commit, or (None, the error)."""
    out = []
    for i in range(commits):
        try:
            out.append((commit_marked(root, f"{w}-{i}"), f"{w}-{i}"))
        except Exception as e:
            out.append((None, f"{type(e).__name__}: {e}"))
    return out


@pytest.mark.parametrize("pool", [multiprocessing.get_context("fork").Pool, ThreadPool])
def test_concurrent_commits_take_turns_and_opens_never_fail(fast_dir, pool):
    root, seen, errors = fast_dir / "ix", {}, []
    with pool(3) as workers:
        done = workers.map_async(functools.partial(commit_many, root), range(3))
        deadline = time.monotonic() + 300  # a worker that dies never reports

        def read():
            while not done.ready() and time.monotonic() < deadline:
                committed = (root / "CURRENT").exists()
                try:
                    reader = IndexReader.open(root)
                    seen[reader.manifest["generation"]] = marker = reader.manifest["metadata"]["marker"]
                    assert reader.chunk(0).text == f"marker {marker}", "mixed files"
                except Exception as e:  # only a root never committed may fail to open
                    if committed or not isinstance(e, OSError):
                        errors.append(repr(e))
        with ThreadPool(2) as readers:
            readers.map(lambda _: read(), range(2))
        results = [pair for part in done.get(timeout=1) for pair in part]
    assert [m for g, m in results if g is None] == []
    # Each commit published a generation of its own, numbered in turn; readers saw whole generations.
    returned = dict(results)
    assert sorted(returned) == list(range(1, 37))
    assert errors == [] and all(returned[g] == m for g, m in seen.items())
    assert sorted(p.name for p in root.iterdir()) == ["CURRENT", "gen-000035", "gen-000036"]


@pytest.fixture
def small_tmpfs(tmp_path):
    (mnt := tmp_path / "mnt").mkdir()
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mnt)],
                                 capture_output=True, text=True)
    except OSError as e:
        pytest.skip(f"cannot run mount: {e}")
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", str(mnt)], check=True)


def tree(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def big_writer():
    w = IndexWriter(16)
    for i in range(1000):
        w.add(ChunkRecord(f"{i}.md", ["H"], i, i, f"note {i} " * 8), np.full(16, i % 7 - 3, np.float32))
    return w


def test_full_disk_fails_cleanly_until_space_is_freed(small_tmpfs):
    root, page, filler = small_tmpfs / "ix", 4096, small_tmpfs / "filler"
    commit_marked(root, "small")
    before = tree(root)
    # Fill the file system, then free a page at a time: each commit fails at a later file, until one fits.
    with open(filler, "wb", buffering=0) as f, contextlib.suppress(OSError):
        while f.write(b"\0" * page):
            pass
    size, failed_on = filler.stat().st_size // page * page, set()
    while True:
        os.truncate(filler, size)
        try:
            big_writer().commit(root)
            break
        except OSError as e:
            assert "No space left on device" in str(e)
            failed_on.add(pathlib.Path(str(e).split(": ")[0].removeprefix("I/O error on ")).name.split("-")[0])
        assert tree(root) == before and sorted(os.listdir(root)) == ["CURRENT", "gen-000001"]
        assert IndexReader.open(root).manifest["metadata"]["marker"] == "small"
        size -= page
    assert failed_on >= {"docs.bin", "bm25.bin", "vectors.bin", "manifest.json", "CURRENT.tmp"}
    assert (root / "CURRENT").read_text() == "gen-000002\n" and len(IndexReader.open(root)) == 1000
    assert sorted(p.name for p in root.iterdir()) == ["CURRENT", "gen-000001", "gen-000002"]
