#!/usr/bin/python3
"""Our Vamana graph against an hnswlib graph on the same keys, in the same run.

Generates 10,000 keys of width 128 (clustered around 100 centres, and plain Gaussian) and 200
queries drawn the same way, runs build/bench/vamana_file_bench on them (build and search, and its
top 10 per query), builds an hnswlib inner-product graph of the same out-degree on one thread (our
build is single-threaded too) and searches it with the same list size, and scores both top-10
lists against the exact top 10 by inner product (NumPy). hnswlib comes from
`scripts/setup.sh --bench` (python3-hnswlib).

Usage: bench/vamana_compare.py [path/to/vamana_file_bench] [builds] [--json PATH]
(--json writes the records, bench_records.py)
"""

import argparse
import os
import subprocess
import tempfile
import time

import numpy as np

from bench_records import Records, read_records, shape_line

N_KEYS, DIM, N_QUERIES, CLUSTERS, TOP_K = 10_000, 128, 200, 100, 10
DEGREE = 16  # our VAMANA_MAX_DEGREE; hnswlib's level 0 holds 2 * M links
LIST_SIZE = 2 * max(DEGREE, TOP_K)  # our search list; hnswlib's ef
SEARCH_PASSES = 5


def clustered(rng, centres, n, noise):
    return (centres[rng.integers(0, len(centres), n)]
            + np.float32(noise) * rng.standard_normal((n, DIM), dtype=np.float32))


def datasets(rng):
    centres = rng.standard_normal((CLUSTERS, DIM), dtype=np.float32)
    origin = np.zeros((1, DIM), np.float32)
    return {"clustered": (clustered(rng, centres, N_KEYS, 0.4),
                          clustered(rng, centres, N_QUERIES, 0.4)),
            "gaussian": (clustered(rng, origin, N_KEYS, 1.0),
                         clustered(rng, origin, N_QUERIES, 1.0))}


def exact_top(keys, queries):
    scores = queries @ keys.T
    top = np.argpartition(-scores, TOP_K, axis=1)[:, :TOP_K]
    return [set(int(x) for x in row) for row in top]


def recall(found, truth):
    return sum(len(set(int(x) for x in f) & t) for f, t in zip(found, truth)) / (TOP_K * len(truth))


def run_ours(bench, keys, queries, builds):
    with tempfile.TemporaryDirectory() as d:
        keys.tofile(os.path.join(d, "keys.f32"))
        queries.tofile(os.path.join(d, "queries.f32"))
        with open(os.path.join(d, "shape.txt"), "w") as f:
            f.write(f"{len(keys)} {DIM} {len(queries)}\n")
        records = os.path.join(d, "records.json")
        subprocess.run([bench, d, str(builds), str(SEARCH_PASSES), f"--json={records}"],
                       check=True, capture_output=True, text=True)
        top = np.fromfile(os.path.join(d, "ours_top10.u64"), dtype=np.uint64)
        build, search = read_records(records)
    return build["median"] / 1e3, search["median"], search["p99"], top.reshape(-1, TOP_K)


def run_hnswlib(keys, queries, builds):
    import hnswlib
    build_ms = []
    for _ in range(builds):
        index = hnswlib.Index(space="ip", dim=DIM)
        index.init_index(max_elements=len(keys), M=DEGREE // 2, ef_construction=2 * LIST_SIZE,
                         random_seed=1)
        index.set_num_threads(1)
        t0 = time.perf_counter()
        index.add_items(keys, np.arange(len(keys)))
        build_ms.append((time.perf_counter() - t0) * 1e3)
    index.set_ef(LIST_SIZE)
    times, top = [], None
    for _ in range(SEARCH_PASSES):
        rows = []
        for q in queries:
            t0 = time.perf_counter_ns()
            labels, _ = index.knn_query(q.reshape(1, -1), k=TOP_K)
            times.append((time.perf_counter_ns() - t0) / 1e3)
            rows.append(labels[0])
        top = np.array(rows)
    return float(np.median(build_ms)), float(np.median(times)), float(np.percentile(times, 99)), top


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench", nargs="?", default="build/bench/vamana_file_bench")
    ap.add_argument("builds", nargs="?", type=int, default=3)
    ap.add_argument("--json", default=None, help="write the records here")
    args = ap.parse_args()
    bench, builds = args.bench, args.builds
    records = Records("vamana_compare", args.json)
    try:
        import hnswlib  # noqa: F401
    except ImportError:
        print("hnswlib is not installed (scripts/setup.sh --bench); our side only")
        hnsw = False
    else:
        hnsw = True
    rng = np.random.default_rng(2025)
    print(f"{N_KEYS} keys x {DIM}, {N_QUERIES} queries, k={TOP_K}, out-degree {DEGREE}, "
          f"search list {LIST_SIZE}; hnswlib M={DEGREE // 2} ef={LIST_SIZE} on one thread")
    for name, (keys, queries) in datasets(rng).items():
        truth = exact_top(keys, queries)
        ours = run_ours(bench, keys, queries, builds)
        theirs = run_hnswlib(keys, queries, builds) if hnsw else None
        ours_recall = recall(ours[3], truth)
        theirs_recall = recall(theirs[3], truth) if theirs else None
        # (measure, ours, unit printed, scale to the record's unit, p99, hnswlib's figure)
        figures = [(f"graph build, {name}", ours[0], "ms", 1e3, None, theirs and theirs[0]),
                   (f"graph search k=10, {name}", ours[1], "us", 1.0, ours[2],
                    theirs and theirs[1])]
        for measure, value, unit, scale, p99, other in figures:
            against = {"cmp": "hnswlib", "cmp_median": other} if theirs else {}
            print(shape_line(measure, value, unit, p99=p99, **against))
            vs = {"vs": "hnswlib", "vs_median": other * scale} if theirs else {}
            records.add(measure, value * scale, p99=p99, **vs)
        line = f"  recall@10, {name}: ours {ours_recall:.3f}"
        if theirs:
            line += f", hnswlib {theirs_recall:.3f}"
        print(line)
        records.add(f"recall@10, {name}", ours_recall, unit="value",
                    **({"vs": "hnswlib", "vs_median": theirs_recall} if theirs else {}))
    records.write()


if __name__ == "__main__":
    main()
