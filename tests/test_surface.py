"""The module's surface and the engine's constructor: names, signatures,
docstrings, accepted and refused arguments, and what is checked before a
running loop is looked up."""

import platform

import pytest

import py_engine_rust
from peer import free_port
from support import HOST, Index, listening_socket, OUT_OF_RANGE, RustEngineAsync


PYPY = platform.python_implementation() == "PyPy"

NEEDS_CPYTHON_DOCS = pytest.mark.skipif(
    PYPY, reason="PyPy's C-API exposes no method docstrings or text signatures")

MODULE_FUNCTIONS = {
    "decode_vec_f64_py": ("(payload)",
                          "Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"),
    "decode_mat_f64_py": ("(payload)",
                          "Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"),
    "decode_close_step_py": ("(payload)",
                             "Decode CloseStep payload into tuple(flags, actions, ratios) "
                             "as numpy arrays."),
    "decode_vec_mat_f64_py": ("(payload)", "Decode VecF64 + MatF64 payload into (vec, mat)."),
    "encode_vec_f64_py": ("(arr)", None),
    "encode_mat_f64_py": ("(mat)", None),
    "encode_close_step_py": ("(flags, actions, ratios)", None),
}

MODULE_ATTRIBUTES = ["RustEngineAsync"] + list(MODULE_FUNCTIONS)
TIMEOUT_ONLY = "($self, timeout_secs=None)"

METHODS = {
    "start": ("($self)", None),
    "wait_connected": (TIMEOUT_ONLY, None),
    "init_candles": ("($self, ohlc5, timeout_secs=None)", None),
    "reset_episode": ("($self, episode_index, episode_type, timeout_secs=None)",
                      "Reset to a specific episode by index.\n"
                      "Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"),
    "get_rl_config": (TIMEOUT_ONLY, "Get RL config from UI (seed, episode counts, etc.). "
                                    "Returns JSON string."),
    "step_next": (TIMEOUT_ONLY, None),
    "step_and_sync": (TIMEOUT_ONLY, None),
    "get_snapshot": (TIMEOUT_ONLY, None),
    "get_ticket_list": (TIMEOUT_ONLY, None),
    "get_ohlc": (TIMEOUT_ONLY, None),
    "fetch_events": (TIMEOUT_ONLY, None),
    "end_session": (TIMEOUT_ONLY, None),
    "get_sync_policy": (TIMEOUT_ONLY, None),
    "close_positions": ("($self, position_ids, actions, ratios, timeout_secs=None)", None),
    "place_order": ("($self, side, order_type, price, units, take_profit=None, "
                    "stop_loss=None, trailing_stop=None, time_limit=None, "
                    "timeout_secs=None)", None),
    "place_ticket": ("($self, side, units, take_profit=None, stop_loss=None, "
                     "trailing_stop=None, timeout_secs=None)", None),
}


def test_module_docstring():
    assert py_engine_rust.__doc__ == "PyO3 module entrypoint."


def test_all_lists_registered_names_in_table_order():
    names = list(py_engine_rust.__all__)
    assert names[0] == "RustEngineAsync"
    assert names == [n for n in MODULE_ATTRIBUTES if n in names], names
    assert names == [n for n in MODULE_ATTRIBUTES if hasattr(py_engine_rust, n)]
    for name in names:
        assert getattr(py_engine_rust, name).__name__ == name


def test_engine_class_surface():
    assert isinstance(RustEngineAsync, type)
    assert RustEngineAsync.__name__ == "RustEngineAsync"
    assert RustEngineAsync.__text_signature__ == "(host, port, start_seq=None)"
    assert not RustEngineAsync.__doc__


def test_methods_registered_in_table_order():
    # The sixteen in their order; close() comes after them.
    present = [name for name in vars(RustEngineAsync) if name in METHODS]
    assert present == list(METHODS)


@NEEDS_CPYTHON_DOCS
@pytest.mark.parametrize("owner, table, name",
                         [(RustEngineAsync, METHODS, name) for name in METHODS]
                         + [(py_engine_rust, MODULE_FUNCTIONS, name) for name in MODULE_FUNCTIONS],
                         ids=["method %s" % name for name in METHODS]
                         + ["function %s" % name for name in MODULE_FUNCTIONS])
