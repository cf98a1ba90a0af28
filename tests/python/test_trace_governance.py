"""Engine methods over pack edges, cell ancestors, simulated time, sweeps, eviction and owners."""

import os

import pytest

import _frame_probe as probe
from conftest import unit
from quellmar._native import Engine


def engine_with_packs(path, packs):
    """Writes packs of (owner, salience) through the probe and opens the directory again."""
    writer = probe.Engine(path)
    ids = [probe.write_pack(writer, owner, unit(i), salience) for i, (owner, salience) in
           enumerate(packs)]
    del writer
    return Engine(path), ids


@pytest.fixture
def three(engine_dir):
    """Three packs a, b, c of owners 1, 1, 2."""
    return engine_with_packs(engine_dir, [(1, 50.0), (1, 50.0), (2, 50.0)])


# ---- edges and links


@pytest.mark.parametrize("edge_type", [4, 5, 255])
def test_edge_types_above_supports_are_refused_before_the_engine(three, edge_type):
    engine, (a, b, _) = three
    with pytest.raises(RuntimeError) as info:
        engine.add_pack_edge(a, b, edge_type)
    assert str(info.value) == (
        f"Invalid edge_type {edge_type}. Valid: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports")
    with pytest.raises(RuntimeError) as info:
        engine.pack_links_by_type(a, edge_type)
    assert str(info.value) == f"Invalid edge_type {edge_type}"
    # Checked before the packs are looked up, and nothing was written.
    with pytest.raises(RuntimeError, match="^Invalid edge_type 7$"):
        engine.pack_links_by_type(999, 7)
    assert engine.status()["trace_edges"] == 0


@pytest.mark.parametrize("edge_type", [256, -1], ids=["too-large", "negative"])
def test_edge_type_conversion_fails_first(three, edge_type):
    engine, (a, b, _) = three
    for call in (lambda: engine.add_pack_edge(a, b, edge_type),
                 lambda: engine.pack_links_by_type(a, edge_type)):
        with pytest.raises(OverflowError) as info:
            call()
        assert str(info.value) == "out of range integral type conversion attempted"


def test_edges_need_both_packs(three):
    engine, (a, _, _) = three
    for args in [(a, 99, 0), (99, a, 3)]:
        with pytest.raises(RuntimeError) as info:
            engine.add_pack_edge(*args)
        assert str(info.value) == "cell not found: 99"
    with pytest.raises(RuntimeError, match="^cell not found: 0$"):
        engine.add_pack_link(0, a)
    assert engine.status()["trace_edges"] == 0


def test_links_by_type_in_both_directions(three, engine_dir):
    engine, (a, b, c) = three
    assert engine.add_pack_link(a, b) is None
    assert engine.pack_links_by_type(a, 1) == [b]
    assert engine.pack_links_by_type(b, 1) == [a]
    assert engine.pack_supports(a) == []
    assert engine.add_pack_edge(a, c, 3) is None
    assert engine.add_pack_edge(pack_id_1=b, pack_id_2=c, edge_type=2) is None
    assert engine.pack_supports(a) == [c]
    assert engine.pack_supports(c) == [a]
    assert engine.pack_contradicts(b) == [c]
    assert engine.pack_contradicts(a) == []
    assert engine.pack_links_by_type(a, 0) == []
    assert sorted(engine.pack_links(a)) == [b, c]
    assert sorted(engine.pack_links(c)) == [a, b]
    assert engine.pack_links(999) == []
    assert engine.pack_supports(999) == []
    assert engine.status()["trace_edges"] == 6  # each edge in both directions
    before = {p: sorted(engine.pack_links(p)) for p in (a, b, c)}
    del engine
    engine = Engine(engine_dir)
    assert {p: sorted(engine.pack_links(p)) for p in (a, b, c)} == before
    assert engine.pack_contradicts(c) == [b]


def test_trace_ancestors_follow_only_caused_by_edges(engine):
    root = engine.mem_write(1, 0, unit(0), unit(0), 50.0, None)
    child = engine.mem_write(1, 0, unit(1), unit(1), 50.0, root)
    assert engine.trace_ancestors(child) == [root]
    assert engine.trace_ancestors(cell_id=root) == []
    assert engine.trace_ancestors(12345) == []


# ---- time, sweeps and eviction


def test_advance_days_decays_every_entry(engine):
    cell = engine.mem_write(1, 0, unit(0), unit(0), 50.0, None)  # importance 55
    assert engine.advance_days(0.5) is None
    assert engine.cell_importance(cell) == 55.0  # no whole day yet
    engine.advance_days(1.5)
    assert engine.cell_importance(cell) == pytest.approx(55.0 * 0.995**2, rel=1e-6)
    engine.advance_days(-10.0)  # passed through; ages never undo a decay
    engine.advance_days(float("nan"))
    assert engine.cell_importance(cell) == pytest.approx(55.0 * 0.995**2, rel=1e-6)
    engine.advance_days(3)  # an int is a float argument
    with pytest.raises(TypeError) as info:
        engine.advance_days("1")
    assert str(info.value) == "argument 'days': must be real number, not str"


