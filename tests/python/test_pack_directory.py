"""The pack directory from Python: listings, texts, view keys, existence, deletion and importance,
and what of them survives a reopen."""

import warnings
from functools import partial

import numpy as np
import pytest

import conftest
from conftest import CONTIGUITY, raises
from quellmar._native import Engine

f32 = np.float32
unit = partial(conftest.unit, length=4.0)
DEPRECATION = (
    "Engine.list_packs() without an explicit `fetch_text=` kwarg is deprecated; pass "
    "`fetch_text=True` to keep the current behaviour or call Engine.list_packs_metadata() to "
    "skip the per-pack text lookup."
)


@pytest.fixture
def stored(engine):
    """Packs 1 (owner 1, Draft, text), 2 (owner 2, Core, no text), 3 (owner 1, Validated)."""
    engine.mem_write_pack(1, unit(0), [(0, np.ones(4, f32))], 10.0, text="low")
    engine.mem_write_pack(2, unit(1), [], 90.0)
    engine.mem_write_pack(1, unit(2), [], 70.0, text="mid")
    return engine


# --- Listings -----------------------------------------------------------------------------------

def test_list_packs_with_fetch_text(stored):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        listed = stored.list_packs(fetch_text=True)
        assert stored.list_packs(None, False) == listed  # the value only silences the warning
        assert stored.list_packs(fetch_text=np.bool_(True)) == listed
    assert listed == [
        {"pack_id": 2, "owner": 2, "tier": 2, "importance": 95.0, "text": None},
        {"pack_id": 3, "owner": 1, "tier": 1, "importance": 75.0, "text": "mid"},
        {"pack_id": 1, "owner": 1, "tier": 0, "importance": 15.0, "text": "low"},
    ]
    assert all(list(d) == ["pack_id", "owner", "tier", "importance", "text"] for d in listed)
    assert type(listed[0]["importance"]) is float
    assert [d["pack_id"] for d in stored.list_packs(owner=1, fetch_text=True)] == [3, 1]
    assert stored.list_packs(7, True) == []


def test_list_packs_without_fetch_text_warns(stored):
    with pytest.warns(DeprecationWarning) as record:
        listed = stored.list_packs()
    assert [str(w.message) for w in record] == [DEPRECATION]
    assert record[0].filename == __file__  # attributed to the caller
    assert [d["text"] for d in listed] == [None, "mid", "low"]
    with pytest.warns(DeprecationWarning):
        assert stored.list_packs(1, None) == stored.list_packs(1, True)


def test_list_packs_warning_as_error(stored):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raises(DeprecationWarning, DEPRECATION, stored.list_packs)


def test_list_packs_argument_errors(stored):
    raises(TypeError, "argument 'fetch_text': 'int' object is not an instance of 'bool'",
           stored.list_packs, fetch_text=1)
    raises(OverflowError, "can't convert negative int to unsigned", stored.list_packs, -1, True)


def test_list_packs_metadata(stored):
    columns = stored.list_packs_metadata()
    assert list(columns) == ["pack_ids", "owners", "tiers", "importances"]
    assert [columns[k].dtype for k in columns] == [np.uint64, np.uint64, np.uint8, f32]
    assert columns["pack_ids"].tolist() == [2, 3, 1]
    assert columns["owners"].tolist() == [2, 1, 1]
    assert columns["tiers"].tolist() == [2, 1, 0]
    assert columns["importances"].tolist() == [95.0, 75.0, 15.0]
    assert stored.list_packs_metadata(owner=1)["pack_ids"].tolist() == [3, 1]
    empty = stored.list_packs_metadata(99)
    assert [(a.dtype, a.shape) for a in empty.values()] == [
        (np.uint64, (0,)), (np.uint64, (0,)), (np.uint8, (0,)), (f32, (0,))]


# --- Texts --------------------------------------------------------------------------------------

def test_pack_texts_round_trip(stored, engine_dir):
    assert stored.pack_text(1) == "low"
    assert stored.pack_text(2) is None
    assert stored.pack_text(99) is None
    assert stored.set_pack_text(2, "now with text \u00e9") is None
    assert stored.set_pack_texts([(1, "replaced"), (3, "first"), (3, "second")]) is None
    assert stored.set_pack_texts([]) is None
    del stored
    reopened = Engine(engine_dir)
    assert [reopened.pack_text(p) for p in (1, 2, 3)] == ["replaced", "now with text \u00e9",
                                                          "second"]
    assert reopened.load_pack_by_id(2)["text"] == "now with text \u00e9"


