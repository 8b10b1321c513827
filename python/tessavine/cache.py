"""The embedding cache: every chunk's vector of the last index, keyed by a hash
of the exact text that was embedded, so that indexing again embeds only what
changed.

It lives in the index folder, in `embeddings/`, for one embedder and
dimension, split by the first byte of the key into up to 256 shards
(`embeddings/00.cache` to `embeddings/ff.cache`). An index run rewrites only
the shards whose set of entries changed, so editing one note costs a few small
files, not the whole cache. Each shard is written whole under a temporary
name, synced, and renamed into place. Its last bytes are a CRC-32 of all the
others: a shard that is truncated, damaged, misnamed or for another embedder
is ignored (its entries are embedded again and the shard written anew), so the
cache can cost time but never give a wrong vector.

Layout of a shard, little-endian: the magic, a u32 length and that many bytes
of JSON (`embedder`, `dim`, `count`), zero padding to a multiple of 4, `count`
keys of 16 bytes in ascending order, `count` rows of `dim` float32, the u32
CRC. Earlier versions kept all entries in one file of the same layout,
`embeddings.cache` beside `embeddings/`; it is read while it exists and
removed once the shards hold its entries.
"""
from __future__ import annotations

import hashlib
import json
import os
import struct
import zlib
from collections.abc import Iterable
from pathlib import Path

import numpy as np
import numpy.typing as npt

from tessavine.fsutil import sync_dir, write_atomically

FOLDER = "embeddings"
LEGACY_FILE = "embeddings.cache"
MAGIC = b"TVEMBED1"
KEY_BYTES = 16
#: The file name of each shard, by the first byte of its keys.
SHARD_NAMES = {f"{i:02x}.cache": i for i in range(256)}

Vector = npt.NDArray[np.float32]


def text_key(text: str) -> bytes:
    """The cache key of one embedded text."""
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=KEY_BYTES).digest()


def text_keys(texts: Iterable[str]) -> list[bytes]:
    """`text_key` of each text."""
    blake2b = hashlib.blake2b
    return [blake2b(t.encode("utf-8", "surrogatepass"), digest_size=KEY_BYTES).digest() for t in texts]


