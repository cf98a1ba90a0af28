"""Eight Python threads write, read and delete on one Engine while the maintenance thread sweeps and
compacts with short intervals; afterwards every acknowledged pack is there and the counts agree."""

import threading
import time

import numpy as np

from quellmar import _native

DIM = 32
THREADS = 8
SECONDS = 2.0


def pack_key(tag):
    rng = np.random.default_rng(tag)
    return rng.standard_normal(DIM).astype(np.float32)


def payload(tag):
    # Whole numbers with 7 the largest magnitude: the 4-bit codes hold them exactly.
    data = ((np.arange(64) + tag) % 15 - 7).astype(np.float32)
    return [(0, data), (1, -data)]


def worker(engine, index, deadline, written, deleted, errors):
    tag = index * 1_000_000
    try:
        while time.monotonic() < deadline:
            tag += 1
            kind = tag % 4
            if kind == 0:
                ids = engine.mem_write_batch_packs([
                    (index, pack_key(tag), payload(tag), 50.0, f"batch {tag}"),
                    (index, pack_key(tag + 500_000), payload(tag + 500_000), 50.0, None),
                ])
                written[ids[0]] = (tag, f"batch {tag}")
                written[ids[1]] = (tag + 500_000, None)
            elif kind == 3 and written:
                victim = next((p for p in list(written) if p % THREADS == index), None)
                if victim is not None and victim not in deleted:
                    engine.delete_pack(victim)
                    deleted.add(victim)
            else:
                pid = engine.mem_write_pack(index, pack_key(tag), payload(tag), 50.0,
                                            text=f"pack {tag}")
                written[pid] = (tag, f"pack {tag}")
                engine.mem_read_pack(pack_key(tag), 5, None)
    except BaseException as exc:  # reported by the main thread
        errors.append(exc)


def test_threads_and_maintenance_keep_every_acknowledged_pack(tmp_path):
    path = str(tmp_path / "engine")
    engine = _native.Engine(path, segment_size=64 * 1024)
    engine.start_maintenance(sweep_interval_secs=0.05, compaction_interval_secs=0.2,
                             eviction_threshold=0.0, hours_per_tick=0.01)
    written, deleted, errors = {}, set(), []
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=worker, args=(engine, i, deadline, written, deleted, errors))
               for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    engine.stop_maintenance()
    assert errors == []
    status = engine.maintenance_status()
    assert status["sweep_count"] > 0
    assert status["compaction_count"] > 0

    live = {pid: v for pid, v in written.items() if pid not in deleted}
    assert engine.pack_count() == len(live)

    def check(e):
        for pid, (tag, text) in live.items():
            pack = e.load_pack_by_id(pid)
            assert pack["text"] == text
            expected = payload(tag)
            assert [layer["layer_idx"] for layer in pack["layers"]] == [0, 1]
            for layer, (_, data) in zip(pack["layers"], expected):
                np.testing.assert_array_equal(layer["data"], data)
        for pid in deleted:
            assert not e.pack_exists(pid)

    check(engine)
    engine.compact()
    check(engine)
    del engine
    reopened = _native.Engine(path, segment_size=64 * 1024)
    assert reopened.pack_count() == len(live)
    check(reopened)


# A process that opens the engine at `path` and refreshes it (or, with "open", opens it again and
# again) until the file `stop` exists; prints every failure and exits with their count.
HANDLE = """
import os, sys
from quellmar import _native
path, stop, mode = sys.argv[1:4]
failures = 0
engine = _native.Engine(path, vamana_threshold=60)
rounds = 0
while not os.path.exists(stop) or rounds < 5:
    rounds += 1
    try:
        if mode == "open":
            _native.Engine(path, vamana_threshold=60)
        else:
            engine.refresh()
    except Exception as exc:
        failures += 1
        print(f"{mode}: {exc}", flush=True)
sys.exit(min(failures, 100))
"""


def test_processes_saving_the_graph_at_once_never_break_each_other(tmp_path):
    # One writer; two processes refreshing (each refresh after new packs builds and saves the
    # graph) and one opening (each open sweeps stale temporaries): no refresh or open fails.
    import os
    import subprocess
    import sys

    path, stop = str(tmp_path / "engine"), str(tmp_path / "stop")
    writer = _native.Engine(path, vamana_threshold=60)
    writer.mem_write_batch_packs([(1, pack_key(t), [], 50.0, None) for t in range(80)])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    handles = [subprocess.Popen([sys.executable, "-c", HANDLE, path, stop, mode], env=env,
                                stdout=subprocess.PIPE, text=True)
               for mode in ("refresh", "refresh", "open")]
    try:
        for t in range(80, 140):
            writer.mem_write_pack(1, pack_key(t), [], 50.0)
            time.sleep(0.01)
    finally:
        open(stop, "w").close()
        outputs = [h.communicate(timeout=120)[0] for h in handles]
    assert [h.returncode for h in handles] == [0, 0, 0], outputs
    assert not [n for n in os.listdir(path) if ".tmp" in n]
