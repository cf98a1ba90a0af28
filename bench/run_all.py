#!/usr/bin/python3
"""Runs every benchmark of bench/ against its comparisons and writes bench/REPORT.md with the
plots bench/read_vs_store_size.png and bench/write_vs_batch_size.png.

Every benchmark runs whole passes: each pass runs all of them once, one after the other, so that
each ratio is taken within one run of one benchmark. A figure in the report is the median over
the passes (and the ratio the median of the per-pass ratios, with their range). Passes are
repeated up to --repeats times while the next one still fits in the time budget, counted from
--started (the start of `make bench`, build included). Of the scaling series, the write series
runs in every pass and the read series (100,000 packs to load) in the first only; each of their
points is already the median of many alternating rounds.

Raw outputs go to --logs (default build/bench-logs), one file per benchmark and pass.

Every benchmark writes its figures as JSON records (bench/bench_records.py; Google Benchmark's own
JSON for the Google Benchmark programs), kept beside its raw output; this script reads them back
and fills the report's text, bench/REPORT.template.md. bench/retrieval_compare.py's output also
goes into the report whole. --from-logs rewrites the report from the records an earlier run
kept.

Usage: bench/run_all.py [--build build] [--repeats 3] [--budget 840] [--started EPOCH]
                        [--quick] [--from-logs] [--logs DIR] [--out DIR]
"""

import argparse
import datetime
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
PY = "/usr/bin/python3"

RETRIEVAL_COMPARE = "FAISS retrieval comparisons"
TEMPLATE = os.path.join(BENCH_DIR, "REPORT.template.md")


def row(area, label, ours, ours_p99=None, cmp=None, cmp_val=None, cmp_p99=None, ratio=None,
        target=None, unit="time", **extra):
    """One measured figure: ours against one comparison, both in microseconds (unit "time") or
    plain numbers (unit "value"). extra holds further numbers shown as notes (recall, ...)."""
    if ratio is None and cmp_val:
        ratio = ours / cmp_val
    return {"area": area, "label": label, "ours": ours, "ours_p99": ours_p99, "cmp": cmp,
            "cmp_val": cmp_val, "cmp_p99": cmp_p99, "ratio": ratio, "target": target,
            "unit": unit, "extra": extra}


# --- The records every benchmark writes (bench_records.py), and the rows made of them.

GB_TIME_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
GB_FIELDS = {"family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
             "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit",
             "name", "label", "aggregate_name", "aggregate_unit", "error_occurred"}


def load_records(path):
    """The records of one benchmark's JSON file: our own schema (bench_records.py) as it
    stands, or Google Benchmark's, each iteration run a record named by its run name, timed in
    microseconds, with its counters as extra."""
    with open(path) as f:
        data = json.load(f)
    if "records" in data:
        return data["records"]
    return [{"measure": b["run_name"], "unit": "us",
             "median": b["real_time"] * GB_TIME_US[b["time_unit"]],
             "extra": {k: v for k, v in b.items() if k not in GB_FIELDS}}
            for b in data["benchmarks"] if b.get("run_type") == "iteration"]


def by_measure(records):
    return {r["measure"]: r for r in records}


def record_row(area, label, r, vs_names=None, **extra):
    """The row of one record; extra replaces the record's own extra numbers when given."""
    vs = r.get("vs")
    return row(area, label, r["median"], r.get("p99"), (vs_names or {}).get(vs, vs),
               r.get("vs_median"), r.get("vs_p99"), ratio=r.get("ratio"), target=r.get("target"),
               unit="time" if r["unit"] == "us" else "value",
               **(extra if extra else r.get("extra", {})))


def record_rows(area, records, prefix="", vs_names=None):
    return [record_row(area, prefix + r["measure"], r, vs_names) for r in records]


def packs_of(records):
    """The store size the records were taken at, with thousands separators."""
    return f"{int(records[0]['params']['packs']):,}"


