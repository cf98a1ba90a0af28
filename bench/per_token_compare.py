#!/usr/bin/python3
"""Per-token search against a brute-force NumPy scorer on the same data, in the same run.

Generates clustered entries and queries, runs build/bench/per_token_bench on them (which also
writes its top 10 per query), times the NumPy scorer (one matrix product per query, then the
mean of the 5 best token similarities of every entry) and reports medians, the speed ratio, how
often the two top-10 sets agree and the whitening basis time.

Usage: bench/per_token_compare.py path/to/per_token_bench [numpy_queries] [--json PATH]
(--json writes the records, bench_records.py)
"""

import argparse
import json
import os
import subprocess
import tempfile
import time

import numpy as np

from bench_records import Records

N_ENTRIES, N_TOKENS, DIM, N_QUERIES, CLUSTERS = 10000, 32, 128, 64, 100
TOP_K, TOP_N = 10, 5


def make_data(rng):
    centres = rng.standard_normal((CLUSTERS, DIM), dtype=np.float32)

    def draw(n):
        c = centres[rng.integers(0, CLUSTERS, n)]
        noise = rng.standard_normal((n, N_TOKENS, DIM), dtype=np.float32)
        return (c[:, None, :] + np.float32(0.8) * noise).astype(np.float32)

    return draw(N_ENTRIES), draw(N_QUERIES)


def brute_force_top(entries_flat, query):
    sims = (entries_flat @ query.T) * np.float32(1.0 / np.sqrt(DIM))
    sims = sims.reshape(N_ENTRIES, N_TOKENS * N_TOKENS)
    best = np.partition(sims, -TOP_N, axis=1)[:, -TOP_N:]
    scores = best.mean(axis=1)
    top = np.argpartition(-scores, TOP_K)[:TOP_K]
    return top[np.argsort(-scores[top], kind="stable")]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench", nargs="?", default="build/bench/per_token_bench")
    ap.add_argument("numpy_queries", nargs="?", type=int, default=16)
    ap.add_argument("--json", default=None, help="write the records here")
    args = ap.parse_args()
    bench, numpy_queries = args.bench, args.numpy_queries
    records = Records("per_token_compare", args.json)
    rng = np.random.default_rng(2024)
    entries, queries = make_data(rng)
    with tempfile.TemporaryDirectory() as d:
        entries.tofile(os.path.join(d, "entries.f32"))
        queries.tofile(os.path.join(d, "queries.f32"))
        with open(os.path.join(d, "shape.txt"), "w") as f:
            f.write(f"{N_ENTRIES} {N_TOKENS} {DIM} {N_QUERIES}\n")
        env = dict(os.environ, QM_PER_TOKEN_BENCH_DATA=d)
        out = subprocess.run(
            [bench, "--benchmark_format=json", "--benchmark_repetitions=5",
             "--benchmark_report_aggregates_only=true"],
            env=env, check=True, capture_output=True, text=True).stdout
        ours_top = np.fromfile(os.path.join(d, "ours_top10.u64"), dtype=np.uint64)
        ours_top = ours_top.reshape(N_QUERIES, TOP_K)

    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            medians[b["run_name"]] = b["real_time"] * scale

    entries_flat = entries.reshape(N_ENTRIES * N_TOKENS, DIM)
    times, same_sets, overlap = [], 0, 0
    for q in range(numpy_queries):
        t0 = time.perf_counter()
        top = brute_force_top(entries_flat, queries[q])
        times.append((time.perf_counter() - t0) * 1e3)
        ours = set(int(x) for x in ours_top[q])
        same_sets += ours == set(int(x) for x in top)
        overlap += len(ours & set(int(x) for x in top))

    search = medians["BM_PerTokenSearch"]
    numpy_ms = float(np.median(times))
    print(f"data: {N_ENTRIES} entries x {N_TOKENS} tokens x {DIM}, "
          f"queries of {N_TOKENS} tokens, top {TOP_K}, top-{TOP_N} mean")
    print(f"per-token search (tiered, tier holds all): median {search:.3f} ms")
    print(f"NumPy brute force: median {numpy_ms:.1f} ms over {numpy_queries} queries")
    print(f"speed-up: {numpy_ms / search:.1f}x")
    print(f"top-10 sets identical: {same_sets}/{numpy_queries} queries; "
          f"mean overlap {overlap / numpy_queries:.2f} of {TOP_K}")
    records.add("per-token search", search * 1e3, vs="NumPy brute force",
                vs_median=numpy_ms * 1e3, extra={"top10_overlap": overlap / numpy_queries})
    for name in ("BM_ZcaWhiteningMatrix/128", "BM_WhiteningBasisAfterInsert/128"):
        if name in medians:
            print(f"{name}: median {medians[name]:.3f} ms")
            records.add(f"{name[3:-4]} (width 128)", medians[name] * 1e3)
    records.write()


if __name__ == "__main__":
    main()
