"""Run by test_engine_lock.py in a child process, so that a deadlock fails a test by its timeout
instead of hanging the run. For each case named on the command line it calls one method while a
garbage collection runs finalizers inside the call: the finalizers do enough arithmetic for the
interpreter to switch threads in them and then call the engine, and a second thread calls the
engine all the while. Its first argument is the directory to work in. It prints "<case> start"
before and "<case> <outcome>" after each case: "ok" once a finalizer ran inside the call and its
own engine call succeeded, "no-collection" when no collection came inside the call in three
tries, or "error <what>"."""

import gc
import os
import sys
import threading

import numpy as np

from quellmar import _native

DIM = 8


def key(i):
    v = np.full(DIM, 0.1, np.float32)
    v[i % DIM] = 1.0
    return v


class Setup:
    """An engine with packs (texts, layers, edges), cells with a parent, a scheduled action, a
    synaptic entry and a checkpoint, and what the cases call on."""

    def __init__(self, root):
        self.root = root
        e = self.engine = _native.Engine(os.path.join(self.root, "engine"))
        self.payload = [(0, np.arange(64, dtype=np.float32))]
        self.packs = e.mem_write_batch_packs(
            [(1, key(i), self.payload, 50.0, f"text {i}") for i in range(40)])
        e.add_pack_edge(self.packs[0], self.packs[1], 3)
        e.add_pack_edge(self.packs[0], self.packs[2], 2)
        parent = e.mem_write(2, 0, key(3), key(4), 50.0, None)
        self.child = e.mem_write(2, 0, key(5), key(6), 50.0, parent)
        e.schedule_evict_draft(4e9, 1, 1.0)
        e.store_synapsis(1, 1, np.ones(4, np.float32), np.ones(4, np.float32), 1.0, 2, 2)
        self.repo = _native.CheckpointRepository(os.path.join(self.root, "checkpoints"))
        self.repo.save(e, "label")
        self.hit = e.mem_read(key(3), 1, None)[0]
        self.snapshots = 0

    def snapshot_path(self):
        self.snapshots += 1
        return os.path.join(self.root, f"snapshot{self.snapshots}.tar")


# Each case gives the bound method and its arguments, built before the garbage is made, so that
# the collection comes inside the call rather than while its arguments are built.
CASES = {
    "compact": lambda s: (s.engine.compact, ()),
    "status": lambda s: (s.engine.status, ()),
    "mem_write_batch": lambda s: (s.engine.mem_write_batch,
                                  ([(2, 0, key(1), key(2), 50.0, None)],)),
    "mem_read": lambda s: (s.engine.mem_read, (key(3), 5, None)),
    "mem_read_tokens": lambda s: (s.engine.mem_read_tokens,
                                  (np.stack([key(3), key(4)]), 5, None)),
    "mem_write_pack_with_auto_link": lambda s: (s.engine.mem_write_pack_with_auto_link,
                                                (1, key(7), s.payload, 50.0)),
    "mem_write_batch_packs": lambda s: (s.engine.mem_write_batch_packs,
                                        ([(1, key(5), s.payload, 50.0, "batch")],)),
    "mem_read_pack": lambda s: (s.engine.mem_read_pack, (key(1), 5, None)),
    "mem_read_pack_with_trace_boost": lambda s: (s.engine.mem_read_pack_with_trace_boost,
                                                 (key(1), 5, None, 1.0)),
    "mem_read_pack_with_trace_boost_and_follow": lambda s: (
        s.engine.mem_read_pack_with_trace_boost_and_follow, (key(1), 5, None, 1.0)),
    "load_pack_by_id": lambda s: (s.engine.load_pack_by_id, (s.packs[0],)),
    "list_packs": lambda s: (s.engine.list_packs, (None, True)),
    "list_packs_metadata": lambda s: (s.engine.list_packs_metadata, ()),
    "pack_links": lambda s: (s.engine.pack_links, (s.packs[0],)),
    "pack_links_by_type": lambda s: (s.engine.pack_links_by_type, (s.packs[0], 3)),
    "pack_supports": lambda s: (s.engine.pack_supports, (s.packs[0],)),
    "pack_contradicts": lambda s: (s.engine.pack_contradicts, (s.packs[0],)),
    "trace_ancestors": lambda s: (s.engine.trace_ancestors, (s.child,)),
    "list_owners": lambda s: (s.engine.list_owners, ()),
    "list_scheduled": lambda s: (s.engine.list_scheduled, ()),
    "maintenance_status": lambda s: (s.engine.maintenance_status, ()),
    "load_synapsis": lambda s: (s.engine.load_synapsis, (1,)),
    "snapshot": lambda s: (s.engine.snapshot, (s.snapshot_path(),)),
    "CheckpointRepository.save": lambda s: (s.repo.save, (s.engine, "label")),
    "CheckpointRepository.list": lambda s: (s.repo.list, ()),
    "CheckpointRepository.latest": lambda s: (s.repo.latest, ("label",)),
    "ReadResult.key": lambda s: (s.hit.key, ()),
    "ReadResult.value": lambda s: (s.hit.value, ()),
}

IN_CALL = [False]
RAN = []  # per finalizer: whether it ran inside the call
ERRORS = []


class Garbage:
    """Lives in a reference cycle, so only a collection finalizes it."""

    def __init__(self, engine):
        self.engine = engine
        self.cycle = self

    def __del__(self):
        inside = IN_CALL[0]
        total = 0
        for i in range(20_000):
            total += i
        try:
            self.engine.cell_count()
        except BaseException as exc:  # reported by the case
            ERRORS.append(repr(exc))
            return
        RAN.append(inside)


def collect_inside(engine, fn, args):
    """Calls fn(*args) with one Garbage waiting and the collector set off by the next tracked
    allocation; whether a finalizer ran inside the call."""
    gc.collect()
    gc.disable()
    RAN.clear()
    Garbage(engine)
    gc.set_threshold(1)
    IN_CALL[0] = True
    gc.enable()
    fn(*args)
    IN_CALL[0] = False
    gc.set_threshold(700)
    gc.collect()
    return True in RAN


def main(root, names):
    setup = Setup(root)
    stop = threading.Event()

    def other_thread():
        while not stop.is_set():
            setup.engine.cell_count()

    sys.setswitchinterval(1e-4)
    thread = threading.Thread(target=other_thread)
    thread.start()
    try:
        for name in names:
            print(name, "start", flush=True)
            ERRORS.clear()
            inside = any(collect_inside(setup.engine, *CASES[name](setup)) for _ in range(3))
            outcome = ("error " + ERRORS[0]) if ERRORS else "ok" if inside else "no-collection"
            print(name, outcome, flush=True)
    finally:
        stop.set()
        thread.join()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:] or list(CASES))
