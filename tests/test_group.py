"""EngineGroup: step_and_sync of many engines at once, one row per engine, with the rows' own
errors and timeouts, stacked into arrays the caller may give."""

import asyncio
import struct

import numpy as np
import pytest

import py_engine_rust
from peer import DEFAULT_TIMEOUT as GUARD, FN_IDS, RpcFailure, connect_ready

EngineGroup = py_engine_rust.EngineGroup
STEP_AND_SYNC = FN_IDS["step_and_sync"]


def vec_mat(snapshot, window):
    """A VecMatF64 payload."""
    window = np.asarray(window, dtype="<f8").reshape(len(window), -1) if len(window) else np.zeros((0, 0))
    return (struct.pack("<I", len(snapshot)) + np.asarray(snapshot, dtype="<f8").tobytes()
            + struct.pack("<II", *window.shape) + window.tobytes())


def page_values(k, step):
    """What page k answers at its step: a snapshot of 4 values and a window of 3 x 2."""
    snapshot = [k, step, k * 10 + step, -1.5]
    window = np.arange(6, dtype=np.float64).reshape(3, 2) + 100 * k + step
    return snapshot, window


class Pages:
    """N started engines, each with a connected peer."""

    def __init__(self, engines, peers):
        self.engines, self.peers = engines, peers

    def serve(self, handler_for):
        return [peer.serve(handler_for(k)) for k, peer in enumerate(self.peers)]


@pytest.fixture
async def pages(start_engine, request):
    n = getattr(request, "param", 3)
    engines, peers = [], []
    for _ in range(n):
        engine, port = await start_engine()
        peers.append(await connect_ready("127.0.0.1", port))
        await engine.wait_connected(GUARD)
        engines.append(engine)
    made = Pages(engines, peers)
    yield made
    for peer in made.peers:
        peer.abort()


def stepping(k):
    steps = [0]

    def handler(fn_id, payload):
        assert fn_id == STEP_AND_SYNC and payload == b""
        steps[0] += 1
        return vec_mat(*page_values(k, steps[0]))
    return handler


async def stop(servers):
    for server in servers:
        await server.stop()


@pytest.mark.parametrize("pages", [1, 4], indirect=True)
async def test_rows_equal_separate_calls(pages):
    servers = pages.serve(stepping)
    try:
        snapshots, windows, errors = await asyncio.wait_for(EngineGroup(pages.engines).step_and_sync(), GUARD)
        separate = [await engine.step_and_sync() for engine in pages.engines]
    finally:
        await stop(servers)
    assert errors == (None,) * len(pages.engines)
    assert snapshots.dtype == windows.dtype == np.float64
    assert snapshots.flags.c_contiguous and windows.flags.c_contiguous
    # Each page's second step answered the separate call; its first, the group's row.
    for k, (snapshot, window) in enumerate(separate):
        expected_snapshot, expected_window = page_values(k, 1)
        np.testing.assert_array_equal(snapshots[k], expected_snapshot)
        np.testing.assert_array_equal(windows[k], expected_window)
        assert snapshot.shape == snapshots[k].shape and window.shape == windows[k].shape
    assert [server.requests for server in servers] == [[(1, STEP_AND_SYNC, b""), (2, STEP_AND_SYNC, b"")]] * len(
        pages.engines)


def transport(seq, message):
    return "RpcTransportError(seq=%s, fnId=Some(130)): %s" % ("None" if seq is None else "Some(%d)" % seq, message)


@pytest.mark.parametrize("pages", [7], indirect=True)
@pytest.mark.parametrize("with_out", [False, True])
async def test_each_row_fails_alone_with_the_error_of_a_single_call(pages, with_out):
    engines, peers = pages.engines, pages.peers

    def answers(k):
        def handler(fn_id, payload):
            if k == 1:
                raise RpcFailure(7, 3, "page says no")
            if k == 3:
                return b"\x02\x00"  # too short for a VecF64
            if k == 4:
                return vec_mat([1.0], [[1.0, 2.0]])  # not the others' shapes
            return vec_mat(*page_values(k, 1))
        return handler

    servers = [peers[k].serve(answers(k)) for k in (0, 1, 3, 4, 6)]
    await peers[5].send_close()  # the row reads the close message
    out = (np.full((7, 4), 5.0), np.full((7, 3, 2), 5.0)) if with_out else None
    try:
        # Page 2 never answers: its row times out on its own; the others do not wait longer.
        snapshots, windows, errors = await asyncio.wait_for(
            EngineGroup(engines).step_and_sync(0.5, out=out), GUARD)
    finally:
        await stop(servers)
    texts = [None if e is None else (type(e), str(e)) for e in errors]
    assert texts[0] is None and texts[6] is None
    assert texts[1] == (RuntimeError, "RpcError(seq=1, fnId=130, err=7, sub=3): page says no")
    assert texts[2] == (RuntimeError, transport(1, "timeout waiting response"))
    assert texts[3][0] is ValueError
    assert texts[4] == (ValueError, "step_and_sync result of shapes (1,) and (1, 2) does not match the others' "
                                    "(4,) and (3, 2)")
    assert texts[5] == (RuntimeError, transport(1, "websocket closed"))
    # What the same page would have raised alone, for the decoding failure:
    with pytest.raises(ValueError) as alone:
        py_engine_rust.decode_vec_mat_f64_py(b"\x02\x00")
    assert texts[3][1] == str(alone.value)
    for k in (0, 6):
        np.testing.assert_array_equal(snapshots[k], page_values(k, 1)[0])
        np.testing.assert_array_equal(windows[k], page_values(k, 1)[1])
    for k in (1, 2, 3, 4, 5):
        assert np.isnan(snapshots[k]).all() and np.isnan(windows[k]).all()
    if with_out:
        assert snapshots is out[0] and windows is out[1]