def test_text_signature_and_docstring(owner, table, name):
    callable_ = getattr(owner, name)
    signature, doc = table[name]
    assert callable_.__text_signature__ == signature
    assert callable_.__doc__ == doc


@pytest.mark.parametrize("args, kwargs", [
    (("127.0.0.1", 0), {}),
    (("127.0.0.1", 65535, None), {}),
    (("", 1, 0), {}),
    (("any text, not resolved", 1, 4294967295), {}),
    ((), {"host": "h", "port": 1, "start_seq": 7}),
    (("h",), {"port": Index(8000), "start_seq": Index(3)}),
])
def test_constructor_accepts(args, kwargs):
    assert isinstance(RustEngineAsync(*args, **kwargs), RustEngineAsync)


@pytest.mark.parametrize("args, kwargs, exc, text", [
    ((1, 2), {}, TypeError, "argument 'host': "),
    ((b"h", 2), {}, TypeError, "argument 'host': "),
    (("h", "2"), {}, TypeError, "argument 'port': "),
    (("h", 2.0), {}, TypeError, "argument 'port': "),
    (("h", None), {}, TypeError, "argument 'port': "),
    (("h", -1), {}, OverflowError, OUT_OF_RANGE),
    (("h", 65536), {}, OverflowError, OUT_OF_RANGE),
    (("h", 2 ** 70), {}, OverflowError, None),
    (("h", 1, "1"), {}, TypeError, "argument 'start_seq': "),
    (("h", 1, 1.0), {}, TypeError, "argument 'start_seq': "),
    (("h", 1, -1), {}, OverflowError, OUT_OF_RANGE),
    (("h", 1, 2 ** 32), {}, OverflowError, OUT_OF_RANGE),
    # a host cut at an embedded NUL would bind another address than the one given
    (("127.0.0.1\x00x", 1), {}, ValueError, None),
    (("localhost\x00", 1), {}, ValueError, None),
    (("\x00127.0.0.1", 1), {}, ValueError, None),
    # conversion order: host, then port, then start_seq
    ((1, -1, "x"), {}, TypeError, "argument 'host': "),
    (("h", 70000, "x"), {}, OverflowError, OUT_OF_RANGE),
    # binding
    (("h",), {}, TypeError, None),
    ((), {"port": 1}, TypeError, None),
    (("h", 1, 2, 3), {}, TypeError, None),
    (("h", 1), {"port": 2}, TypeError, None),
    (("h", 1), {"start": 2}, TypeError, None),
])
def test_constructor_rejects(args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        RustEngineAsync(*args, **kwargs)
    assert type(info.value) is exc
    if text == OUT_OF_RANGE:
        assert str(info.value) == text
    elif text is not None:
        assert str(info.value).startswith(text)


def test_construction_opens_no_socket():
    port = free_port()
    RustEngineAsync(HOST, port)
    listening_socket(port).close()


@pytest.mark.parametrize("call", [
    lambda e: e.start(),
    lambda e: e.wait_connected(),
    lambda e: e.wait_connected(0),
    lambda e: e.step_next(),
    lambda e: e.reset_episode(1, "test"),
    lambda e: e.get_rl_config(1.0),
    lambda e: e.get_sync_policy(timeout_secs=None),
])
def test_call_without_running_loop_raises_runtime_error(call):
    with pytest.raises(RuntimeError):
        call(RustEngineAsync(HOST, free_port()))


@pytest.mark.parametrize("call, exc", [
    (lambda e: e.wait_connected(-1), ValueError),
    (lambda e: e.wait_connected("1"), TypeError),
    (lambda e: e.step_next(timeout_secs=float("nan")), ValueError),
    (lambda e: e.reset_episode(-1, "test"), OverflowError),
    (lambda e: e.reset_episode(1, None), TypeError),
    (lambda e: e.start(1), TypeError),
])
def test_argument_errors_come_before_the_loop_lookup(call, exc):
    with pytest.raises(exc):
        call(RustEngineAsync(HOST, free_port()))
