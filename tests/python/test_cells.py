"""The cell-level API of Engine: writes, batched writes, reads and governance lookups."""

import numpy as np
import pytest

from conftest import CONTIGUITY, unit
from quellmar._native import Engine, ReadResult

DIM = 8


def value(x):
    return np.full(4, x, np.float32)


def request(owner=1, layer=0, key=None, val=None, salience=50.0, parent=None):
    return (owner, layer, unit(0) if key is None else key, value(0.5) if val is None else val,
            salience, parent)


# ---- mem_write and the governance lookups


@pytest.mark.parametrize(
    "salience, importance, tier",
    [(70.0, 75.0, 1), (80.0, 85.0, 2), (-3.0, 5.0, 0), (250.0, 100.0, 2),
     (float("nan"), 100.0, 2), (3, 8.0, 0)],
    ids=["validated", "core", "negative", "above-cap", "nan", "int-salience"],
)
def test_mem_write_sets_governance_from_salience(engine, salience, importance, tier):
    cell = engine.mem_write(1, 0, unit(0), value(1.0), salience, None)
    assert cell == 0
    assert engine.cell_importance(cell) == importance
    assert type(engine.cell_importance(cell)) is float
    assert engine.cell_tier(cell) == tier


def test_ids_are_consecutive_and_unknown_cells_have_no_entry(engine):
    ids = [engine.mem_write(1, 3, unit(i), value(i), 10.0, None) for i in range(3)]
    assert ids == [0, 1, 2]
    assert engine.cell_count() == 3
    assert engine.cell_tier(3) is None
    assert engine.cell_importance(2**64 - 1) is None
    # Keyword arguments name every parameter.
    cell = engine.mem_write(owner=2, layer=1, key=unit(1), value=value(2.0), salience=20.0,
                            parent_cell_id=None)
    assert cell == 3


def test_parent_link_is_a_caused_by_edge(engine):
    root = engine.mem_write(1, 0, unit(0), value(0), 50.0, None)
    child = engine.mem_write(1, 0, unit(1), value(1), 50.0, root)
    grandchild = engine.mem_write(1, 0, unit(2), value(2), 50.0, child)
    orphan = engine.mem_write(1, 0, unit(3), value(3), 50.0, 999)  # parent never written
    assert sorted(engine.trace_ancestors(grandchild)) == [root, child]
    assert engine.trace_ancestors(child) == [root]
    assert engine.trace_ancestors(root) == []
    assert engine.trace_ancestors(orphan) == [999]
    assert engine.status()["trace_edges"] == 3


def strided():
    return np.arange(2 * DIM, dtype=np.float32)[::2]