def storage_rows(records):
    r = by_measure(records)
    quantizer = [record_row("Batch writes", "4-bit quantizer, a 256-pack batch's payloads "
                            "(2,097,152 values), AVX-512 level", r[m])
                 for m in r if m == "quantize at the AVX-512 level"]
    return quantizer + [
        record_row("Durable writes", "block pool append of one pack (9 records)",
                   r["block pool append_batch"]),
        record_row("Pack reads end to end", "decode of one 1024-value record",
                   r["decode of one 1024-value record"]),
    ]


FLOOR = {"floor": "raw write + fsync"}


def engine_write_rows(records):
    return record_rows("Durable writes", records, "mem_write_pack (C++), ", FLOOR)


def engine_batch_rows(records):
    return record_rows("Batch writes", records, "256 packs: ", FLOOR)


def engine_read_rows(records):
    return [record_row("Pack reads end to end",
                       f"mem_read_pack k=10, {packs_of(records)} packs (C++)", records[0])]


def engine_open_rows(records):
    prefix = f"{packs_of(records)} packs, "
    first = [r for r in records if r["measure"] == "first open after the writes"]
    rows = record_rows("Open and refresh", [r for r in records if r not in first], prefix,
                       {"floor": "read of every segment byte"})
    for r in rows:
        if r["label"].endswith("open after 1,000 more packs"):
            r["label"] += " (graph updated)"
    return rows + [record_row("Open and refresh", f"{prefix}first open after the writes "
                              "(graph built and saved)", r) for r in first]


def engine_open_growth_rows(records):
    return [record_row("Open and refresh", f"{int(r['params']['packs']):,} packs, open after "
                       f"{int(r['params']['more']):,} more (+2%, graph updated)", r)
            for r in records]


def open_refresh_rows(records):
    return record_rows("Open and refresh", records, f"{packs_of(records)} packs (Python), ",
                       {"floor": "read of every file byte"})


def floor_ratio_row(area, label, r, cmp, prefix=""):
    b = {name[len(prefix):]: v for name, v in r["extra"].items() if name.startswith(prefix)}
    return row(area, label, b["work_us"], cmp=cmp, cmp_val=b["floor_us"], ratio=b["ratio"],
               ratio_p10=b["ratio_p10"], ratio_p90=b["ratio_p90"])


def slb_rows(records):
    r = by_measure(records)
    return [floor_ratio_row("SLB", "query of 4,096 int8 keys x 128, k=10 (warm caches)",
                            r["BM_SlbQueryVsFloor/iterations:1"], "one read of the 512 KiB codes")]


def flat_rows(records):
    r = by_measure(records)
    return [
        floor_ratio_row("Flat search", "search of 100,000 keys x 128, k=10",
                        r["BM_FlatSearchVsFloor/iterations:1"], "one read of the 51 MB of keys"),
        floor_ratio_row("Flat search", "search of 100,000 keys x 128, k=10",
                        r["BM_FlatSearchVsFloor/iterations:1"],
                        "one prefetching read of the 51 MB", prefix="prefetch_"),
    ]


def vamana_rows(records):
    r = by_measure(records)
    rows = [row("Vamana build and recall", "build over 10,000 keys x 128 (Google Benchmark)",
                r["BM_VamanaBuild/iterations:3"]["median"])]
    for arg, data in (("0", "clustered"), ("1", "Gaussian")):
        s = r[f"BM_VamanaSearchRecall/{arg}"]
        rows.append(row("Vamana build and recall", f"search k=10, {data} (Google Benchmark)",
                        s["median"], recall_at_10=s["extra"]["recall_at_10"]))
    return rows


def vamana_compare_rows(records):
    """The times first, then the recalls."""
    ordered = sorted(records, key=lambda r: r["unit"] != "us")
    return record_rows("Vamana build and recall", ordered)


def per_token_rows(records):
    search, *others = records
    return ([record_row("Per-token search", "search of 10,000 entries x 32 tokens x 128, k=10",
                        search)]
            + record_rows("Per-token search", others))


