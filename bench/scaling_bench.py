#!/usr/bin/python3
"""How pack reads scale with the store's size, and durable writes with the batch's size, against
what a user would build instead, measured in the same run.

Reads: one engine and one comparison store (a FAISS IndexFlatIP over the keys, or NumPy brute
force without faiss, plus SQLite in WAL mode with synchronous=FULL, as in python_pack_bench.py)
grow together to each size (default 1,000 to 100,000 packs) by batch writes; at each size the
same queries (stored keys plus noise) take turns between `mem_read_pack(q, k=10, None)` and the
comparison's search + SELECTs. The packs are small for this series (a 128-float key, 2 layers of
256 floats, a short text), so that 100,000 of them load in seconds.

Writes: `mem_write_batch_packs` of 1 to 1,024 full packs (a 128-float key, 8 layers of 1,024
floats, a short text) against one SQLite transaction per batch (WAL, synchronous=FULL), and
against the floor: two write + fsync pairs (texts, then records) of as many bytes as the batch
added to the engine's files.
The three take turns in every round, and the sizes take turns round by round.

Prints one result line per point (bench_records.py); --json writes the series for the plots.

Usage: PYTHONPATH=build/python bench/scaling_bench.py [--sizes 1000,...] [--batches 1,2,...]
                                                       [--reads R] [--only read|write]
                                                       [--json PATH] [--dir PARENT]
"""

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time

import numpy as np

from bench_records import shape_line
from python_pack_bench import (K, KEY_DIM, OWNER, FaissIndex, FlatIndex, SqliteStore, faiss,
                               percentile, text_of, timed)
from quellmar._native import Engine

f32 = np.float32
READ_SHAPE = (2, 256)  # layers, floats per layer
WRITE_SHAPE = (8, 1024)
NO_GRAPH = 1 << 62  # a Vamana threshold the write series never reaches
TEXT_RECORD_HEAD = 12  # bytes a stored text takes besides its UTF-8


def comparison_store(path, capacity):
    if faiss is not None:
        return "faiss+sqlite", SqliteStore(path, FaissIndex(capacity))
    return "numpy+sqlite", SqliteStore(path, FlatIndex(capacity))


def tree_bytes(path):
    total = 0
    for root, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    return total


def raw_append(path, nbytes):
    data = b"x" * nbytes
    t = time.perf_counter_ns()
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, data)
        os.fsync(fd)
    finally:
        os.close(fd)
    return (time.perf_counter_ns() - t) / 1e3


def read_series(args, rng, root):
    layers, width = READ_SHAPE
    sizes = sorted(args.sizes)
    n_max = sizes[-1]
    keys = rng.standard_normal((n_max, KEY_DIM), dtype=f32)
    keys /= np.linalg.norm(keys, axis=1, keepdims=True)
    pool = rng.standard_normal((64, layers, width), dtype=f32)
    engine = Engine(os.path.join(root, "read-engine"))
    cmp_name, store = comparison_store(os.path.join(root, "read.db"), n_max)
    print(f"pack reads k={K} against store size (key {KEY_DIM}, {layers} layers x {width}, "
          f"short text), {args.reads} queries per size, against {cmp_name}:")
    points, loaded = [], 0
    for size in sizes:
        for start in range(loaded, size, 1000):
            idx = range(start, min(size, start + 1000))
            engine.mem_write_batch_packs([
                (OWNER, keys[i], [(j, pool[i % 64, j]) for j in range(layers)], 10.0, text_of(i))
                for i in idx])
            store.write_many(keys[idx.start:idx.stop], [pool[i % 64] for i in idx],
                             [text_of(i) for i in idx])
        loaded = size
        exact = FlatIndex(size)
        exact.add(keys[:size])
        targets = rng.integers(0, size, args.reads + 20)
        queries = keys[targets] + f32(0.05) * rng.standard_normal((len(targets), KEY_DIM), f32)
        ours, theirs, ratios, hits = [], [], [], 0
        for i, q in enumerate(queries):
            if i % 2:
                t_cmp, _ = timed(lambda: store.read(q, K))
                t_ours, got = timed(lambda: engine.mem_read_pack(q, K, None))
            else:
                t_ours, got = timed(lambda: engine.mem_read_pack(q, K, None))
                t_cmp, _ = timed(lambda: store.read(q, K))
            if i < 20:
                continue  # warm-up
            ours.append(t_ours)
            theirs.append(t_cmp)
            truth = {int(r) + 1 for r in exact.search(q, K)[0]}
            hits += len(truth & {h["pack_id"] for h in got})
        point = {"size": size, "median": statistics.median(ours), "p99": percentile(ours, 99),
                 "cmp_median": statistics.median(theirs), "cmp_p99": percentile(theirs, 99),
                 "recall": hits / (K * args.reads)}
        points.append(point)
        print(shape_line(f"read k={K}, {size} packs", point["median"], p99=point["p99"],
                         cmp=cmp_name, cmp_median=point["cmp_median"])
              + f"; recall@10 {point['recall']:.3f}")
    return {"comparison": cmp_name, "shape": READ_SHAPE, "points": points}


