"""The module frame: attributes, exception classes, error mapping and the build."""
import pathlib
import subprocess
import sys

import pytest

import tessavine
from tessavine import _core

from conftest import REPO

ALL = ["__version__", "SCHEMA_VERSION", "VECTOR_MODES", "quantize_binary", "hamming", "tokenize",
       "chunk_text", "index_exists", "Chunk", "ChunkRecord", "Hit", "CommitInfo", "IndexWriter",
       "IndexReader", "TessavineError", "IndexFormatError", "SchemaError"]


def test_all_lists_the_seventeen_names_in_table_order():
    assert _core.__all__ == ALL
    assert all(hasattr(_core, name) for name in ALL)
    assert _core.__all__[:3] == ["__version__", "SCHEMA_VERSION", "VECTOR_MODES"]
    assert _core.__all__[-3:] == ["TessavineError", "IndexFormatError", "SchemaError"]
    assert tessavine.__all__ == _core.__all__


def test_constants():
    assert _core.__version__ == "0.2.0"
    assert _core.SCHEMA_VERSION == 2
    assert type(_core.VECTOR_MODES) is list
    assert _core.VECTOR_MODES == ["int8", "binary", "binary+int8", "ternary+int8"]
    assert _core.__name__ == "tessavine._core"
    assert _core.__doc__


def test_exception_classes():
    assert issubclass(_core.SchemaError, _core.IndexFormatError)
    assert issubclass(_core.IndexFormatError, _core.TessavineError)
    assert _core.TessavineError.__bases__ == (Exception,)
    assert _core.SchemaError.__bases__ == (_core.IndexFormatError,)
    for cls in (_core.TessavineError, _core.IndexFormatError, _core.SchemaError):
        assert cls.__module__ == "_core"
        assert cls.__doc__
    assert _core.IndexFormatError.__name__ == "IndexFormatError"
    assert _core.IndexFormatError.__doc__ == \
        "The index on disk is corrupt or not a tessavine index. Rebuild it."
    assert _core.SchemaError.__doc__ == \
        "The index was written by an incompatible version of tessavine. Rebuild it."


def test_extension_is_built_for_the_stable_abi():
    path = pathlib.Path(_core.__file__)
    assert path.name == "_core.abi3.so"
    pyproject = (REPO / "pyproject.toml").read_text()
    assert 'wheel.py-api = "cp311"' in pyproject


def test_unicode_tables_are_up_to_date():
    ucd = pathlib.Path("/usr/share/unicode/DerivedCoreProperties.txt")
    if not ucd.exists():
        pytest.skip("Unicode data files are not installed")
    gen = REPO / "tools" / "gen_unicode_tables.py"
    result = subprocess.run([sys.executable, str(gen), "--check"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    first = (REPO / "core" / "src" / "unicode_tables.inc").read_text().splitlines()[0]
    assert first.startswith("// Unicode 15.")
