import gc
import os
import platform
import struct
import subprocess
import sys

import numpy as np
import pytest

import py_engine_rust as m

SEED = 20240611
I32, F64 = np.array([1, 2], np.int32), np.array([1.0, 2.0])


def vec_payload(values):
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def mat_payload(rows, cols, values=()):
    values = list(values) or [0.0] * (rows * cols)
    return struct.pack(f"<II{len(values)}d", rows, cols, *values)


def step_payload(flags, actions, ratios):
    n = len(flags)
    return struct.pack(f"<I{n}i{n}i{n}d", n, *flags, *actions, *ratios)


class BytesSub(bytes):
    pass


def arrays(out):
    return out if isinstance(out, tuple) else (out,)


@pytest.mark.skipif(platform.python_implementation() == "PyPy", reason="PyPy exposes no C function docstrings")
@pytest.mark.parametrize("name, signature, doc", [
    ("decode_vec_f64_py", "(payload)", "Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"),
    ("decode_mat_f64_py", "(payload)", "Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"),
    ("decode_close_step_py", "(payload)",
     "Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."),
    ("decode_vec_mat_f64_py", "(payload)", "Decode VecF64 + MatF64 payload into (vec, mat)."),
    ("encode_vec_f64_py", "(arr)", None),
    ("encode_mat_f64_py", "(mat)", None),
    ("encode_close_step_py", "(flags, actions, ratios)", None),
])
def test_docstrings(name, signature, doc):
    assert (getattr(m, name).__text_signature__, getattr(m, name).__doc__) == (signature, doc)


@pytest.mark.parametrize("call, expected", [
    (lambda: m.encode_vec_f64_py(F64), vec_payload([1.0, 2.0])),
    (lambda: m.encode_vec_f64_py(arr=np.zeros(0)), vec_payload([])),
    (lambda: m.encode_vec_f64_py(np.array([3.0]).view(type("Sub", (np.ndarray,), {}))), vec_payload([3.0])),
    (lambda: m.encode_mat_f64_py(np.array([[1.5, -2.0]])), mat_payload(1, 2, [1.5, -2.0])),
    (lambda: m.encode_mat_f64_py(mat=np.arange(6.0).reshape(2, 3).copy(order="F")), mat_payload(2, 3, range(6))),
    (lambda: m.encode_close_step_py(np.array([-1], "=i4"), np.array([3], np.intc), np.array([0.25], "=f8")),
     step_payload([-1], [3], [0.25])),
    (lambda: m.encode_close_step_py(ratios=F64, flags=I32, actions=-I32), step_payload([1, 2], [-1, -2], [1, 2])),
])
def test_encoders_return_list_of_payload_bytes(call, expected):
    out = call()
    assert type(out) is list and all(type(b) is int for b in out)
    assert bytes(out) == expected


@pytest.mark.parametrize("shape", [(0,), (1,), (1000,), (1, 1), (2, 3), (5, 1), (1, 5), (17, 33)])
@pytest.mark.parametrize("order", ["C", "F"])
def test_round_trip(shape, order):
    a = np.asarray(np.random.default_rng(SEED).normal(size=shape), order=order)
    encode, decode = (m.encode_vec_f64_py, m.decode_vec_f64_py) if a.ndim == 1 else (
        m.encode_mat_f64_py, m.decode_mat_f64_py)
    payload = encode(a)
    assert payload == encode(np.ascontiguousarray(a))
    out = decode(payload=BytesSub(payload))
    assert out.shape == shape and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, a)


@pytest.mark.parametrize("n", [0, 1, 50])
def test_close_step_round_trip(n):
    rng = np.random.default_rng(SEED + n)
    f, a = (rng.integers(-(2**31), 2**31, size=n, dtype=np.int32) for _ in range(2))
    r = rng.normal(size=n)
    out = m.decode_close_step_py(payload=bytes(m.encode_close_step_py(f, a, r)))
    assert [(x.dtype, x.shape) for x in out] == [(np.int32, (n,))] * 2 + [(np.float64, (n,))]
    for got, want in zip(out, (f, a, r)):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("n, rows, cols, shape",
                         [(0, 0, 0, (0, 0)), (1, 0, 4, (0, 0)), (3, 3, 0, (3, 0)), (2, 3, 4, (3, 4))])
