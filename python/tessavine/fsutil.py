"""Publication by rename, for the files the notes layer keeps beside the index."""
from __future__ import annotations

import os
import secrets
from collections.abc import Iterable
from pathlib import Path


def write_atomically(path: Path, parts: Iterable[bytes], sync: bool = True) -> None:
    """Writes `path` whole: into a temporary file of the same folder, synced,
    then renamed over `path`, and the folder synced (unless `sync` is false:
    then the caller syncs it once after several files). Readers see the old
    file or the new one, never a part of either."""
    temp = path.with_name(f"{path.name}.tmp-{os.getpid()}-{secrets.token_hex(4)}")
    try:
        with open(temp, "xb") as f:
            for part in parts:
                f.write(part)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        temp.unlink(missing_ok=True)
        raise
    if sync:
        sync_dir(path.parent)


def sync_dir(folder: Path) -> None:
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
