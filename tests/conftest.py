import os
import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = pathlib.Path(os.environ.get("TESSAVINE_CORPUS", REPO.parent / "shared" / "corpus"))
# Set by `make test-asan`, which runs the suite against a sanitized extension.
SANITIZED = bool(os.environ.get("TESSAVINE_SANITIZER"))


def skip_under_sanitizer(reason):
    return pytest.mark.skipif(SANITIZED, reason=f"under a sanitizer: {reason}")


@pytest.fixture(scope="session")
def corpus():
    if not CORPUS.is_dir():
        pytest.skip(f"corpus not found at {CORPUS}")
    return CORPUS
