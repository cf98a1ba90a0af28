"""A program whose daemon thread is inside an engine call when the main thread ends exits
normally. The interpreter ends such a thread when it asks for the interpreter lock back; the
thread must be let go without aborting the process, without leaving the engine lock held (a
finalizer at exit still calls the engine) and without touching Python on its way out. Each run is
a child process with a timeout; every path runs a few times, since where the thread is at exit
is a matter of timing."""

import subprocess
import sys
import textwrap

import pytest

RUNS = 3

# Starts a daemon thread looping on one engine path, waits until it has made a few calls, and
# lets the main thread end. An object finalized at exit calls the engine once more and says so.
SCRIPT = r"""
import os, sys, threading, time, types
import numpy as np
from quellmar import _native

path = sys.argv[1]
e = _native.Engine(sys.argv[2])
rng = np.random.default_rng(0)
key = rng.random(64, dtype=np.float32)
for _ in range(50):
    e.mem_write_pack(1, rng.random(64, dtype=np.float32),
                     [(0, rng.random(4096, dtype=np.float32))], 50.0, text="t")
layers = [(0, rng.random(4096, dtype=np.float32))]
if path == "maintenance":
    e.start_maintenance(sweep_interval_secs=0.001, compaction_interval_secs=0.001)

STEPS = {
    "write": lambda: e.mem_write_pack(1, key, layers, 50.0),
    "batch": lambda: e.mem_write_batch_packs([(1, key, layers, 50.0, None)] * 4),
    "read": lambda: e.mem_read_pack(key, 20, None),
    "cell-read": lambda: e.mem_read(key, 20, None),
    "maintenance": lambda: (e.compact(), e.sweep_now(), e.status()),
}
step, calls = STEPS[path], [0]

def loop():
    while True:
        step()
        calls[0] += 1

# Finalized when the interpreter clears its modules, after it has begun to end threads; a module
# of its own keeps it out of reach of the daemon thread, whose references stay.
class AtExit:
    def __init__(self, engine):
        self.engine, self.write = engine, os.write

    def __del__(self):
        self.engine.cell_count()
        self.write(1, b"the engine answered at exit\n")

holder = types.ModuleType("at_exit_holder")
holder.at_exit = AtExit(e)
sys.modules[holder.__name__] = holder
del holder
threading.Thread(target=loop, daemon=True).start()
while calls[0] < 3:
    time.sleep(0.001)
print("exiting", flush=True)
"""


@pytest.mark.parametrize("path", ["write", "batch", "read", "cell-read", "maintenance"])
def test_daemon_thread_inside_an_engine_call_at_exit(path, tmp_path):
    for run in range(RUNS):
        directory = str(tmp_path / f"engine{run}")
        try:
            result = subprocess.run(
                [sys.executable, "-c", textwrap.dedent(SCRIPT), path, directory],
                capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            pytest.fail("the process did not exit")
        assert (result.returncode, result.stdout, result.stderr) == (
            0, "exiting\nthe engine answered at exit\n", "")