def python_pack_rows(records):
    packs = packs_of(records)
    rows = []
    for r in records:
        if r["measure"] == "mem_read_pack k=10":
            rows.append(record_row("Pack reads end to end",
                                   f"mem_read_pack k=10, {packs} packs (Python)", r))
        else:
            rows.append(record_row("Durable writes",
                                   r["measure"].replace("mem_write_pack, ",
                                                        "mem_write_pack (Python), "), r))
    return rows


def python_call_rows(records):
    return record_rows("Python call overhead", records)


def retrieval_compare_rows(records):
    """Each row goes to the area its measure begins with (SLB, flat search, Vamana)."""
    areas = {"slb": "SLB", "flat search": "Flat search", "vamana": "Vamana build and recall"}
    return [record_row(next((a for word, a in areas.items()
                             if r["measure"].lower().startswith(word)), RETRIEVAL_COMPARE),
                       r["measure"], r) for r in records]


# --- The benchmarks: name, command, rows of its records. Every command is given
# --json=PATH (--benchmark_out=PATH for Google Benchmark programs) for its records.

def benches(build, quick):
    b = os.path.join(build, "bench")
    scale = "0.2" if quick else "1"
    return [
        ("storage_bench", [f"{b}/storage_bench"], storage_rows),
        ("engine_write", [f"{b}/engine_bench", "write"], engine_write_rows),
        ("engine_batch", [f"{b}/engine_bench", "batch"], engine_batch_rows),
        ("engine_read", [f"{b}/engine_bench", "read", scale], engine_read_rows),
        ("engine_open", [f"{b}/engine_bench", "open", scale], engine_open_rows),
        ("engine_open_growth", [f"{b}/engine_bench", "open_growth", scale],
         engine_open_growth_rows),
        ("open_refresh", [PY, f"{BENCH_DIR}/open_refresh_bench.py"]
         + (["--packs", "5000", "--rounds", "3"] if quick else []), open_refresh_rows),
        ("slb_bench", [f"{b}/slb_bench", "--benchmark_filter=VsFloor"], slb_rows),
        ("flat_index_bench", [f"{b}/flat_index_bench", "--benchmark_filter=VsFloor"],
         flat_rows),
        ("vamana_bench", [f"{b}/vamana_bench"], vamana_rows),
        ("vamana_compare", [PY, f"{BENCH_DIR}/vamana_compare.py", f"{b}/vamana_file_bench"],
         vamana_compare_rows),
        ("per_token_compare", [PY, f"{BENCH_DIR}/per_token_compare.py", f"{b}/per_token_bench"],
         per_token_rows),
        ("python_pack_bench", [PY, f"{BENCH_DIR}/python_pack_bench.py"]
         + (["--packs", "2000", "--reads", "200", "--writes", "50"] if quick else []),
         python_pack_rows),
        ("python_call_bench", [PY, f"{BENCH_DIR}/python_call_bench.py"], python_call_rows),
        ("retrieval_compare", [PY, f"{BENCH_DIR}/retrieval_compare.py", b],
         retrieval_compare_rows),
    ]


GBENCH = ("slb_bench", "flat_index_bench", "vamana_bench")
# Benchmarks that run in the first pass only (each builds graphs of up to 100,000 packs).
FIRST_PASS_ONLY = ("engine_open_growth",)
BENCH_TIMEOUT = 300  # seconds; a benchmark that takes longer is stopped and reported as failed


