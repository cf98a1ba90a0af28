"""The maintenance thread and the scheduled actions from Python: starting, stopping and watching
the thread, its sweeps and compactions, destruction while it runs, and scheduling, cancelling,
firing and listing evictions with their time checks."""

import json
import math
import os
import threading
import time

import numpy as np
import pytest

from _threads import maintenance_threads, wait_until
from conftest import raises
from quellmar._native import Engine

f32 = np.float32
FRESH_MAINTENANCE = {
    "sweep_count": 0,
    "compaction_count": 0,
    "total_packs_evicted": 0,
    "total_bytes_reclaimed": 0,
    "last_sweep_epoch_secs": None,
    "last_compaction_epoch_secs": None,
}
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
HOUR = 3600.0


def write_pack(engine, owner, salience, seed=0):
    key = np.full(8, 0.1 + seed, f32)
    return engine.mem_write_pack(owner, key, [(0, np.arange(4, dtype=f32) + seed)], salience)


# --- The maintenance thread ---------------------------------------------------------------------


def test_fresh_engine_has_no_maintenance(engine):
    assert engine.is_maintenance_running() is False
    status = engine.maintenance_status()
    assert list(status) == list(FRESH_MAINTENANCE)
    assert status == FRESH_MAINTENANCE
    assert engine.stop_maintenance() is None  # nothing runs: not an error
    assert engine.maintenance_status() == FRESH_MAINTENANCE


def test_sweeps_and_compactions_run_and_are_counted(engine):
    before = maintenance_threads()
    started = int(time.time())
    assert engine.start_maintenance(0.01, 0.01) is None
    assert engine.is_maintenance_running() is True
    wait_until(lambda: maintenance_threads() == before + 1)  # the thread names itself
    wait_until(lambda: engine.maintenance_status()["sweep_count"] >= 2
               and engine.maintenance_status()["compaction_count"] >= 1)
    status = engine.maintenance_status()
    for key in ("last_sweep_epoch_secs", "last_compaction_epoch_secs"):
        assert type(status[key]) is int
        assert started <= status[key] <= int(time.time())
    assert status["total_packs_evicted"] == 0
    assert status["total_bytes_reclaimed"] == 0  # one segment: nothing to compact

    engine.stop_maintenance()
    assert engine.is_maintenance_running() is False
    wait_until(lambda: maintenance_threads() == before)  # a joined task can linger a moment
    stopped = engine.maintenance_status()
    time.sleep(0.05)
    assert engine.maintenance_status() == stopped  # the counters stay, and nothing moves
    assert stopped["sweep_count"] >= 2
    engine.stop_maintenance()  # twice is fine
    assert engine.maintenance_status() == stopped


def test_second_start_is_refused_and_a_restart_counts_afresh(engine):
    before = maintenance_threads()
    engine.start_maintenance(sweep_interval_secs=0.005, compaction_interval_secs=HOUR)
    wait_until(lambda: engine.maintenance_status()["sweep_count"] >= 1)
    raises(RuntimeError, "maintenance already running", engine.start_maintenance)
    # The running check comes before the interval checks.
    raises(RuntimeError, "maintenance already running", engine.start_maintenance, -1.0)
    assert engine.is_maintenance_running() is True
    wait_until(lambda: maintenance_threads() == before + 1)

    engine.stop_maintenance()
    engine.start_maintenance(HOUR, HOUR)
    assert engine.is_maintenance_running() is True
    assert engine.maintenance_status() == FRESH_MAINTENANCE
    engine.stop_maintenance()


def test_default_intervals_start_and_stop_at_once(engine):
    engine.start_maintenance()  # an hour between sweeps: the stop must not wait for it
    t0 = time.monotonic()
    engine.stop_maintenance()
    assert time.monotonic() - t0 < 0.5
    assert engine.maintenance_status() == FRESH_MAINTENANCE


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"sweep_interval_secs": -1.0}, NEGATIVE),
        ({"sweep_interval_secs": -1e-300}, NEGATIVE),
        ({"compaction_interval_secs": -math.inf}, NEGATIVE),
        ({"sweep_interval_secs": math.nan}, TOO_BIG),
        ({"compaction_interval_secs": math.inf}, TOO_BIG),
        ({"sweep_interval_secs": 2.0**64}, TOO_BIG),
        ({"sweep_interval_secs": HOUR, "compaction_interval_secs": -2.0}, NEGATIVE),
    ],
    ids=["negative", "tiny-negative", "minus-inf", "nan", "inf", "2^64", "second-interval"],
)
def test_unusable_intervals_start_nothing(engine, kwargs, text):
    before = maintenance_threads()
    raises(ValueError, text, engine.start_maintenance, **kwargs)
    assert engine.is_maintenance_running() is False
    assert maintenance_threads() == before
    assert engine.maintenance_status() == FRESH_MAINTENANCE


