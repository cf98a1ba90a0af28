"""Pack reads from Python: the result dicts and their arrays, the argument errors, governance
touches, trace-boosted reads, and the interpreter lock given up by the long pack methods."""

import threading
from functools import partial

import numpy as np
import pytest

import conftest
from _threads import python_progress_during
from conftest import CONTIGUITY, raises
from quellmar._native import Engine

f32 = np.float32
unit = partial(conftest.unit, length=4.0)
PACK_KEYS = ["pack_id", "owner", "score", "tier", "layers", "text"]


@pytest.fixture
def stored(engine):
    """Three packs of owner 1 and 2 along different axes; pack 2 has no layers and no text.
    Payload values are small integers with a largest magnitude of 7, which the 4-bit payload
    codec keeps exactly."""
    engine.mem_write_pack(1, unit(0), [(2, np.array([0, 1, 7], f32)), (0, np.zeros(0, f32))],
                          1.0, text="zero")
    engine.mem_write_pack(1, unit(1), [], 1.0)
    engine.mem_write_pack(2, unit(2), [(5, np.array([7, -7, 3, 2], f32))], 90.0, text="two")
    return engine


def check_pack_dict(pack):
    assert list(pack) == PACK_KEYS
    assert [type(pack[k]) for k in PACK_KEYS[:5]] == [int, int, float, int, list]
    for layer in pack["layers"]:
        assert list(layer) == ["layer_idx", "data"]
        data = layer["data"]
        assert type(data) is np.ndarray and data.dtype == f32 and data.ndim == 1
        assert data.flags.owndata and data.flags.c_contiguous and data.flags.writeable


def test_read_result_layout(stored):
    hits = stored.mem_read_pack(unit(0), 1, None)
    assert len(hits) == 1
    pack = hits[0]
    check_pack_dict(pack)
    assert (pack["pack_id"], pack["owner"], pack["tier"], pack["text"]) == (1, 1, 0, "zero")
    assert pack["score"] > 0
    assert [layer["layer_idx"] for layer in pack["layers"]] == [0, 2]
    assert pack["layers"][0]["data"].shape == (0,)
    assert pack["layers"][1]["data"].tolist() == [0.0, 1.0, 7.0]

    bare = stored.mem_read_pack(unit(1), 1, 1)[0]
    check_pack_dict(bare)
    assert (bare["pack_id"], bare["layers"], bare["text"]) == (2, [], None)


def test_result_arrays_are_copies(stored):
    data = stored.load_pack_by_id(3)["layers"][0]["data"]
    data[:] = 7.0
    assert stored.load_pack_by_id(3)["layers"][0]["data"].tolist() == [7, -7, 3, 2]


def test_k_and_owner_filter(stored):
    assert stored.mem_read_pack(unit(0), 0, None) == []
    everything = stored.mem_read_pack(unit(2), 10, None)
    assert sorted(p["pack_id"] for p in everything) == [1, 2, 3]
    assert everything[0]["pack_id"] == 3  # best first
    scores = [p["score"] for p in everything]
    assert scores == sorted(scores, reverse=True)
    assert [p["pack_id"] for p in stored.mem_read_pack(unit(2), 10, 2)] == [3]
    assert stored.mem_read_pack(unit(2), 10, 99) == []


def token_rows(axis):
    rows = np.zeros((2, 4), f32)
    rows[:, axis] = [1.0, 2.0]
    return rows


def encoded(rows):
    header = np.zeros(64, f32)
    header[0] = -1e9
    header[33] = rows.shape[1]
    return np.concatenate([header, rows.reshape(-1)])


MULTI_TOKEN_READS = [
    ("pack-encoded", lambda e, q, k: e.mem_read_pack(encoded(q), k, None)),
    ("tokens", lambda e, q, k: e.mem_read_tokens(q, k, None)),
]


# The read asks its sources for a multiple of k; a k near the top of u64 must ask for everything.
@pytest.mark.parametrize("k, found", [(2, 2), (2**62, 3), (2**63, 3), (2**63 + 5, 3),
                                      (2**64 - 1, 3)], ids=["2", "2^62", "2^63", "2^63+5", "max"])
@pytest.mark.parametrize("read", [r[1] for r in MULTI_TOKEN_READS],
                         ids=[r[0] for r in MULTI_TOKEN_READS])
def test_multi_token_reads_with_a_huge_k(engine, read, k, found):
    for axis in range(3):
        engine.mem_write_pack_tokens(1, token_rows(axis), [], 1.0)
    assert len(read(engine, token_rows(0), k)) == found


def test_load_pack_by_id_touches_the_pack(stored):
    before = stored.pack_importance(1)
    pack = stored.load_pack_by_id(pack_id=1)
    check_pack_dict(pack)
    assert pack["score"] == 0.0
    assert (pack["pack_id"], pack["owner"], pack["text"]) == (1, 1, "zero")
    assert stored.pack_importance(1) == before + 3
    stored.mem_read_pack(unit(0), 1, None)
    assert stored.pack_importance(1) == before + 6
    raises(RuntimeError, "cell not found: 42", stored.load_pack_by_id, 42)


