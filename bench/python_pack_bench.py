#!/usr/bin/python3
"""Pack reads and durable pack writes from Python, against what a user would build instead.

The engine holds N packs (default 10,000: a 128-float retrieval key, 8 layers of 1024 floats and
a short text each). The comparison holds the same packs in a flat inner-product index over the
keys (NumPy brute force `keys @ q` with argpartition, and a FAISS IndexFlatIP when the faiss
module is installed: `scripts/setup.sh --bench`) plus SQLite (WAL journal, synchronous=FULL)
with a table of packs (owner, key, text) and a table of layer payloads as float32 blobs.

Reads: `mem_read_pack(q, k=10, None)` against index search + one SELECT of the ten packs and one
of their layers, building the same list of dicts with float32 layer arrays. The queries are
stored keys plus noise; they take turns between the two sides, so a busy machine slows them
alike. Writes: `mem_write_pack` (one full device flush per pack) against one SQLite transaction
per pack (pack row + 8 layer rows, commit = WAL fsync) plus an index append, with and without
text, also taking turns.

Reports median and p99 latency per operation, the ratios, and the recall@10 of each side
against the exact top 10 by inner product. --json writes the records (bench_records.py), with
the targets on the fastest comparison: reads at most 0.2 of its time, writes without text at most
1.2 times its time.

Usage: PYTHONPATH=build/python bench/python_pack_bench.py [--packs N] [--reads R] [--writes W]
                                                          [--dir PARENT] [--json PATH]
"""

import argparse
import os
import shutil
import sqlite3
import statistics
import tempfile
import time

import numpy as np

from bench_records import Records
from quellmar._native import Engine

try:
    import faiss
except ImportError:  # the NumPy index alone
    faiss = None

KEY_DIM = 128
LAYERS = 8
LAYER_FLOATS = 1024
K = 10
OWNER = 1
f32 = np.float32


def text_of(i):
    return f"memory {i}: the user asked about item {i % 97}"


class FlatIndex:
    """Inner-product brute force over a preallocated key matrix."""

    def __init__(self, capacity):
        self.keys = np.empty((capacity, KEY_DIM), f32)
        self.n = 0

    def add(self, keys):
        keys = np.atleast_2d(keys)
        if self.n + len(keys) > len(self.keys):
            grown = np.empty((max(2 * len(self.keys), self.n + len(keys)), KEY_DIM), f32)
            grown[: self.n] = self.keys[: self.n]
            self.keys = grown
        self.keys[self.n : self.n + len(keys)] = keys
        self.n += len(keys)

    def search(self, q, k):
        scores = self.keys[: self.n] @ q
        top = np.argpartition(-scores, k)[:k]
        top = top[np.argsort(-scores[top], kind="stable")]
        return top, scores[top]


class FaissIndex:
    def __init__(self, _capacity):
        self.index = faiss.IndexFlatIP(KEY_DIM)

    def add(self, keys):
        self.index.add(np.ascontiguousarray(np.atleast_2d(keys)))

    def search(self, q, k):
        scores, ids = self.index.search(q.reshape(1, -1), k)
        return ids[0], scores[0]


