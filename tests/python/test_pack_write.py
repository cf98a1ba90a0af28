"""Pack writes from Python: the salience resolution, the order of the argument checks, the four
write methods and what they leave on disk."""

import re

import numpy as np
import pytest

from conftest import CONTIGUITY, raises
from quellmar._native import SALIENCE_CAP, SALIENCE_SCALE, Engine

f32 = np.float32


def encoded(rows):
    """The encoded multi-token key of a row-major token matrix."""
    rows = np.asarray(rows, dtype=f32)
    header = np.zeros(64, f32)
    header[0] = -1e9
    header[33] = rows.shape[1]
    return np.concatenate([header, rows.reshape(-1)])


def importance_of(salience):
    """Importance of a fresh pack, in single precision: min(clamp(s, 0, 100) + 5, 100)."""
    s = f32(salience)
    s = f32(100) if np.isnan(s) else min(max(s, f32(0)), f32(100))
    return float(min(s + f32(5), f32(100)))


def payloads(n=2, width=4):
    return [(i, np.full(width, i + 1, f32)) for i in range(n)]


# --- Salience resolution ------------------------------------------------------------------------

PLAIN_128 = np.concatenate([np.full(64, 10.0, f32), np.full(64, -0.5, f32)])
PLAIN_128[100] = 0.2

SALIENCE_CASES = [
    # id, key, salience given, mode, salience stored
    ("l2-capped", encoded([[3, 4]]), 1.0, "l2", 100.0),
    ("l2-norm-over-count", encoded([[0.3, 0.4]]), 1.0, "l2",
     min(float(np.sqrt(f32(0.3) * f32(0.3) + f32(0.4) * f32(0.4)) / f32(2) * f32(50)), 100.0)),
    ("l2-nan-is-cap", encoded([[np.nan, 1]]), 1.0, "l2", 100.0),
    ("max", encoded([[-0.5, 0.2]]), 1.0, "max", 25.0),
    ("max-capped", encoded([[3.0]]), 1.0, "max", 100.0),
    ("max-skips-nan", encoded([[np.nan, 0.1]]), 1.0, "max", float(f32(0.1) * f32(50))),
    ("max-all-nan-is-zero", encoded([[np.nan, np.nan]]), 70.0, "max", 0.0),
    ("plain-key-reads-past-64", PLAIN_128, 1.0, "max", 25.0),
    ("no-mode", encoded([[3, 4]]), 42.0, None, 42.0),
    ("none", encoded([[3, 4]]), 42.0, "none", 42.0),
    ("explicit", encoded([[3, 4]]), 42.0, "explicit", 42.0),
    ("header-only-key", np.full(64, 9.0, f32), 42.0, "max", 42.0),
    ("short-key", np.ones(4, f32), 42.0, "l2", 42.0),
    ("explicit-is-clamped-by-the-engine", np.ones(4, f32), 250.0, None, 250.0),
]


@pytest.mark.parametrize("key, given, mode, stored", [c[1:] for c in SALIENCE_CASES],
                         ids=[c[0] for c in SALIENCE_CASES])
def test_salience_resolution(engine, key, given, mode, stored):
    pack = engine.mem_write_pack(1, key, [], given, salience_mode=mode)
    assert engine.pack_importance(pack) == importance_of(stored)


def test_salience_constants():
    assert (SALIENCE_SCALE, SALIENCE_CAP) == (50.0, 100.0)


TOKEN_SALIENCE_CASES = [
    ("l2-identity", [[1, 0], [0, 1]], "l2", float(np.sqrt(f32(2)) / f32(4) * f32(50))),
    ("max", [[0.1, -0.4], [0.3, 0.2]], "max", float(f32(0.4) * f32(50))),
    ("none", [[3, 4]], "none", 7.0),
    ("explicit", [[3, 4]], "explicit", 7.0),
    ("no-mode", [[3, 4]], None, 7.0),
]


@pytest.mark.parametrize("rows, mode, stored", [c[1:] for c in TOKEN_SALIENCE_CASES],
                         ids=[c[0] for c in TOKEN_SALIENCE_CASES])
