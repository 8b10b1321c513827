"""The module frame: attributes, exception classes and the build."""
import pathlib
import subprocess
import sys

import pytest

import tessavine
from tessavine import _core

from conftest import REPO


def test_all_lists_the_seventeen_names_in_table_order():
    assert _core.__all__ == [
        "__version__", "SCHEMA_VERSION", "VECTOR_MODES", "quantize_binary", "hamming", "tokenize",
        "chunk_text", "index_exists", "Chunk", "ChunkRecord", "Hit", "CommitInfo", "IndexWriter",
        "IndexReader", "TessavineError", "IndexFormatError", "SchemaError"]
    assert all(hasattr(_core, name) for name in _core.__all__)
    assert tessavine.__all__ == _core.__all__


def test_constants_and_class_modules():
    assert (_core.__name__, _core.__version__, _core.SCHEMA_VERSION) == ("tessavine._core", "0.2.0", 2)
    assert type(_core.VECTOR_MODES) is list
    assert _core.VECTOR_MODES == ["int8", "binary", "binary+int8", "ternary+int8"]
    assert _core.__doc__
    for name in ("Chunk", "ChunkRecord", "Hit", "CommitInfo", "IndexWriter", "IndexReader"):
        assert (getattr(_core, name).__module__, getattr(_core, name).__name__) == ("tessavine._core", name)


def test_exception_classes():
    assert _core.TessavineError.__bases__ == (Exception,)
    assert _core.IndexFormatError.__bases__ == (_core.TessavineError,)
    assert _core.SchemaError.__bases__ == (_core.IndexFormatError,)
    assert all(cls.__module__ == "_core" for cls in (_core.TessavineError, _core.IndexFormatError, _core.SchemaError))


def test_extension_is_built_for_the_stable_abi():
    assert pathlib.Path(_core.__file__).name == "_core.abi3.so"
    assert 'wheel.py-api = "cp311"' in (REPO / "pyproject.toml").read_text()


def test_unicode_tables_are_up_to_date():
    if not pathlib.Path("/usr/share/unicode/DerivedCoreProperties.txt").exists():
        pytest.skip("Unicode data files are not installed")
    gen = REPO / "tools" / "gen_unicode_tables.py"
    result = subprocess.run([sys.executable, str(gen), "--check"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    first = (REPO / "core" / "src" / "base" / "unicode_tables.inc").read_text().splitlines()[0]
    assert first.startswith("// Unicode 15.")
