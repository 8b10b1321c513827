"""The type stubs describe the module as built: the same names, members and parameters."""
import ast
import inspect

import pytest

from tessavine import _core

from conftest import REPO

STUB = ast.parse((REPO / "python" / "tessavine" / "_core.pyi").read_text())


def _defs(body):
    out = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            out[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    out[target.id] = node
    return out


TOP = _defs(STUB.body)
CLASSES = [name for name in _core.__all__ if isinstance(getattr(_core, name), type)]


def _params(func):
    args = func.args
    return [a.arg for a in args.posonlyargs + args.args if a.arg != "self"]


def _runtime_params(obj):
    return [p for p in inspect.signature(obj).parameters if p != "self"]


def test_stub_defines_exactly_the_public_names():
    public = {name for name in TOP if not name.startswith("_") or name.startswith("__")}
    assert public == set(_core.__all__) | {"__all__"}


@pytest.mark.parametrize("name", [n for n in _core.__all__ if inspect.isbuiltin(getattr(_core, n))])
def test_function_parameters_match(name):
    assert _params(TOP[name]) == _runtime_params(getattr(_core, name))
    assert ast.get_docstring(TOP[name]) == getattr(_core, name).__doc__


@pytest.mark.parametrize("name", CLASSES)
def test_class_members_match(name):
    cls = getattr(_core, name)
    node = TOP[name]
    stub_bases = [ast.unparse(b) for b in node.bases]
    assert stub_bases == [b.__name__ for b in cls.__bases__ if b is not object]
    members = _defs(node.body)
    runtime = {m for m in vars(cls) if not m.startswith("_")}
    assert {m for m in members if not m.startswith("_")} == runtime
    assert ("__len__" in members) == ("__len__" in vars(cls))
    assert ("__eq__" in members) == ("__eq__" in vars(cls))
    for member, stub in members.items():
        value = vars(cls).get(member)
        if isinstance(stub, ast.FunctionDef) and getattr(value, "__text_signature__", None):
            assert _params(stub) == _runtime_params(getattr(cls, member)), member
        if isinstance(stub, ast.FunctionDef) and ast.get_docstring(stub) is not None:
            assert ast.get_docstring(stub) == getattr(cls, member).__doc__, member
    assert ast.get_docstring(node) == cls.__doc__
    if cls.__text_signature__:  # the constructor
        assert _params(members["__init__"]) == _runtime_params(cls)