def run_one(name, cmd, to_rows, logs, pass_no, env, from_logs):
    log = os.path.join(logs, f"{name}.{pass_no}.txt")
    js = os.path.join(logs, f"{name}.{pass_no}.json")
    if name in GBENCH:  # Google Benchmark programs write their own JSON
        cmd = cmd + [f"--benchmark_out={js}", "--benchmark_out_format=json"]
    else:
        cmd = cmd + [f"--json={js}"]
    if from_logs:  # the output an earlier run kept: "$ command", "# exit N after S s", output
        if not os.path.exists(log):
            return None, 0.0, ""
        with open(log) as f:
            _, status, stdout = f.read().split("\n", 2)
        m = re.match(r"# exit (-?\d+) after ([\d.]+) s", status)
        returncode, seconds = int(m.group(1)), float(m.group(2))
    else:
        t0 = time.monotonic()
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=ROOT,
                                  timeout=BENCH_TIMEOUT)
            returncode, stdout, stderr = proc.returncode, proc.stdout, proc.stderr
        except subprocess.TimeoutExpired as exc:
            returncode, stdout = -9, exc.stdout or ""
            stdout = stdout.decode() if isinstance(stdout, bytes) else stdout
            stderr = f"killed after {BENCH_TIMEOUT} s\n"
        seconds = time.monotonic() - t0
        with open(log, "w") as f:
            f.write(f"$ {' '.join(cmd)}\n# exit {returncode} after {seconds:.1f} s\n")
            f.write(stdout)
        if stderr:
            with open(log[:-4] + ".stderr.txt", "w") as f:
                f.write(stderr)
    if returncode != 0:
        print(f"  {name}: FAILED (exit {returncode}), see {log}", flush=True)
        return None, seconds, stdout
    try:
        rows = to_rows(load_records(js))
    except Exception as exc:  # missing or changed records: report it, keep the other benchmarks
        print(f"  {name}: output not understood ({exc!r}), see {log}", flush=True)
        return None, seconds, stdout
    print(f"  {name}: {seconds:.1f} s, {len(rows)} figures", flush=True)
    return rows, seconds, stdout


# --- Aggregation over passes.

def aggregate(runs):
    """runs: one list of rows per pass. Returns one row per figure with medians over passes."""
    by_key, order = {}, []
    for rows in runs:
        for r in rows:
            key = (r["area"], r["label"], r["cmp"])
            if key not in by_key:
                by_key[key] = []
                order.append(key)
            by_key[key].append(r)
    out = []
    for key in order:
        rs = by_key[key]

        def med(field, rs=rs):
            vals = [r[field] for r in rs if r[field] is not None]
            return statistics.median(vals) if vals else None
        agg = dict(rs[0])
        for field in ("ours", "ours_p99", "cmp_val", "cmp_p99", "ratio"):
            agg[field] = med(field)
        ratios = [r["ratio"] for r in rs if r["ratio"] is not None]
        agg["ratio_range"] = (min(ratios), max(ratios)) if len(ratios) > 1 else None
        agg["runs"] = len(rs)
        agg["extra"] = {k: statistics.median([r["extra"][k] for r in rs
                                               if r["extra"].get(k) is not None])
                        for k in rs[0]["extra"]
                        if any(r["extra"].get(k) is not None for r in rs)}
        out.append(agg)
    return out


# --- The report.

def fmt_time(us):
    if us is None:
        return ""
    if us < 1:
        return f"{us * 1e3:.1f} ns"
    if us < 1000:
        return f"{us:.1f} µs" if us < 100 else f"{us:.0f} µs"
    if us < 1e6:
        return f"{us / 1e3:.2f} ms" if us < 1e4 else f"{us / 1e3:.1f} ms"
    return f"{us / 1e6:.2f} s"


def fmt_val(r, field):
    v = r[field]
    if v is None:
        return ""
    return fmt_time(v) if r["unit"] == "time" else f"{v:.3f}"


EXTRA_NAMES = {"recall_at_10": "recall@10 {:.3f}", "recall_ours": "recall@10 ours {:.3f}",
               "recall_cmp": "theirs {:.3f}", "top10_overlap": "top-10 overlap {:.2f} of 10",
               "graph_build_ms": "graph build from scratch {:.0f} ms",
               "graph_threads": "{:.0f} graph threads", "speedup": "{:.1f}x faster",
               "update_share_pct": "graph update {:.0f}% of the open",
               "us_per_new_pack_per_1k": "{:.3f} µs per new pack per 1,000 stored packs",
               "ratio_p10": "per-round ratio p10 {:.2f}", "ratio_p90": "p90 {:.2f}"}