@pytest.mark.parametrize(
    "interval", [0.0, -0.0, 2.0**64 - 2048, 1e-12], ids=["zero", "minus-zero", "largest", "tiny"]
)
def test_usable_interval_edges(engine, interval):
    engine.start_maintenance(interval, HOUR)
    assert engine.is_maintenance_running() is True
    engine.stop_maintenance()


def test_argument_errors(engine):
    with pytest.raises(TypeError) as exc:
        engine.start_maintenance("1")
    assert str(exc.value).startswith("argument 'sweep_interval_secs': ")
    with pytest.raises(TypeError) as exc:
        engine.start_maintenance(1.0, 1.0, 1.0, 1.0, 1.0)
    assert str(exc.value) == (
        "Engine.start_maintenance() takes from 0 to 4 positional arguments but 5 were given"
    )
    with pytest.raises(TypeError) as exc:
        engine.is_maintenance_running(1)
    assert engine.is_maintenance_running() is False
    engine.start_maintenance(1, 2, 3, 4)  # ints are floats here
    engine.stop_maintenance()


def test_start_and_stop_conflict_with_calls_that_released_the_interpreter_lock(engine):
    # compact() keeps its shared borrow while it runs without the interpreter lock; a start or
    # stop meanwhile is refused with "Already borrowed" and changes nothing.
    done = threading.Event()
    errors = []

    def compact_until_done():
        try:
            while not done.is_set():
                engine.compact()
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    worker = threading.Thread(target=compact_until_done)
    worker.start()
    conflicts = 0
    try:
        for _ in range(200):
            for call in (lambda: engine.start_maintenance(HOUR, HOUR), engine.stop_maintenance):
                try:
                    call()
                except RuntimeError as e:
                    # A refused stop leaves the thread running for the next start.
                    assert str(e) in ("Already borrowed", "maintenance already running")
                    conflicts += str(e) == "Already borrowed"
    finally:
        done.set()
        worker.join()
    assert errors == []
    engine.stop_maintenance()
    assert engine.is_maintenance_running() is False
    assert conflicts > 0


def test_sweeps_evict_weak_drafts(engine_dir):
    e = Engine(engine_dir)
    weak = write_pack(e, 1, 0.0, seed=0)  # importance 5: Draft below 15
    strong = write_pack(e, 1, 95.0, seed=1)
    e.start_maintenance(sweep_interval_secs=0.005, compaction_interval_secs=HOUR,
                        eviction_threshold=15.0, hours_per_tick=1.0)
    wait_until(lambda: e.maintenance_status()["total_packs_evicted"] == 1)
    e.stop_maintenance()
    assert e.pack_exists(weak) is False
    assert e.pack_exists(strong) is True
    del e
    assert [p["pack_id"] for p in Engine(engine_dir).list_packs(fetch_text=False)] == [strong]


def test_dropping_a_running_engine_joins_its_thread(engine_dir):
    before = maintenance_threads()
    e = Engine(engine_dir)
    weak = write_pack(e, 3, 0.0)
    e.start_maintenance(0.002, 0.002)
    wait_until(lambda: e.maintenance_status()["total_packs_evicted"] == 1
               and e.maintenance_status()["compaction_count"] >= 1)
    assert maintenance_threads() == before + 1
    del e  # returns only once the thread has ended
    wait_until(lambda: maintenance_threads() == before)
    reopened = Engine(engine_dir)
    assert reopened.pack_count() == 0
    assert reopened.pack_exists(weak) is False
    assert reopened.maintenance_status() == FRESH_MAINTENANCE


def test_a_sweep_fires_due_scheduled_actions(engine):
    pack = write_pack(engine, 7, 30.0)  # importance 35
    engine.schedule_evict_draft(0.0, 7, 50.0)
    # The sweep's own eviction bound is 0, so only the scheduled action can evict the pack.
    engine.start_maintenance(0.005, HOUR, eviction_threshold=0.0)
    wait_until(lambda: engine.list_scheduled() == [])
    engine.stop_maintenance()
    assert engine.pack_exists(pack) is False
    assert engine.maintenance_status()["total_packs_evicted"] == 0