def test_token_matrix_salience(engine, rows, mode, stored):
    pack = engine.mem_write_pack_tokens(1, np.array(rows, f32), [], 7.0, salience_mode=mode)
    assert engine.pack_importance(pack) == importance_of(stored)


UNKNOWN_MODES = [
    ("capitals", "L2", 'unknown salience_mode "L2"; expected one of "l2", "max", "none"'),
    ("empty", "", 'unknown salience_mode ""; expected one of "l2", "max", "none"'),
    ("escaped", 'a"b\\\n', 'unknown salience_mode "a\\"b\\\\\\n"; expected one of "l2", "max", '
     '"none"'),
    ("c1-control", "\x9f\u00e9",
     'unknown salience_mode "\\u{9f}\u00e9"; expected one of "l2", "max", "none"'),
]


@pytest.mark.parametrize("mode, text", [c[1:] for c in UNKNOWN_MODES],
                         ids=[c[0] for c in UNKNOWN_MODES])
def test_unknown_salience_mode(engine, mode, text):
    # Refused even where no measure would be taken (a key without token rows).
    raises(ValueError, text, engine.mem_write_pack, 1, np.ones(4, f32), [], 1.0, None, mode)
    raises(ValueError, text, engine.mem_write_pack_tokens, 1, np.ones((2, 3), f32), [], 1.0,
           salience_mode=mode)
    assert engine.pack_count() == 0


def test_empty_token_matrix_is_the_engines_error_before_the_mode(engine):
    raises(RuntimeError, "empty or malformed token matrix: n_tokens=0, dim=8, buffer_len=0",
           engine.mem_write_pack_tokens, 1, np.zeros((0, 8), f32), [], 1.0, salience_mode="L2")
    raises(RuntimeError, "empty or malformed token matrix: n_tokens=3, dim=0, buffer_len=0",
           engine.mem_write_pack_tokens, 1, np.zeros((3, 0), f32), [], 1.0)


# --- Order of the checks ------------------------------------------------------------------------

STRIDED = np.ones(8, f32)[::2]


def test_check_order_of_mem_write_pack(engine):
    # The key's contiguity comes before the mode, the mode before the payloads.
    raises(RuntimeError, CONTIGUITY, engine.mem_write_pack, 1, STRIDED, [(0, STRIDED)], 1.0,
           salience_mode="bad")
    raises(ValueError, 'unknown salience_mode "bad"; expected one of "l2", "max", "none"',
           engine.mem_write_pack, 1, np.ones(4, f32), [(0, STRIDED)], 1.0, salience_mode="bad")
    raises(RuntimeError, CONTIGUITY, engine.mem_write_pack, 1, np.ones(4, f32),
           [(0, np.ones(4, f32)), (1, STRIDED)], 1.0)
    # Every type check comes before any copy.
    raises(TypeError, "argument 'salience_mode': 'int' object is not an instance of 'str'",
           engine.mem_write_pack, 1, STRIDED, [], 1.0, None, 3)
    assert engine.pack_count() == 0