def test_matrix_shapes(n, rows, cols, shape):
    rng = np.random.default_rng(SEED)
    v, mat = rng.normal(size=n), rng.normal(size=(rows, cols))
    vec, out = m.decode_vec_mat_f64_py(payload=vec_payload(v) + mat_payload(rows, cols, mat.ravel()))
    np.testing.assert_array_equal(vec, v)
    for got in (out, m.decode_mat_f64_py(mat_payload(rows, cols, mat.ravel()))):
        assert got.shape == shape and got.dtype == np.float64
        np.testing.assert_array_equal(got, mat.reshape(shape))


SPECIAL = np.array([0x7FF8DEADBEEF0001, 0xFFF0000000000001, 0x8000000000000000, 1, 0x7FF0000000000000],
                   dtype=np.uint64).view(np.float64)


@pytest.mark.parametrize("round_trip", [
    lambda x: m.decode_vec_f64_py(bytes(m.encode_vec_f64_py(x))),
    lambda x: m.decode_mat_f64_py(bytes(m.encode_mat_f64_py(x.reshape(1, -1)))).ravel(),
    lambda x: m.decode_mat_f64_py(bytes(m.encode_mat_f64_py(np.asfortranarray(np.stack([x, x]))))).ravel()[:5],
    lambda x: m.decode_close_step_py(bytes(m.encode_close_step_py(*[np.zeros(5, np.int32)] * 2, x)))[2],
    lambda x: m.decode_vec_mat_f64_py(vec_payload(x) + mat_payload(0, 0))[0],
])
def test_float_bits_preserved(round_trip):
    np.testing.assert_array_equal(round_trip(SPECIAL).view(np.uint64), SPECIAL.view(np.uint64))


def test_unaligned_input_array():
    a = np.frombuffer(bytearray(8 * 4 + 1), dtype=np.float64, offset=1)
    assert not a.flags.aligned
    a[:] = [1.0, -0.0, 3.5, 4.25]
    assert m.encode_vec_f64_py(a) == list(vec_payload(a.tolist()))
    assert m.encode_mat_f64_py(a.reshape(2, 2)) == list(mat_payload(2, 2, a.tolist()))


@pytest.mark.parametrize("decode, payload", [
    (m.decode_vec_f64_py, vec_payload([1.0, 2.0])),
    (m.decode_mat_f64_py, mat_payload(2, 2, [1, 2, 3, 4])),
    (m.decode_close_step_py, step_payload([1], [2], [3.0])),
    (m.decode_vec_mat_f64_py, vec_payload([1.0]) + mat_payload(1, 1, [2.0])),
])
def test_decoded_arrays_are_writeable_and_independent(decode, payload):
    original = bytes(bytearray(payload))
    first, second = decode(payload), decode(payload)
    for arr in arrays(first):
        assert arr.flags.writeable and not isinstance(arr.base, bytes)
        arr[...] = 0
    assert payload == original
    assert all(arr.all() for arr in arrays(second))
    view = arrays(second)[0][:1]
    del second
    gc.collect()
    assert view.all()


