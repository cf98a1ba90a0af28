"""No Python code runs while the engine lock is held. Creating a Python object can start a garbage
collection, whose finalizers may call the engine (and would wait for the lock their own thread
holds) or give the interpreter lock to a thread that waits for the engine lock (which waits for
it in turn). Every method copies its result out of the engine first and builds it after the lock
is released. Each test runs in a child process whose timeout turns a deadlock into a failure."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from _collect_during_calls import CASES

WORKER = Path(__file__).with_name("_collect_during_calls.py")
TIMEOUT = 60


def run_child(code, directory):
    """Runs `code` in a new interpreter with `directory` as its argument; fails on a timeout, a
    failed exit or any stderr text."""
    try:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(directory)],
                                capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"child process hung; output so far: {exc.stdout!r}")
    assert (result.returncode, result.stderr) == (0, ""), result.stdout + result.stderr
    return result.stdout


def test_finalizer_calling_the_engine_during_list_packs(engine_dir):
    out = run_child("""
        import gc, sys
        import numpy as np
        from quellmar import _native

        e = _native.Engine(sys.argv[1])
        for i in range(20):
            e.mem_write_pack(1, np.full(8, i, np.float32), [], 50.0, text=f"t{i}")
        inside, in_call = [], [False]

        class Garbage:
            def __init__(self):
                self.cycle = self

            def __del__(self):
                inside.append(in_call[0])
                e.cell_count()

        gc.set_threshold(1)
        for _ in range(20):
            Garbage()
            in_call[0] = True
            listed = e.list_packs(fetch_text=True)
            in_call[0] = False
            assert sorted(p["text"] for p in listed) == sorted(f"t{i}" for i in range(20))
        print(True in inside)
    """, engine_dir)
    assert out == "True\n"


@pytest.mark.parametrize("call", ["list_packs(fetch_text=True)", "list_packs_metadata()"])
def test_finalizer_switching_threads_beside_a_thread_calling_the_engine(call, engine_dir):
    """A finalizer that only does arithmetic gives the interpreter lock away in the middle; the
    thread that takes it calls the engine."""
    out = run_child(f"""
        import gc, sys, threading
        import numpy as np
        from quellmar import _native

        e = _native.Engine(sys.argv[1])
        e.mem_write_batch_packs(
            [(1, np.full(8, i, np.float32), [], 50.0, f"text {{i}}") for i in range(2000)])

        class Garbage:
            def __init__(self):
                self.cycle = self

            def __del__(self):
                total = 0
                for i in range(200_000):
                    total += i

        stop = threading.Event()

        def other_thread():
            while not stop.is_set():
                e.cell_count()

        sys.setswitchinterval(1e-4)
        t = threading.Thread(target=other_thread)
        t.start()
        for _ in range(3):
            Garbage()
            gc.set_threshold(1)
            result = e.{call}
            gc.set_threshold(700)
            assert len(result) in (2000, 4)
        stop.set()
        t.join()
        print("done")
    """, engine_dir)
    assert out == "done\n"


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """Runs every case in one child process: {case: outcome}, whether the child ended well, the
    case that was running when it hung or died, and its stderr."""
    try:
        root = tmp_path_factory.mktemp("calls")
        result = subprocess.run([sys.executable, str(WORKER), str(root), *CASES],
                                capture_output=True, text=True, timeout=TIMEOUT)
        out, stderr, finished = result.stdout, result.stderr, result.returncode == 0
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout.decode() if isinstance(exc.stdout, bytes) else exc.stdout or ""
        stderr, finished = "timed out", False
    found, running = {}, None
    for line in out.splitlines():
        name, _, outcome = line.partition(" ")
        if outcome == "start":
            running = name
        else:
            found[name], running = outcome, None
    return found, finished, running, stderr


@pytest.mark.parametrize("case", list(CASES))
def test_collection_inside_every_call_that_builds_objects(outcomes, case):
    found, finished, running, stderr = outcomes
    if case not in found:
        pytest.fail(f"the child process stopped in {running!r} before this case ended: {stderr}")
    assert found[case] == "ok"
    if finished:
        assert stderr == ""
    else:
        assert running is not None, f"the child process failed after its cases: {stderr}"
