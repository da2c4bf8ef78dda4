"""The type stub describes exactly what the module registers."""

import ast
import inspect
import os
import platform

import pytest

import py_engine_rust

STUB = os.path.join(os.path.dirname(__file__), "..", "stubs", "py_engine_rust.pyi")
PYPY = platform.python_implementation() == "PyPy"


def stub_tree():
    with open(STUB) as f:
        return ast.parse(f.read())


def params(fn):
    a = fn.args
    names = [x.arg for x in a.posonlyargs + a.args]
    defaults = [None] * (len(names) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    return [(n, d) for n, d in zip(names, defaults) if n not in ("self", "cls")]


def stub_functions():
    tree = stub_tree()
    funcs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "RustEngineAsync")
    methods = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef) and not is_property(n)}
    return funcs, methods


def is_property(fn):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)


def stub_properties():
    cls = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == "RustEngineAsync")
    return [n.name for n in cls.body if isinstance(n, ast.FunctionDef) and is_property(n)]


def test_stub_names_every_registered_callable():
    funcs, methods = stub_functions()
    assert ["RustEngineAsync"] + list(funcs) == py_engine_rust.__all__
    registered = [k for k, v in vars(py_engine_rust.RustEngineAsync).items() if not k.startswith("_") and callable(v)]
    assert [m for m in methods if m != "__new__"] == registered
    attributes = [k for k, v in vars(py_engine_rust.RustEngineAsync).items()
                  if not k.startswith("_") and not callable(v)]
    assert stub_properties() == attributes


def runtime_params(obj):
    sig = inspect.signature(obj)
    return [(p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
            for p in sig.parameters.values() if p.name not in ("self", "$self")]


@pytest.mark.skipif(PYPY, reason="PyPy does not expose text signatures")
def test_stub_parameters_match_the_text_signatures():
    funcs, methods = stub_functions()
    for name, fn in funcs.items():
        assert params(fn) == runtime_params(getattr(py_engine_rust, name)), name
    for name, fn in methods.items():
        target = py_engine_rust.RustEngineAsync if name == "__new__" else getattr(py_engine_rust.RustEngineAsync, name)
        assert params(fn) == runtime_params(target), name


@pytest.mark.parametrize("name", ["place_order", "close_positions", "wait_connected"])
def test_stub_keywords_are_accepted_by_the_module(name):
    # On every interpreter: each stub parameter name is a keyword the method binds.
    _, methods = stub_functions()
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", 1)
    names = [n for n, _ in params(methods[name])]
    with pytest.raises(TypeError) as info:
        getattr(engine, name)(**{n: object() for n in names}, unknown=1)
    assert "unexpected keyword argument 'unknown'" in str(info.value)


def stub_class(name):
    return next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name)


def all_params(fn):
    a = fn.args
    names = [x.arg for x in a.posonlyargs + a.args] + ["*"] + [x.arg for x in a.kwonlyargs]
    return [n for n in names if n not in ("self", "cls")]


def test_stub_describes_the_engine_group_beside_all():
    assert "EngineGroup" not in py_engine_rust.__all__
    cls = stub_class("EngineGroup")
    methods = [n.name for n in cls.body if isinstance(n, ast.FunctionDef) and not is_property(n)]
    properties = [n.name for n in cls.body if isinstance(n, ast.FunctionDef) and is_property(n)]
    group = py_engine_rust.EngineGroup
    assert [m for m in methods if not m.startswith("__")] == [
        k for k, v in vars(group).items() if not k.startswith("_") and callable(v)]
    assert properties == [k for k, v in vars(group).items() if not k.startswith("_") and not callable(v)]
    assert len(group([])) == 0


@pytest.mark.skipif(PYPY, reason="PyPy does not expose text signatures")
def test_stub_engine_group_parameters_match_the_text_signatures():
    step = next(n for n in stub_class("EngineGroup").body if getattr(n, "name", "") == "step_and_sync")
    sig = inspect.signature(py_engine_rust.EngineGroup.step_and_sync)
    runtime = [p.name for p in sig.parameters.values() if p.name not in ("self", "$self")]
    kinds = [p.kind for p in sig.parameters.values() if p.name == "out"]
    assert all_params(step) == runtime[:1] + ["*"] + runtime[1:]
    assert kinds == [inspect.Parameter.KEYWORD_ONLY]
