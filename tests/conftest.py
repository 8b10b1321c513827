import os
import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
CORPUS = pathlib.Path(os.environ.get("TESSAVINE_CORPUS", REPO.parent / "shared" / "corpus"))
# Set by `make test-asan`, which runs the suite against a sanitized extension.
SANITIZED = bool(os.environ.get("TESSAVINE_SANITIZER"))
# The tests that cannot run there as they stand, and why.
NOT_UNDER_SANITIZER = {
    "test_copy_too_large_for_memory_is_a_memory_error":
        "its operator new aborts on a request it cannot meet instead of throwing",
    "test_no_memory_growth_over_many_calls": "its allocator holds freed memory back in quarantine",
    "test_repeated_calls_leak_nothing": "its allocator holds freed memory back in quarantine",
    "test_commits_survive_sigkill_at_random_moments":
        "the sanitized build spends most of each loop adding records, so random kills too rarely "
        "land inside a commit's file work",
}


def pytest_collection_modifyitems(items):
    if SANITIZED:
        for item in items:
            if item.originalname in NOT_UNDER_SANITIZER:
                reason = NOT_UNDER_SANITIZER[item.originalname]
                item.add_marker(pytest.mark.skip(reason=f"under a sanitizer: {reason}"))


@pytest.fixture(scope="session")
def corpus():
    if not CORPUS.is_dir():
        pytest.skip(f"corpus not found at {CORPUS}")
    return CORPUS
