"""One key costs memory in proportion to its size: a pack whose key is far larger than any other
is written, read and reopened in a process whose address space is capped at 1 GiB above what it
uses, where an index that gave the key's width 16 or 128 times its size would fail."""

import pytest

from _capped_child import run_capped_child

CHILD = """
    path, small_before, small_after = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    cap_memory(1 << 30)
    # 2**24 values (64 MiB as floats): a 16-row panel of them is a gigabyte.
    big = np.linspace(-1.0, 1.0, 2**24, dtype=np.float32)
    small = np.ones(32, np.float32)
    layer = (np.arange(64) % 15 - 7).astype(np.float32)  # whole numbers the codec keeps exactly
    out = {}
    engine = _native.Engine(path)
    for _ in range(small_before):
        engine.mem_write_pack(1, small, [(0, layer)], 50.0)
    out["big"] = engine.mem_write_pack(2, big, [(3, layer)], 50.0, text="big")
    for _ in range(small_after):
        engine.mem_write_pack(1, small, [(0, layer)], 50.0)
    got = engine.load_pack_by_id(out["big"])
    out["written"] = [got["text"], got["layers"][0]["data"].tolist() == layer.tolist()]
    out["read"] = [p["pack_id"] for p in engine.mem_read_pack(big, 1, None)]
    out["counts"] = [engine.pack_count(), engine.cell_count()]
    del engine
    engine = _native.Engine(path)
    got = engine.load_pack_by_id(out["big"])
    out["reopened"] = [engine.pack_count(), engine.cell_count(), got["text"]]
    out["read_after_reopen"] = [p["pack_id"] for p in engine.mem_read_pack(big, 1, None)]
    print(json.dumps(out))
"""


# Small packs written before the large one (its width is then not the recent-key buffer's), or
# after it (the open then meets it first, among many keys of another width).
@pytest.mark.parametrize("small_before,small_after", [(1, 0), (0, 0), (0, 40)],
                         ids=["after-a-small-key", "first-key", "before-many-small-keys"])
def test_a_large_key_is_written_and_reopened_within_its_size(tmp_path, small_before, small_after):
    out = run_capped_child(CHILD, tmp_path / "engine", small_before, small_after)
    packs = 1 + small_before + small_after
    assert out["written"] == ["big", True]
    assert out["read"] == [out["big"]]
    assert out["counts"] == [packs, 2 * packs]
    assert out["reopened"] == [packs, 2 * packs, "big"]
    assert out["read_after_reopen"] == [out["big"]]
