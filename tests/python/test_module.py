import gc
import inspect

import pytest

from quellmar import _native
from quellmar._native import CheckpointRepository, Engine, ReadResult

ALL = [
    "__version__",
    "Engine",
    "ReadResult",
    "CheckpointRepository",
    "ENCODING_HEADER_SIZE",
    "ENCODING_SENTINEL",
    "ENCODING_N_TOKENS_IDX",
    "ENCODING_DIM_IDX",
    "SALIENCE_SCALE",
    "SALIENCE_CAP",
    "find_chunk_boundary",
]


def test_attributes_and_all_in_order():
    assert _native.__all__ == ALL
    public = [name for name in vars(_native) if name in ALL]
    assert public == ALL  # added in the same order
    assert _native.__version__ == "0.6.0"
    assert _native.__doc__ == (
        "`Quellmar` \u2014 LLM-native database kernel for persistent KV cache memory."
    )


def test_constants():
    assert _native.ENCODING_HEADER_SIZE == 64
    assert _native.ENCODING_SENTINEL == -1e9
    assert _native.ENCODING_N_TOKENS_IDX == 32
    assert _native.ENCODING_DIM_IDX == 33
    assert _native.SALIENCE_SCALE == 50.0
    assert _native.SALIENCE_CAP == 100.0
    for name in ("ENCODING_HEADER_SIZE", "ENCODING_N_TOKENS_IDX", "ENCODING_DIM_IDX"):
        assert type(getattr(_native, name)) is int
    for name in ("ENCODING_SENTINEL", "SALIENCE_SCALE", "SALIENCE_CAP"):
        assert type(getattr(_native, name)) is float


@pytest.mark.parametrize("cls", [Engine, ReadResult, CheckpointRepository], ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "quellmar._native"
    with pytest.raises(TypeError) as exc:
        type("X", (cls,), {})
    assert str(exc.value) == f"type 'quellmar._native.{cls.__name__}' is not an acceptable base type"


def test_read_result_has_no_constructor():
    with pytest.raises(TypeError) as exc:
        ReadResult()
    assert str(exc.value) == "cannot create 'quellmar._native.ReadResult' instances"


def test_instances_take_no_part_in_gc(engine):
    assert not gc.is_tracked(engine)
    assert not gc.is_tracked(CheckpointRepository("/nonexistent/root"))


def test_class_and_function_docstrings():
    assert Engine.__doc__.startswith(
        "`Quellmar` engine \u2014 persistent KV cache memory for LLM agents.\n\n"
    )
    assert "thread-safe" in Engine.__doc__.lower()
    assert CheckpointRepository.__doc__.startswith("Labeled checkpoint repository.\n\n")
    assert ReadResult.__doc__ == "A single retrieval result returned from `mem_read`."
    assert _native.find_chunk_boundary.__doc__.startswith(
        "Find a byte position `<= max_pos` to split `text` at, preferring the\n"
    )


def test_every_engine_method_carries_its_signature_line():
    names = [name for name in vars(Engine) if not name.startswith("__")]
    assert names
    for name in names:
        method = getattr(Engine, name)
        assert method.__text_signature__ is not None, name
        params = list(inspect.signature(method).parameters)
        static = isinstance(vars(Engine)[name], staticmethod)
        assert (params[:1] == ["self"]) != static, name


def test_checkpoint_repository_constructor(tmp_path):
    root = str(tmp_path / "does" / "not" / "exist")
    CheckpointRepository(root)
    CheckpointRepository(root=root)
    assert not (tmp_path / "does").exists()
    with pytest.raises(TypeError) as exc:
        CheckpointRepository()
    assert str(exc.value) == (
        "CheckpointRepository.__new__() missing 1 required positional argument: 'root'"
    )
    with pytest.raises(TypeError) as exc:
        CheckpointRepository(3)
    assert str(exc.value) == "argument 'root': 'int' object is not an instance of 'str'"