ARGUMENT_ERRORS = [
    ("float64-key", lambda e: e.mem_write_pack(1, np.ones(4), [], 1.0), TypeError,
     "argument 'retrieval_key': 'ndarray' object is not an instance of 'ndarray[float32, ndim=1]'"),
    ("payload-3-tuple", lambda e: e.mem_write_pack(1, np.ones(4, f32), [(0, np.ones(4, f32), 1)],
                                                   1.0),
     ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("payloads-str", lambda e: e.mem_write_pack(1, np.ones(4, f32), "ab", 1.0), TypeError,
     "argument 'layer_payloads': Can't extract `str` to `Vec`"),
    ("layer-idx-too-big", lambda e: e.mem_write_pack(1, np.ones(4, f32),
                                                     [(65536, np.ones(4, f32))], 1.0),
     OverflowError, "out of range integral type conversion attempted"),
    ("negative-owner", lambda e: e.mem_write_pack(-1, np.ones(4, f32), [], 1.0), OverflowError,
     "can't convert negative int to unsigned"),
    ("salience-str", lambda e: e.mem_write_pack(1, np.ones(4, f32), [], "high"), TypeError,
     "argument 'salience': must be real number, not str"),
    ("token-matrix-1d", lambda e: e.mem_write_pack_tokens(1, np.ones(4, f32), [], 1.0), TypeError,
     "argument 'token_matrix': 'ndarray' object is not an instance of "
     "'ndarray[float32, ndim=2]'"),
    ("auto-link-threshold-str",
     lambda e: e.mem_write_pack_with_auto_link(1, np.ones(4, f32), [], 1.0, "x"), TypeError,
     "argument 'auto_link_threshold': must be real number, not str"),
    ("batch-not-tuple", lambda e: e.mem_write_batch_packs([[1, np.ones(4, f32), [], 1.0, None]]),
     TypeError, "argument 'packs': 'list' object is not an instance of 'tuple'"),
    ("batch-str", lambda e: e.mem_write_batch_packs("packs"), TypeError,
     "argument 'packs': Can't extract `str` to `Vec`"),
    ("batch-strided-key",
     lambda e: e.mem_write_batch_packs([(1, np.ones(4, f32), [], 1.0, None),
                                        (1, STRIDED, [], 1.0, None)]),
     RuntimeError, CONTIGUITY),
    ("batch-missing", lambda e: e.mem_write_batch_packs(), TypeError,
     "Engine.mem_write_batch_packs() missing 1 required positional argument: 'packs'"),
]


@pytest.mark.parametrize("call, exc_type, text", [c[1:] for c in ARGUMENT_ERRORS],
                         ids=[c[0] for c in ARGUMENT_ERRORS])
def test_argument_errors_store_nothing(engine, call, exc_type, text):
    raises(exc_type, text, call, engine)
    assert engine.pack_count() == 0
    assert engine.cell_count() == 0


# --- The write methods --------------------------------------------------------------------------

def test_mem_write_pack_stores_the_whole_pack(engine, engine_dir):
    key = np.arange(8, dtype=f32)
    # Small integers up to 7 in magnitude: the 4-bit payload codec keeps them exactly.
    layers = [(3, np.array([0, 1, 2, 3, 7], f32)), (0, np.zeros(0, f32)),
              (1, np.array([-7, 7], f32))]
    p1 = engine.mem_write_pack(7, key, layers, 3, text="first")  # an int salience is a float
    p2 = engine.mem_write_pack(owner=7, retrieval_key=key, layer_payloads=[], salience=1.0)
    assert (p1, p2) == (1, 2)
    assert type(p1) is int
    assert engine.pack_count() == 2
    assert engine.cell_count() == 5  # head + 3 layers, head only
    assert engine.pack_importance(p1) == importance_of(3.0)
    del engine
    reopened = Engine(engine_dir)
    pack = reopened.load_pack_by_id(p1)
    assert [layer["layer_idx"] for layer in pack["layers"]] == [0, 1, 3]
    assert [layer["data"].tolist() for layer in pack["layers"]] == [[], [-7, 7], [0, 1, 2, 3, 7]]
    assert pack["text"] == "first"
    assert pack["owner"] == 7
    assert reopened.load_pack_by_id(p2)["layers"] == []
    assert reopened.mem_write_pack(7, key, [], 1.0) == 3  # ids go on after the stored ones


def test_token_matrix_of_any_layout(engine):
    m = np.arange(6, dtype=f32).reshape(2, 3)
    p1 = engine.mem_write_pack_tokens(1, m, payloads(), 1.0, text="rows")
    p2 = engine.mem_write_pack_tokens(1, np.asfortranarray(m), [], 1.0)
    p3 = engine.mem_write_pack_tokens(1, np.arange(6, dtype=f32).reshape(3, 2).T.T.T, [], 1.0)
    assert (p1, p2, p3) == (1, 2, 3)
    # The stored key is the encoded key of the rows: the same encoded query finds it first.
    hits = engine.mem_read_pack(encoded(m), 3, None)
    assert {h["pack_id"] for h in hits} == {1, 2, 3}
    assert engine.load_pack_by_id(p1)["text"] == "rows"
    strided = np.arange(12, dtype=f32).reshape(2, 6)[:, ::2]
    assert engine.mem_write_pack_tokens(1, strided, [], 1.0) == 4
    assert engine.mem_read_pack(encoded(strided), 1, None)[0]["pack_id"] == 4


def test_auto_link_default_threshold(engine):
    def write(key, **kwargs):
        return engine.mem_write_pack_with_auto_link(1, np.array(key, f32), [], 0.0, **kwargs)

    first = write([20, 0, 0, 0])
    assert list(first) == ["pack_id", "linked_pack_ids"]
    assert first == {"pack_id": 1, "linked_pack_ids": []}
    # Read score 20 * 20 / sqrt(4) = 200: below the default 250, above an explicit 150.
    assert write([20, 0, 0, 0]) == {"pack_id": 2, "linked_pack_ids": []}
    assert write([20, 0, 0, 0], auto_link_threshold=150) == {"pack_id": 3, "linked_pack_ids": [1]}
    # Another owner's pack is never linked.
    other = engine.mem_write_pack_with_auto_link(2, np.array([30, 0, 0, 0], f32), [], 0.0)
    assert other["linked_pack_ids"] == []
    # Score 30 * 20 / 2 = 300 reaches the default.
    linked = write([30, 0, 0, 0], text="t")
    assert linked["pack_id"] == 5 and len(linked["linked_pack_ids"]) == 1
    assert engine.status()["trace_edges"] == 4  # each link stored in both directions


def test_batch_writes(engine, engine_dir):
    assert engine.mem_write_batch_packs([]) == []
    assert engine.status()["cell_count"] == 0
    ids = engine.mem_write_batch_packs([
        (1, np.ones(4, f32), payloads(3), 10.0, "a"),
        (2, np.full(4, 2, f32), [], 20.0, None),
    ])
    assert ids == [1, 2]
    assert engine.pack_importance(2) == importance_of(20.0)
    refused = [(1, np.ones(4, f32), [], 1.0, None), (1, np.ones(4, f32), [], 1.0)]
    raises(ValueError, "expected tuple of length 5, but got tuple of length 4",
           engine.mem_write_batch_packs, refused)
    assert engine.pack_count() == 2
    del engine
    reopened = Engine(engine_dir)
    assert reopened.pack_count() == 2
    assert reopened.load_pack_by_id(1)["text"] == "a"
    assert len(reopened.load_pack_by_id(1)["layers"]) == 3
    assert reopened.mem_write_batch_packs([(3, np.ones(4, f32), [], 1.0, None)]) == [3]


def test_batch_lands_after_the_write_buffer(engine_dir):
    buffered = Engine.open_with_write_buffer(engine_dir, 10)
    assert buffered.mem_write_pack(1, np.ones(4, f32), [], 1.0, text="queued") == 1
    assert buffered.pack_count() == 0  # only queued
    assert buffered.mem_write_batch_packs([(1, np.ones(4, f32), [], 1.0, None)] * 2) == [2, 3]
    assert buffered.pack_count() == 3
    assert buffered.pack_text(1) == "queued"


def test_docstrings():
    assert Engine.mem_write_pack.__doc__ == (
        "Store a complete multi-layer KV cache as a single atomic pack.\n\n"
        "Returns the assigned pack ID.")
    tokens = Engine.mem_write_pack_tokens.__doc__
    assert tokens.startswith(
        "Store a complete multi-layer KV pack from a raw per-token retrieval matrix.\n\n")
    for said in ["(n_tokens, dim)", "one allocation", "mem_read_tokens", "mem_write_pack",
                 "already encoded", "RuntimeError", "empty or malformed"]:
        assert said in tokens, said
    auto_link = Engine.mem_write_pack_with_auto_link.__doc__
    assert auto_link.startswith(
        "Store a pack with automatic discovery and linking of similar existing packs.\n\n")
    for said in ["pack_id", "linked_pack_ids", "DEFAULT_AUTO_LINK_THRESHOLD`` (250.0)"]:
        assert said in auto_link, said
    batch = Engine.mem_write_batch_packs.__doc__
    assert batch.startswith("Persist a known-size batch of packs with one coalesced fsync.\n\n")
    for said in ["(owner, retrieval_key, layer_payloads, salience, text)", "(layer_idx, data)",
                 "strictly increasing", "open_with_write_buffer", "flushed first"]:
        assert said in batch, said
    assert batch.endswith("An empty input returns an empty list and does not touch storage.")
