"""LoRA adapter entries from Python: float32 arrays stored as binary16 and widened back, the
length checks and their messages, and what a reopened engine reads."""

import math

import numpy as np
import pytest

from conftest import CONTIGUITY, raises
from quellmar._native import Engine

f32 = np.float32
KEYS = ["id", "owner", "rank", "d_model", "scale", "last_used", "quality", "lora_a", "lora_b"]


def test_store_and_load_round_trip(engine, engine_dir):
    a = np.arange(6, dtype=f32).reshape(2, 3)  # any shape, elements in memory order
    b = np.array([0.5, -2.0, 0.25, 8.0, -0.125, 1024.0], f32)
    assert engine.store_synapsis(11, 5, a, b, 1.5, 2, 3, last_used=1234, quality=0.1) is None
    [entry] = engine.load_synapsis(5)
    assert list(entry) == KEYS
    assert {k: entry[k] for k in KEYS[:7]} == {
        "id": 11, "owner": 5, "rank": 2, "d_model": 3, "scale": 1.5, "last_used": 1234,
        "quality": float(f32(0.1)),
    }
    for name, expected in (("lora_a", a.reshape(-1)), ("lora_b", b)):
        arr = entry[name]
        assert type(arr) is np.ndarray and arr.dtype == np.float32 and arr.shape == (6,)
        np.testing.assert_array_equal(arr, expected)
        assert arr.flags.owndata and arr.flags.writeable

    # Keywords, the defaults, a second entry of the same id, another owner.
    engine.store_synapsis(id=11, owner=5, lora_a=b, lora_b=b, scale=2, rank=6, d_model=1)
    engine.store_synapsis(12, 6, np.zeros(0, f32), np.zeros((0, 3), f32), 0.0, 0, 3)
    entries = engine.load_synapsis(owner=5)
    assert [(e["id"], e["rank"], e["last_used"], e["quality"]) for e in entries] == [
        (11, 2, 1234, float(f32(0.1))), (11, 6, 0, 0.0)]
    assert engine.load_synapsis(7) == []

    reopened = Engine(engine_dir).load_synapsis(5)
    assert len(reopened) == 2
    for before, after in zip(entries, reopened):
        assert {k: before[k] for k in KEYS[:7]} == {k: after[k] for k in KEYS[:7]}
        np.testing.assert_array_equal(before["lora_a"], after["lora_a"])
        np.testing.assert_array_equal(before["lora_b"], after["lora_b"])


def test_empty_matrices(engine):
    engine.store_synapsis(1, 1, np.zeros(0, f32), np.zeros((0,), f32), 1.0, 0, 0)
    [entry] = engine.load_synapsis(1)
    assert entry["lora_a"].shape == (0,) and entry["lora_a"].dtype == np.float32
    assert entry["lora_b"].shape == (0,)


@pytest.mark.parametrize(
    "value, back",
    [
        (0.1, 0.0999755859375),
        (1.0e5, math.inf),
        (-1.0e5, -math.inf),
        (65504.0, 65504.0),  # the largest binary16
        (65519.0, 65504.0),  # still rounds down to it
        (65520.0, math.inf),  # the tie rounds to even: past the largest
        (1e-8, 0.0),
        (2.0**-24, 2.0**-24),  # the smallest subnormal
        (-0.0, -0.0),
    ],
    ids=["tenth", "too-big", "too-small", "max", "below-tie", "tie", "underflow", "subnormal",
         "minus-zero"],
)
def test_binary16_rounding(engine, value, back):
    engine.store_synapsis(1, 1, np.array([value], f32), np.array([value], f32), value, 1, 1)
    [entry] = engine.load_synapsis(1)
    for got in (entry["scale"], float(entry["lora_a"][0]), float(entry["lora_b"][0])):
        assert got == back
        assert math.copysign(1.0, got) == math.copysign(1.0, back)


def test_nan_stays_nan(engine):
    engine.store_synapsis(1, 1, np.array([np.nan], f32), np.array([1.0], f32), math.nan, 1, 1)
    [entry] = engine.load_synapsis(1)
    assert math.isnan(entry["scale"]) and math.isnan(entry["lora_a"][0])


