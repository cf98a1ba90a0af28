#!/usr/bin/python3
"""Retrieval benchmarks against FAISS, on the same data, in one run, on one thread.

Runs the C++ benchmarks (slb_bench, flat_index_bench, vamana_bench) with QM_BENCH_DATA_DIR set,
so that each writes the clustered keys and queries it uses, then times FAISS on those very
vectors in this process:

- SLB query (4096 keys of width 128, k = 10) against FAISS's 8-bit IndexScalarQuantizer;
- flat search (100,000 keys of width 128, k = 10) against FAISS IndexFlatIP;
- Vamana build (10,000 keys of width 128) against FAISS exact knn (16 nearest neighbours by inner
  product of all keys against themselves, over BLAS);
- recall@10 of the Vamana search against the flat index (as vamana_bench measures it).

The machine's own floors (the targets) come from the C++ benchmarks and are printed alongside.
Everything runs on one thread: OMP_NUM_THREADS=1 and OPENBLAS_NUM_THREADS=1 are set before FAISS
loads (and for the C++ runs), and faiss.omp_set_num_threads(1).

Usage: /usr/bin/python3 bench/retrieval_compare.py [build/bench] [--json PATH]

--json writes the records (bench_records.py) of every line with a comparison.

Output lines (times in microseconds; ratio = ours / comparison):
  <name> median X us  p99 Y us | <comparison> median Z us | ratio R (target <= T)
"(target <= T)" is left out where there is no target; "p99" where it has no meaning (builds).
"""

import argparse
import json
import os
import subprocess
import tempfile
import time

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import numpy as np  # noqa: E402

import faiss  # noqa: E402

from bench_records import Records  # noqa: E402

DIM = 128
K = 10
KNN_K = 16


def run_bench(binary, data_dir, bench_filter, repetitions=1):
    """Runs one benchmark binary and returns its runs (aggregates when repeated) by name."""
    args = [binary, f"--benchmark_filter={bench_filter}", "--benchmark_format=json"]
    if repetitions > 1:
        args += [f"--benchmark_repetitions={repetitions}",
                 "--benchmark_report_aggregates_only=true"]
    env = dict(os.environ, QM_BENCH_DATA_DIR=data_dir)
    out = subprocess.run(args, env=env, check=True, capture_output=True, text=True).stdout
    runs = {}
    for b in json.loads(out)["benchmarks"]:
        if repetitions > 1 and b.get("aggregate_name") != "median":
            continue
        runs[b["run_name"]] = b
    return runs


