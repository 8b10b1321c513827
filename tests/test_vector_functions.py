import gc
import sys

import numpy as np
import pytest

import tessavine._core as core
from tessavine import hamming, quantize_binary

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def packbits(x):
    return np.packbits(x > 0, axis=1, bitorder="little")


def random_floats(shape, seed=0):
    """Normal floats salted with the values a sign test can get wrong."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(shape).astype(np.float32)
    specials = np.array([0.0, -0.0, np.nan, np.inf, -np.inf, 1e-45, -1e-45], np.float32)
    mask = rng.random(shape) < 0.1
    x[mask] = rng.choice(specials, size=int(mask.sum()))
    return x


def test_registration_order_docstrings_and_signatures():
    assert core.__all__[3:6] == ["quantize_binary", "hamming", "tokenize"]
    assert quantize_binary.__doc__ == (
        "Quantize a batch of float32 vectors, shape `(n, dim)`, to packed binary\n"
        "codes of shape `(n, ceil(dim / 8))`."
    )
    assert hamming.__doc__ == "Hamming distance between two packed binary codes of equal length."
    assert quantize_binary.__text_signature__ == "(vectors)"
    assert hamming.__text_signature__ == "(a, b)"


def test_worked_example_and_shapes():
    row = [0.5, -0.5, 0.0, np.nan, 1.0, 1.0, 1.0, 1.0, 2.0]
    codes = quantize_binary(np.array([row, row], np.float32))
    assert codes.dtype == np.uint8 and codes.shape == (2, 2)
    assert codes.tolist() == [[0xF1, 0x01], [0xF1, 0x01]]
    assert quantize_binary(np.zeros((0, 16), np.float32)).shape == (0, 2)
    assert quantize_binary(np.zeros((3, 0), np.float32)).shape == (3, 0)
    assert quantize_binary(vectors=np.ones((1, 1), np.float32)).tolist() == [[1]]


def _misaligned(x):
    raw = np.zeros(x.nbytes + 1, np.uint8)
    view = raw[1:].view(np.float32).reshape(x.shape)
    view[...] = x
    assert not view.flags.aligned
    return view


base = random_floats((40, 77), seed=1)
LAYOUTS = {
    "c-order": base,
    "f-order": np.asfortranarray(base),
    "transposed": random_floats((77, 40), seed=2).T,
    "sliced": base[3:31:2, 5:70:3],
    "negative strides": base[::-1, ::-2],
    "column slice": base[:, 7:8],
    "misaligned": _misaligned(base),
    "subclass": base.view(np.matrix),
    "broadcast rows": np.broadcast_to(base[4], (6, base.shape[1])),
    "read-only": np.frombuffer(base.tobytes(), np.float32).reshape(base.shape),
    "dim 384": random_floats((100, 384), seed=3),
}


@pytest.mark.parametrize("x", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_equals_numpy_packbits(x):
    got = quantize_binary(x)
    want = packbits(np.asarray(x))
    assert got.shape == want.shape
    assert np.array_equal(got, want)


@pytest.mark.parametrize("dim", range(0, 41))
def test_equals_numpy_packbits_for_every_tail_length(dim):
    x = random_floats((5, dim), seed=dim)
    assert np.array_equal(quantize_binary(x), packbits(x))


@pytest.mark.parametrize("shape", [(3, 9), (0, 16), (3, 0), (0, 0)])
def test_result_adopts_the_buffer_through_a_holder(shape):
    codes = quantize_binary(np.ones(shape, np.float32))
    assert codes.base is not None and not isinstance(codes.base, np.ndarray)
    assert type(codes.base).__module__ == "tessavine._core"
    assert not codes.flags.owndata
    assert codes.flags.writeable and codes.flags.c_contiguous
    if codes.size:
        codes[0, 0] = 7
        assert codes[0, 0] == 7
    # The holder keeps the bytes alive on its own.
    view = codes[:]
    del codes
    gc.collect()
    assert view.shape == (shape[0], (shape[1] + 7) // 8)


def test_holder_cannot_be_created_from_python():
    holder_type = type(quantize_binary(np.ones((1, 8), np.float32)).base)
    with pytest.raises(TypeError):
        holder_type()


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_no_memory_growth_over_many_calls():
    x = random_floats((100, 384))  # 4800 bytes of codes per call: 48 MB if leaked
    for _ in range(500):
        quantize_binary(x)
    before = _rss_bytes()
    for _ in range(10_000):
        quantize_binary(x)
    assert _rss_bytes() - before < 8 * 1024 * 1024


def test_copy_too_large_for_memory_is_a_memory_error():
    # A broadcast view claims 2**60 elements; copying it cannot succeed.
    with pytest.raises(MemoryError):
        quantize_binary(np.broadcast_to(np.float32(1.0), (2**40, 2**20)))


def test_result_does_not_share_memory_with_input():
    x = np.ones((4, 16), np.float32)
    codes = quantize_binary(x)
    x[:] = -1.0
    assert codes.tolist() == [[0xFF, 0xFF]] * 4


@pytest.mark.parametrize(
    "value",
    [
        np.zeros((2, 3), np.float64),
        np.zeros(3, np.float32),
        np.zeros((1, 2, 3), np.float32),
        [[1.0, 2.0]],
        np.zeros((2, 3), ">f4"),
        np.zeros((2, 3), np.float16),
        None,
    ],
    ids=["float64", "1-D", "3-D", "list", "big-endian", "float16", "None"],
)
def test_quantize_binary_rejects_other_types(value):
    with pytest.raises(TypeError, match="argument 'vectors'"):
        quantize_binary(value)


@pytest.mark.parametrize(
    "call",
    [lambda: quantize_binary(), lambda: quantize_binary(np.ones((1, 1), np.float32), 1),
     lambda: quantize_binary(x=np.ones((1, 1), np.float32)), lambda: hamming(np.zeros(1, np.uint8))],
    ids=["missing", "surplus", "unknown keyword", "hamming missing b"],
)
def test_arity_errors(call):
    with pytest.raises(TypeError):
        call()


def u8(values):
    return np.array(values, np.uint8)


@pytest.mark.parametrize(
    "a, b, distance",
    [
        (u8([]), u8([]), 0),
        (u8([0x00]), u8([0xFF]), 8),
        (u8([0x0F, 0x01]), u8([0x00, 0x00]), 5),
        (u8([0xA5] * 19), u8([0xA5] * 19), 0),
        (u8([0xFF] * 17), u8([0x00] * 17), 136),
    ],
)
def test_hamming_examples(a, b, distance):
    got = hamming(a, b)
    assert type(got) is int and got == distance
    assert hamming(b=b, a=a) == distance


@pytest.mark.parametrize("n", range(0, 34))
def test_hamming_matches_bit_count_for_every_length(n):
    rng = np.random.default_rng(n)
    a, b = rng.integers(0, 256, (2, n), dtype=np.uint8)
    assert hamming(a, b) == int(np.unpackbits(a ^ b).sum())
    # Codes made by quantize_binary compare the same way.
    x = random_floats((2, 8 * n + 3), seed=n)
    codes = quantize_binary(x)
    want = int(((x[0] > 0) != (x[1] > 0)).sum())
    assert hamming(codes[0], codes[1]) == want


@pytest.mark.parametrize(
    "a, b, name",
    [
        (u8([1, 2]), np.array([1, 2], np.int8), "b"),
        (np.array([1, 2], np.int8), u8([1, 2]), "a"),
        (u8([[1, 2]]), u8([1, 2]), "a"),
        ([1, 2], u8([1, 2]), "a"),
        (u8([1, 2]), b"\x01\x02", "b"),
    ],
    ids=["int8 b", "int8 a", "2-D a", "list a", "bytes b"],
)
def test_hamming_rejects_other_types(a, b, name):
    with pytest.raises(TypeError, match=f"argument '{name}'"):
        hamming(a, b)


def test_hamming_layout_and_length_errors():
    strided = u8(range(8))[::2]
    with pytest.raises(TypeError) as info:
        hamming(strided, u8([0, 0, 0, 0]))
    assert str(info.value) == NOT_CONTIGUOUS
    with pytest.raises(TypeError) as info:
        hamming(u8([0, 0, 0, 0]), u8(range(8))[::-2])
    assert str(info.value) == NOT_CONTIGUOUS
    with pytest.raises(ValueError) as info:
        hamming(u8([0, 0, 0]), u8([0, 0, 0, 0]))
    assert str(info.value) == "codes must have equal length, got 3 and 4"
    # A type error in b is reported before a layout error in a.
    with pytest.raises(TypeError, match="argument 'b'"):
        hamming(strided, np.zeros(4, np.int8))
    # Empty arrays are accepted whatever their strides.
    assert hamming(u8([])[::2], u8([])) == 0