@pytest.fixture
def drafts(engine_dir):
    """Packs of owner 1 at importance 10, 15, 40 and one Core pack at 90, owner 2 at 12."""
    return engine_with_packs(engine_dir, [(1, 5.0), (1, 10.0), (1, 35.0), (1, 85.0), (2, 7.0)])


def test_sweep_now_defaults_evict_only_drafts_below_15_without_decay(drafts):
    engine, (p10, p15, p40, p90, p12) = drafts
    cell = engine.mem_write(3, 0, unit(0), unit(0), 50.0, None)
    assert engine.sweep_now() == 2  # 10 and 12; 15 is not below 15
    assert engine.cell_importance(cell) == 55.0
    assert engine.pack_count() == 3
    assert engine.list_owners() == [1]
    assert engine.sweep_now() == 0


def test_sweep_now_ages_by_hours_first(drafts):
    engine, _ = drafts
    cell = engine.mem_write(3, 0, unit(0), unit(0), 50.0, None)
    # 48 hours are two days: 15 decays to 14.85 and goes too.
    assert engine.sweep_now(hours=48.0) == 3
    assert engine.cell_importance(cell) == pytest.approx(55.0 * 0.995**2, rel=1e-6)
    assert engine.pack_count() == 2


@pytest.mark.parametrize("hours", [0.0, -48.0, float("nan"), 23.0],
                         ids=["zero", "negative", "nan", "under-a-day"])
def test_sweep_now_without_a_whole_day_applies_no_decay(drafts, hours):
    engine, _ = drafts
    cell = engine.mem_write(3, 0, unit(0), unit(0), 50.0, None)
    assert engine.sweep_now(hours, 15.0) == 2
    assert engine.cell_importance(cell) == 55.0


def test_sweep_now_threshold_spares_validated_and_core(drafts):
    engine, (_, _, p40, p90, _) = drafts
    assert engine.sweep_now(eviction_threshold=1000.0) == 4
    assert engine.pack_count() == 1
    assert engine.list_owners() == [1]


def test_sweep_now_refuses_none(drafts):
    engine, _ = drafts
    with pytest.raises(TypeError) as info:
        engine.sweep_now(hours=None)
    assert str(info.value) == "argument 'hours': must be real number, not NoneType"
    with pytest.raises(TypeError) as info:
        engine.sweep_now(0.0, None)
    assert str(info.value) == "argument 'eviction_threshold': must be real number, not NoneType"
    assert engine.pack_count() == 5


def test_evict_draft_packs_by_owner(drafts):
    engine, _ = drafts
    assert engine.evict_draft_packs(20.0, 2) == 1
    assert engine.list_owners() == [1]
    assert engine.evict_draft_packs(20.0, 7) == 0
    assert engine.evict_draft_packs(12.0, owner=None) == 1  # the pack at 10
    assert engine.evict_draft_packs(50.0) == 2  # 15 and 40; the Core pack stays
    assert engine.pack_count() == 1


def test_eviction_failure_keeps_the_decay(drafts, engine_dir):
    engine, _ = drafts
    cell = engine.mem_write(3, 0, unit(0), unit(0), 50.0, None)
    # The deletion log cannot be appended to once a directory holds its name.
    os.mkdir(os.path.join(engine_dir, "deletion_log.bin"))
    with pytest.raises(RuntimeError) as info:
        engine.sweep_now(hours=48.0)
    assert str(info.value) == "storage I/O error: Is a directory (os error 21)"
    assert engine.cell_importance(cell) == pytest.approx(55.0 * 0.995**2, rel=1e-6)
    for call in (lambda: engine.evict_draft_packs(20.0), lambda: engine.delete_owner(1)):
        with pytest.raises(RuntimeError):
            call()


# ---- owners


def test_owners(engine_dir):
    engine, _ = engine_with_packs(engine_dir, [(9, 90.0), (2, 70.0), (9, 10.0), (2**64 - 1, 1.0)])
    assert engine.list_owners() == [2, 9, 2**64 - 1]
    assert engine.owner_exists(9) is True
    assert engine.owner_exists(3) is False
    # Validated and Core packs go too.
    assert engine.delete_owner(9) == 2
    assert engine.owner_exists(9) is False
    assert engine.list_owners() == [2, 2**64 - 1]
    assert engine.delete_owner(9) == 0
    assert engine.delete_owner(owner=12345) == 0
    # Cells of the cell API belong to no pack and make no owner.
    engine.mem_write(5, 0, unit(0), unit(0), 50.0, None)
    assert engine.owner_exists(5) is False
    with pytest.raises(OverflowError):
        engine.owner_exists(-1)


def test_docstrings():
    assert Engine.add_pack_edge.__doc__ == (
        "Create a durable typed trace edge between two packs.\n\n"
        "`edge_type`: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports.")
    assert Engine.sweep_now.__doc__ == "Run a governance sweep synchronously."
    assert Engine.list_owners.__doc__ == (
        "Enumerate every owner with at least one pack stored.\n\n"
        "Returns owners in ascending order.")
    assert Engine.delete_owner.__doc__.startswith(
        "Delete every pack belonging to ``owner``; return the count")
