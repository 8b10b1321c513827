"""The embedding cache: every chunk's vector of the last index, keyed by a hash
of the exact text that was embedded, so that indexing again embeds only what
changed.

It lives in the index folder as one file, `embeddings.cache`, for one
embedder and dimension. Like the index it is written whole under a temporary
name, synced, and renamed into place. Its last bytes are a CRC-32 of all the
others: a file that is truncated, damaged or for another embedder is ignored
(everything is embedded again), so the cache can cost time but never give a
wrong vector.

Layout, little-endian: the magic, a u32 length and that many bytes of JSON
(`embedder`, `dim`, `count`), zero padding to a multiple of 4, `count` keys of
16 bytes, `count` rows of `dim` float32, the u32 CRC.
"""
from __future__ import annotations

import hashlib
import json
import struct
import zlib
from pathlib import Path

import numpy as np
import numpy.typing as npt

from tessavine.fsutil import write_atomically

FILE_NAME = "embeddings.cache"
MAGIC = b"TVEMBED1"
KEY_BYTES = 16


def text_key(text: str) -> bytes:
    """The cache key of one embedded text."""
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=KEY_BYTES).digest()


class EmbeddingCache:
    """Vectors by text key for one embedder and dimension."""

    def __init__(self, embedder: str, dim: int) -> None:
        self.embedder = embedder
        self.dim = dim
        self.keys: list[bytes] = []
        self.vectors: npt.NDArray[np.float32] = np.empty((0, dim), dtype=np.float32)
        self.rows: dict[bytes, int] = {}

    def __len__(self) -> int:
        return len(self.keys)

    def get(self, key: bytes) -> npt.NDArray[np.float32] | None:
        row = self.rows.get(key)
        return None if row is None else self.vectors[row]

    @classmethod
    def load(cls, root: Path, embedder: str, dim: int) -> EmbeddingCache:
        """The cache of `root` when it is whole and for this embedder, else an empty one."""
        cache = cls(embedder, dim)
        try:
            data = (root / FILE_NAME).read_bytes()
        except OSError:
            return cache
        parsed = parse(data)
        if parsed is None or parsed[0] != {"embedder": embedder, "dim": dim, "count": len(parsed[1])}:
            return cache
        cache.keys, cache.vectors = parsed[1], parsed[2]
        cache.rows = {k: i for i, k in enumerate(cache.keys)}
        return cache

    def save(self, root: Path, keys: list[bytes], vectors: npt.NDArray[np.float32]) -> None:
        """Replaces the file with exactly these entries (the ones the index now uses)."""
        header = json.dumps({"embedder": self.embedder, "dim": self.dim, "count": len(keys)}).encode()
        head = MAGIC + struct.pack("<I", len(header)) + header
        head += b"\0" * (-len(head) % 4)
        body = b"".join(keys) + np.ascontiguousarray(vectors, dtype="<f4").tobytes()
        crc = zlib.crc32(body, zlib.crc32(head))
        write_atomically(root / FILE_NAME, [head, body, struct.pack("<I", crc)])


def parse(data: bytes) -> tuple[dict[str, object], list[bytes], npt.NDArray[np.float32]] | None:
    """(header, keys, vectors) of a cache file's bytes, or None if they are not a whole cache."""
    if len(data) < len(MAGIC) + 8 or not data.startswith(MAGIC):
        return None
    if zlib.crc32(memoryview(data)[:-4]) != struct.unpack("<I", data[-4:])[0]:
        return None
    (size,) = struct.unpack_from("<I", data, len(MAGIC))
    start = len(MAGIC) + 4
    try:
        header = json.loads(data[start:start + size])
        count, dim = header["count"], header["dim"]
    except (ValueError, TypeError, KeyError):
        return None
    if not isinstance(header, dict) or type(count) is not int or type(dim) is not int or count < 0 or dim <= 0:
        return None
    offset = start + size + (-(start + size) % 4)
    if offset + count * (KEY_BYTES + 4 * dim) + 4 != len(data):
        return None
    keys = [data[offset + i * KEY_BYTES: offset + (i + 1) * KEY_BYTES] for i in range(count)]
    offset += count * KEY_BYTES
    vectors = np.frombuffer(data, dtype="<f4", count=count * dim, offset=offset).reshape(count, dim)
    return header, keys, vectors.astype(np.float32)


def remove_temporaries(root: Path) -> None:
    """Removes cache files a crashed writer left behind (never the index's own)."""
    for entry in root.glob(FILE_NAME + ".tmp-*"):
        try:
            entry.unlink()
        except OSError:
            pass

