"""Bad input from Python: each case gets its clear exception, and the engine stays usable."""

import numpy as np
import pytest

from quellmar import _native

DIM = 16
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def key(i=0):
    k = np.full(DIM, 0.25, np.float32)
    k[i % DIM] = 4.0
    return k


def layers():
    return [(0, np.arange(8, dtype=np.float32) - 3.0)]


def assert_still_usable(engine):
    """A pack written now reads back by its key, by id and after the error."""
    pid = engine.mem_write_pack(9, key(5), layers(), 50.0, text="after")
    hit = engine.load_pack_by_id(pid)
    assert hit["text"] == "after"
    assert len(hit["layers"]) == 1
    assert pid in [p["pack_id"] for p in engine.mem_read_pack(key(5), 10, None)]


BAD_CALLS = [
    ("float64 key", lambda e: e.mem_read_pack(key().astype(np.float64), 3, None), TypeError,
     "argument 'query_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("2-d key", lambda e: e.mem_read_pack(np.ones((2, 8), np.float32), 3, None), TypeError,
     "argument 'query_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("list key", lambda e: e.mem_read_pack([1.0] * DIM, 3, None), TypeError,
     "argument 'query_key': 'list' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("strided key", lambda e: e.mem_read_pack(np.ones(2 * DIM, np.float32)[::2], 3, None),
     RuntimeError, NOT_CONTIGUOUS),
    ("strided payload", lambda e: e.mem_write_pack(
        1, key(), [(0, np.ones(16, np.float32)[::2])], 50.0), RuntimeError, NOT_CONTIGUOUS),
    ("k past u64", lambda e: e.mem_read_pack(key(), 2**64, None), OverflowError, None),
    ("negative k", lambda e: e.mem_read_pack(key(), -1, None), OverflowError, None),
    ("layer past u16", lambda e: e.mem_write_pack(1, key(), [(65536, np.ones(4, np.float32))],
                                                  50.0), OverflowError, None),
    ("unknown salience mode", lambda e: e.mem_write_pack(1, key(), [], 50.0, salience_mode="L2"),
     ValueError, 'unknown salience_mode "L2"; expected one of "l2", "max", "none"'),
    ("unknown refinement mode", lambda e: e.set_refinement_mode("fancy"), RuntimeError,
     "unknown refinement mode 'fancy' (expected 'none', 'centered', 'prf', or 'whitened')"),
    ("edge type 4", lambda e: e.add_pack_edge(1, 2, 4), RuntimeError,
     "Invalid edge_type 4. Valid: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports"),
    ("unknown pack by id", lambda e: e.load_pack_by_id(12345), RuntimeError,
     "cell not found: 12345"),
    ("delete unknown pack", lambda e: e.delete_pack(12345), RuntimeError, "cell not found: 12345"),
    ("view count of unknown pack", lambda e: e.view_count(12345), RuntimeError,
     "pack not found: 12345"),
    ("malformed token matrix", lambda e: e.mem_write_pack_tokens(
        1, np.ones((0, 4), np.float32), [], 50.0), RuntimeError,
     "empty or malformed token matrix: n_tokens=0, dim=4, buffer_len=0"),
]


@pytest.mark.parametrize("call, exc, text", [c[1:] for c in BAD_CALLS],
                         ids=[c[0] for c in BAD_CALLS])
def test_bad_calls_raise_and_leave_the_engine_usable(engine, call, exc, text):
    engine.mem_write_pack(1, key(0), layers(), 50.0)
    engine.mem_write_pack(1, key(1), layers(), 50.0)
    before = engine.pack_count()
    with pytest.raises(exc) as info:
        call(engine)
    if text is not None:
        assert str(info.value) == text
    assert engine.pack_count() == before
    assert_still_usable(engine)


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf], ids=["nan", "inf", "-inf"])
def test_non_finite_keys_and_payloads_are_stored_and_never_break_reads(engine, value):
    weird = np.full(DIM, value, np.float32)
    pid = engine.mem_write_pack(1, weird, [(0, np.full(8, value, np.float32))], 50.0)
    assert engine.load_pack_by_id(pid)["pack_id"] == pid
    # Reads with finite and non-finite queries still answer, best first, with finite packs found.
    for query in (key(2), weird):
        results = engine.mem_read_pack(query, 5, None)
        assert len(results) <= 5
    assert_still_usable(engine)


def test_empty_key_and_huge_k(engine):
    engine.mem_write_pack(1, np.zeros(0, np.float32), [], 50.0)
    engine.mem_write_pack(1, key(3), layers(), 50.0)
    assert len(engine.mem_read_pack(key(3), 2**64 - 1, None)) >= 1
    assert engine.mem_read(np.zeros(0, np.float32), 5, None) == []
    assert_still_usable(engine)


def test_paths_that_cannot_hold_an_engine(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(RuntimeError) as info:
        _native.Engine(str(blocker))
    assert str(info.value) == "storage I/O error: File exists (os error 17)"
    with pytest.raises(RuntimeError) as info:
        _native.Engine(str(blocker / "engine"))
    assert str(info.value) == "storage I/O error: Not a directory (os error 20)"