@pytest.mark.parametrize("call, message", [
    (lambda: m.decode_vec_f64_py(b"abc"), "VecF64 payload too short"),
    (lambda: m.decode_close_step_py(b"abc"), "CloseStep payload too short"),
    (lambda: m.decode_vec_mat_f64_py(b"abc"), "VecMatF64 payload too short"),
    (lambda: m.decode_mat_f64_py(bytes(7)), "MatF64 payload too short"),
    (lambda: m.decode_vec_f64_py(vec_payload([1.0, 2.0])[:-1]), "VecF64 length mismatch: expected 20, got 19"),
    (lambda: m.decode_mat_f64_py(struct.pack("<II", 2**31, 2**30)),
     f"MatF64 length mismatch: expected {8 + 8 * 2**61}, got 8"),
    (lambda: m.decode_close_step_py(struct.pack("<I", 2) + bytes(31)), "CloseStep length mismatch: expected 36, got 35"),
    (lambda: m.decode_vec_mat_f64_py(vec_payload([1.0]) + bytes(7)), "VecMatF64 missing matrix header"),
    (lambda: m.decode_vec_mat_f64_py(vec_payload([1.0]) + mat_payload(1, 2)[:-8]),
     "VecMatF64 length mismatch: expected 36, got 28"),
    (lambda: m.encode_close_step_py(I32, I32, F64[:1]), "close_step shape mismatch: flags=2, actions=2, ratios=1"),
])
def test_value_errors(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert info.value.args == (message,)


@pytest.mark.parametrize("decode", [m.decode_vec_f64_py, m.decode_mat_f64_py, m.decode_close_step_py,
                                    m.decode_vec_mat_f64_py])
@pytest.mark.parametrize("payload", [bytearray(8), memoryview(bytes(8)), [0] * 8, "abcd"])
def test_decode_rejects_non_bytes(decode, payload):
    with pytest.raises(TypeError) as info:
        decode(payload)
    name = type(payload).__name__
    assert str(info.value) == f"argument 'payload': '{name}' object cannot be converted to 'PyBytes'"


NOT_CONTIGUOUS = "The given array is not contiguous"


@pytest.mark.parametrize("call, message", [
    (lambda: m.encode_vec_f64_py([1.0]), "argument 'arr': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: m.encode_vec_f64_py(np.array([1, 2])), "argument 'arr': type mismatch:\n from=int64, to=float64"),
    (lambda: m.encode_vec_f64_py(F64.astype(">f8")), "argument 'arr': type mismatch:\n from=>f8, to=float64"),
    (lambda: m.encode_vec_f64_py(np.zeros((2, 2))), "argument 'arr': dimensionality mismatch:\n from=2, to=1"),
    (lambda: m.encode_vec_f64_py(np.zeros(6)[::2]), NOT_CONTIGUOUS),
    (lambda: m.encode_mat_f64_py(np.zeros(3)), "argument 'mat': dimensionality mismatch:\n from=1, to=2"),
    (lambda: m.encode_mat_f64_py(np.zeros((2, 2), np.int32)), "argument 'mat': type mismatch:\n from=int32, to=float64"),
    (lambda: m.encode_mat_f64_py(np.zeros((2, 4))[:, ::2]), NOT_CONTIGUOUS),
    (lambda: m.encode_close_step_py(I32.astype(np.int64), I32, F64),
     "argument 'flags': type mismatch:\n from=int64, to=int32"),
    (lambda: m.encode_close_step_py(I32, (1, 2), F64),
     "argument 'actions': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: m.encode_close_step_py(I32, I32, I32), "argument 'ratios': type mismatch:\n from=int32, to=float64"),
    # every argument is converted before any contiguity check
    (lambda: m.encode_close_step_py(np.zeros(4, np.int32)[::2], I32, np.zeros((1, 1))),
     "argument 'ratios': dimensionality mismatch:\n from=2, to=1"),
    (lambda: m.encode_close_step_py(I32, np.zeros(4, np.int32)[::2], np.zeros(4)[::2]), NOT_CONTIGUOUS),
    (lambda: m.encode_close_step_py(flags=I32, actions=I32),
     "encode_close_step_py() missing 1 required positional argument: 'ratios'"),
    (lambda: m.decode_vec_f64_py(b"", extra=1), "decode_vec_f64_py() got an unexpected keyword argument 'extra'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_decoded_buffers_are_released():
    n = (1 << 20) // 8
    vec, mat = vec_payload([0.5] * n), mat_payload(1024, n // 1024, [0.5] * n)
    start = None
    for i in range(2000):
        out = [m.decode_vec_f64_py(vec), *m.decode_vec_mat_f64_py(vec + mat), m.decode_mat_f64_py(mat)]
        assert all(a.flat[-1] == 0.5 for a in out)
        del out
        if i % 50 == 49:
            # PyPy frees an array's C-level parts only at the collection after the one that
            # found the array dead.
            gc.collect()
            gc.collect()
            # A collector that frees arrays in batches (PyPy) settles at a plateau within the
            # first rounds; from there on, a leak of 4 MB per round crosses this bound within
            # 50 rounds.
            if i == 499:
                start = resident_bytes()
            elif start is not None:
                assert resident_bytes() - start < 128 << 20


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


def test_import_does_not_load_numpy():
    assert run_python("import sys, py_engine_rust; print('numpy' in sys.modules)") == ["False"]


def test_missing_numpy_raises_import_error():
    out = run_python(
        "import sys\nsys.modules['numpy'] = None\nimport py_engine_rust as m\n"
        "for call in (lambda: m.decode_vec_f64_py(bytes(4)), lambda: m.encode_vec_f64_py([1.0])):\n"
        "    try:\n        call()\n"
        "    except ImportError as e:\n        print(str(e).startswith('numpy is required'))\n")
    assert out == ["True", "True"]
