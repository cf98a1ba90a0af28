"""Watching the engine's maintenance thread from the test process."""

import os
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
