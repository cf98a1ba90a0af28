import threading

import numpy as np
import pytest

import _frame_probe as probe
from _threads import maintenance_threads, wait_until
from quellmar._native import Engine

FRESH_STATUS = {
    "cell_count": 0,
    "pack_count": 0,
    "segment_count": 1,
    "slb_occupancy": 0,
    "slb_capacity": 4096,
    "vamana_active": False,
    "pipeline_stages": 2,
    "governance_entries": 0,
    "trace_edges": 0,
    "arena_bytes": 8,
    "arena_bytes_per_cell": 0,
}


def test_fresh_engine_status(engine):
    status = engine.status()
    assert list(status) == list(FRESH_STATUS)
    assert status == FRESH_STATUS
    assert type(status["vamana_active"]) is bool
    assert engine.status() is not status


def test_counts_and_repr(engine, engine_dir):
    assert engine.cell_count() == 0
    assert engine.pack_count() == 0
    assert engine.has_vamana() is False
    assert engine.pipeline_stage_count() == 2
    assert repr(engine) == f"Engine(path='{engine_dir}', cells=0)"


def test_repr_shows_the_path_as_given(tmp_path):
    path = str(tmp_path) + "/a/../it's"
    assert repr(Engine(path)) == f"Engine(path='{path}', cells=0)"


def test_durability_calls(engine):
    assert engine.flush() is None
    assert engine.flush_buffer() is None  # no write buffer: nothing to do
    before = engine.status()
    assert engine.refresh() is None
    assert engine.refresh() is None
    assert engine.status() == before


def test_compact_single_segment(engine):
    report = engine.compact()
    assert list(report) == ["segments_compacted", "cells_moved", "bytes_reclaimed"]
    assert report == {"segments_compacted": 0, "cells_moved": 0, "bytes_reclaimed": 0}


def test_open_with_write_buffer(engine_dir):
    e = Engine.open_with_write_buffer(engine_dir, 4)
    assert type(e) is Engine
    assert e.flush_buffer() is None
    assert e.status() == FRESH_STATUS
    e = Engine.open_with_write_buffer(path=engine_dir, max_batch_size=2, max_idle_ms=10)
    assert e.flush() is None


def test_reopen_and_keyword_arguments(engine_dir):
    Engine(engine_dir, segment_size=1 << 20, vamana_threshold=5)
    e = Engine(path=engine_dir, vamana_threshold=None)
    assert e.status() == FRESH_STATUS


@pytest.mark.parametrize(
    "kwargs, exc_type, text",
    [
        ({"segment_size": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"vamana_threshold": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"segment_size": 1 << 20, "vamana_threshold": 2**64}, OverflowError,
         "int too big to convert"),
        ({"vamana_threshold": "5"}, TypeError,
         "argument 'vamana_threshold': 'str' object cannot be interpreted as an integer"),
    ],
    ids=["negative-segment-size", "negative-threshold", "threshold-with-size", "threshold-str"],
)
def test_constructor_argument_errors(engine_dir, kwargs, exc_type, text):
    with pytest.raises(exc_type) as exc:
        Engine(engine_dir, **kwargs)
    assert str(exc.value) == text


def test_open_failure_is_runtime_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(RuntimeError) as exc:
        Engine(str(blocker))
    assert str(exc.value) == "storage I/O error: File exists (os error 17)"
    with pytest.raises(RuntimeError) as exc:
        Engine.open_with_write_buffer(str(blocker / "sub"), 1)
    assert str(exc.value).startswith("storage I/O error: ")


@pytest.mark.parametrize(
    "name, prefix",
    [("text_store.bin", "storage I/O error: "), ("synaptic.qmr", "storage I/O error: "),
     ("trace.wal", "WAL recovery failed: ")],
)
def test_engine_files_are_never_links(tmp_path, name, prefix):
    outside = tmp_path / "notes.txt"
    outside.write_text("the user's own")
    engine_dir = tmp_path / "engine"
    engine_dir.mkdir()
    (engine_dir / name).symlink_to(outside)
    with pytest.raises(RuntimeError) as exc:
        Engine(str(engine_dir))
    assert str(exc.value) == (prefix + str(engine_dir / name) + " is a symbolic link; "
                              "the engine does not follow links to its own files")
    assert outside.read_text() == "the user's own"
    # A link on the engine directory itself is followed.
    (engine_dir / name).unlink()
    via = tmp_path / "via"
    via.symlink_to(engine_dir)
    engine = Engine(str(via))
    engine.mem_write_pack(1, np.ones(8, np.float32), [(0, np.ones(4, np.float32))], 50.0,
                          text="hello")
    assert (engine_dir / "text_store.bin").exists()


def test_threads_share_one_engine(engine):
    errors = []

    def work():
        try:
            for _ in range(200):
                assert engine.status()["segment_count"] == 1
                engine.compact()
                engine.cell_count()
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_dropping_an_engine_stops_its_maintenance_thread(engine_dir):
    # _frame_probe.Engine is this class built once more inside the probe module, with a way to
    # start the maintenance thread.
    before = maintenance_threads()
    e = probe.Engine(engine_dir)
    probe.run_maintenance(e, 0.01)  # sweeps and compactions every 10 ms
    wait_until(lambda: maintenance_threads() == before + 1)  # the thread names itself
    assert e.status()["segment_count"] == 1
    del e  # returns once the thread has ended
    wait_until(lambda: maintenance_threads() == before)  # a joined task can linger a moment
    assert Engine(engine_dir).status() == FRESH_STATUS