def table(rows):
    lines = ["| measure | ours median | ours p99 | comparison | comparison median | "
             "comparison p99 | ratio ours/comparison | runs | notes |",
             "|---|---:|---:|---|---:|---:|---:|---:|---|"]
    for r in rows:
        ratio = f"{r['ratio']:.2f}" if r["ratio"] is not None else ""
        if r["ratio_range"]:
            ratio += f" ({r['ratio_range'][0]:.2f}–{r['ratio_range'][1]:.2f})"
        notes = [EXTRA_NAMES.get(k, k + " {:.3g}").format(v) for k, v in r["extra"].items()]
        if r["target"]:
            notes.insert(0, f"target {r['target']}")
        lines.append(f"| {r['label']} | {fmt_val(r, 'ours')} | {fmt_val(r, 'ours_p99')} | "
                     f"{r['cmp'] or '—'} | {fmt_val(r, 'cmp_val')} | {fmt_val(r, 'cmp_p99')} | "
                     f"{ratio} | {r['runs']} | {'; '.join(notes)} |")
    return "\n".join(lines)


def plot(scaling, out_dir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    read = scaling["read"]
    pts = read["points"]
    fig, (ax, rax) = plt.subplots(2, 1, figsize=(7, 6), dpi=110, sharex=True,
                                  gridspec_kw={"height_ratios": [3, 1.2]})
    sizes = [p["size"] for p in pts]
    ax.plot(sizes, [p["median"] / 1e3 for p in pts], "o-", color="C0", label="quellmar median")
    ax.plot(sizes, [p["p99"] / 1e3 for p in pts], "o--", color="C0", alpha=0.5,
            label="quellmar p99")
    ax.plot(sizes, [p["cmp_median"] / 1e3 for p in pts], "s-", color="C1",
            label=f"{read['comparison']} median")
    ax.plot(sizes, [p["cmp_p99"] / 1e3 for p in pts], "s--", color="C1", alpha=0.5,
            label=f"{read['comparison']} p99")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_ylabel("latency of one read, k=10 (ms)")
    layers, width = read["shape"]
    ax.set_title(f"Pack read latency against store size\n(key 128, {layers} layers x {width} "
                 "floats, short text; layers returned)", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    rax.plot(sizes, [p["recall"] for p in pts], "o-", color="C0", label="quellmar")
    rax.axhline(1.0, color="C1", linestyle="-", label=f"{read['comparison']} (exact)")
    rax.set_ylim(0, 1.05)
    rax.set_ylabel("recall@10")
    rax.set_xlabel("packs in the store")
    rax.set_xticks(sizes, [f"{s:,}" for s in sizes])
    rax.minorticks_off()
    rax.grid(True, alpha=0.3)
    rax.legend(fontsize=8, loc="lower left")
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "read_vs_store_size.png"))
    plt.close(fig)

    write = scaling["write"]
    pts = write["points"]
    sizes = [p["size"] for p in pts]
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(11, 4.5), dpi=110)
    series = [("ours", "quellmar mem_write_batch_packs", "o-", "C0"),
              ("sqlite", "SQLite, WAL, synchronous=FULL, one transaction", "s-", "C1"),
              ("floor", "floor: write + fsync of our bytes (texts, records)", "^:", "C2")]
    for key, label, style, color in series:
        a1.plot(sizes, [p[f"{key}_median"] / 1e3 for p in pts], style, color=color, label=label)
        a2.plot(sizes, [p[f"{key}_median"] / 1e3 / p["size"] for p in pts], style, color=color,
                label=label)
    for a, ylabel in ((a1, "latency of one durable batch (ms)"), (a2, "per pack (ms)")):
        a.set_xscale("log", base=2)
        a.set_yscale("log")
        a.set_xticks(sizes, [str(s) for s in sizes])
        a.tick_params(axis="x", which="minor", bottom=False)
        a.set_xlabel("packs per batch")
        a.set_ylabel(ylabel)
        a.grid(True, which="both", alpha=0.3)
    a1.legend(fontsize=8)
    layers, width = write["shape"]
    fig.suptitle(f"Durable write latency against batch size (medians of {pts[0]['runs']} runs; "
                 f"key 128, {layers} layers x {width} floats, short text)", fontsize=10)
    fig.tight_layout()
    fig.savefig(os.path.join(out_dir, "write_vs_batch_size.png"))
    plt.close(fig)