class SqliteStore:
    """What a user would build: an index for the keys, SQLite for payloads and texts. Row i of
    the index is pack id i + 1."""

    def __init__(self, path, index):
        self.con = sqlite3.connect(path, isolation_level=None)
        self.con.execute("PRAGMA journal_mode=WAL")
        self.con.execute("PRAGMA synchronous=FULL")
        self.con.execute("CREATE TABLE packs (pack_id INTEGER PRIMARY KEY, owner INTEGER, "
                         "key BLOB, text TEXT)")
        self.con.execute("CREATE TABLE layers (pack_id INTEGER, layer_idx INTEGER, data BLOB, "
                         "PRIMARY KEY (pack_id, layer_idx)) WITHOUT ROWID")
        self.index = index
        self.next_id = 1

    def write_many(self, keys, layer_sets, texts):
        ids = list(range(self.next_id, self.next_id + len(keys)))
        self.next_id += len(keys)
        cur = self.con.cursor()
        cur.execute("BEGIN")
        cur.executemany("INSERT INTO packs VALUES (?, ?, ?, ?)",
                        [(p, OWNER, k.tobytes(), t) for p, k, t in zip(ids, keys, texts)])
        cur.executemany("INSERT INTO layers VALUES (?, ?, ?)",
                        [(p, j, layers[j].tobytes()) for p, layers in zip(ids, layer_sets)
                         for j in range(len(layers))])
        cur.execute("COMMIT")
        self.index.add(keys)
        return ids

    def write(self, key, layers, text):
        pack_id = self.next_id
        self.next_id += 1
        cur = self.con.cursor()
        cur.execute("BEGIN")
        cur.execute("INSERT INTO packs VALUES (?, ?, ?, ?)", (pack_id, OWNER, key.tobytes(), text))
        cur.executemany("INSERT INTO layers VALUES (?, ?, ?)",
                        [(pack_id, j, data.tobytes()) for j, data in layers])
        cur.execute("COMMIT")
        self.index.add(key)
        return pack_id

    def read(self, q, k):
        rows, scores = self.index.search(q, k)
        ids = [int(r) + 1 for r in rows]
        marks = ",".join("?" * len(ids))
        packs = {p: (o, t) for p, o, t in self.con.execute(
            f"SELECT pack_id, owner, text FROM packs WHERE pack_id IN ({marks})", ids)}
        layers = {p: [] for p in ids}
        for p, j, data in self.con.execute(
                f"SELECT pack_id, layer_idx, data FROM layers WHERE pack_id IN ({marks}) "
                "ORDER BY pack_id, layer_idx", ids):
            layers[p].append({"layer_idx": j, "data": np.frombuffer(data, f32)})
        return [{"pack_id": p, "owner": packs[p][0], "score": float(s), "tier": 0,
                 "layers": layers[p], "text": packs[p][1]} for p, s in zip(ids, scores)]


def percentile(samples, q):
    s = sorted(samples)
    return s[min(len(s) - 1, int(round(q / 100 * (len(s) - 1))))]


def timed(fn):
    t = time.perf_counter_ns()
    out = fn()
    return (time.perf_counter_ns() - t) / 1e3, out  # microseconds


