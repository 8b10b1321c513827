"""chunk_text and Chunk as Python sees them; the chunking rules are tested in the core."""
import bisect
import operator
import random
import sys
import threading
import time

import numpy as np
import pytest

from tessavine._core import Chunk, chunk_text

from conftest import CORPUS

# Unicode White_Space (str.isspace also accepts U+001C..U+001F, which are not).
WHITE_SPACE = set(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                            0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))


def view(chunks):
    return [(c.text, c.heading_path, c.line_start, c.line_end) for c in chunks]


@pytest.mark.parametrize("text, kwargs, want", [
    ("Intro\n# A\n\nalpha\n## B\nbeta", {},
     [("Intro", [], 1, 1), ("# A\n\nalpha", ["A"], 2, 4), ("## B\nbeta", ["A", "B"], 5, 6)]),
    ("é" * 1201, {}, [("é" * 1200, [], 1, 1), ("é", [], 1, 1)]),  # characters, not bytes
])
def test_examples(text, kwargs, want):
    got = chunk_text(text, **kwargs)
    assert view(got) == want
    assert all(type(c) is Chunk for c in got)


def test_byte_offsets_are_utf8_offsets():
    text = "# Café\nnaïve ☕ text"
    (chunk,) = chunk_text(text)
    assert (chunk.byte_start, chunk.byte_end) == (0, len(text.encode()))
    chunks = chunk_text("日本\n\nabc", max_chars=2)
    assert [(c.text, c.byte_start, c.byte_end) for c in chunks] == [("日本", 0, 6), ("ab", 8, 10), ("c", 10, 11)]


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"max_chars": 0}, ValueError, "max_chars must be positive"),
    ({"max_chars": -1}, OverflowError, None),
    ({"max_chars": 2**64}, OverflowError, None),
    ({"max_chars": 1.5}, TypeError, "chunk_text() argument 'max_chars' must be int, not float"),
    ({"markdown": 1}, TypeError, "chunk_text() argument 'markdown' must be bool, not int"),
    ({"text": b"x"}, TypeError, "chunk_text() argument 'text' must be str, not bytes"),
    ({"text": "\ud800"}, UnicodeEncodeError, None),
    ({"colour": 1}, TypeError, None),
])
def test_bad_arguments(kwargs, exc, message):
    with pytest.raises(exc) as info:
        chunk_text(**{"text": "some text", **kwargs})
    if message is not None:
        assert str(info.value) == message


def test_argument_forms():
    want = view(chunk_text("a b c", 3, False))
    assert view(chunk_text(text="a b c", max_chars=3, markdown=np.bool_(False))) == want
    assert view(chunk_text("a b c", max_chars=2**64 - 1)) == [("a b c", [], 1, 1)]


def test_function_and_class_surface():
    assert chunk_text.__text_signature__ == "(text, max_chars=1200, markdown=True)"
    assert chunk_text.__doc__ == (
        "Split `text` into chunks of at most `max_chars` characters, following\n"
        "Markdown headings and code fences when `markdown` is true.")
    assert (Chunk.__module__, Chunk.__name__) == ("tessavine._core", "Chunk")
    assert Chunk.__doc__ == (
        "A contiguous piece of a document, as produced by `chunk_text`.\n\n"
        "`byte_start`/`byte_end` are UTF-8 byte offsets into the source text (not\n"
        "Python string indices); `line_start`/`line_end` are 1-based and inclusive.")
    with pytest.raises(TypeError):
        Chunk()
    for name in ("text", "heading_path", "byte_start", "byte_end", "line_start", "line_end"):
        assert getattr(Chunk, name).__doc__ is None