def time_unit_us(run):
    return {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[run["time_unit"]]


def load(data_dir, name):
    return np.fromfile(os.path.join(data_dir, name + ".f32"), dtype=np.float32).reshape(-1, DIM)


def time_each(fn, items, warmup=0):
    """Times fn(item) for every item, one by one; returns the times in microseconds."""
    for item in items[:warmup]:
        fn(item)
    times = []
    for item in items:
        t0 = time.perf_counter()
        fn(item)
        times.append((time.perf_counter() - t0) * 1e6)
    return np.array(times)


def line(records, name, median, p99, comparison, comparison_median, target=None, vs_p99=None):
    records.add(name, median, p99=p99, vs=comparison, vs_median=comparison_median, vs_p99=vs_p99,
                target=None if target is None else f"<= {target}")
    p99_part = f"  p99 {p99:10.1f} us" if p99 is not None else ""
    target_part = f" (target <= {target})" if target is not None else ""
    print(f"  {name:<40} median {median:10.1f} us{p99_part} | {comparison} median "
          f"{comparison_median:10.1f} us | ratio {median / comparison_median:.3f}{target_part}")


def query_comparison(records, bench_dir, data_dir, case):
    """One query benchmark against its read floor (from the C++ run) and against FAISS."""
    prefix = case["prefix"]
    runs = run_bench(os.path.join(bench_dir, case["binary"]), data_dir,
                     f"{case['vs_floor']}|{case['times']}")
    floor = runs[case["vs_floor"] + "/iterations:1"]
    ours = runs[case["times"] + "/iterations:1"]
    keys, queries = load(data_dir, prefix + "_keys"), load(data_dir, prefix + "_queries")
    index = case["faiss_index"](keys)
    rounds = np.tile(np.arange(len(queries)), case["rounds"])
    t = time_each(lambda i: index.search(queries[i:i + 1], K), rounds, warmup=case["warmup"])
    print(f"{case['title']}, {len(keys)} keys x {DIM}, k = {K} ({ours['label']}):")
    print(f"  {case['name'] + ' vs read floor (' + case['floor'] + ')':<40} median "
          f"{floor['work_us']:10.1f} us | floor median {floor['floor_us']:10.1f} us | ratio "
          f"{floor['ratio']:.3f} (target <= {case['target']})")
    records.add(f"{case['name']} vs read floor ({case['floor']})", floor["work_us"], vs="floor",
                vs_median=floor["floor_us"], ratio=floor["ratio"], target=f"<= {case['target']}")
    line(records, f"{case['name']} vs {case['faiss_name']}", ours["median_us"], ours["p99_us"],
         case["faiss_short"], float(np.median(t)), vs_p99=float(np.percentile(t, 99)))
    print(f"  {case['faiss_short'] + ' p99':<40} {float(np.percentile(t, 99)):10.1f} us")


def sq8_index(keys):
    index = faiss.IndexScalarQuantizer(DIM, faiss.ScalarQuantizer.QT_8bit,
                                       faiss.METRIC_INNER_PRODUCT)
    index.train(keys)
    index.add(keys)
    return index


def flat_ip_index(keys):
    index = faiss.IndexFlatIP(DIM)
    index.add(keys)
    return index


SLB = dict(prefix="slb", binary="slb_bench", vs_floor="BM_SlbQueryVsFloor",
           times="BM_SlbQueryTimes", title="SLB query", name="SLB query",
           floor="512 KiB codes", target=1.3, faiss_index=sq8_index,
           faiss_name="FAISS IndexScalarQuantizer", faiss_short="FAISS SQ8", rounds=20,
           warmup=64)
FLAT = dict(prefix="flat", binary="flat_index_bench", vs_floor="BM_FlatSearchVsFloor",
            times="BM_FlatSearchTimes", title="flat search", name="flat search",
            floor="51 MB keys", target=1.2, faiss_index=flat_ip_index,
            faiss_name="FAISS IndexFlatIP", faiss_short="FAISS IndexFlatIP", rounds=8, warmup=2)


def vamana(records, bench_dir, data_dir):
    binary = os.path.join(bench_dir, "vamana_bench")
    build = run_bench(binary, data_dir, "BM_VamanaBuild", repetitions=5)
    recall = run_bench(binary, data_dir, "BM_VamanaSearchRecall")
    build_run = next(iter(build.values()))
    build_us = build_run["real_time"] * time_unit_us(build_run)
    keys = load(data_dir, "vamana_keys")
    knn_times = []
    for _ in range(5):
        t0 = time.perf_counter()
        faiss.knn(keys, keys, KNN_K, metric=faiss.METRIC_INNER_PRODUCT)
        knn_times.append((time.perf_counter() - t0) * 1e6)
    print(f"Vamana, {len(keys)} keys x {DIM} ({build_run['label']}):")
    line(records, "Vamana build vs FAISS exact knn (16-NN)", build_us, None, "FAISS knn (BLAS)",
         float(np.median(knn_times)), target=1.5)
    for name, run in sorted(recall.items()):
        data = "clustered" if name.endswith("/0") else "Gaussian"
        print(f"  {'Vamana search recall@10 vs flat (' + data + ')':<40} "
              f"recall {run['recall_at_10']:.4f} | search median "
              f"{run['real_time'] * time_unit_us(run):10.1f} us")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench_dir", nargs="?", default="build/bench")
    ap.add_argument("--json", default=None, help="write the records here")
    args = ap.parse_args()
    bench_dir = args.bench_dir
    records = Records("retrieval_compare", args.json)
    faiss.omp_set_num_threads(1)
    print(f"FAISS {faiss.__version__} ({faiss.get_compile_options().strip()}), one thread")
    with tempfile.TemporaryDirectory() as data_dir:
        query_comparison(records, bench_dir, data_dir, SLB)
        query_comparison(records, bench_dir, data_dir, FLAT)
        vamana(records, bench_dir, data_dir)
    records.write()


if __name__ == "__main__":
    main()