@pytest.mark.parametrize(
    "change, exc, text",
    [
        ({"layer": 65536}, OverflowError, "out of range integral type conversion attempted"),
        ({"layer": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"owner": -1}, OverflowError, None),
        ({"owner": 2**64}, OverflowError, None),
        ({"key": np.zeros(DIM, np.float64)}, TypeError,
         "argument 'key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
        ({"value": [1.0, 2.0]}, TypeError,
         "argument 'value': 'list' object is not an instance of 'ndarray[float32, ndim=1]'"),
        ({"key": strided()}, RuntimeError, CONTIGUITY),
        ({"value": strided()}, RuntimeError, CONTIGUITY),
        ({"salience": "high"}, TypeError, "argument 'salience': must be real number, not str"),
        ({"parent_cell_id": 1.5}, TypeError,
         "argument 'parent_cell_id': 'float' object cannot be interpreted as an integer"),
    ],
    ids=["layer-too-large", "layer-negative", "owner-negative", "owner-too-large", "float64-key",
         "list-value", "strided-key", "strided-value", "str-salience", "float-parent"],
)
def test_mem_write_argument_errors(engine, change, exc, text):
    args = {"owner": 1, "layer": 0, "key": unit(0), "value": value(1.0), "salience": 50.0,
            "parent_cell_id": None}
    args.update(change)
    with pytest.raises(exc) as info:
        engine.mem_write(**args)
    if text is not None:
        assert str(info.value) == text
    assert engine.cell_count() == 0


def test_mem_write_parent_is_required(engine):
    with pytest.raises(TypeError) as info:
        engine.mem_write(1, 0, unit(0), value(1.0), 50.0)
    assert str(info.value) == (
        "Engine.mem_write() missing 1 required positional argument: 'parent_cell_id'")


# ---- mem_write_batch


def test_batch_writes_in_request_order(engine):
    assert engine.mem_write_batch([]) == []
    assert engine.cell_count() == 0
    first = engine.mem_write(1, 0, unit(7), value(7), 50.0, None)
    ids = engine.mem_write_batch([
        request(owner=1, key=unit(0), salience=70.0),
        request(owner=2, layer=5, key=unit(1), salience=80.0, parent=first),
        request(owner=3, key=unit(2), salience=-3.0),
    ])
    assert ids == [1, 2, 3]
    assert [engine.cell_tier(i) for i in ids] == [1, 2, 0]
    assert [engine.cell_importance(i) for i in ids] == [75.0, 85.0, 5.0]
    assert engine.trace_ancestors(2) == [first]
    hits = engine.mem_read(unit(1), 1, None)
    assert [(h.cell_id, h.owner, h.layer) for h in hits] == [(2, 2, 5)]
    # Any sequence of requests, a tuple of them included.
    assert engine.mem_write_batch((request(key=unit(3)),)) == [4]


class NoLength:
    """A sequence by registration only: item access, no length."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


def test_batch_accepts_sequences_without_length(engine):
    assert engine.mem_write_batch(NoLength([request(), request(key=unit(1))])) == [0, 1]


def bad_item(position, item):
    return [request(key=unit(0))] * position + [item]


@pytest.mark.parametrize(
    "requests, exc, text",
    [
        ("abc", TypeError, "argument 'requests': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'requests': 'int' object is not an instance of 'Sequence'"),
        ({1: request()}, TypeError,
         "argument 'requests': 'dict' object is not an instance of 'Sequence'"),
        # The items themselves are read without the argument name.
        (bad_item(1, list(request())), TypeError, "'list' object is not an instance of 'tuple'"),
        (bad_item(0, None), TypeError, "'None' is not an instance of 'tuple'"),
        (bad_item(1, request()[:5]), ValueError,
         "expected tuple of length 6, but got tuple of length 5"),
        (bad_item(0, ()), ValueError, "expected tuple of length 6, but got tuple of length 0"),
        (bad_item(0, request() + (None,)), ValueError,
         "expected tuple of length 6, but got tuple of length 7"),
        # Items are converted in order: a bad owner is found before a bad layer.
        (bad_item(0, request(owner=-1, layer=65536)), OverflowError, None),
        (bad_item(0, request(layer=65536)), OverflowError,
         "out of range integral type conversion attempted"),
        (bad_item(1, request(key=np.zeros(DIM, np.float64))), TypeError,
         "'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
        (bad_item(1, request(val=np.zeros((2, 2), np.float32))), TypeError,
         "'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
        (bad_item(1, request(key=strided())), RuntimeError, CONTIGUITY),
        (bad_item(0, request(val=strided())), RuntimeError, CONTIGUITY),
        (bad_item(1, request(salience=None)), TypeError, "must be real number, not NoneType"),
        (bad_item(1, request(parent="p")), TypeError,
         "'str' object cannot be interpreted as an integer"),
    ],
    ids=["str", "int", "dict", "list-item", "none-item", "five-tuple", "empty-tuple",
         "seven-tuple", "owner-before-layer", "layer-too-large", "float64-key", "2d-value",
         "strided-key", "strided-value", "none-salience", "str-parent"],
)
def test_batch_request_errors_write_nothing(engine, requests, exc, text):
    with pytest.raises(exc) as info:
        engine.mem_write_batch(requests)
    if text is not None:
        assert str(info.value) == text
    assert engine.cell_count() == 0
    assert engine.mem_write(1, 0, unit(0), value(0), 1.0, None) == 0  # no id was taken


def test_batch_type_checks_every_request_before_copying_any_array(engine):
    # The first request's key cannot be copied, but the second request is no tuple: the
    # type failure wins because all requests are checked before the copies.
    with pytest.raises(TypeError) as info:
        engine.mem_write_batch([request(key=strided()), [1, 2]])
    assert str(info.value) == "'list' object is not an instance of 'tuple'"


# ---- mem_read and mem_read_tokens


@pytest.fixture
def cells(engine):
    """Four cells: owner 1 at unit keys 0..2, owner 2 at unit key 3."""
    for i, (owner, salience) in enumerate([(1, 70.0), (1, 59.0), (1, 10.0), (2, 10.0)]):
        engine.mem_write(owner, 10 + i, unit(i), value(i + 0.5), salience, None)
    return engine


def test_mem_read_returns_read_results(cells):
    hits = cells.mem_read(unit(0), 1, None)
    assert len(hits) == 1
    hit = hits[0]
    assert type(hit) is ReadResult
    assert (hit.cell_id, hit.owner, hit.layer, hit.tier) == (0, 1, 10, 1)
    assert hit.score > 0.0
    assert hit.key() == pytest.approx(list(unit(0)), abs=0.1)
    assert hit.value() == pytest.approx([0.5] * 4, abs=0.1)
    # The importance is read after this read's touch (75 + 3).
    assert hit.importance == 78.0
    assert cells.cell_importance(0) == 78.0


def test_mem_read_tier_is_the_one_before_the_touch(cells):
    # Salience 59 gives 64 (Draft); the read lifts it to 67 (Validated).
    (hit,) = cells.mem_read(unit(1), 1, None)
    assert hit.cell_id == 1
    assert (hit.tier, hit.importance) == (0, 67.0)
    assert cells.cell_tier(1) == 1


def test_mem_read_ranks_and_filters(cells):
    query = (unit(0) + 0.5 * unit(2)).astype(np.float32)
    hits = cells.mem_read(query, 10, None)
    ids = [h.cell_id for h in hits]
    assert ids[:2] == [0, 2]
    assert sorted(ids) == [0, 1, 2, 3]
    assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)
    assert [h.cell_id for h in cells.mem_read(unit(3), 10, 2)] == [3]
    assert all(h.owner == 1 for h in cells.mem_read(unit(3), 10, 1))
    assert cells.mem_read(unit(0), 10, 99) == []
    assert cells.mem_read(unit(0), 0, None) == []
    assert cells.mem_read(np.zeros(0, np.float32), 5, None) == []


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((unit(0), -1, None), OverflowError, None),
        ((unit(0), 1, -1), OverflowError, None),
        ((strided(), 1, None), RuntimeError, CONTIGUITY),
        ((unit(0).astype(np.float64), 1, None), TypeError,
         "argument 'query_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
        ((unit(0), 1.0, None), TypeError,
         "argument 'k': 'float' object cannot be interpreted as an integer"),
    ],
    ids=["negative-k", "negative-owner", "strided-query", "float64-query", "float-k"],
)
def test_mem_read_argument_errors(cells, args, exc, text):
    with pytest.raises(exc) as info:
        cells.mem_read(*args)
    if text is not None:
        assert str(info.value) == text
    assert cells.cell_importance(0) == 75.0  # untouched


def test_mem_read_tokens_reads_any_layout(cells):
    tokens = np.stack([unit(0), unit(0), unit(2)]).astype(np.float32)
    expected = [(h.cell_id, h.score) for h in cells.mem_read_tokens(tokens, 2, None)]
    assert expected and expected[0][0] == 0
    transposed = np.ascontiguousarray(tokens.T).T  # the same matrix, column-major
    sliced = np.repeat(tokens, 2, axis=1)[:, ::2]  # the same matrix, stepped columns
    assert not transposed.flags.c_contiguous and not sliced.flags.c_contiguous
    for view in (transposed, sliced):
        assert [(h.cell_id, h.score) for h in cells.mem_read_tokens(view, 2, None)] == expected
    assert all(h.owner == 2 for h in cells.mem_read_tokens(tokens, 5, 2))


@pytest.mark.parametrize("shape", [(0, DIM), (4, 0), (0, 0)], ids=["no-rows", "no-columns", "empty"])
def test_mem_read_tokens_of_an_empty_matrix(cells, shape):
    assert cells.mem_read_tokens(np.zeros(shape, np.float32), 5, None) == []


def test_mem_read_tokens_wants_a_float32_matrix(cells):
    with pytest.raises(TypeError) as info:
        cells.mem_read_tokens(unit(0), 1, None)
    assert str(info.value) == (
        "argument 'query_tokens': 'ndarray' object is not an instance of "
        "'ndarray[float32, ndim=2]'")


def test_reads_survive_reopen(engine_dir):
    engine = Engine(engine_dir)
    engine.mem_write_batch([request(owner=4, key=unit(5), salience=30.0)])
    del engine
    engine = Engine(engine_dir)
    (hit,) = engine.mem_read(unit(5), 1, None)
    assert (hit.cell_id, hit.owner, hit.tier, hit.importance) == (0, 4, 0, 38.0)


@pytest.mark.parametrize("batch", [False, True], ids=["mem_write", "mem_write_batch"])
def test_compaction_keeps_head_layer_cells(engine_dir, batch):
    # Every write starts a segment of its own; the cells written first are in compacted segments.
    engine = Engine(engine_dir, segment_size=64)
    writes = [request(layer=65534, key=unit(0)), request(key=unit(1)), request(key=unit(2))]
    if batch:
        engine.mem_write_batch(writes[:1])
        engine.mem_write_batch(writes[1:])
    else:
        for w in writes:
            engine.mem_write(*w)
    assert engine.compact() == {"segments_compacted": 0, "cells_moved": 0, "bytes_reclaimed": 0}
    del engine
    engine = Engine(engine_dir, segment_size=64)
    assert engine.cell_count() == 3
    (hit,) = engine.mem_read(unit(0), 1, None)
    assert (hit.cell_id, hit.layer) == (0, 65534)


def test_docstring_texts():
    assert Engine.mem_write.__doc__ == (
        "Write key/value vectors to the engine (cell-level API).\n\n"
        "**Deprecated:** Use `mem_write_pack` for new code. The Pack API is\n"
        "the canonical interface for storing multi-layer KV caches.")
    assert Engine.mem_write_batch.__doc__ == (
        "Write multiple cells in a single batch with one fsync (Batch Command).\n\n"
        "Each item is a tuple of (owner, layer, key, value, salience, parent).\n"
        "Returns a list of assigned cell IDs.")
    assert Engine.mem_read.__doc__.startswith(
        "Read the top-k most relevant cells for a query key (cell-level API).\n\n"
        "**Deprecated:** Use `mem_read_pack` for new code.")
    assert Engine.mem_read_tokens.__doc__.startswith(
        "Read top-k cells using a raw per-token query matrix (Direct Token Query API).\n\n")
    assert Engine.cell_tier.__doc__ == "Get the current tier of a cell (0=Draft, 1=Validated, 2=Core)."
    assert Engine.cell_importance.__doc__ == "Get the current importance score of a cell."


def test_pack_zero_is_no_pack_before_or_after_a_reopen(engine_dir):
    # Cells on the head layer are listed under pack 0 once a refresh groups them; deleting pack 0
    # is refused either way, so such a cell written later is still there after a reopen.
    engine = Engine(engine_dir)
    first = engine.mem_write(1, 65534, unit(0), value(1.0), 50.0, None)
    with pytest.raises(RuntimeError) as exc:
        engine.delete_pack(0)
    assert str(exc.value) == "cell not found: 0"
    engine.refresh()
    with pytest.raises(RuntimeError) as exc:
        engine.delete_pack(0)
    assert str(exc.value) == "cell not found: 0"
    later = engine.mem_write(1, 65534, unit(1), value(2.0), 50.0, None)
    assert [h.cell_id for h in engine.mem_read(unit(1), 1, None)] == [later]
    del engine
    engine = Engine(engine_dir)
    assert engine.cell_importance(first) == 55.0
    assert engine.cell_importance(later) == 55.0
    assert [h.cell_id for h in engine.mem_read(unit(1), 1, None)] == [later]