def test_chunk_is_read_only_comparable_and_unhashable():
    a = chunk_text("# H\none\n\n# I\ntwo")
    a[0].heading_path.append("x")
    assert a[0].heading_path == ["H"] and a[0].heading_path is not a[0].heading_path
    for name in ("text", "heading_path", "byte_start", "line_end", "extra"):
        with pytest.raises(AttributeError):
            setattr(a[0], name, None)
    assert a == chunk_text("# H\none\n\n# I\ntwo")
    assert a[0] != a[1] and not a[0] == a[1]
    assert a[0] != chunk_text("# H\none\n\n# I\ntwo", max_chars=3)[0]
    assert (a[0] == "x") is False and (a[0] != "x") is True
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(a[0], a[1])
    with pytest.raises(TypeError):
        hash(a[0])


@pytest.mark.parametrize("text, want", [
    ("plain", 'Chunk(lines=1-1, heading_path=[], chars=5)'),
    ("# Setup\n## Install\n" + "x" * 400, 'Chunk(lines=2-3, heading_path=["Setup", "Install"], chars=411)'),
    ('# a"b\\c\tq\x01é\u200b', 'Chunk(lines=1-1, heading_path=["a\\"b\\\\c\\tq\\u{1}é\\u{200b}"], chars=12)'),
    ("#\n\n\nx", 'Chunk(lines=1-4, heading_path=[""], chars=5)'),
])
def test_repr(text, want):
    assert repr(chunk_text(text)[-1]) == want


def corpus_notes():
    manifest = CORPUS / "manifest.tsv"
    if not manifest.is_file():
        return []
    return sorted(p for p in (line.split("\t")[0] for line in manifest.read_text().splitlines()) if p.endswith(".md"))


@pytest.mark.skipif(not corpus_notes(), reason="corpus not found (set TESSAVINE_CORPUS)")
def test_corpus_sample_keeps_the_promises():
    for path in random.Random(20240611).sample(corpus_notes(), 40):
        text = (CORPUS / path).read_bytes().decode("utf-8")
        data = text.encode()
        starts = [0] + [i + 1 for i, b in enumerate(data) if b == 0x0A and i + 1 < len(data)]
        for max_chars in (1, 7, 80, 1200):
            for markdown in (True, False):
                covered = 0
                for c in chunk_text(text, max_chars, markdown):
                    assert covered <= c.byte_start < c.byte_end <= len(data), "out of order or overlapping"
                    assert data[c.byte_start:c.byte_end].decode() == c.text
                    assert set(data[covered:c.byte_start].decode()) <= WHITE_SPACE, "text lost between chunks"
                    assert len(c.text) <= max_chars
                    assert c.line_start == bisect.bisect_right(starts, c.byte_start)
                    assert c.line_end == bisect.bisect_right(starts, c.byte_end - 1)
                    assert markdown or c.heading_path == []
                    covered = c.byte_end
                assert set(data[covered:].decode()) <= WHITE_SPACE


def test_long_heading_over_many_sections():
    # Copying the 2 MB heading into each of the 50,000 sections below it
    # would take 100 GB.
    chunks = chunk_text("# " + "x" * 2_000_000 + "\n" + "## s\nbody\n" * 50_000)
    assert len(chunks) == 1 + 1667 + 50_000  # the heading line is cut into "#" and runs of x
    assert chunks[-1].text == "## s\nbody"
    assert [len(h) for h in chunks[-1].heading_path] == [2_000_000, 1]


def test_gil_is_released_while_chunking():
    stamps, stop, margin = [], False, 0.02

    def tick():
        while not stop:
            stamps.append(time.perf_counter())
            time.sleep(0.001)

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.02)
        for repeats in (2_500_000, 5_000_000, 10_000_000):  # 100 MB and up, until the call is slow enough
            text = "lorem ipsum dolor sit amet, consectetur\n\n" * repeats
            start = time.perf_counter()
            chunk_text(text, max_chars=1 << 40)  # one chunk: the call is nearly all core work
            end = time.perf_counter()
            if end - start > 5 * margin:
                break
    finally:
        stop = True
        ticker.join()
        sys.setswitchinterval(old)
    assert end - start > 5 * margin, "chunking was too quick to tell"
    # Had the call kept the GIL, the ticker could have run only at its very
    # beginning or end.
    assert any(start + margin < s < end - margin for s in stamps)
