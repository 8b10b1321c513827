"""The module frame: the build and the generated Unicode tables."""
import pathlib
import subprocess
import sys

import pytest

from tessavine import _core

from conftest import REPO


def test_extension_is_built_for_the_stable_abi_at_the_package_version():
    assert pathlib.Path(_core.__file__).name == "_core.abi3.so"
    pyproject = (REPO / "pyproject.toml").read_text()
    assert 'wheel.py-api = "cp311"' in pyproject and f'\nversion = "{_core.__version__}"\n' in pyproject


def test_unicode_tables_are_up_to_date():
    if not pathlib.Path("/usr/share/unicode/DerivedCoreProperties.txt").exists():
        pytest.skip("Unicode data files are not installed")
    result = subprocess.run([sys.executable, str(REPO / "tools" / "gen_unicode_tables.py"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert (REPO / "core" / "src" / "base" / "unicode_tables.inc").read_text().startswith("// Unicode 15.")
