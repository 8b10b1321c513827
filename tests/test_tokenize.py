import pytest

from tessavine import _core


@pytest.mark.parametrize("text, terms", [
    ("", []),
    ("  ...--__''  ", []),
    ("camelCase", ["camel", "case", "camelcase"]),
    ("The camelCase", ["camel", "case", "camelcase"]),
    ("XMLParser", ["xml", "parser", "xmlparser"]),
    ("utf8", ["utf", "8", "utf8"]),
    ("v2", ["2", "v2"]),
    ("The cat", ["cat"]),
    ("snake_case don't", ["snake", "case", "don"]),
    ("Foo foo", ["foo", "foo"]),
    ("ToDo", ["do", "todo"]),
    ("THE year 2024 x 7", ["year", "2024", "7"]),
    ("ΟΔΟΣ ΣΑ", ["οδος", "σα"]),             # final sigma only at the end of a word
    ("İstanbul", ["istanbul"]),              # U+0130: the combining dot is dropped
    ("東京タワー", ["東京タワー"]),             # no segmentation of caseless scripts
    ("١٢ ٣ ² x²", ["١٢", "x²"]),             # a single non-ASCII digit is dropped
    ("naïve résumé", ["naïve", "résumé"]),
    ("e\u0301t\u0301", []),                # combining accents split it into one-letter words
])
def test_terms(text, terms):
    assert _core.tokenize(text) == terms


def test_keyword_argument_and_signature():
    assert _core.tokenize(text="fooBar") == ["foo", "bar", "foobar"]
    assert _core.tokenize.__text_signature__ == "(text)"
    assert _core.tokenize.__doc__ == (
        "Split `text` into the terms BM25 indexes: lowercase, split on\n"
        "non-alphanumerics and at `camelCase` boundaries (plus the whole\n"
        "identifier), with stopwords and single letters dropped.")


def test_bad_input():
    with pytest.raises(TypeError, match="'text'"):
        _core.tokenize(5)
    with pytest.raises(TypeError, match="'text'"):
        _core.tokenize(b"bytes")
    with pytest.raises(TypeError):
        _core.tokenize()
    with pytest.raises(TypeError):
        _core.tokenize("a", "b")
    with pytest.raises(TypeError):
        _core.tokenize(txt="a")
    with pytest.raises(UnicodeEncodeError):
        _core.tokenize("ok \ud800 ok")


def test_corpus_notes_tokenize(corpus):
    notes = sorted(corpus.rglob("*.md"))[:200]
    for note in notes:
        terms = _core.tokenize(note.read_text(encoding="utf-8"))
        assert all(t == t.lower() and len(t) >= 1 for t in terms)
