import gc
import sys

import numpy as np
import pytest

from tessavine import hamming, quantize_binary

from conftest import raises


def random_floats(shape, seed=0):
    """Normal floats salted with the values a sign test can get wrong."""
    rng = np.random.default_rng(seed)
    x, mask = rng.standard_normal(shape).astype(np.float32), rng.random(shape) < 0.1
    x[mask] = rng.choice(np.array([0, -0.0, np.nan, np.inf, -np.inf, 1e-45, -1e-45], np.float32), size=mask.sum())
    return x


def u8(values):
    return np.array(values, np.uint8)


def test_worked_example():
    codes = quantize_binary(vectors=np.array([[0.5, -0.5, 0.0, np.nan, 1.0, 1.0, 1.0, 1.0, 2.0]] * 2, np.float32))
    assert codes.dtype == np.uint8 and codes.tolist() == [[0xF1, 0x01], [0xF1, 0x01]]


def _misaligned(x):
    view = np.zeros(x.nbytes + 1, np.uint8)[1:].view(np.float32).reshape(x.shape)
    view[...] = x
    assert not view.flags.aligned
    return view


base = random_floats((40, 77), seed=1)
LAYOUTS = {
    "c-order": base, "f-order": np.asfortranarray(base), "transposed": random_floats((77, 40), seed=2).T,
    "sliced": base[3:31:2, 5:70:3], "negative strides": base[::-1, ::-2], "column slice": base[:, 7:8],
    "misaligned": _misaligned(base), "subclass": base.view(np.matrix),
    "broadcast rows": np.broadcast_to(base[4], (6, base.shape[1])),
    "read-only": np.frombuffer(base.tobytes(), np.float32).reshape(base.shape),
    "dim 384": random_floats((100, 384), seed=3),
    **{f"dim {dim}": random_floats((5, dim), seed=dim) for dim in range(17)},
}


@pytest.mark.parametrize("x", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_equals_numpy_packbits(x):
    got, want = quantize_binary(x), np.packbits(np.asarray(x) > 0, axis=1, bitorder="little")
    assert got.shape == want.shape and np.array_equal(got, want)


@pytest.mark.parametrize("shape", [(3, 9), (0, 16), (3, 0), (0, 0)])
def test_result_owns_writable_bytes_that_outlive_it(shape):
    codes = quantize_binary(np.ones(shape, np.float32))
    assert codes.flags.writeable and codes.flags.c_contiguous
    raises(TypeError, type(codes.base))  # the holder of the bytes cannot be made empty
    view = codes[:]
    del codes
    gc.collect()
    view[...] = 7
    assert view.shape == (shape[0], (shape[1] + 7) // 8) and (view == 7).all()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_no_memory_growth_over_many_calls():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    x = random_floats((100, 384))  # 4800 bytes of codes per call: 48 MB if leaked
    for _ in range(500):
        quantize_binary(x)
    before = rss()
    for _ in range(10_000):
        quantize_binary(x)
    assert rss() - before < 8 * 1024 * 1024


def test_copy_too_large_for_memory_is_a_memory_error():  # a broadcast view of 2**60 elements cannot be copied
    raises(MemoryError, lambda: quantize_binary(np.broadcast_to(np.float32(1.0), (2**40, 2**20))))


@pytest.mark.parametrize("value", [np.zeros((2, 3)), np.zeros(3, np.float32), [[1.0, 2.0]], np.zeros((2, 3), ">f4")],
                         ids=["float64", "1-D", "list", "big-endian"])
def test_quantize_binary_rejects_other_types(value):
    assert "argument 'vectors'" in str(raises(TypeError, lambda: quantize_binary(value)))


def test_hamming_equals_numpy_at_every_length():
    for n in range(34):
        a, b = np.random.default_rng(n).integers(0, 256, (2, n), dtype=np.uint8)
        got = hamming(a, b)
        assert type(got) is int and got == hamming(b=b, a=a) == int(np.unpackbits(a ^ b).sum())
        # Codes made by quantize_binary compare the same way.
        codes = quantize_binary(x := random_floats((2, 8 * n + 3), seed=n))
        assert hamming(codes[0], codes[1]) == int(((x[0] > 0) != (x[1] > 0)).sum())


@pytest.mark.parametrize("a, b, name", [
    (np.array([1, 2], np.int8), u8([1, 2]), "a"), (u8([[1, 2]]), u8([1, 2]), "a"), (u8([1, 2]), b"\x01\x02", "b"),
    (u8(range(8))[::2], np.zeros(4, np.int8), "b"),  # a type error in b comes before a layout error in a
])
def test_hamming_rejects_other_types(a, b, name):
    assert f"argument '{name}'" in str(raises(TypeError, lambda: hamming(a, b)))


def test_hamming_layout_and_length_errors():
    for a, b in [(u8(range(8))[::2], u8([0] * 4)), (u8([0] * 4), u8(range(8))[::-2])]:
        raises(TypeError, lambda: hamming(a, b), "The given array is not contiguous or is misaligned.")
    raises(ValueError, lambda: hamming(u8([0, 0, 0]), u8([0, 0, 0, 0])), "codes must have equal length, got 3 and 4")
    assert hamming(u8([])[::2], u8([])) == 0  # empty arrays are accepted whatever their strides
