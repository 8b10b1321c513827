"""The module keeps its classes and exceptions process-wide and NumPy loads once per process: an import in a
sub-interpreter fails with ImportError, and the main interpreter goes on working after it."""
import importlib.util
import json
import subprocess
import sys

import pytest

# Runs in a fresh process, so that a crash fails the test instead of the suite.
PROBE = r"""
import json, sys
sys.path[:0] = json.loads(sys.argv[1])
from tessavine import _core
result_file = sys.argv[2]
child = f'''
import sys
sys.path[:0] = {sys.path!r}
try:
    import tessavine._core
    outcome = "imported"
except BaseException as e:
    outcome = f"{{type(e).__name__}}: {{e}}"
open({result_file!r}, "w").write(outcome)
'''

def run(config):
    try:
        import _interpreters as api  # 3.13
        interp = api.create(config)
        api.exec(interp, child)
    except ImportError:
        import _xxsubinterpreters as api  # 3.11 and 3.12
        interp = api.create(isolated=config == "isolated")
        api.run_string(interp, child)
    api.destroy(interp)
    return open(result_file).read()

outcomes = {config: run(config) for config in ("isolated", "legacy")}
# The main interpreter still holds a working module.
assert _core.tokenize("camelCase") == ["camel", "case", "camelcase"]
import numpy as np
assert _core.quantize_binary(np.ones((1, 8), np.float32)).tolist() == [[255]]
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(not any(importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters")),
                    reason=f"Python {sys.version_info[0]}.{sys.version_info[1]} has no sub-interpreter module")
def test_import_in_a_sub_interpreter_fails_cleanly(tmp_path):
    done = subprocess.run([sys.executable, "-c", PROBE, json.dumps(sys.path), str(tmp_path / "outcome")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    outcomes = json.loads(done.stdout)
    assert all(o.startswith("ImportError: ") for o in outcomes.values()), outcomes
    if sys.version_info >= (3, 12):  # a sub-interpreter with its own GIL refuses the module itself
        assert "tessavine._core does not support loading in subinterpreters" in outcomes["isolated"]
