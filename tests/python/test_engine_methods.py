"""The module against its type stub python/quellmar/_native.pyi: every class, method, property,
constructor and module function the stub declares, with the signature it gives (names, order,
kinds, defaults), and mypy's stubtest for the types."""

import __future__
import inspect
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

import quellmar
from quellmar import _native
from quellmar._native import CheckpointRepository, Engine, ReadResult

STUB = Path(__file__).resolve().parents[2] / "python" / "quellmar" / "_native.pyi"
CLASSES = [Engine, ReadResult, CheckpointRepository]


def load_stub():
    """The stub run as a module of its own, its annotations left unevaluated."""
    stub = types.ModuleType("_native_stub")
    code = compile(STUB.read_text(), str(STUB), "exec", dont_inherit=True,
                   flags=__future__.annotations.compiler_flag)
    exec(code, vars(stub))
    return stub


STUB_MODULE = load_stub()


def public(namespace):
    return {name: obj for name, obj in vars(namespace).items() if not name.startswith("_")}


def kind(obj):
    if isinstance(obj, staticmethod):
        return "static"
    if isinstance(obj, (property, types.GetSetDescriptorType, types.MemberDescriptorType)):
        return "property"
    return "method"


def signature_text(obj):
    """The signature as inspect prints it, without annotations."""
    sig = inspect.signature(obj)
    params = [p.replace(annotation=p.empty) for p in sig.parameters.values()]
    return str(sig.replace(parameters=params, return_annotation=sig.empty))


def test_engine_has_63_methods_two_of_them_static():
    methods = public(Engine)
    assert len(methods) == 63
    assert {n for n, obj in methods.items() if kind(obj) == "static"} == {
        "open_with_write_buffer", "restore_from"}


def test_every_engine_method_has_a_docstring():
    for name in public(Engine):
        doc = getattr(Engine, name).__doc__
        assert doc and doc.strip(), f"{name} has no docstring text"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_matches_the_stub(cls):
    stub_cls = getattr(STUB_MODULE, cls.__name__)
    runtime, stub = public(cls), public(stub_cls)
    assert sorted(runtime) == sorted(stub)
    for name in runtime:
        assert kind(runtime[name]) == kind(stub[name]), name
        if kind(runtime[name]) != "property":
            assert signature_text(getattr(cls, name)) == signature_text(getattr(stub_cls, name)), name
    if cls is not ReadResult:  # made by reads only, it has no constructor
        assert signature_text(cls) == signature_text(stub_cls)


def test_read_result_properties_keep_their_order():
    """The comparison above sorts names; the order the properties are registered in (and the
    stub lists them in) is checked here."""
    order = ["cell_id", "owner", "layer", "score", "tier", "importance"]
    for cls in (ReadResult, STUB_MODULE.ReadResult):
        assert [name for name, obj in public(cls).items() if kind(obj) == "property"] == order


def test_module_matches_the_stub():
    assert STUB_MODULE.__all__ == _native.__all__
    declared = set(STUB_MODULE.__annotations__) | {
        name for name, obj in vars(STUB_MODULE).items()
        if getattr(obj, "__module__", None) == STUB_MODULE.__name__}
    assert {name for name in declared if not name.startswith("_")} | {"__version__"} == set(
        _native.__all__)
    assert signature_text(_native.find_chunk_boundary) == signature_text(
        STUB_MODULE.find_chunk_boundary)


def test_stub_passes_stubtest(tmp_path):
    """mypy's stubtest compares the stub with the imported module: names, kinds, parameters,
    and whether each default fits its declared type. Its cache goes to the test's own folder,
    not the working directory."""
    runtime_root = Path(quellmar.__file__).resolve().parents[1]
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'mypy-cache'}\n")
    env = dict(os.environ, MYPYPATH=str(STUB.parents[1]), PYTHONPATH=str(runtime_root))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quellmar._native", "--mypy-config-file",
         str(config)],
        env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
