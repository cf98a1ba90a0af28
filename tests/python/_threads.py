"""Threads seen from the test process: waiting for a condition, the engine's maintenance thread,
and how far a pure-Python thread gets while a call runs."""

import os
import threading
import time


def wait_until(predicate, timeout=10.0):
    """Polls until predicate() holds; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.005)


def maintenance_threads():
    """How many threads of this process carry the maintenance thread's name. A thread that was
    just joined can stay listed for a moment, so callers wait for a drop rather than assert it."""
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass
    return names.count("qmr-maintenance")


def python_progress_during(call):
    """How many loop turns a pure-Python thread makes while `call` runs on this thread, and what
    the call returned."""
    counter = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            counter[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    time.sleep(0.05)
    before = counter[0]
    result = call()
    during = counter[0] - before
    stop.set()
    t.join()
    return during, result
