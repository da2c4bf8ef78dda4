"""The benchmarks compare the module with bench/baseline_engine.py: both must send the same
request bytes and read the same results for the operations the browser benchmark uses, or the
comparison measures different work."""

import asyncio
import os
import struct
import sys

import numpy as np
import pytest

pytest.importorskip("websockets.asyncio.server")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from baseline_engine import BaselineEngine  # noqa: E402

import py_engine_rust  # noqa: E402
from peer import connect_ready, free_port  # noqa: E402

GUARD = 5.0


def vec(*values):
    return struct.pack("<I%dd" % len(values), len(values), *values)


def mat(rows, cols, values):
    return struct.pack("<II%dd" % len(values), rows, cols, *values)


def as_lists(result):
    if isinstance(result, tuple):
        return tuple(as_lists(r) for r in result)
    return result.tolist() if isinstance(result, np.ndarray) else result


# (call, fnId, request payload, response payload, result)
CASES = [
    (lambda e: e.reset_episode(3, "TEST"), 101, b"\x03\x00\x00\x00\x01", struct.pack("<IB", 7, 255), 7),
    (lambda e: e.reset_episode(70000, "train"), 101, struct.pack("<IB", 70000, 0), struct.pack("<I", 2 ** 32 - 1),
     2 ** 32 - 1),
    (lambda e: e.reset_episode(1, "test"), 101, b"\x01\x00\x00\x00\x01", b"\x05\x00\x00", 0),
    (lambda e: e.step_and_sync(), 130, b"", vec(1.5, -2.0) + mat(2, 3, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]),
     ([1.5, -2.0], [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]])),
    (lambda e: e.step_and_sync(), 130, b"", vec() + mat(0, 6, []), ([], [])),
    (lambda e: e.get_snapshot(), 12, b"", vec(5.0, 6.0, 7.0), [5.0, 6.0, 7.0]),
    (lambda e: e.step_next(), 2, b"", b"", None),
    (lambda e: e.init_candles(np.arange(10.0).reshape(2, 5)), 100,
     mat(2, 5, [float(i) for i in range(10)]), b"", None),
]


@pytest.mark.parametrize("impl", ["module", "baseline"])
@pytest.mark.parametrize("call, fn_id, sent, response, expected", CASES)
async def test_module_and_baseline_do_the_same_exchange(impl, call, fn_id, sent, response, expected):
    port = free_port()
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", port) if impl == "module" else \
        BaselineEngine("127.0.0.1", port)
    await engine.start()
    page = await connect_ready("127.0.0.1", port)
    await engine.wait_connected(timeout_secs=GUARD)
    try:
        async with page.serve(lambda f, p: response) as server:
            result = await asyncio.wait_for(call(engine), GUARD)
        assert [(f, p) for _, f, p in server.requests] == [(fn_id, sent)]
        assert as_lists(result) == expected
        if fn_id == 130:
            vector, matrix = result
            assert (vector.ndim, matrix.ndim) == (1, 2)
    finally:
        page.abort()
        await engine.close()


@pytest.mark.parametrize("impl", ["module", "baseline"])
@pytest.mark.parametrize("response, message", [
    (vec(1.0), "VecMatF64 missing matrix header"),
    (vec(1.0) + mat(2, 2, [1.0, 2.0, 3.0]), "VecMatF64 length mismatch"),
])
async def test_module_and_baseline_refuse_the_same_bad_step_and_sync(impl, response, message):
    port = free_port()
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", port) if impl == "module" else \
        BaselineEngine("127.0.0.1", port)
    await engine.start()
    page = await connect_ready("127.0.0.1", port)
    await engine.wait_connected(timeout_secs=GUARD)
    try:
        async with page.serve(lambda f, p: response):
            with pytest.raises(ValueError, match=message):
                await asyncio.wait_for(engine.step_and_sync(), GUARD)
    finally:
        page.abort()
        await engine.close()