# --- Scheduled actions --------------------------------------------------------------------------


def schedule_file(engine_dir):
    with open(os.path.join(engine_dir, "scheduled_actions.json")) as f:
        return json.load(f)


def test_schedule_list_and_persist(engine, engine_dir):
    assert engine.list_scheduled() == []
    assert engine.schedule_evict_draft(0.0, 7, 15.0) == 1
    listed = engine.list_scheduled()
    assert listed == [{"id": 1, "fires_at_unix_secs": 0.0,
                       "action": {"type": "evict_draft", "owner": 7, "threshold": 15.0}}]
    assert list(listed[0]) == ["id", "fires_at_unix_secs", "action"]
    assert list(listed[0]["action"]) == ["type", "owner", "threshold"]
    assert type(listed[0]["fires_at_unix_secs"]) is float

    later = time.time() + HOUR
    assert engine.schedule_evict_draft(fires_at_unix_secs=later, owner=2**64 - 1,
                                       threshold=0.1) == 2
    assert engine.schedule_evict_draft(100.5, 1, 1) == 3
    listed = engine.list_scheduled()
    assert [x["id"] for x in listed] == [1, 3, 2]  # by fire time
    assert listed[1]["fires_at_unix_secs"] == 100.5
    assert listed[2]["action"] == {"type": "evict_draft", "owner": 2**64 - 1,
                                   "threshold": float(f32(0.1))}
    assert abs(listed[2]["fires_at_unix_secs"] - later) < 1e-6

    reopened = Engine(engine_dir)
    assert reopened.list_scheduled() == listed
    assert reopened.schedule_evict_draft(0.0, 1, 1.0) == 4
    assert schedule_file(engine_dir)["next_id"] == 5


@pytest.mark.parametrize(
    "secs, nanos",
    [
        (0.1, 100_000_000),
        (1 / 1024, 976_562),  # 976562.5 ns: the tie goes to the even neighbour
        (3 / 1024, 2_929_688),  # 2929687.5 ns
        (1e-10, 0),
        (-0.0, 0),
        (1700000000.25, 1_700_000_000_250_000_000),
        (2.0**63 - 1024, (2**63 - 1024) * 10**9),
    ],
    ids=["tenth", "tie-down", "tie-up", "below-half-ns", "minus-zero", "quarter", "largest"],
)
def test_fire_times_are_rounded_to_the_nanosecond(engine, engine_dir, secs, nanos):
    engine.schedule_evict_draft(secs, 1, 1.0)
    assert schedule_file(engine_dir)["entries"][0]["fires_at_unix_nanos"] == nanos
    listed = engine.list_scheduled()[0]["fires_at_unix_secs"]
    assert listed == nanos // 10**9 + (nanos % 10**9) / 1e9


@pytest.mark.parametrize(
    "secs, text",
    [
        (-1.0, NEGATIVE),
        (-math.inf, NEGATIVE),
        (math.nan, TOO_BIG),
        (math.inf, TOO_BIG),
        (2.0**64, TOO_BIG),
        (2.0**63, "overflow when adding duration to instant"),
        (2.0**64 - 2048, "overflow when adding duration to instant"),
    ],
    ids=["negative", "minus-inf", "nan", "inf", "2^64", "2^63", "below-2^64"],
)
def test_unusable_fire_times(engine, engine_dir, secs, text):
    raises(ValueError, text, engine.schedule_evict_draft, secs, 1, 1.0)
    assert engine.list_scheduled() == []
    assert not os.path.exists(os.path.join(engine_dir, "scheduled_actions.json"))
    assert engine.schedule_evict_draft(0.0, 1, 1.0) == 1  # no id was used up


@pytest.mark.parametrize(
    "threshold, shown", [(math.nan, "NaN"), (math.inf, "inf"), (1e39, "inf")],
    ids=["nan", "inf", "beyond-f32"],
)
def test_unstorable_threshold(engine, threshold, shown):
    raises(RuntimeError,
           "snapshot integrity check failed: scheduled action threshold must be a finite "
           f"number, got {shown}",
           engine.schedule_evict_draft, 0.0, 1, threshold)
    assert engine.list_scheduled() == []


def test_schedule_argument_errors(engine):
    with pytest.raises(OverflowError):
        engine.schedule_evict_draft(0.0, -1, 1.0)
    with pytest.raises(TypeError) as exc:
        engine.schedule_evict_draft("soon", 1, 1.0)
    assert str(exc.value).startswith("argument 'fires_at_unix_secs': ")
    with pytest.raises(TypeError) as exc:
        engine.schedule_evict_draft(0.0, 1)
    assert str(exc.value) == (
        "Engine.schedule_evict_draft() missing 1 required positional argument: 'threshold'"
    )
    with pytest.raises(OverflowError):
        engine.cancel_scheduled(-1)
    assert engine.list_scheduled() == []


