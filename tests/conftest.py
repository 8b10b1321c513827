import os
import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = pathlib.Path(os.environ.get("TESSAVINE_CORPUS", REPO.parent / "shared" / "corpus"))


@pytest.fixture(scope="session")
def corpus():
    if not CORPUS.is_dir():
        pytest.skip(f"corpus not found at {CORPUS}")
    return CORPUS
