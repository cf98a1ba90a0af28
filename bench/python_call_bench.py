#!/usr/bin/python3
"""Cost of one call into the module against dict.get(key, None), measured in the same run.

Times `engine.cell_count()` (the cheapest method: the call frame, a shared borrow, the engine
lock and one int) and `engine.status()` (eleven fields read under the lock, one dict built)
against `d.get(key, None)` on a small dict, each the statement of a timeit loop. The statements
take turns within every round, so a busy machine slows them alike; the report gives the median
over the rounds in nanoseconds per call (loop included) and the ratio to dict.get.

Usage: PYTHONPATH=build/python bench/python_call_bench.py [rounds] [calls_per_round] [--json PATH]
(--json writes the records, bench_records.py: each statement against dict.get, and status()
against building its dict in Python)
"""

import argparse
import statistics
import tempfile
import timeit

from bench_records import Records

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
    ap = argparse.ArgumentParser()
    ap.add_argument("rounds", nargs="?", type=int, default=21)
    ap.add_argument("number", nargs="?", type=int, default=200_000)
    ap.add_argument("--json", default=None, help="write the records here")
    args = ap.parse_args()
    rounds, number = args.rounds, args.number
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
    records = Records("python_call_bench", args.json)
    for stmt, against in (("e.cell_count()", "d.get(k, None)"), ("e.status()", "d.get(k, None)"),
                          ("e.status()", "dict(zip(names, values))")):
        records.add(stmt, medians[stmt] / 1e3, vs=against, vs_median=medians[against] / 1e3)
    records.write()


if __name__ == "__main__":
    main()