def test_cancel(engine, engine_dir):
    assert engine.cancel_scheduled(1) is False  # never issued
    assert not os.path.exists(os.path.join(engine_dir, "scheduled_actions.json"))
    engine.schedule_evict_draft(0.0, 1, 1.0)
    engine.schedule_evict_draft(0.0, 2, 1.0)
    assert engine.cancel_scheduled(id=1) is True
    assert engine.cancel_scheduled(1) is False
    assert [x["id"] for x in engine.list_scheduled()] == [2]
    assert [x["id"] for x in Engine(engine_dir).list_scheduled()] == [2]


def test_scheduled_ids_never_repeat(engine_dir):
    os.makedirs(engine_dir)
    with open(os.path.join(engine_dir, "scheduled_actions.json"), "w") as f:
        json.dump({"next_id": 2**64 - 2, "entries": []}, f)
    engine = Engine(engine_dir)
    assert engine.schedule_evict_draft(0.0, 1, 1.0) == 2**64 - 2
    for e in (engine, Engine(engine_dir)):
        raises(RuntimeError, "snapshot integrity check failed: no scheduled action id is left "
               "(the last one is 18446744073709551614)", e.schedule_evict_draft, 0.0, 2, 1.0)
    assert [x["id"] for x in engine.list_scheduled()] == [2**64 - 2]
    assert engine.cancel_scheduled(2**64 - 2) is True
    assert engine.list_scheduled() == []


def test_fire_due(engine):
    assert engine.fire_due_scheduled() == 0
    weak = write_pack(engine, 7, 0.0, seed=0)  # importance 5
    other_owner = write_pack(engine, 8, 0.0, seed=1)
    strong = write_pack(engine, 7, 50.0, seed=2)  # importance 55
    engine.schedule_evict_draft(time.time() + HOUR, 7, 100.0)
    engine.schedule_evict_draft(time.time() - 1.0, 7, 15.0)
    engine.schedule_evict_draft(0.0, 7, 10.0)
    assert engine.fire_due_scheduled() == 2
    assert engine.pack_exists(weak) is False
    assert engine.pack_exists(other_owner) is True
    assert engine.pack_exists(strong) is True
    assert [x["id"] for x in engine.list_scheduled()] == [1]  # the future one stays
    assert engine.fire_due_scheduled() == 0


def paragraphs(doc):
    """A docstring's paragraphs, each with its line breaks and runs of spaces as single spaces."""
    return [" ".join(p.split()) for p in doc.split("\n\n")]


@pytest.mark.parametrize("method, text", [
    ("start_maintenance", ["Start background maintenance (governance sweep + auto-compaction)."]),
    ("stop_maintenance", ["Stop background maintenance."]),
    ("is_maintenance_running", ["Whether background maintenance is currently running."]),
    ("maintenance_status", ["Get maintenance statistics."]),
    ("schedule_evict_draft", [
        "Schedule an ``evict_draft`` action to fire at ``fires_at_unix_secs`` (seconds since the "
        "Unix epoch). Returns the assigned schedule id.",
        "The schedule is persisted to a JSON sidecar before this returns and survives engine "
        "restart. Built-in actions are idempotent; the at-least-once delivery model gives "
        "fire-once-in-effect across crashes."]),
    ("cancel_scheduled", [
        "Cancel a previously-scheduled action. Returns ``True`` if the entry was found and "
        "removed."]),
    ("list_scheduled", [
        'List pending scheduled entries as dicts: ``{"id": int, "fires_at_unix_secs": float, '
        '"action": dict}``. Entries are sorted by fire time ascending.']),
    ("fire_due_scheduled", [
        "Fire any actions whose `fires_at <= now`. Returns the number of actions that fired "
        "successfully. Use after a known event when you want scheduled work committed before "
        "the next tick of the background maintenance worker."]),
])
def test_docstrings(method, text):
    assert paragraphs(getattr(Engine, method).__doc__) == text


def test_list_scheduled_docstring_gives_the_entry_shape_on_its_own_line():
    lines = Engine.list_scheduled.__doc__.splitlines()
    assert '``{"id": int, "fires_at_unix_secs": float, "action": dict}``.' in lines
