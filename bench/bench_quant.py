"""Throughput of quantize_binary against the NumPy expression it replaces.

Prints vectors per second for a (100000, 384) float32 batch, ours and
`np.packbits(x > 0, axis=1, bitorder="little")`, measured in the same run, and
their ratio. Times are the best of several repeats (shared machines are noisy).
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))
from tessavine import quantize_binary  # noqa: E402

N, DIM = 100_000, 384
REPEATS = int(os.environ.get("BENCH_REPEATS", "15"))


def best_seconds(fns, x):
    """Best time of each function, their runs interleaved so that both see
    the same machine load."""
    best = [float("inf")] * len(fns)
    for _ in range(REPEATS):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn(x)
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def numpy_packbits(x):
    return np.packbits(x > 0, axis=1, bitorder="little")


def main():
    rng = np.random.default_rng(0)
    x = rng.standard_normal((N, DIM), dtype=np.float32)
    if not np.array_equal(quantize_binary(x), numpy_packbits(x)):
        raise SystemExit("quantize_binary and np.packbits disagree")
    ours_s, peer_s = best_seconds([quantize_binary, numpy_packbits], x)
    ours, peer = N / ours_s, N / peer_s
    print(f"quantize_binary, ({N}, {DIM}) float32, best of {REPEATS}")
    print(f"{'implementation':<44} {'vectors/s':>14}")
    print(f"{'tessavine quantize_binary':<44} {ours:>14,.0f}")
    print(f"{'np.packbits(x > 0, axis=1, bitorder=little)':<44} {peer:>14,.0f}")
    print(f"ratio (tessavine / numpy): {ours / peer:.2f}x")


if __name__ == "__main__":
    main()
