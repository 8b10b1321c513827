"""A short run of bench/leaks.py (every public call repeated; memory, descriptors, mappings and Python's
blocks flat after warm-up); the long run is `python bench/leaks.py`."""
import subprocess
import sys

import pytest

from conftest import REPO


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_repeated_calls_leak_nothing():
    done = subprocess.run([sys.executable, str(REPO / "bench" / "leaks.py"), "--iterations", "300", "--warmup", "100"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