@pytest.mark.parametrize(
    "a_len, b_len, rank, d_model, text",
    [
        (5, 6, 2, 3, "lora_a length 5 != rank(2) * d_model(3) = 6"),
        (6, 7, 2, 3, "lora_b length 7 != rank(2) * d_model(3) = 6"),
        (5, 7, 2, 3, "lora_a length 5 != rank(2) * d_model(3) = 6"),
        (0, 0, 65536, 65536, "lora_a length 0 != rank(65536) * d_model(65536) = 4294967296"),
        (1, 0, 0, 4, "lora_a length 1 != rank(0) * d_model(4) = 0"),
    ],
    ids=["lora_a", "lora_b", "lora_a-first", "64-bit-product", "rank-zero"],
)
def test_length_errors_store_nothing(engine, engine_dir, a_len, b_len, rank, d_model, text):
    raises(ValueError, text, engine.store_synapsis, 1, 1, np.zeros(a_len, f32),
           np.zeros(b_len, f32), 1.0, rank, d_model)
    assert engine.load_synapsis(1) == []
    assert Engine(engine_dir).load_synapsis(1) == []


def test_array_layouts(engine):
    m = np.arange(6, dtype=f32).reshape(2, 3)
    # A Fortran-ordered matrix is taken in its memory order.
    engine.store_synapsis(1, 1, np.asfortranarray(m), m.T.copy(), 1.0, 3, 2)
    [entry] = engine.load_synapsis(1)
    np.testing.assert_array_equal(entry["lora_a"], [0, 3, 1, 4, 2, 5])
    np.testing.assert_array_equal(entry["lora_b"], [0, 3, 1, 4, 2, 5])
    # A strided view is refused before the length check, lora_a first.
    strided = np.zeros(12, f32)[::2]
    raises(RuntimeError, CONTIGUITY, engine.store_synapsis, 2, 2, strided, np.zeros(1, f32), 1.0,
           2, 3)
    raises(RuntimeError, CONTIGUITY, engine.store_synapsis, 2, 2, np.zeros(6, f32), m[:, ::2],
           1.0, 2, 3)
    assert engine.load_synapsis(2) == []


def test_argument_errors(engine):
    a = np.zeros(1, f32)
    with pytest.raises(TypeError) as exc:
        engine.store_synapsis(1, 1, np.zeros(1), a, 1.0, 1, 1)
    assert str(exc.value) == (
        "argument 'lora_a': 'ndarray' object is not an instance of 'ndarray[float32]'"
    )
    with pytest.raises(TypeError) as exc:
        engine.store_synapsis(1, 1, a, [0.0], 1.0, 1, 1)
    assert str(exc.value) == (
        "argument 'lora_b': 'list' object is not an instance of 'ndarray[float32]'"
    )
    raises(OverflowError, "out of range integral type conversion attempted",
           engine.store_synapsis, 1, 1, a, a, 1.0, 2**32, 1)
    raises(OverflowError, "out of range integral type conversion attempted",
           engine.store_synapsis, 1, 1, a, a, 1.0, 1, -1)
    with pytest.raises(OverflowError):
        engine.store_synapsis(1, 1, a, a, 1.0, 1, 1, last_used=-1)
    with pytest.raises(TypeError) as exc:
        engine.store_synapsis(1, 1, a, a, 1.0, 1, 1, quality="good")
    assert str(exc.value).startswith("argument 'quality': ")
    with pytest.raises(OverflowError):
        engine.load_synapsis(-1)
    assert engine.load_synapsis(1) == []


def test_docstrings():
    assert Engine.store_synapsis.__doc__ == (
        "Store a `LoRA` adapter entry. Arrays are f32 in Python, converted to f16 internally.")
    assert Engine.load_synapsis.__doc__ == (
        "Load all `LoRA` adapter entries for an owner.\n\n"
        "Returns list of dicts with f32 numpy arrays (f16 converted to f32 on return).")