def write_series(args, rng, root):
    layers, width = WRITE_SHAPE
    pool = rng.standard_normal((64, layers, width), dtype=f32)
    engine_dir = os.path.join(root, "write-engine")
    engine = Engine(engine_dir, vamana_threshold=NO_GRAPH)
    _, sqlite_store = comparison_store(os.path.join(root, "write.db"), 1 << 16)
    raw = os.path.join(root, "raw.bin")
    print(f"durable batch writes against batch size (key {KEY_DIM}, {layers} layers x {width}, "
          "short text), against SQLite and the write + fsync floor:")
    sizes = sorted(args.batches)
    rounds = {size: max(3, min(30, 512 // size)) for size in sizes}
    samples = {size: {"ours": [], "sqlite": [], "floor": []} for size in sizes}
    next_pack = 0

    def one_round(size, r):
        nonlocal next_pack
        keys = rng.standard_normal((size, KEY_DIM), dtype=f32)
        ids = range(next_pack, next_pack + size)
        next_pack += size
        packs = [(OWNER, keys[n], [(j, pool[i % 64, j]) for j in range(layers)], 10.0,
                  text_of(i)) for n, i in enumerate(ids)]
        text_bytes = sum(TEXT_RECORD_HEAD + len(text_of(i).encode()) for i in ids)
        before = tree_bytes(engine_dir)
        times = {"ours": timed(lambda: engine.mem_write_batch_packs(packs))[0]}
        added = tree_bytes(engine_dir) - before
        steps = {"sqlite": lambda: timed(lambda: sqlite_store.write_many(
                     keys, [pool[i % 64] for i in ids], [text_of(i) for i in ids]))[0],
                 # What ours just added: the texts and the records, one write + fsync each, as
                 # ours flushes them.
                 "floor": lambda: raw_append(raw + ".text", text_bytes)
                 + raw_append(raw, added - text_bytes)}
        for name in (("sqlite", "floor") if r % 2 else ("floor", "sqlite")):
            times[name] = steps[name]()
        if r:  # the first round of each size warms up
            for name, us in times.items():
                samples[size][name].append(us)

    # The sizes take turns round by round, so that a slow spell of the disk falls on all alike.
    for r in range(max(rounds.values()) + 1):
        for size in sizes:
            if r <= rounds[size]:
                one_round(size, r)
    points = []
    for size in sizes:
        point = {"size": size, "rounds": rounds[size],
                 **{f"{k}_median": statistics.median(v) for k, v in samples[size].items()},
                 **{f"{k}_p99": percentile(v, 99) for k, v in samples[size].items()}}
        points.append(point)
        print(shape_line(f"batch of {size}, vs SQLite", point["ours_median"],
                         p99=point["ours_p99"], cmp="sqlite", cmp_median=point["sqlite_median"]))
        print(shape_line(f"batch of {size}, vs floor", point["ours_median"],
                         p99=point["ours_p99"], cmp="floor", cmp_median=point["floor_median"]))
    return {"shape": WRITE_SHAPE, "points": points}


def main():
    ap = argparse.ArgumentParser()
    ints = lambda s: [int(x) for x in s.split(",")]  # noqa: E731
    ap.add_argument("--sizes", type=ints, default=[1000, 3000, 10000, 30000, 100000])
    ap.add_argument("--batches", type=ints, default=[2 ** i for i in range(11)])
    ap.add_argument("--reads", type=int, default=200)
    ap.add_argument("--only", choices=("read", "write"), default=None, help="one series")
    ap.add_argument("--json", default=None, help="write the series here")
    ap.add_argument("--dir", default=None, help="parent of the benchmark's directories")
    args = ap.parse_args()
    rng = np.random.default_rng(4242)
    root = tempfile.mkdtemp(prefix="qm_scaling_bench_", dir=args.dir)
    try:
        result = {}
        if args.only in (None, "read"):
            result["read"] = read_series(args, rng, root)
        if args.only in (None, "write"):
            result["write"] = write_series(args, rng, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
