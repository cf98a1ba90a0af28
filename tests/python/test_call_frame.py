"""The call frame: binding arguments to parameters, each argument kind, borrows, the interpreter
lock and the mapping of failures. _frame_probe (built with the tests) puts every argument kind
and the engine lock before Python on its own."""

import collections.abc
import contextlib
import threading
import time

import numpy as np
import pytest

import _frame_probe as probe
from _threads import python_progress_during
from conftest import CONTIGUITY, raises
from quellmar._native import Engine, find_chunk_boundary


# --- Binding arguments to parameters ----------------------------------------------------------

BINDING_ERRORS = [
    ("none-given", lambda p: find_chunk_boundary(),
     "find_chunk_boundary() missing 3 required positional arguments: "
     "'text', 'max_pos', and 'strategy'"),
    ("two-missing", lambda p: find_chunk_boundary("a"),
     "find_chunk_boundary() missing 2 required positional arguments: 'max_pos' and 'strategy'"),
    ("missing-after-keyword", lambda p: find_chunk_boundary(strategy="x", text="a"),
     "find_chunk_boundary() missing 1 required positional argument: 'max_pos'"),
    ("too-many-all-required", lambda p: find_chunk_boundary("a", 1, "x", 4),
     "find_chunk_boundary() takes 3 positional arguments but 4 were given"),
    ("too-many-one", lambda p: probe.u64(1, 2),
     "u64() takes 1 positional arguments but 2 were given"),
    ("too-many-with-defaults", lambda p: Engine(p, 1, 2, 3),
     "Engine.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    ("static-too-many", lambda p: Engine.open_with_write_buffer(p, 1, 0, 9),
     "Engine.open_with_write_buffer() takes from 2 to 3 positional arguments but 4 were given"),
    ("unexpected-keyword", lambda p: Engine(p, segment=1),
     "Engine.__new__() got an unexpected keyword argument 'segment'"),
    ("multiple-values", lambda p: Engine(p, path=p),
     "Engine.__new__() got multiple values for argument 'path'"),
    ("constructor-missing", lambda p: Engine(),
     "Engine.__new__() missing 1 required positional argument: 'path'"),
    ("no-argument-method", lambda p: Engine(p).cell_count(1),
     "Engine.cell_count() takes no arguments (1 given)"),
]


@pytest.mark.parametrize("call, text", [c[1:] for c in BINDING_ERRORS],
                         ids=[c[0] for c in BINDING_ERRORS])
def test_binding_errors(engine_dir, call, text):
    raises(TypeError, text, call, engine_dir)


def test_keywords_and_defaults():
    assert probe.defaults(1) == (1, 0.0, 15.0)
    assert probe.defaults(1, 2) == (1, 2.0, 15.0)
    assert probe.defaults(eviction_threshold=3, a=1) == (1, 0.0, 3.0)
    # A default is taken only when the argument is left out; None is converted like any value.
    raises(TypeError, "argument 'hours': must be real number, not NoneType",
           probe.defaults, 1, hours=None)


# --- Argument kinds ---------------------------------------------------------------------------

class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 2.5