async def test_engines_not_connected_or_closed_fail_in_their_rows(pages, start_engine):
    idle, _ = await start_engine()
    closed = pages.engines[2]
    await closed.close()
    servers = pages.serve(stepping)
    try:
        snapshots, windows, errors = await EngineGroup(pages.engines + [idle]).step_and_sync()
    finally:
        await stop(servers)
    assert [None if e is None else str(e) for e in errors] == [
        None, None, transport(None, "engine closed"), transport(None, "no websocket connected")]
    assert snapshots.shape == (4, 4) and windows.shape == (4, 3, 2)


async def test_no_row_succeeding_gives_empty_shapes(start_engine):
    idle, _ = await start_engine()
    snapshots, windows, errors = await EngineGroup([idle, idle]).step_and_sync()
    assert snapshots.shape == (2, 0) and windows.shape == (2, 0, 0)
    assert [str(e) for e in errors] == [transport(None, "no websocket connected")] * 2
    snapshots, windows, errors = await EngineGroup([]).step_and_sync()
    assert (snapshots.shape, windows.shape, errors) == ((0, 0), (0, 0, 0), ())


async def test_out_is_filled_and_returned_at_every_step(pages):
    out = (np.zeros((3, 4)), np.zeros((3, 3, 2)))
    group = EngineGroup(pages.engines)
    servers = pages.serve(stepping)
    try:
        for step in (1, 2, 3):
            snapshots, windows, errors = await group.step_and_sync(out=out)
            assert snapshots is out[0] and windows is out[1] and errors == (None,) * 3
            for k in range(3):
                np.testing.assert_array_equal(out[0][k], page_values(k, step)[0])
                np.testing.assert_array_equal(out[1][k], page_values(k, step)[1])
    finally:
        await stop(servers)


def c_array(shape, dtype=np.float64):
    return np.zeros(shape, dtype=dtype)


def read_only(shape):
    a = c_array(shape)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("out, exc, text", [
    ([c_array((3, 4)), c_array((3, 3, 2))], TypeError, "argument 'out': a tuple"),
    ((c_array((3, 4)),), TypeError, "argument 'out': a tuple"),
    ((c_array((3, 4), np.float32), c_array((3, 3, 2))), TypeError, "argument 'out[0]': type mismatch"),
    ((c_array((3, 4)), c_array((3, 6))), TypeError, "argument 'out[1]': dimensionality mismatch"),
    ((np.zeros((3, 4)).tolist(), c_array((3, 3, 2))), TypeError, "argument 'out[0]'"),
    ((c_array((2, 4)), c_array((2, 3, 2))), ValueError, "argument 'out': arrays of 3 rows"),
    ((c_array((3, 4)), c_array((4, 3, 2))), ValueError, "argument 'out': arrays of 3 rows"),
    ((np.zeros((4, 3)).T, c_array((3, 3, 2))), ValueError, "argument 'out[0]': a C-contiguous, writeable"),
    ((c_array((3, 4)), c_array((3, 3, 4))[:, :, ::2]), ValueError, "argument 'out[1]': a C-contiguous, writeable"),
    ((read_only((3, 4)), c_array((3, 3, 2))), ValueError, "argument 'out[0]': a C-contiguous, writeable"),
])
async def test_out_is_checked_before_anything_is_sent(pages, out, exc, text):
    servers = pages.serve(stepping)
    try:
        with pytest.raises(exc) as info:
            EngineGroup(pages.engines).step_and_sync(out=out)
        assert str(info.value).startswith(text), str(info.value)
        # Nothing went out: each page's first request is the next call's.
        assert await pages.engines[0].step_and_sync() is not None
    finally:
        await stop(servers)
    assert servers[0].requests == [(1, STEP_AND_SYNC, b"")]


@pytest.mark.parametrize("call, exc, text", [
    (lambda g: g.step_and_sync(1.0, None), TypeError, "EngineGroup.step_and_sync() takes from 0 to 1 positional"),
    (lambda g: g.step_and_sync(timeout_secs="soon"), TypeError, "argument 'timeout_secs'"),
    (lambda g: g.step_and_sync(-1.0), ValueError, "cannot convert float seconds to Duration: value is negative"),
    (lambda g: g.step_and_sync(wrong=1), TypeError, "EngineGroup.step_and_sync() got an unexpected keyword"),
])
async def test_call_time_errors(pages, call, exc, text):
    with pytest.raises(exc) as info:
        call(EngineGroup(pages.engines))
    assert text in str(info.value)


@pytest.mark.parametrize("engines, text", [
    (5, "'int' object is not iterable"),
    ([None], "argument 'engines': item 0 is a 'NoneType', not a RustEngineAsync"),
])
def test_group_of_anything_but_engines_is_refused(engines, text):
    with pytest.raises(TypeError) as info:
        EngineGroup(engines)
    assert text in str(info.value)


async def test_cancelling_the_step_abandons_every_row(pages):
    engines, peers = pages.engines, pages.peers
    step = EngineGroup(engines).step_and_sync(30)
    for peer in peers:
        assert (await peer.recv_request())[1] == STEP_AND_SYNC
    step.cancel()
    with pytest.raises(asyncio.CancelledError):
        await step
    # Every engine's slot is free at once (the rows would otherwise hold it for 30 s): the next
    # call's request goes out and is answered, the abandoned one never is.
    calls = [engine.step_next(GUARD) for engine in engines]
    for peer in peers:
        seq, fn_id, _ = await peer.recv_request()
        assert (seq, fn_id) == (2, FN_IDS["step_next"])
        await peer.respond(seq, fn_id)
    assert await asyncio.wait_for(asyncio.gather(*calls), GUARD) == [None] * len(engines)
