"""The stubs describe the module as built (names, members, parameters, docstrings): they are the one table
of the documented texts; the text signatures, whose defaults the stubs cannot spell, are below."""
import ast
import functools
import inspect

import pytest

from tessavine import _core

from conftest import REPO


def _defs(body):
    out = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            out[node.target.id] = node
        elif isinstance(node, ast.Assign):
            out.update((t.id, node) for t in node.targets if isinstance(t, ast.Name))
    return out


TOP = _defs(ast.parse((REPO / "python" / "tessavine" / "_core.pyi").read_text()).body)


def _params(func):
    return [a.arg for a in func.args.posonlyargs + func.args.args if a.arg != "self"]


def _runtime_params(obj):
    return [p for p in inspect.signature(obj).parameters if p != "self"]


def test_stub_defines_exactly_the_public_names_in_table_order():
    public = [name for name in TOP if not name.startswith("_") or name.startswith("__")]
    assert public == ["__all__", *_core.__all__]


@pytest.mark.parametrize("name", _core.__all__)
def test_stub_matches(name):
    obj, node = getattr(_core, name), TOP[name]
    if inspect.isbuiltin(obj):
        assert _params(node) == _runtime_params(obj) and ast.get_docstring(node) == obj.__doc__
    if not isinstance(obj, type):
        return
    assert [ast.unparse(b) for b in node.bases] == [b.__name__ for b in obj.__bases__ if b is not object]
    assert obj.__module__ == ("_core" if issubclass(obj, Exception) else "tessavine._core")
    members = _defs(node.body)
    assert {m for m in members if not m.startswith("_")} == {m for m in vars(obj) if not m.startswith("_")}
    assert [d in members for d in ("__len__", "__eq__")] == [d in vars(obj) for d in ("__len__", "__eq__")]
    for member, stub in ((m, s) for m, s in members.items() if isinstance(s, ast.FunctionDef)):
        if getattr(vars(obj).get(member), "__text_signature__", None):
            assert _params(stub) == _runtime_params(getattr(obj, member)), member
        if ast.get_docstring(stub) is not None or inspect.isgetsetdescriptor(vars(obj).get(member)):
            assert ast.get_docstring(stub) == getattr(obj, member).__doc__, member
    assert ast.get_docstring(node) == obj.__doc__
    if obj.__text_signature__:  # the constructor
        assert _params(members["__init__"]) == _runtime_params(obj)


TEXT_SIGNATURES = {
    "quantize_binary": "(vectors)", "hamming": "(a, b)", "tokenize": "(text)", "index_exists": "(root)",
    "chunk_text": "(text, max_chars=1200, markdown=True)", "Chunk": None, "Hit": None, "CommitInfo": None,
    "ChunkRecord": "(path, heading_path, line_start, line_end, text)", "IndexReader": None,
    "IndexWriter": "(dim, embedder=None, metadata=None)", "IndexWriter.add": "($self, record, embedding=None)",
    "IndexWriter.commit": "($self, root)", "IndexReader.open": "(root, mmap=True)", "IndexReader.chunk": "($self, id)",
    "IndexReader.search": "($self, text, vector=None, k=10, depth=50, candidates=200, rrf_k=60.0, phrase_boost=...)",
    "IndexReader.search_bm25": "($self, text, k)",
    "IndexReader.search_vector": '($self, vector, k, candidates=200, mode="ternary+int8")',
}


@pytest.mark.parametrize("name, signature", TEXT_SIGNATURES.items())
def test_text_signature(name, signature):
    assert functools.reduce(getattr, name.split("."), _core).__text_signature__ == signature