class EmbeddingCache:
    """Vectors by text key for one embedder and dimension, and what each
    shard file holds, so that saving writes only the shards that changed."""

    def __init__(self, embedder: str, dim: int) -> None:
        self.embedder = embedder
        self.dim = dim
        #: Every known vector by key; rows are read-only views into the files read.
        self.rows: dict[bytes, Vector] = {}
        #: The keys that the whole shard files hold.
        self.stored: set[bytes] = set()
        #: The shards that have a file, and those whose file is not whole.
        self.files: set[int] = set()
        self.damaged: set[int] = set()
        self.legacy = False

    def __len__(self) -> int:
        return len(self.rows)

    def get(self, key: bytes) -> Vector | None:
        return self.rows.get(key)

    def put(self, keys: Iterable[bytes], vectors: Vector) -> None:
        self.rows.update(zip(keys, vectors))

    @classmethod
    def load(cls, root: Path, embedder: str, dim: int) -> EmbeddingCache:
        """The entries of `root`'s shards (and of the single file of earlier
        versions) that are whole and for this embedder."""
        cache = cls(embedder, dim)
        try:
            names = [e.name for e in os.scandir(root / FOLDER) if e.name in SHARD_NAMES]
        except OSError:
            names = []
        for name in names:
            shard = SHARD_NAMES[name]
            cache.files.add(shard)
            entries = cache._read(root / FOLDER / name)
            # Every key of a shard starts with its byte (a misnamed file is no
            # shard), and a shard is never empty (an empty one goes).
            if entries is None or not entries[0] or b"".join(entries[0])[::KEY_BYTES].strip(bytes([shard])):
                cache.damaged.add(shard)
                continue
            cache.stored.update(entries[0])
            cache.put(*entries)
        legacy = root / LEGACY_FILE
        if legacy.exists():
            cache.legacy = True
            entries = cache._read(legacy)
            if entries is not None:
                # Entries of the shards came later: they win.
                cache.rows = {**dict(zip(*entries)), **cache.rows}
        return cache

    def _read(self, path: Path) -> tuple[list[bytes], Vector] | None:
        try:
            parsed = parse(path.read_bytes())
        except OSError:
            return None
        if parsed is None or parsed[0] != {"embedder": self.embedder, "dim": self.dim, "count": len(parsed[1])}:
            return None
        return parsed[1], parsed[2]

    def save(self, root: Path, keys: Iterable[bytes]) -> None:
        """Makes the files hold exactly the entries of `keys` (each must be
        known): shards whose entries differ are written, shards left without
        entries removed, and the single file of earlier versions removed last."""
        wanted = set(keys)
        changed = {k[0] for k in wanted.symmetric_difference(self.stored)} | self.damaged
        folder = root / FOLDER
        if changed:
            if not folder.is_dir():
                folder.mkdir(parents=True)
                sync_dir(root)
            remove_temporaries(root)
            by_shard: dict[int, list[bytes]] = {s: [] for s in changed}
            for key in wanted:
                if key[0] in by_shard:
                    by_shard[key[0]].append(key)
            for shard, shard_keys in by_shard.items():
                path = folder / f"{shard:02x}.cache"
                if shard_keys:
                    shard_keys.sort()
                    vectors = np.array([self.rows[k] for k in shard_keys], dtype="<f4").reshape(-1, self.dim)
                    write_atomically(path, encode(self.embedder, self.dim, shard_keys, vectors), sync=False)
                elif shard in self.files:
                    path.unlink(missing_ok=True)
            sync_dir(folder)
            self.stored, self.damaged = wanted, set()
            self.files = {k[0] for k in wanted}
        if self.legacy:
            (root / LEGACY_FILE).unlink(missing_ok=True)
            sync_dir(root)
            self.legacy = False


def encode(embedder: str, dim: int, keys: list[bytes], vectors: Vector) -> list[bytes]:
    """The bytes of a cache file holding these entries."""
    header = json.dumps({"embedder": embedder, "dim": dim, "count": len(keys)}).encode()
    head = MAGIC + struct.pack("<I", len(header)) + header
    head += b"\0" * (-len(head) % 4)
    body = b"".join(keys) + np.ascontiguousarray(vectors, dtype="<f4").tobytes()
    return [head, body, struct.pack("<I", zlib.crc32(body, zlib.crc32(head)))]


def parse(data: bytes) -> tuple[dict[str, object], list[bytes], Vector] | None:
    """(header, keys, vectors) of a cache file's bytes, or None if they are not
    a whole cache. The vectors are a read-only view of `data`."""
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
    keys = [data[i:i + KEY_BYTES] for i in range(offset, offset + count * KEY_BYTES, KEY_BYTES)]
    offset += count * KEY_BYTES
    vectors = np.frombuffer(data, dtype="<f4", count=count * dim, offset=offset).reshape(count, dim)
    return header, keys, vectors.astype(np.float32, copy=False)


def stats(root: Path) -> tuple[int, int]:
    """The entries of the whole cache files of `root` and the bytes of all of them."""
    paths = [root / LEGACY_FILE]
    try:
        paths += [Path(e.path) for e in os.scandir(root / FOLDER) if e.name in SHARD_NAMES]
    except OSError:
        pass
    entries = size = 0
    for path in paths:
        try:
            data = path.read_bytes()
        except OSError:
            continue
        parsed = parse(data)
        entries += len(parsed[1]) if parsed else 0
        size += len(data)
    return entries, size


def remove_temporaries(root: Path) -> None:
    """Removes cache files a crashed writer left behind (never the index's own)."""
    for entry in [*root.glob(LEGACY_FILE + ".tmp-*"), *(root / FOLDER).glob("*.cache.tmp-*")]:
        try:
            entry.unlink()
        except OSError:
            pass
