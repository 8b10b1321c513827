import pytest

from tessavine import _core


@pytest.mark.parametrize("text, terms", [
    ("", []), (" \t-_.'!\n", []), ("camelCase", ["camel", "case", "camelcase"]),
    ("The camelCase", ["camel", "case", "camelcase"]), ("XMLParser", ["xml", "parser", "xmlparser"]),
    ("utf8", ["utf", "8", "utf8"]), ("v2", ["2", "v2"]), ("2fa", ["2", "fa", "2fa"]), ("THE cat", ["cat"]),
    ("snake_case don't", ["snake", "case", "don"]), ("Foo foo", ["foo", "foo"]), ("ToDo", ["do", "todo"]),
    ("year 2024 x 7", ["year", "2024", "7"]), ("e\u0301t\u0301", []),
    ("IntoThe", ["intothe"]),                  # stop words inside an identifier stay in the whole
    ("ΟΔΟΣ ΣΑ", ["οδος", "σα"]),               # final sigma only at the end of a word
    ("İstanbul", ["istanbul"]),                # U+0130: the combining dot is dropped
    ("東京タワー 日本語", ["東京タワー", "日本語"]),  # no segmentation of caseless scripts
    ("١٢ ٣ ² x²", ["١٢", "x²"]),               # a single non-ASCII digit is dropped
    ("ÉtéCrème", ["été", "crème", "étécrème"]),  # camel boundaries between non-ASCII letters
    ("ab\u0301cd", ["ab", "cd"]),              # a non-alphabetic combining mark separates words
])
def test_terms(text, terms):
    assert _core.tokenize(text) == terms == _core.tokenize(text=text)


@pytest.mark.parametrize("args, kwargs, exc, match", [
    ((b"bytes",), {}, TypeError, "'text'"), ((), {}, TypeError, None), (("a", "b"), {}, TypeError, None),
    ((), {"txt": "a"}, TypeError, None), (("ok \ud800 ok",), {}, UnicodeEncodeError, None)])
def test_bad_input(args, kwargs, exc, match):
    with pytest.raises(exc, match=match):
        _core.tokenize(*args, **kwargs)
