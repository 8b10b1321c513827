"""chunk_text and Chunk as Python sees them; the chunking rules are tested in the core."""
import operator

import numpy as np
import pytest

from tessavine._core import Chunk, chunk_text

from conftest import assert_releases_gil, raises


def view(chunks):
    return [(c.text, c.heading_path, c.line_start, c.line_end) for c in chunks]


def test_byte_offsets_are_utf8_offsets():
    text = "# Café\nnaïve ☕ text"
    (chunk,) = chunk_text(text)
    assert type(chunk) is Chunk and (chunk.byte_start, chunk.byte_end) == (0, len(text.encode()))
    chunks = chunk_text("日本\n\nabc", max_chars=2)
    assert [(c.text, c.byte_start, c.byte_end) for c in chunks] == [("日本", 0, 6), ("ab", 8, 10), ("c", 10, 11)]


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"max_chars": 0}, ValueError, "max_chars must be positive"), ({"max_chars": -1}, OverflowError, None),
    ({"max_chars": 2**64}, OverflowError, None),
    ({"max_chars": 1.5}, TypeError, "chunk_text() argument 'max_chars' must be int, not float"),
    ({"markdown": 1}, TypeError, "chunk_text() argument 'markdown' must be bool, not int"),
    ({"text": b"x"}, TypeError, "chunk_text() argument 'text' must be str, not bytes"),
])
def test_bad_arguments(kwargs, exc, message):
    raises(exc, lambda: chunk_text(**{"text": "some text", **kwargs}), message)


def test_argument_forms():
    assert view(chunk_text(text="a b c", max_chars=3, markdown=np.bool_(False))) == view(chunk_text("a b c", 3, False))
    assert view(chunk_text("a b c", max_chars=2**64 - 1)) == [("a b c", [], 1, 1)]


def test_chunk_is_read_only_comparable_and_unhashable():
    a = chunk_text("# H\none\n\n# I\ntwo")
    a[0].heading_path.append("x")
    assert a[0].heading_path == ["H"] and a[0].heading_path is not a[0].heading_path
    raises(AttributeError, [lambda n=n: setattr(a[0], n, None)
                            for n in ("text", "heading_path", "byte_start", "line_end", "extra")])
    assert a == chunk_text("# H\none\n\n# I\ntwo")
    assert a[0] != a[1] and not a[0] == a[1] and a[0] != chunk_text("# H\none\n\n# I\ntwo", max_chars=3)[0]
    assert (a[0] == "x") is False and (a[0] != "x") is True
    raises(TypeError, [lambda op=op: op(a[0], a[1]) for op in (operator.lt, operator.le, operator.gt, operator.ge)] + [
        lambda: hash(a[0]), Chunk])


@pytest.mark.parametrize("text, want", [
    ("plain", 'Chunk(lines=1-1, heading_path=[], chars=5)'),
    ("# Setup\n## Install\n" + "x" * 400, 'Chunk(lines=2-3, heading_path=["Setup", "Install"], chars=411)'),
    ('# a"b\\c\tq\x01é\u200b', 'Chunk(lines=1-1, heading_path=["a\\"b\\\\c\\tq\\u{1}é\\u{200b}"], chars=12)'),
    ("#\n\n\nx", 'Chunk(lines=1-4, heading_path=[""], chars=5)'),
])
def test_repr(text, want):
    assert repr(chunk_text(text)[-1]) == want


def test_long_heading_over_many_sections():
    # Copying the 2 MB heading into each of the 50,000 sections below it would take 100 GB.
    chunks = chunk_text("# " + "x" * 2_000_000 + "\n" + "## s\nbody\n" * 50_000)
    assert len(chunks) == 1 + 1667 + 50_000  # the heading line is cut into "#" and runs of x
    assert chunks[-1].text == "## s\nbody"
    assert [len(h) for h in chunks[-1].heading_path] == [2_000_000, 1]


def test_gil_is_released_while_chunking():
    text = "lorem ipsum dolor sit amet, consectetur\n\n" * 50_000
    assert_releases_gil(lambda: chunk_text(text, max_chars=1 << 40))
