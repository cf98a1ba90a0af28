#!/usr/bin/python3
"""Cost of one call into the module against dict.get(key, None), measured in the same run.

Times `engine.cell_count()` (the cheapest method: the call frame, a shared borrow, the engine
lock and one int) and `engine.status()` (eleven fields read under the lock, one dict built)
against `d.get(key, None)` on a small dict, each the statement of a timeit loop. The statements
take turns within every round, so a busy machine slows them alike; the report gives the median
over the rounds in nanoseconds per call (loop included) and the ratio to dict.get.

Usage: PYTHONPATH=build/python bench/python_call_bench.py [rounds] [calls_per_round]
"""

import statistics
import sys
import tempfile
import timeit

from quellmar._native import Engine

STATEMENTS = [  # (statement, share of the calls per round)
    ("pass", 1),
    ("d.get(k, None)", 1),
    ("e.cell_count()", 1),
    ("e.status()", 10),
    # For scale: building a dict of eleven small ints in Python itself.
    ("dict(zip(names, values))", 10),
]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 21
    number = int(sys.argv[2]) if len(sys.argv) > 2 else 200_000
    with tempfile.TemporaryDirectory() as path:
        engine = Engine(path)
        status = engine.status()
        namespace = {"e": engine, "d": {"a": 1, "b": 2, "c": 3}, "k": "b",
                     "names": list(status), "values": list(status.values())}
        timers = [(stmt, timeit.Timer(stmt, globals=namespace), number // share)
                  for stmt, share in STATEMENTS]
        samples = {stmt: [] for stmt, _ in STATEMENTS}
        for stmt, timer, n in timers:
            timer.timeit(n // 10)  # warm up
        for _ in range(rounds):
            for stmt, timer, n in timers:
                samples[stmt].append(timer.timeit(n) / n * 1e9)
    medians = {stmt: statistics.median(s) for stmt, s in samples.items()}
    base = medians["d.get(k, None)"]
    print(f"median of {rounds} rounds, ns per call (timeit loop included)")
    for stmt, ns in medians.items():
        print(f"  {stmt:<26} {ns:8.1f} ns   {ns / base:5.2f}x dict.get")


if __name__ == "__main__":
    main()