def scaling_tables(scaling):
    read, write = scaling["read"], scaling["write"]
    lines = ["| packs | ours median | ours p99 | ours recall@10 | "
             f"{read['comparison']} median | {read['comparison']} p99 | ratio |",
             "|---:|---:|---:|---:|---:|---:|---:|"]
    for p in read["points"]:
        lines.append(f"| {p['size']:,} | {fmt_time(p['median'])} | {fmt_time(p['p99'])} | "
                     f"{p['recall']:.3f} | {fmt_time(p['cmp_median'])} | "
                     f"{fmt_time(p['cmp_p99'])} | {p['median'] / p['cmp_median']:.2f} |")
    read_table = "\n".join(lines)
    lines = ["| packs per batch | runs x rounds | ours median | ours p99 | SQLite median | "
             "ratio to SQLite | floor median | ratio to floor |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for p in write["points"]:
        lines.append(f"| {p['size']} | {p['runs']} x {p['rounds']} | "
                     f"{fmt_time(p['ours_median'])} | {fmt_time(p['ours_p99'])} | "
                     f"{fmt_time(p['sqlite_median'])} | {p['ratio_sqlite']:.2f} | "
                     f"{fmt_time(p['floor_median'])} | {p['ratio_floor']:.2f} |")
    return read_table, "\n".join(lines)


def machine():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def git_head():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, check=True,
                              capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def summary(agg, scaling):
    """Lines that point at what a reader should not miss: printed targets against the measured
    ratios, and answers of low recall behind fast reads."""
    met, missed, low = [], [], []
    for r in agg:
        m = re.match(r"([<>]=?)\s*([\d.]+)", r["target"] or "")
        if m and r["ratio"] is not None:
            bound = float(m.group(2))
            ok = r["ratio"] <= bound if m.group(1).startswith("<") else r["ratio"] >= bound
            (met if ok else missed).append(f"{r['area']}: {r['label']} "
                                           f"({r['ratio']:.2f}, target {r['target']})")
        for key in ("recall_at_10", "recall_ours"):
            if r["extra"].get(key) is not None and r["extra"][key] < 0.9:
                low.append(f"{r['label']}: recall@10 {r['extra'][key]:.2f}")
        if r["label"].startswith("recall@10") and r["ours"] < 0.9:
            low.append(f"{r['area']}, {r['label']}: {r['ours']:.2f}")
    if scaling:
        for p in scaling["read"]["points"]:
            if p["recall"] < 0.9:
                low.append(f"pack reads over {p['size']:,} packs (scaling series): "
                           f"recall@10 {p['recall']:.2f}")
    low = list(dict.fromkeys(low))
    lines = [f"- Targets the benchmarks set: {len(met)} met, {len(missed)} not met."]
    lines += [f"  - not met: {x}" for x in missed]
    if low:
        lines.append("- Recall below 0.9, so a faster read there also returns worse answers:")
        lines += [f"  - {x}" for x in low]
    return lines


def fill_template(text, values, tables, parts):
    """The template with its comment left out, each {{#name}} ... {{/name}} kept only when
    parts[name] holds, {{table AREA}} replaced by tables(AREA) and {{name}} by values[name]."""
    text = re.sub(r"\A<!--.*?-->\n", "", text, flags=re.S)
    text = re.sub(r"\{\{#(\w+)\}\}\n(.*?)\{\{/\1\}\}\n",
                  lambda m: m.group(2) if parts[m.group(1)] else "", text, flags=re.S)
    text = re.sub(r"\{\{table ([^}]+)\}\}", lambda m: tables(m.group(1)), text)
    text = re.sub(r"\{\{(\w+)\}\}", lambda m: str(values[m.group(1)]), text)
    return re.sub(r"\n{3,}", "\n\n", text).rstrip() + "\n"


def write_report(path, agg, scaling, meta, retrieval_out):
    def area_table(area):
        rows = [r for r in agg if r["area"] == area]
        return table(rows) if rows else "_No figures: the benchmark failed or is missing._"

    read_table, write_table = scaling_tables(scaling) if scaling else ("", "")
    times = ["| benchmark | seconds (median over runs) |", "|---|---:|"]
    times += [f"| {name} | {statistics.median(s):.1f} |" for name, s in meta["seconds"].items()]
    values = {
        "commit": meta["commit"], "date": meta["date"], "machine": meta["machine"],
        "load_start": meta["load_start"], "load_end": meta["load_end"], "passes": meta["passes"],
        "bench_minutes": f"{meta['bench_seconds'] / 60:.1f}",
        "total_minutes": f"{meta['total_seconds'] / 60:.1f}",
        "summary": "\n".join(summary(agg, scaling)),
        "read_scaling_table": read_table, "write_scaling_table": write_table,
        "retrieval_output": (retrieval_out or "").rstrip(),
        "failures": "\n".join(f"- {name}: see `{os.path.relpath(log, ROOT)}`"
                              for name, log in meta["failures"]),
        "times": "\n".join(times),
    }
    parts = {"scaling": bool(scaling), "failures": bool(meta["failures"]),
             "retrieval_rows": any(r["area"] == RETRIEVAL_COMPARE for r in agg)}
    with open(TEMPLATE) as f:
        text = fill_template(f.read(), values, area_table, parts)
    with open(path, "w") as f:
        f.write(text)


def run_scaling(args, logs, env, pass_no):
    """The scaling series: both in the first pass, the write series alone in later ones (the read
    series loads 100,000 packs; it runs once). Returns (their data or None, seconds, failure log
    or None)."""
    scaling_json = os.path.join(logs, f"scaling.{pass_no}.json")
    log = os.path.join(logs, f"scaling.{pass_no}.txt")
    if args.from_logs:
        if not os.path.exists(scaling_json):
            return None, 0.0, None
        with open(scaling_json) as f:
            return json.load(f), 0.0, None
    cmd = [PY, os.path.join(BENCH_DIR, "scaling_bench.py"), "--json", scaling_json]
    if pass_no > 1:
        cmd += ["--only", "write"]
    if args.quick:
        cmd += ["--sizes", "1000,3000,10000", "--batches", "1,4,16,64,256", "--reads", "100"]
    t0 = time.monotonic()
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=ROOT)
    seconds = time.monotonic() - t0
    with open(log, "w") as f:
        f.write(proc.stdout + proc.stderr)
    if proc.returncode != 0:
        print(f"  scaling_bench: FAILED, see {log}", flush=True)
        return None, seconds, log
    print(f"  scaling_bench{'' if pass_no == 1 else ' (writes)'}: {seconds:.1f} s", flush=True)
    with open(scaling_json) as f:
        return json.load(f), seconds, None