READ_ERRORS = [
    ("owner-omitted", lambda e: e.mem_read_pack(unit(0), 1), TypeError,
     "Engine.mem_read_pack() missing 1 required positional argument: 'owner'"),
    ("float64-query", lambda e: e.mem_read_pack(np.ones(8), 1, None), TypeError,
     "argument 'query_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("list-query", lambda e: e.mem_read_pack([1.0] * 8, 1, None), TypeError,
     "argument 'query_key': 'list' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("strided-query", lambda e: e.mem_read_pack(np.ones(16, f32)[::2], 1, None), RuntimeError,
     CONTIGUITY),
    ("negative-k", lambda e: e.mem_read_pack(unit(0), -1, None), OverflowError,
     "can't convert negative int to unsigned"),
    ("boost-missing", lambda e: e.mem_read_pack_with_trace_boost(unit(0), 1, None), TypeError,
     "Engine.mem_read_pack_with_trace_boost() missing 1 required positional argument: "
     "'boost_factor'"),
    ("boost-strided", lambda e: e.mem_read_pack_with_trace_boost_and_follow(
        np.ones(16, f32)[::2], 1, None, 1.0), RuntimeError, CONTIGUITY),
    ("load-str-id", lambda e: e.load_pack_by_id("1"), TypeError,
     "argument 'pack_id': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call, exc_type, text", [c[1:] for c in READ_ERRORS],
                         ids=[c[0] for c in READ_ERRORS])
def test_read_errors_touch_nothing(stored, call, exc_type, text):
    before = [stored.pack_importance(p) for p in (1, 2, 3)]
    raises(exc_type, text, call, stored)
    assert [stored.pack_importance(p) for p in (1, 2, 3)] == before


def test_trace_boosted_reads(engine):
    def write(key, **kwargs):
        return engine.mem_write_pack_with_auto_link(1, key, [(0, key)], 0.0, **kwargs)["pack_id"]

    a = write(unit(0))
    b = write(unit(0) * 1.5, auto_link_threshold=1.0)  # linked to a
    c = write(unit(3))
    boosted = engine.mem_read_pack_with_trace_boost(unit(0), 2, None, 0.5)
    assert {p["pack_id"] for p in boosted} == {a, b}
    for p in boosted:
        check_pack_dict(p)
    assert boosted[0]["pack_id"] == b

    followed = engine.mem_read_pack_with_trace_boost_and_follow(unit(3), 1, None, boost_factor=0)
    assert [p["pack_id"] for p in followed] == [c]  # no links to follow
    followed = engine.mem_read_pack_with_trace_boost_and_follow(unit(0) * 1.5, 1, None, 0.0)
    assert [p["pack_id"] for p in followed] == [b, a]
    assert followed[1]["score"] == 0.0
    np.testing.assert_allclose(followed[1]["layers"][0]["data"], unit(0), rtol=1e-6)
    check_pack_dict(followed[1])


# --- The interpreter lock -----------------------------------------------------------------------

def big_batch(n, rng):
    key = rng.standard_normal((n, 128), dtype=f32)
    layers = rng.standard_normal((8, 1024), dtype=f32)
    return [(1, key[i], [(j, layers[j]) for j in range(8)], 1.0, None) for i in range(n)]


def most_progress_during(call, attempts=3):
    """The most loop turns of python_progress_during over a few calls, and each call's result.
    A method that holds the interpreter lock lets the other thread make almost none in every
    attempt; one that releases it only needs the scheduler to run that thread once, which a
    loaded machine may not do within a single call."""
    turns, results = [], []
    for _ in range(attempts):
        progress, result = python_progress_during(call)
        turns.append(progress)
        results.append(result)
        if progress > 1000:
            break
    return max(turns), turns, results


def test_long_pack_methods_let_python_threads_run(engine):
    rng = np.random.default_rng(1)
    batch = big_batch(600, rng)
    best, turns, written = most_progress_during(lambda: engine.mem_write_batch_packs(batch))
    assert all(len(ids) == 600 for ids in written)
    assert best > 1000, f"turns per attempt: {turns}"

    best, turns, found = most_progress_during(lambda: engine.mem_read_pack(batch[0][1], 600, None))
    assert all(len(hits) > 100 for hits in found)
    assert best > 1000, f"turns per attempt: {turns}"


def test_concurrent_writes_get_distinct_ids(engine):
    ids, errors = [], []

    def writer(owner):
        try:
            for _ in range(25):
                ids.append(engine.mem_write_pack(owner, unit(owner), [(0, unit(0))], 1.0))
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(ids) == list(range(1, 101))
    assert engine.pack_count() == 100


def test_docstrings():
    assert Engine.mem_read_pack.__doc__ == (
        "Retrieve the top-k KV Packs matching a query key.\n\n"
        "Returns list of dicts with pack ID, owner, score, tier, and layers.")
    assert Engine.load_pack_by_id.__doc__ == "Load a pack by ID without retrieval scoring."
    assert Engine.mem_read_pack_with_trace_boost.__doc__ == (
        "Retrieve packs with trace-boosted scoring.")
    assert Engine.mem_read_pack_with_trace_boost_and_follow.__doc__ == (
        "Retrieve packs with trace-boosted scoring and automatic link traversal.")
