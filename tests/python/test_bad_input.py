"""Bad input from Python: each case gets its clear exception, and the engine stays usable."""

import os

import numpy as np
import pytest

from _capped_child import run_capped_child
from conftest import CONTIGUITY
from quellmar import _native

DIM = 16


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
     RuntimeError, CONTIGUITY),
    ("strided payload", lambda e: e.mem_write_pack(
        1, key(), [(0, np.ones(16, np.float32)[::2])], 50.0), RuntimeError, CONTIGUITY),
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


# Every path the Python surface takes, given with a NUL byte inside: each call is refused before
# anything on disk is touched (the part before the NUL is never created).
NUL_PATH_CALLS = [
    ("Engine", lambda c: _native.Engine(c.bad)),
    ("open_with_write_buffer", lambda c: _native.Engine.open_with_write_buffer(c.bad, 10)),
    ("snapshot", lambda c: c.engine.snapshot(c.bad)),
    ("restore_from in_path", lambda c: _native.Engine.restore_from(c.bad, c.fresh)),
    ("restore_from target_dir", lambda c: _native.Engine.restore_from(c.snap, c.bad)),
    ("checkpoint save", lambda c: _native.CheckpointRepository(c.bad).save(c.engine, "a")),
    ("checkpoint list", lambda c: _native.CheckpointRepository(c.bad).list()),
    ("checkpoint latest", lambda c: _native.CheckpointRepository(c.bad).latest("a")),
    ("checkpoint restore_latest root",
     lambda c: _native.CheckpointRepository(c.bad).restore_latest("a", c.fresh)),
    ("checkpoint restore_latest target_dir", lambda c: c.repo.restore_latest("a", c.bad)),
]


class PathCase:
    def __init__(self, tmp_path, engine):
        self.engine = engine
        self.bad = str(tmp_path / "victim") + "\0/x.tar"
        self.fresh = str(tmp_path / "fresh")
        self.snap = str(tmp_path / "good.tar")
        engine.snapshot(self.snap)
        self.repo = _native.CheckpointRepository(str(tmp_path / "repo"))
        self.repo.save(engine, "a")


@pytest.mark.parametrize("call", [c[1] for c in NUL_PATH_CALLS], ids=[c[0] for c in NUL_PATH_CALLS])
def test_paths_with_a_nul_byte_are_refused(tmp_path, engine, call):
    engine.mem_write_pack(1, key(0), layers(), 50.0)
    case = PathCase(tmp_path, engine)
    before = sorted(p.name for p in tmp_path.iterdir())
    with pytest.raises(RuntimeError) as info:
        call(case)
    assert str(info.value) == (
        f"storage I/O error: path contains a NUL byte: {tmp_path}/victim\\0/x.tar")
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert not os.path.exists(case.fresh)
    assert_still_usable(engine)


# Run in a capped child, so that an allocation of a gigabyte fails there at once and none is ever
# made.
MEMORY_CHILD = """
    engine = _native.Engine(sys.argv[1])
    cap_memory(512 << 20)
    out = {}
    # 2**25 values (128 MiB as floats): the binding's copy fits, but indexing the key (its
    # pooled form, the flat index's row, the recent-key buffer's codes) does not.
    try:
        engine.mem_write_pack(1, np.ones(2**25, np.float32), [], 50.0)
    except MemoryError as e:
        out["error"] = str(e)
    out["counts_after_failure"] = [engine.pack_count(), engine.cell_count()]
    # 2**18 values: a buffer that laid out every slot's codes up front would take a gigabyte;
    # one key's codes take 256 KiB.
    big = np.linspace(-1.0, 1.0, 2**18, dtype=np.float32)
    pid = engine.mem_write_pack(2, big, [(0, np.ones(8, np.float32))], 50.0, text="big")
    out["pid"] = pid
    out["read"] = [p["pack_id"] for p in engine.mem_read_pack(big, 1, None)]
    out["text"] = engine.load_pack_by_id(pid)["text"]
    out["counts"] = [engine.pack_count(), engine.cell_count()]
    print(json.dumps(out))
"""


def test_a_key_too_large_for_memory_fails_alone(tmp_path):
    out = run_capped_child(MEMORY_CHILD, tmp_path / "engine")
    assert out["error"] == ("out of memory: no room for a key of 33554432 values; "
                            "nothing was written")
    assert out["counts_after_failure"] == [0, 0]
    assert out["read"] == [out["pid"]]
    assert out["text"] == "big"
    assert out["counts"] == [1, 2]
