import os
import pathlib
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

from tessavine._core import ChunkRecord, IndexReader, IndexWriter

REPO = pathlib.Path(__file__).resolve().parent.parent
SANITIZED = bool(os.environ.get("TESSAVINE_SANITIZER"))  # set by `make test-asan`
# The tests that cannot run against the sanitized extension as they stand, and why.
NOT_UNDER_SANITIZER = {
    "test_copy_too_large_for_memory_is_a_memory_error":
        "its operator new aborts on a request it cannot meet instead of throwing",
    "test_no_memory_growth_over_many_calls": "its allocator holds freed memory back in quarantine",
    "test_repeated_calls_leak_nothing": "its allocator holds freed memory back in quarantine",
    "test_commits_survive_sigkill_at_random_moments":
        "it spends most of each loop adding records, so random kills too rarely land inside a commit's file work",
}


def pytest_collection_modifyitems(items):
    for item in items if SANITIZED else ():
        if item.originalname in NOT_UNDER_SANITIZER:
            item.add_marker(pytest.mark.skip(reason=f"under a sanitizer: {NOT_UNDER_SANITIZER[item.originalname]}"))


@pytest.fixture
def fast_dir(tmp_path):
    # A memory file system when there is one: syncs cost nothing, and a killed process leaves the same files.
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else tmp_path) as d:
        yield pathlib.Path(d)


def build(root, texts, vectors=None, headings=((),)):
    """Commits chunk i with texts[i], vectors[i] (if any), headings[i % len(headings)]; returns the CommitInfo."""
    writer = IndexWriter(0 if vectors is None else len(vectors[0]))
    for i, text in enumerate(texts):
        vector = None if vectors is None else np.asarray(vectors[i], dtype=np.float32)
        writer.add(ChunkRecord(f"n/{i}.md", list(headings[i % len(headings)]), i + 1, i + 2, text), vector)
    return writer.commit(root)


def open_built(root, texts, vectors=None, headings=((),)):
    build(root, texts, vectors, headings)
    return IndexReader.open(root)


def raises(cls, call, message=None):
    """`call` (each of a list of calls) raises `cls`; with `message`, that text is the exception's only argument."""
    if isinstance(call, list):
        return [raises(cls, c, message) for c in call]
    with pytest.raises(cls) as caught:
        call()
    if message is not None:
        assert caught.value.args == (message,)
    return caught.value


def assert_releases_gil(call):
    """Another thread runs `call` over and over while this one naps: with a long switch interval a nap
    ends at once only if the calls release the interpreter lock, else each wake-up waits for a switch."""
    stop, calls = threading.Event(), []

    def loop():
        while not stop.is_set():
            call()
            calls.append(1)

    old, thread = sys.getswitchinterval(), threading.Thread(target=loop)
    sys.setswitchinterval(5.0)
    try:
        thread.start()
        while not calls:
            time.sleep(0.001)
        start = time.monotonic()
        for _ in range(5):
            time.sleep(0.001)
        woke_after = time.monotonic() - start
    finally:
        stop.set()
        sys.setswitchinterval(old)
        thread.join()
    assert woke_after < 5.0