def merge_scaling(runs):
    """The read series of the first run; each write point the median over the runs, its ratios
    the medians of the per-run ratios."""
    if not runs:
        return None
    merged = dict(runs[0])
    writes = [r["write"] for r in runs if "write" in r]
    if not writes:
        return merged if "read" in merged else None
    points = []
    for i, first in enumerate(writes[0]["points"]):
        same = [w["points"][i] for w in writes if len(w["points"]) > i]
        point = {"size": first["size"], "rounds": first["rounds"], "runs": len(same)}
        for key in first:
            if key.endswith(("_median", "_p99")):
                point[key] = statistics.median(p[key] for p in same)
        for cmp in ("sqlite", "floor"):
            point[f"ratio_{cmp}"] = statistics.median(
                p["ours_median"] / p[f"{cmp}_median"] for p in same)
        points.append(point)
    merged["write"] = dict(writes[0], points=points)
    return merged


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--budget", type=float, default=840, help="seconds for all of make bench")
    ap.add_argument("--started", type=float, default=None, help="epoch seconds it started")
    ap.add_argument("--logs", default=None)
    ap.add_argument("--out", default=BENCH_DIR, help="where REPORT.md and the plots go")
    ap.add_argument("--quick", action="store_true", help="smaller stores, one pass")
    ap.add_argument("--from-logs", action="store_true",
                    help="rewrite the report from the outputs kept in --logs, running nothing")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    logs = os.path.abspath(args.logs or os.path.join(build, "bench-logs"))
    os.makedirs(logs, exist_ok=True)
    os.makedirs(args.out, exist_ok=True)
    started = args.started or time.time()
    t_bench = time.time()
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"),
               QMR_BENCH_DIR=os.path.join(build, "bench-scratch"))
    env["PYTHONPATH"] += os.pathsep + BENCH_DIR
    meta = {"commit": git_head(), "machine": machine(), "failures": [], "seconds": {},
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "load_start": ", ".join(f"{x:.1f}" for x in os.getloadavg())}
    meta_json = os.path.join(logs, "meta.json")
    if not args.from_logs:  # outputs of an earlier run would mix with this one's
        for name in os.listdir(logs):
            if name.endswith((".txt", ".json")):
                os.remove(os.path.join(logs, name))
    if args.from_logs and os.path.exists(meta_json):
        with open(meta_json) as f:
            meta.update(json.load(f), failures=[], seconds={})

    specs = benches(build, args.quick)
    runs, retrieval_out, scaling_runs, passes = [], None, [], 0
    repeats = 1 if args.quick else args.repeats
    if args.from_logs:  # every pass whose first output was kept
        repeats = 1
        while os.path.exists(os.path.join(logs, f"{specs[0][0]}.{repeats + 1}.txt")):
            repeats += 1
    while passes < repeats:
        t_pass = time.time()
        print(f"pass {passes + 1}:", flush=True)
        rows_this_pass = []
        first_pass_only_seconds = 0.0
        for name, cmd, to_rows in specs:
            if passes > 0 and name in FIRST_PASS_ONLY:
                continue
            rows, seconds, out = run_one(name, cmd, to_rows, logs, passes + 1, env,
                                         args.from_logs)
            meta["seconds"].setdefault(name, []).append(seconds)
            if name in FIRST_PASS_ONLY:
                first_pass_only_seconds += seconds
            if rows is None:
                meta["failures"].append((name, os.path.join(logs, f"{name}.{passes + 1}.txt")))
            else:
                rows_this_pass += rows
            if name == "retrieval_compare":
                retrieval_out = out
        scaling, scaling_seconds, failed = run_scaling(args, logs, env, passes + 1)
        meta["seconds"].setdefault("scaling_bench" if passes == 0 else "scaling_bench (writes)",
                                   []).append(scaling_seconds)
        if failed:
            meta["failures"].append(("scaling_bench", failed))
        if scaling:
            scaling_runs.append(scaling)
        runs.append(rows_this_pass)
        passes += 1
        # Another pass costs about as much as this one, less what runs in the first only.
        pass_cost = (time.time() - t_pass - first_pass_only_seconds
                     - (scaling_seconds if passes == 1 else 0))
        if not args.from_logs and time.time() - started + pass_cost * 1.15 > args.budget:
            break
    if not args.from_logs:
        meta["passes"] = passes
        meta["bench_seconds"] = time.time() - t_bench
        meta["total_seconds"] = time.time() - started
        meta["load_end"] = ", ".join(f"{x:.1f}" for x in os.getloadavg())
        with open(meta_json, "w") as f:
            json.dump({k: meta[k] for k in ("commit", "date", "machine", "load_start", "load_end",
                                             "passes", "bench_seconds", "total_seconds")}, f)

    agg = aggregate(runs)
    scaling = merge_scaling(scaling_runs)
    if scaling:
        plot(scaling, args.out)
    write_report(os.path.join(args.out, "REPORT.md"), agg, scaling, meta, retrieval_out)
    print(f"{passes} pass(es); wrote {os.path.join(args.out, 'REPORT.md')}", flush=True)
    return 1 if meta["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