def summary(samples):
    return statistics.median(samples), percentile(samples, 99)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packs", type=int, default=10_000)
    ap.add_argument("--reads", type=int, default=1000)
    ap.add_argument("--writes", type=int, default=200)
    ap.add_argument("--dir", default=None, help="parent of the benchmark's directories")
    ap.add_argument("--json", default=None, help="write the records here")
    args = ap.parse_args()

    rng = np.random.default_rng(12345)
    n = args.packs
    keys = rng.standard_normal((n, KEY_DIM), dtype=f32)
    keys /= np.linalg.norm(keys, axis=1, keepdims=True)
    # Distinct payloads cost memory; a pool of 64 layer sets is reused across packs.
    pool = rng.standard_normal((64, LAYERS, LAYER_FLOATS), dtype=f32)
    root = tempfile.mkdtemp(prefix="qm_pack_bench_", dir=args.dir)
    try:
        run(args, rng, keys, pool, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def run(args, rng, keys, pool, root):
    n = len(keys)
    engine = Engine(os.path.join(root, "engine"))
    sides = {"numpy+sqlite": SqliteStore(os.path.join(root, "numpy.db"), FlatIndex(2 * n))}
    if faiss is not None:
        sides["faiss+sqlite"] = SqliteStore(os.path.join(root, "faiss.db"), FaissIndex(n))

    print(f"loading {n} packs (key {KEY_DIM} floats, {LAYERS} layers x {LAYER_FLOATS} floats, "
          f"short text) into the engine and {len(sides)} comparison store(s)")
    batch = 500
    load_times = {"engine": 0.0, **{name: 0.0 for name in sides}}
    for start in range(0, n, batch):
        idx = range(start, min(n, start + batch))
        t = time.perf_counter()
        engine.mem_write_batch_packs([
            (OWNER, keys[i], [(j, pool[i % 64, j]) for j in range(LAYERS)], 10.0, text_of(i))
            for i in idx])
        load_times["engine"] += time.perf_counter() - t
        for name, side in sides.items():
            t = time.perf_counter()
            side.write_many(keys[start : start + len(idx)], [pool[i % 64] for i in idx],
                            [text_of(i) for i in idx])
            load_times[name] += time.perf_counter() - t
    print("  load time: " + ", ".join(f"{k} {v:.1f} s" for k, v in load_times.items()))
    print(f"  engine status: {engine.status()}")

    # --- Reads
    targets = rng.integers(0, n, args.reads + 50)
    queries = keys[targets] + 0.05 * rng.standard_normal((len(targets), KEY_DIM), dtype=f32)
    exact = FlatIndex(n)
    exact.add(keys)
    reads = {"engine": [], **{name: [] for name in sides}}
    recall = {name: 0 for name in reads}
    for i, q in enumerate(queries):
        truth = {int(r) + 1 for r in exact.search(q, K)[0]}
        us, hits = timed(lambda: engine.mem_read_pack(q, K, None))
        results = {"engine": (us, hits)}
        for name, side in sides.items():
            results[name] = timed(lambda: side.read(q, K))
        if i < 50:
            continue  # warm-up
        for name, (us, hits) in results.items():
            assert len(hits) == K and all(len(h["layers"]) == LAYERS for h in hits), name
            reads[name].append(us)
            recall[name] += len(truth & {h["pack_id"] for h in hits})

    # --- Writes
    writes = {(side, text): [] for side in ["engine", *sides] for text in (False, True)}
    for i in range(args.writes + 10):
        key = rng.standard_normal(KEY_DIM, dtype=f32)
        layers = [(j, pool[i % 64, j]) for j in range(LAYERS)]
        for text in (False, True):
            t = text_of(n + i) if text else None
            us, _ = timed(lambda: engine.mem_write_pack(OWNER, key, layers, 10.0, text=t))
            if i >= 10:
                writes[("engine", text)].append(us)
            for name, side in sides.items():
                us, _ = timed(lambda: side.write(key, layers, t))
                if i >= 10:
                    writes[(name, text)].append(us)

    # --- Report
    best_read = min(sides, key=lambda s: statistics.median(reads[s]))
    print(f"\nmem_read_pack(k={K}) over {n} packs, {args.reads} queries (microseconds)")
    print(f"  {'side':<14} {'median':>9} {'p99':>9} {'recall@10':>10}")
    for name, samples in reads.items():
        med, p99 = summary(samples)
        print(f"  {name:<14} {med:9.1f} {p99:9.1f} {recall[name] / (K * args.reads):10.3f}")
    e_med, e_p99 = summary(reads["engine"])
    for name in sides:
        med, p99 = summary(reads[name])
        print(f"  {name} / engine: median {med / e_med:.2f}x, p99 {p99 / e_p99:.2f}x"
              + ("   <- fastest comparison" if name == best_read else ""))

    print(f"\ndurable single writes, {args.writes} each (microseconds)")
    print(f"  {'side':<14} {'text':<6} {'median':>9} {'p99':>9}")
    for (name, text), samples in writes.items():
        med, p99 = summary(samples)
        print(f"  {name:<14} {str(text):<6} {med:9.1f} {p99:9.1f}")
    for text in (False, True):
        e = statistics.median(writes[("engine", text)])
        best = min(sides, key=lambda s: statistics.median(writes[(s, text)]))
        b = statistics.median(writes[(best, text)])
        print(f"  engine / {best} ({'with' if text else 'without'} text): median {e / b:.2f}x")

    r = statistics.median(reads[best_read]) / e_med
    w = statistics.median(writes[("engine", False)]) / min(
        statistics.median(writes[(s, False)]) for s in sides)
    records = Records("python_pack_bench", args.json)
    for name in sides:
        med, p99 = summary(reads[name])
        records.add("mem_read_pack k=10", e_med, p99=e_p99, vs=name, vs_median=med, vs_p99=p99,
                    target="<= 0.2" if name == best_read else None,
                    extra={"recall_ours": recall["engine"] / (K * args.reads),
                           "recall_cmp": recall[name] / (K * args.reads)},
                    params={"packs": n})
    best_write = min(sides, key=lambda s: statistics.median(writes[(s, False)]))
    for name in sides:
        for text in (False, True):
            med, p99 = summary(writes[(name, text)])
            e, e99 = summary(writes[("engine", text)])
            records.add(f"mem_write_pack, {'with' if text else 'without'} text", e, p99=e99,
                        vs=name, vs_median=med, vs_p99=p99,
                        target="<= 1.2" if name == best_write and not text else None)
    records.write()

    print(f"\ntargets: reads >= 5x faster than the fastest comparison: {r:.2f}x "
          f"({'met' if r >= 5 else 'NOT met'}); writes without text <= 1.2x its time: {w:.2f}x "
          f"({'met' if w <= 1.2 else 'NOT met'})")


if __name__ == "__main__":
    main()