class ListLike(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


f32 = np.float32
STRIDED = np.arange(8, dtype=f32)[::2]
MISALIGNED = np.frombuffer(bytearray(20), dtype=f32, count=4, offset=1)
OUT_OF_RANGE = "out of range integral type conversion attempted"

KIND_ERRORS = [
    # id, function, argument, exception type, text
    ("u64-negative", probe.u64, -1, OverflowError, "can't convert negative int to unsigned"),
    ("u64-too-large", probe.u64, 2**64, OverflowError, "int too big to convert"),
    ("u64-float", probe.u64, 1.0, TypeError,
     "argument 'owner': 'float' object cannot be interpreted as an integer"),
    ("u64-none", probe.u64, None, TypeError,
     "argument 'owner': 'NoneType' object cannot be interpreted as an integer"),
    ("u32-too-large", probe.u32, 2**32, OverflowError, OUT_OF_RANGE),
    ("u16-too-large", probe.u16, 65536, OverflowError, OUT_OF_RANGE),
    ("u16-negative", probe.u16, -1, OverflowError, OUT_OF_RANGE),
    ("u8-too-large", probe.u8, 256, OverflowError, OUT_OF_RANGE),
    ("u8-beyond-i64", probe.u8, 2**63, OverflowError, "Python int too large to convert to C long"),
    ("u16-str", probe.u16, "1", TypeError,
     "argument 'layer': 'str' object cannot be interpreted as an integer"),
    ("f32-str", probe.f32, "1.0", TypeError, "argument 'salience': must be real number, not str"),
    ("f64-none", probe.f64, None, TypeError,
     "argument 'fires_at_unix_secs': must be real number, not NoneType"),
    ("bool-int", probe.boolean, 1, TypeError,
     "argument 'enabled': 'int' object is not an instance of 'bool'"),
    ("bool-none", probe.boolean, None, TypeError,
     "argument 'enabled': 'None' is not an instance of 'bool'"),
    ("bool-numpy-int", probe.boolean, np.int8(1), TypeError,
     "argument 'enabled': 'int8' object is not an instance of 'bool'"),
    ("str-bytes", probe.text, b"a", TypeError,
     "argument 'label': 'bytes' object is not an instance of 'str'"),
    ("str-surrogate", probe.text, "\udc80", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    ("vector-float64", probe.vector, np.zeros(3), TypeError,
     "argument 'retrieval_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("vector-2d", probe.vector, np.zeros((2, 2), f32), TypeError,
     "argument 'retrieval_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("vector-list", probe.vector, [1.0], TypeError,
     "argument 'retrieval_key': 'list' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("vector-byte-swapped", probe.vector, np.zeros(3, ">f4"), TypeError,
     "argument 'retrieval_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("vector-strided", probe.vector, STRIDED, RuntimeError, CONTIGUITY),
    ("vector-misaligned", probe.vector, MISALIGNED, RuntimeError, CONTIGUITY),
    ("any-shape-transposed", probe.any_shape, np.zeros((2, 3), f32)[:, ::2], RuntimeError,
     CONTIGUITY),
    ("matrix-1d", probe.matrix, np.zeros(3, f32), TypeError,
     "argument 'token_matrix': 'ndarray' object is not an instance of 'ndarray[float32, ndim=2]'"),
    ("sequence-str", probe.payloads, "ab", TypeError,
     "argument 'layer_payloads': Can't extract `str` to `Vec`"),
    ("sequence-dict", probe.payloads, {0: 1}, TypeError,
     "argument 'layer_payloads': 'dict' object is not an instance of 'Sequence'"),
    ("sequence-generator", probe.payloads, (x for x in ()), TypeError,
     "argument 'layer_payloads': 'generator' object is not an instance of 'Sequence'"),
    ("tuple-length", probe.payloads, [(0, np.zeros(1, f32), 1)], ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("tuple-list", probe.payloads, [[0, np.zeros(1, f32)]], TypeError,
     "argument 'layer_payloads': 'list' object is not an instance of 'tuple'"),
    ("tuple-item-range", probe.payloads, [(70000, np.zeros(1, f32))], OverflowError,
     OUT_OF_RANGE),
    ("tuple-item-type", probe.payloads, [(0, np.zeros(1))], TypeError,
     "argument 'layer_payloads': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("copy-contiguity", probe.payloads, [(0, STRIDED)], RuntimeError, CONTIGUITY),
]


@pytest.mark.parametrize("fn, arg, exc_type, text", [c[1:] for c in KIND_ERRORS],
                         ids=[c[0] for c in KIND_ERRORS])
def test_kind_errors(fn, arg, exc_type, text):
    raises(exc_type, text, fn, arg)


KIND_VALUES = [
    ("u64-max", probe.u64, 2**64 - 1, 2**64 - 1),
    ("u64-index", probe.u64, Index(7), 7),
    ("u64-bool", probe.u64, True, 1),
    ("u32-max", probe.u32, 2**32 - 1, 2**32 - 1),
    ("u16-index", probe.u16, Index(65535), 65535),
    ("u8-numpy", probe.u8, np.int64(255), 255),
    ("f32-int", probe.f32, 3, 3.0),
    ("f32-narrowed", probe.f32, 0.1, float(f32(0.1))),
    ("f32-dunder-float", probe.f32, Floaty(), 2.5),
    ("f32-index", probe.f32, Index(4), 4.0),
    ("f32-overflow", probe.f32, 1e300, float("inf")),
    ("f32-overflow-negative", probe.f32, -1e300, float("-inf")),
    ("f32-just-above-max", probe.f32, float(np.finfo(f32).max) * (1 + 2**-25),
     float(np.finfo(f32).max)),
    ("f64-kept", probe.f64, 0.1, 0.1),
    ("bool-true", probe.boolean, True, True),
    ("bool-numpy", probe.boolean, np.bool_(False), False),
    ("str-unicode", probe.text, "h\u00e9\U0001f600", "h\u00e9\U0001f600"),
    ("optional-none", probe.optional_u64, None, None),
    ("optional-value", probe.optional_u64, 5, 5),
    ("vector-empty", probe.vector, np.zeros(0, f32), []),
    ("vector-empty-strided", probe.vector, np.zeros(4, f32)[4::2], []),
    ("vector-read-only", probe.vector, np.frombuffer(np.ones(2, f32).tobytes(), f32), [1.0, 1.0]),
    ("any-shape-memory-order", probe.any_shape, np.asfortranarray(np.arange(6, dtype=f32).reshape(2, 3)),
     [0.0, 3.0, 1.0, 4.0, 2.0, 5.0]),
    ("matrix-c", probe.matrix, np.arange(6, dtype=f32).reshape(2, 3),
     (2, 3, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0])),
    ("matrix-transposed", probe.matrix, np.arange(6, dtype=f32).reshape(2, 3).T,
     (3, 2, [0.0, 3.0, 1.0, 4.0, 2.0, 5.0])),
    ("matrix-stepped", probe.matrix, np.arange(12, dtype=f32).reshape(3, 4)[::2, ::3],
     (2, 2, [0.0, 3.0, 8.0, 11.0])),
    ("matrix-misaligned", probe.matrix,
     np.frombuffer(b"\0" + np.arange(4, dtype=f32).tobytes(), f32, offset=1).reshape(2, 2),
     (2, 2, [0.0, 1.0, 2.0, 3.0])),
    ("matrix-empty", probe.matrix, np.zeros((0, 8), f32), (0, 8, [])),
    ("sequence-tuple", probe.payloads, ((1, np.ones(1, f32)),), [(1, [1.0])]),
    ("sequence-abc", probe.payloads, ListLike([(2, np.ones(2, f32))]), [(2, [1.0, 1.0])]),
    ("sequence-empty", probe.payloads, [], []),
    ("objects", probe.objects, [1, "a", None], 3),
]


@pytest.mark.parametrize("fn, arg, expected", [c[1:] for c in KIND_VALUES],
                         ids=[c[0] for c in KIND_VALUES])
def test_kind_values(fn, arg, expected):
    assert fn(arg) == expected


def test_f32_keeps_nan():
    assert probe.f32(float("nan")) != probe.f32(float("nan"))


def test_result_arrays_own_their_copy():
    source = np.array([1.0, 2.0, 250.0], f32)
    floats, wide, narrow = probe.arrays(source)
    for array, dtype in ((floats, np.float32), (wide, np.uint64), (narrow, np.uint8)):
        assert array.dtype == dtype and array.ndim == 1 and array.flags.owndata
        assert array.tolist() == [1, 2, 250]
    source[0] = 9.0
    assert floats[0] == 1.0
    empty = probe.arrays(np.zeros(0, f32))
    assert [a.shape for a in empty] == [(0,), (0,), (0,)]


def test_every_argument_is_type_checked_before_any_array_is_copied():
    # The first payload cannot be copied, the second has the wrong type: the type wins.
    raises(TypeError,
           "argument 'layer_payloads': 'ndarray' object is not an instance of "
           "'ndarray[float32, ndim=1]'",
           probe.payloads, [(0, STRIDED), (1, np.zeros(2))])


def test_view_keys_contiguity_is_a_type_error():
    assert probe.view_keys(1, [np.ones(3, f32), np.zeros(0, f32)]) == 2
    raises(TypeError, CONTIGUITY, probe.view_keys, 1, [STRIDED])


# --- Failures -----------------------------------------------------------------------------------

def test_internal_failures_become_panic_exception():
    assert issubclass(probe.PanicException, BaseException)
    assert not issubclass(probe.PanicException, Exception)
    with pytest.raises(probe.PanicException) as exc:
        try:
            probe.fail("fault")
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    assert str(exc.value) == "invariant broken: probe"
    raises(probe.PanicException, "some other failure", probe.fail, "other")
    with pytest.raises(MemoryError):
        probe.fail("bad_alloc")


def test_engine_error_becomes_runtime_error(engine_dir):
    raises(RuntimeError, "pack not found: 7", probe.Holder(engine_dir).engine_error)


def test_fault_under_the_lock_poisons_it_for_good(engine_dir):
    holder = probe.Holder(engine_dir)
    assert holder.cell_count() == 0
    raises(probe.PanicException, "invariant broken: under the lock", holder.fault_nogil)
    for _ in range(2):
        raises(RuntimeError, "engine lock poisoned", holder.cell_count)
        raises(RuntimeError, "engine lock poisoned", holder.sleep_nogil, 0)
    # Borrows were given back on the way out.
    holder.sleep_exclusive(0)


ENGINE_LOST = ("out of memory while the engine was changing: the engine lock is poisoned and "
               "this engine can no longer be used")


@pytest.mark.parametrize("release_gil", [False, True], ids=["holding-gil", "gil-released"])
@pytest.mark.parametrize("kind, exc_type, text, poisons", [
    ("unchanged", MemoryError, "out of memory: probe; nothing was written", False),
    ("bad_alloc", "PanicException", ENGINE_LOST, True),
    ("fault", "PanicException", "invariant broken: under the lock", True),
], ids=["allocation-before-any-change", "allocation-mid-change", "internal-fault"])
def test_failures_under_the_lock(engine_dir, kind, exc_type, text, poisons, release_gil):
    """Only an allocation that failed before anything changed is a MemoryError that leaves the
    engine usable; one that may have left a change half made says the engine is lost."""
    exc_type = getattr(probe, exc_type) if isinstance(exc_type, str) else exc_type
    holder = probe.Holder(engine_dir)
    raises(exc_type, text, holder.fail_locked, kind, release_gil)
    if poisons:
        raises(RuntimeError, "engine lock poisoned", holder.cell_count)
    else:
        assert holder.cell_count() == 0
    holder.sleep_exclusive(0)  # the borrow was given back


# --- Borrows and the interpreter lock -----------------------------------------------------------

def in_thread(fn, *args):
    """Starts fn(*args) in a thread; returns the thread and a list that receives its outcome."""
    outcome = []

    def run():
        try:
            outcome.append(fn(*args))
        except BaseException as e:  # noqa: BLE001
            outcome.append(e)

    t = threading.Thread(target=run)
    t.start()
    return t, outcome


@contextlib.contextmanager
def held_in_thread(hold):
    """Runs hold(seconds), a holder method that waits at the probe's gate, in another thread until
    it holds its borrow there; lets it go on leaving the block, and expects it to have returned."""
    t, outcome = in_thread(hold, 10.0)
    try:
        assert probe.wait_at_gate(10.0), "the method never reached the gate"
        yield
    finally:
        probe.open_gate()
        t.join()
    assert outcome == [None]


def test_borrow_conflicts(engine_dir):
    holder = probe.Holder(engine_dir)
    # A method keeps its shared borrow while it runs without the interpreter lock.
    with held_in_thread(holder.hold_shared):
        raises(RuntimeError, "Already borrowed", holder.sleep_exclusive, 0)
        assert holder.cell_count() == 0  # shared borrows do not conflict

    with held_in_thread(holder.hold_exclusive):
        raises(RuntimeError, "Already mutably borrowed", holder.cell_count)
        raises(RuntimeError, "Already borrowed", holder.sleep_exclusive, 0)
    holder.sleep_exclusive(0)
    assert holder.cell_count() == 0


def test_long_methods_let_other_threads_run(engine_dir):
    holder = probe.Holder(engine_dir)
    released, _ = python_progress_during(lambda: holder.sleep_nogil(0.3))
    held, _ = python_progress_during(lambda: holder.sleep_gil(0.3))
    assert released > 10000
    assert held * 10 < released


def test_engine_work_is_serialised_by_the_engine_lock(engine_dir):
    holder = probe.Holder(engine_dir)
    threads = [in_thread(holder.sleep_nogil, 0.2) for _ in range(3)]
    start = time.monotonic()
    for t, _ in threads:
        t.join()
    assert time.monotonic() - start >= 0.55
    assert all(outcome == [None] for _, outcome in threads)
