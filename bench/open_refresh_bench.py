#!/usr/bin/python3
"""Opening and refreshing a store from Python, against reading all of its files once, in
alternating rounds of one run.

The store holds N packs (default 20,000: a 128-float key, 2 layers of 256 floats, a short text),
written by batches. Each round times, in turns: one read of every byte of the store's files (the
floor), `Engine(path)` on the unchanged store, `refresh()` of an open engine on the unchanged
store, and `refresh()` after a second engine on the same directory wrote 100 more packs in one
batch (the reader then sees them).

Usage: PYTHONPATH=build/python bench/open_refresh_bench.py [--packs N] [--rounds R] [--dir PARENT]
                                                          [--json PATH]
(--json writes the records, bench_records.py)
"""

import argparse
import os
import shutil
import statistics
import tempfile

import numpy as np

from bench_records import Records, shape_line
from python_pack_bench import KEY_DIM, OWNER, percentile, text_of, timed
from quellmar._native import Engine

LAYERS, WIDTH = 2, 256


def read_all(path):
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            with open(os.path.join(root, name), "rb", buffering=0) as f:
                while chunk := f.read(1 << 20):
                    total += len(chunk)
    return total


def packs(rng, pool, first, n):
    keys = rng.standard_normal((n, KEY_DIM), dtype=np.float32)
    return [(OWNER, keys[i], [(j, pool[(first + i) % 64, j]) for j in range(LAYERS)], 10.0,
             text_of(first + i)) for i in range(n)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packs", type=int, default=20_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--dir", default=None, help="parent of the benchmark's directory")
    ap.add_argument("--json", default=None, help="write the records here")
    args = ap.parse_args()
    rng = np.random.default_rng(99)
    pool = rng.standard_normal((64, LAYERS, WIDTH), dtype=np.float32)
    root = tempfile.mkdtemp(prefix="qm_open_bench_", dir=args.dir)
    path = os.path.join(root, "engine")
    try:
        writer = Engine(path)
        for start in range(0, args.packs, 1000):
            writer.mem_write_batch_packs(packs(rng, pool, start, min(1000, args.packs - start)))
        del writer
        Engine(path)  # the first open after the writes saves what later opens reuse
        reader = Engine(path)
        samples = {"floor": [], "open": [], "refresh": [], "refresh_new": []}
        written = args.packs
        for r in range(args.rounds + 1):  # the first round warms up
            floor_us, _ = timed(lambda: read_all(path))
            open_us, _ = timed(lambda: Engine(path))
            refresh_us, _ = timed(reader.refresh)
            other = Engine(path)
            other.mem_write_batch_packs(packs(rng, pool, written, 100))
            written += 100
            del other
            new_us, _ = timed(reader.refresh)
            if reader.pack_count() != written:
                raise SystemExit(f"refresh saw {reader.pack_count()} packs, not {written}")
            if r:
                for name, us in zip(samples, (floor_us, open_us, refresh_us, new_us)):
                    samples[name].append(us)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    med = {k: statistics.median(v) for k, v in samples.items()}
    records = Records("open_refresh_bench", args.json)
    print(f"open and refresh of {args.packs} packs (key {KEY_DIM}, {LAYERS} layers x {WIDTH}, "
          f"short text), {args.rounds} rounds, from Python:")
    for name, label in (("open", "Engine(path), unchanged"), ("refresh", "refresh(), unchanged"),
                        ("refresh_new", "refresh() after 100 new packs")):
        print(shape_line(label, med[name] / 1e3, "ms", p99=percentile(samples[name], 99) / 1e3,
                         cmp="floor", cmp_median=med["floor"] / 1e3))
        records.add(label, med[name], p99=percentile(samples[name], 99), vs="floor",
                    vs_median=med["floor"], params={"packs": args.packs})
    records.write()


if __name__ == "__main__":
    main()