def test_text_writes_to_missing_packs_write_nothing(stored, engine_dir):
    raises(RuntimeError, "cell not found: 99", stored.set_pack_text, 99, "x")
    raises(RuntimeError, "cell not found: 999", stored.set_pack_texts, [(1, "a"), (999, "b")])
    assert stored.pack_text(1) == "low"
    raises(TypeError, "argument 'entries': Can't extract `str` to `Vec`", stored.set_pack_texts,
           "ab")
    raises(ValueError, "expected tuple of length 2, but got tuple of length 1",
           stored.set_pack_texts, [(1, "a"), (2,)])
    raises(TypeError, "argument 'text': 'int' object is not an instance of 'str'",
           stored.set_pack_text, 1, 5)
    del stored
    assert Engine(engine_dir).pack_text(1) == "low"


# --- View keys ----------------------------------------------------------------------------------

def test_view_keys(stored, engine_dir):
    assert stored.view_count(1) == 0
    assert stored.add_view_keys(1, []) == 0
    assert stored.add_view_keys(1, [unit(5), unit(6)]) == 2
    assert stored.add_view_keys(pack_id=1, view_keys=(unit(7),)) == 1
    assert stored.view_count(1) == 3
    # A view key finds its pack.
    assert stored.mem_read_pack(unit(6), 1, None)[0]["pack_id"] == 1
    del stored
    reopened = Engine(engine_dir)
    assert reopened.view_count(1) == 3
    assert reopened.mem_read_pack(unit(7), 1, None)[0]["pack_id"] == 1


def test_view_key_errors(stored):
    raises(TypeError, CONTIGUITY, stored.add_view_keys, 1, [unit(5), np.ones(16, f32)[::2]])
    raises(TypeError, "argument 'view_keys': 'ndarray' object is not an instance of "
           "'ndarray[float32, ndim=1]'", stored.add_view_keys, 1, [np.ones(8)])
    raises(TypeError, "argument 'view_keys': Can't extract `str` to `Vec`", stored.add_view_keys,
           1, "k")
    raises(RuntimeError, "pack not found: 99", stored.add_view_keys, 99, [unit(5)])
    raises(RuntimeError, "pack not found: 99", stored.view_count, 99)
    assert stored.view_count(1) == 0


# --- Existence, deletion, importance ------------------------------------------------------------

def test_delete_pack(stored, engine_dir):
    assert stored.pack_exists(3) is True
    assert stored.pack_importance(3) == 75.0
    assert stored.delete_pack(3) is None
    assert stored.pack_exists(3) is False
    assert stored.pack_importance(3) is None
    assert stored.pack_text(3) is None
    raises(RuntimeError, "cell not found: 3", stored.delete_pack, 3)
    raises(RuntimeError, "cell not found: 3", stored.load_pack_by_id, 3)
    assert 3 not in [p["pack_id"] for p in stored.mem_read_pack(unit(2), 3, None)]
    assert stored.pack_count() == 2
    del stored
    reopened = Engine(engine_dir)
    assert reopened.pack_exists(3) is False
    assert reopened.pack_importance(3) is None
    assert reopened.pack_text(3) is None
    assert reopened.list_packs_metadata()["pack_ids"].tolist() == [2, 1]
    assert 3 not in [p["pack_id"] for p in reopened.mem_read_pack(unit(2), 3, None)]
    assert reopened.mem_write_pack(1, unit(2), [], 1.0) == 4  # the id is not given again


def test_missing_packs(engine):
    assert engine.pack_exists(1) is False
    assert engine.pack_importance(1) is None
    raises(RuntimeError, "cell not found: 1", engine.delete_pack, 1)
    raises(OverflowError, "can't convert negative int to unsigned", engine.pack_exists, -1)


def test_importance_after_reopen_starts_from_the_records(stored, engine_dir):
    stored.load_pack_by_id(1)
    assert stored.pack_importance(1) == 18.0
    del stored
    assert Engine(engine_dir).pack_importance(1) == 15.0  # read touches live in memory only


@pytest.mark.parametrize("method, first_line", [
    ("list_packs", "Enumerate all packs as a list of dicts, with text included."),
    ("list_packs_metadata", "Enumerate pack metadata (no text) as a struct-of-arrays."),
    ("pack_text", "Get the stored text for a pack, if any."),
    ("set_pack_text", "Set or update the stored text for an existing pack."),
    ("set_pack_texts", "Set or update text for many packs in a single batched fsync."),
    ("add_view_keys", "Register one or more view keys for an existing pack."),
    ("view_count", "Return the number of view keys registered for a pack."),
    ("pack_exists", "Whether a pack with the given ID exists (and has not been deleted)."),
    ("delete_pack", "Delete a pack permanently. Irreversible."),
    ("pack_importance", "Get the importance score of a pack."),
])
def test_docstring_first_lines(method, first_line):
    assert getattr(Engine, method).__doc__.splitlines()[0] == first_line


def test_view_count_docstring_says_a_missing_pack_raises():
    assert "Raises `RuntimeError` if the pack does not exist." in Engine.view_count.__doc__
