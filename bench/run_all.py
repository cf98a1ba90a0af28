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

bench/retrieval_compare.py runs too when it is in the tree; its result lines get a section of
their own. --from-logs rewrites the report from the outputs an earlier run kept.

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

from bench_lines import parse_line

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
PY = "/usr/bin/python3"

AREAS = [
    "Durable writes", "Batch writes", "SLB", "Flat search", "Vamana build and recall",
    "Per-token search", "Pack reads end to end", "Open and refresh", "Python call overhead",
]
RETRIEVAL_COMPARE = "FAISS retrieval comparisons"


def row(area, label, ours, ours_p99=None, cmp=None, cmp_val=None, cmp_p99=None, ratio=None,
        target=None, unit="time", **extra):
    """One measured figure: ours against one comparison, both in microseconds (unit "time") or
    plain numbers (unit "value"). extra holds further numbers shown as notes (recall, ...)."""
    if ratio is None and cmp_val:
        ratio = ours / cmp_val
    return {"area": area, "label": label, "ours": ours, "ours_p99": ours_p99, "cmp": cmp,
            "cmp_val": cmp_val, "cmp_p99": cmp_p99, "ratio": ratio, "target": target,
            "unit": unit, "extra": extra}


def shape_rows(area, text, prefix="", cmp_names=None):
    """Rows from every result line of the common shape in text."""
    out = []
    for line in text.splitlines():
        p = parse_line(line)
        if p is None or not p["label"]:
            continue
        cmp = (cmp_names or {}).get(p["cmp"], p["cmp"])
        out.append(row(area, prefix + p["label"], p["median"], p["p99"], cmp, p["cmp_median"],
                       ratio=p["ratio"], target=p["target"]))
    return out


def number_after(pattern, text, cast=float):
    m = re.search(pattern, text)
    return cast(m.group(1)) if m else None


def count_after(pattern, text):
    """The integer that pattern's group captures in text, with thousands separators."""
    return f"{number_after(pattern, text, int):,}"


# --- Parsers: one per benchmark, from its printed output (and Google Benchmark's JSON).

def parse_storage(out, _):
    pool = parse_line(next(l for l in out.splitlines() if "append_batch" in l))
    raw = parse_line(next(l for l in out.splitlines() if "raw write + fsync" in l))
    decode = parse_line(next(l for l in out.splitlines() if l.startswith("decode of one")))
    floor = parse_line(next(l for l in out.splitlines() if "open + pread + close" in l))
    quantizer = [row("Batch writes", "4-bit quantizer, a 256-pack batch's payloads (2,097,152 "
                     "values), AVX-512 level", p["median"], p["p99"], p["cmp"], p["cmp_median"],
                     ratio=p["ratio"])
                 for p in map(parse_line, out.splitlines())
                 if p and p["label"].startswith("quantize at the AVX-512 level")]
    return quantizer + [
        row("Durable writes", "block pool append of one pack (9 records)", pool["median"],
            pool["p99"], "raw write + fsync", raw["median"], raw["p99"],
            ratio=number_after(r"ratio \(medians\)\s+([\d.]+)", out), target="<= 1.2"),
        row("Pack reads end to end", "decode of one 1024-value record", decode["median"],
            decode["p99"], "open + pread + close", floor["median"]),
    ]


FLOOR = {"floor": "raw write + fsync"}


def parse_engine_write(out, _):
    return shape_rows("Durable writes", out, "mem_write_pack (C++), ", FLOOR)


def parse_engine_batch(out, _):
    return shape_rows("Batch writes", out, "256 packs: ", FLOOR)


def parse_engine_read(out, _):
    packs = count_after(r"over (\d+) packs", out)
    p = parse_line(next(l for l in out.splitlines() if parse_line(l)))
    return [row("Pack reads end to end", f"mem_read_pack k=10, {packs} packs (C++)",
                p["median"], p["p99"])]


def parse_engine_open(out, _):
    packs = count_after(r"open of (\d+) packs", out)
    rows = shape_rows("Open and refresh", out, f"{packs} packs, ",
                      {"floor": "read of every segment byte"})
    first = number_after(r"first open after the writes.*?: ([\d.]+) ms", out)
    share = number_after(r"graph update [\d.]+ ms \(([\d.]+)% of that open", out)
    build = number_after(r"graph build from scratch ([\d.]+) ms", out)
    if first is not None:
        rows.append(row("Open and refresh", f"{packs} packs, first open after the writes "
                        "(graph built and saved)", first * 1e3))
    for r in rows:
        if r["label"].endswith("open after 1,000 more packs"):
            r["label"] += " (graph updated)"
            r["extra"].update(update_share_pct=share, graph_build_ms=build)
    return rows


def parse_engine_open_growth(out, _):
    rows = []
    for line in out.splitlines():
        p = parse_line(line)
        if p is not None and p["label"]:
            label = re.sub(r"\d{4,}", lambda m: f"{int(m.group()):,}", p["label"])
            rows.append(row("Open and refresh", f"{label} (+2%, graph updated)",
                            p["median"], p["p99"], p["cmp"], p["cmp_median"], ratio=p["ratio"]))
            continue
        m = re.match(r"\s+graph update [\d.]+ ms \(([\d.]+)% of the open\), ([\d.]+) us per new "
                     r"pack per 1,000 stored packs", line)
        if m and rows:
            rows[-1]["extra"].update(update_share_pct=float(m.group(1)),
                                     us_per_new_pack_per_1k=float(m.group(2)))
    return rows


def parse_open_refresh(out, _):
    packs = count_after(r"refresh of (\d+) packs", out)
    return shape_rows("Open and refresh", out, f"{packs} packs (Python), ",
                      {"floor": "read of every file byte"})


def gbench(json_path):
    with open(json_path) as f:
        return {b["run_name"]: b for b in json.load(f)["benchmarks"]
                if b.get("run_type") == "iteration"}


def gb_time_us(b):
    return b["real_time"] * {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]


def floor_ratio_row(area, label, b, cmp):
    return row(area, label, b["work_us"], cmp=cmp, cmp_val=b["floor_us"], ratio=b["ratio"],
               ratio_p10=b["ratio_p10"], ratio_p90=b["ratio_p90"])


def parse_slb(_, js):
    b = gbench(js)
    return [floor_ratio_row("SLB", "query of 4,096 int8 keys x 128, k=10 (warm caches)",
                            b["BM_SlbQueryVsFloor/iterations:1"], "one read of the 512 KiB codes")]


def parse_flat(_, js):
    b = gbench(js)
    return [
        floor_ratio_row("Flat search", "search of 100,000 keys x 128, k=10",
                        b["BM_FlatSearchVsFloor/iterations:1"], "one read of the 51 MB of keys"),
        floor_ratio_row("Flat search", "search of 100,000 keys x 128, k=10",
                        b["BM_FlatSearchVsPrefetchingFloor/iterations:1"],
                        "one prefetching read of the 51 MB"),
    ]


def parse_vamana(_, js):
    b = gbench(js)
    rows = [row("Vamana build and recall", "build over 10,000 keys x 128 (Google Benchmark)",
                gb_time_us(b["BM_VamanaBuild/iterations:3"]))]
    for arg, data in (("0", "clustered"), ("1", "Gaussian")):
        s = b[f"BM_VamanaSearchRecall/{arg}"]
        rows.append(row("Vamana build and recall", f"search k=10, {data} (Google Benchmark)",
                        gb_time_us(s), recall_at_10=s["recall_at_10"]))
    return rows


def parse_vamana_compare(out, _):
    rows = shape_rows("Vamana build and recall", out)
    for name, ours, theirs in re.findall(
            r"recall@10, (\w+): ours ([\d.]+)(?:, hnswlib ([\d.]+))?", out):
        rows.append(row("Vamana build and recall", f"recall@10, {name}", float(ours),
                        cmp="hnswlib" if theirs else None,
                        cmp_val=float(theirs) if theirs else None, unit="value"))
    return rows


def parse_per_token(out, _):
    ours = number_after(r"per-token search.*?median ([\d.]+) ms", out)
    numpy_ms = number_after(r"NumPy brute force: median ([\d.]+) ms", out)
    same = re.search(r"identical: (\d+)/(\d+) queries; mean overlap ([\d.]+)", out)
    rows = [row("Per-token search", "search of 10,000 entries x 32 tokens x 128, k=10",
                ours * 1e3, cmp="NumPy brute force", cmp_val=numpy_ms * 1e3,
                top10_overlap=float(same.group(3)) if same else None)]
    for name, ms in re.findall(r"BM_(\w+)/128: median ([\d.]+) ms", out):
        rows.append(row("Per-token search", f"{name} (width 128)", float(ms) * 1e3))
    return rows


def parse_python_pack(out, _):
    # Its targets: reads >= 5x faster than the fastest comparison, writes without text within
    # 1.2x of the fastest comparison's.
    rows = []
    reads = dict((m[0], (float(m[1]), float(m[2]), float(m[3]))) for m in re.findall(
        r"^\s+(engine|\S+\+sqlite)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", out, re.M))
    packs = count_after(r"over (\d+) packs", out)
    fastest = min((s for s in reads if s != "engine"), key=lambda s: reads[s][0])
    e = reads["engine"]
    for side, (med, p99, rec) in reads.items():
        if side != "engine":
            rows.append(row("Pack reads end to end", f"mem_read_pack k=10, {packs} packs (Python)",
                            e[0], e[1], side, med, p99, recall_ours=e[2], recall_cmp=rec,
                            target="<= 0.2" if side == fastest else None))
    writes = {(m[0], m[1] == "True"): (float(m[2]), float(m[3])) for m in re.findall(
        r"^\s+(engine|\S+\+sqlite)\s+(True|False)\s+([\d.]+)\s+([\d.]+)$", out, re.M)}
    fastest = min((s for s, text in writes if s != "engine" and not text),
                  key=lambda s: writes[(s, False)][0])
    for (side, text), (med, p99) in writes.items():
        if side == "engine":
            continue
        ours = writes[("engine", text)]
        rows.append(row("Durable writes",
                        f"mem_write_pack (Python), {'with' if text else 'without'} text",
                        ours[0], ours[1], side, med, p99,
                        target="<= 1.2" if side == fastest and not text else None))
    return rows


def parse_python_call(out, _):
    ns = {m[0]: float(m[1]) for m in re.findall(r"^\s+(.+?)\s+([\d.]+) ns", out, re.M)}
    base = "d.get(k, None)"
    rows = []
    for stmt, against in (("e.cell_count()", base), ("e.status()", base),
                          ("e.status()", "dict(zip(names, values))")):
        if stmt in ns and against in ns:
            rows.append(row("Python call overhead", stmt, ns[stmt] / 1e3, cmp=against,
                            cmp_val=ns[against] / 1e3))
    return rows


def parse_retrieval_compare(out, _):
    """Its rows go to the area its last heading names (SLB, flat search, Vamana); a line
    "<comparison> p99 X us" completes the row before it."""
    headings = {"slb": "SLB", "flat search": "Flat search", "vamana": "Vamana build and recall"}
    rows, area = [], RETRIEVAL_COMPARE
    for line in out.splitlines():
        area = next((a for word, a in headings.items() if line.strip().lower().startswith(word)),
                    area)
        if re.search(r"\brecall [\d.]+ \|", line):
            continue  # vamana_bench's own recall run, which the Vamana table already shows
        m = re.match(r"\s+(.+?) p99\s+([\d.]+) us\s*$", line)
        if m and rows and rows[-1]["cmp"] == m.group(1):
            rows[-1]["cmp_p99"] = float(m.group(2))
            continue
        rows += shape_rows(area, line)
    return rows


# --- The benchmarks: name, command (with {build}, {json}, {logs}), parser; None when absent.

def benches(build, quick):
    b = os.path.join(build, "bench")
    scale = "0.2" if quick else "1"
    specs = [
        ("storage_bench", [f"{b}/storage_bench"], parse_storage),
        ("engine_write", [f"{b}/engine_bench", "write"], parse_engine_write),
        ("engine_batch", [f"{b}/engine_bench", "batch"], parse_engine_batch),
        ("engine_read", [f"{b}/engine_bench", "read", scale], parse_engine_read),
        ("engine_open", [f"{b}/engine_bench", "open", scale], parse_engine_open),
        ("engine_open_growth", [f"{b}/engine_bench", "open_growth", scale],
         parse_engine_open_growth),
        ("open_refresh", [PY, f"{BENCH_DIR}/open_refresh_bench.py"]
         + (["--packs", "5000", "--rounds", "3"] if quick else []), parse_open_refresh),
        ("slb_bench", [f"{b}/slb_bench", "--benchmark_filter=VsFloor"], parse_slb),
        ("flat_index_bench", [f"{b}/flat_index_bench", "--benchmark_filter=VsFloor|VsPrefetching"],
         parse_flat),
        ("vamana_bench", [f"{b}/vamana_bench"], parse_vamana),
        ("vamana_compare", [PY, f"{BENCH_DIR}/vamana_compare.py", f"{b}/vamana_file_bench"],
         parse_vamana_compare),
        ("per_token_compare", [PY, f"{BENCH_DIR}/per_token_compare.py", f"{b}/per_token_bench"],
         parse_per_token),
        ("python_pack_bench", [PY, f"{BENCH_DIR}/python_pack_bench.py"]
         + (["--packs", "2000", "--reads", "200", "--writes", "50"] if quick else []),
         parse_python_pack),
        ("python_call_bench", [PY, f"{BENCH_DIR}/python_call_bench.py"], parse_python_call),
    ]
    if os.path.exists(os.path.join(BENCH_DIR, "retrieval_compare.py")):
        specs.append(("retrieval_compare", [PY, f"{BENCH_DIR}/retrieval_compare.py", b],
                      parse_retrieval_compare))
    return specs


GBENCH = ("slb_bench", "flat_index_bench", "vamana_bench")
# Benchmarks that run in the first pass only (each builds graphs of up to 100,000 packs).
FIRST_PASS_ONLY = ("engine_open_growth",)
BENCH_TIMEOUT = 300  # seconds; a benchmark that takes longer is stopped and reported as failed


def run_one(name, cmd, parser, logs, pass_no, env, from_logs):
    log = os.path.join(logs, f"{name}.{pass_no}.txt")
    js = os.path.join(logs, f"{name}.{pass_no}.json")
    if name in GBENCH:  # Google Benchmark programs also write their results as JSON
        cmd = cmd + [f"--benchmark_out={js}", "--benchmark_out_format=json"]
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
        rows = parser(stdout, js)
    except Exception as exc:  # a changed output: report it, keep the other benchmarks
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


INTRO = """\
Generated by `make bench` ({script}). Every figure is the median over the benchmark's runs
(column *runs*); every ratio is ours ÷ the comparison, taken within one run and then the median
over runs (its range over runs in brackets). Below 1 means we are faster (or, for recall, lower).
Times are wall-clock latencies of one operation; *p99* is the 99th percentile within a run.
The machine was shared with other work while these figures were taken, so they are noisy:
compare the ratios, which both sides of a run share, more than the absolute times.
"""

AREA_NOTES = {
    "Durable writes": "Every write is on stable storage when the call returns. The floor is a "
    "raw `write` + `fsync` of the same bytes to a file on the same file system; the Python rows "
    "compare against a flat index plus SQLite (WAL, `synchronous=FULL`, one transaction per "
    "pack).",
    "Batch writes": "256 packs with texts in one call, and a write-buffer drain of 256, against "
    "two raw write + fsync pairs of the same total bytes.",
    "SLB": "Against the time to read the same number of bytes once (alternating rounds, warm "
    "caches), and against FAISS's 8-bit IndexScalarQuantizer on the same keys "
    "(`retrieval_compare.py`).",
    "Flat search": "Against the time to read the index's keys once from memory (the keys do not "
    "fit the last-level cache), and against FAISS IndexFlatIP on the same keys "
    "(`retrieval_compare.py`).",
    "Vamana build and recall": "The build against FAISS exact 16-NN over BLAS on the same keys "
    "(`retrieval_compare.py`); build, search and recall against hnswlib (`vamana_compare.py`). "
    "hnswlib on the same keys: inner-product space, M = 8 (16 links "
    "at level 0, our out-degree), ef = our search list of 32, one thread (our build is "
    "single-threaded). hnswlib's search times include one Python call each. Recall is against "
    "the exact top 10 by inner product.",
    "Per-token search": "Against a NumPy brute-force scorer over every token (one matrix product "
    "per query, mean of the 5 best token similarities). The overlap counts how many of our top "
    "10 the exact scorer also ranks in its top 10.",
    "Pack reads end to end": "From Python, `mem_read_pack` returns the ten best packs with their "
    "layers as float32 arrays and their texts; the comparison searches a flat index (FAISS "
    "IndexFlatIP, or NumPy) and fetches the same from SQLite.",
    "Open and refresh": "Opening an unchanged store, and refreshing an open engine (unchanged, "
    "and after another engine on the same directory added 100 packs), against reading all the "
    "store's bytes once. The open after more packs updates the saved graph; it is set against "
    "the unchanged reopen of the same store in the same round, and the update's share is the "
    "time beyond that reopen. The +2% rows run once, in the first pass; the update scores each "
    "new pack against every stored one, so its cost per new pack grows with the store. The C++ "
    "rows come from `engine_bench open` and `engine_bench open_growth`, the Python rows from "
    "`open_refresh_bench.py`.",
    "Python call overhead": "Nanoseconds per call in a `timeit` loop against `dict.get`, and "
    "`status()` against building the same dict in Python.",
}


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


def write_report(path, agg, scaling, meta, retrieval_out):
    parts = ["# Benchmark report", "", INTRO.format(script="bench/run_all.py"),
             f"- Commit: `{meta['commit']}`, {meta['date']}",
             f"- Machine: {meta['machine']}; load average {meta['load_start']} at the start, "
             f"{meta['load_end']} at the end",
             f"- Passes: {meta['passes']} in {meta['bench_seconds'] / 60:.1f} min of benchmarks "
             f"({meta['total_seconds'] / 60:.1f} min for the whole `make bench`)",
             "", "Reproduce: `make bench` (installs the comparisons with "
             "`scripts/setup.sh --bench`, configures `build/` with `-DQM_BUILD_BENCH=ON`, builds "
             "and runs `bench/run_all.py`; raw outputs land in `build/bench-logs/`). "
             "`make bench BENCH_ARGS=--quick` is a smaller, faster run.", "",
             "## Summary", "", *summary(agg, scaling), ""]
    for area in AREAS:
        rows = [r for r in agg if r["area"] == area]
        parts += [f"## {area}", "", AREA_NOTES.get(area, ""), ""]
        parts += [table(rows) if rows else "_No figures: the benchmark failed or is missing._", ""]
        if area == "Pack reads end to end" and scaling:
            read_table, _ = scaling_tables(scaling)
            parts += ["### Read latency against store size", "",
                      "![read latency against store size](read_vs_store_size.png)", "",
                      "One run (`bench/scaling_bench.py`); each point is the median of its "
                      "queries, ours and the comparison taking turns on the same queries.", "",
                      read_table, ""]
        if area == "Batch writes" and scaling:
            _, write_table = scaling_tables(scaling)
            parts += ["### Durable write latency against batch size", "",
                      "![durable write latency against batch size](write_vs_batch_size.png)", "",
                      "From `bench/scaling_bench.py`, once per pass: each figure is the median "
                      "over the passes of the median of a run's rounds, each ratio the median of "
                      "the per-run ratios. Ours, SQLite and the floor take turns in every round, "
                      "and the batch sizes take turns round by round.", "", write_table, ""]
    parts += [f"## {RETRIEVAL_COMPARE}", ""]
    rows = [r for r in agg if r["area"] == RETRIEVAL_COMPARE]
    if retrieval_out is None:
        parts += ["_bench/retrieval_compare.py is not in this tree yet._", ""]
    else:
        parts += ["From `bench/retrieval_compare.py` (one thread on both sides; FAISS's query "
                  "times include one Python call each). Its rows appear in the SLB, Flat search "
                  "and Vamana tables above; rows it printed under no known heading follow.", ""]
        if rows:
            parts += [table(rows), ""]
        parts += ["Its output in the last run:", "", "```", retrieval_out.rstrip(), "```", ""]
    if meta["failures"]:
        parts += ["## Failures", ""]
        parts += [f"- {name}: see `{os.path.relpath(log, ROOT)}`"
                  for name, log in meta["failures"]] + [""]
    parts += ["## Time per benchmark (one run)", "",
              "| benchmark | seconds (median over runs) |", "|---|---:|"]
    parts += [f"| {name} | {statistics.median(s):.1f} |" for name, s in meta["seconds"].items()]
    with open(path, "w") as f:
        f.write("\n".join(parts).rstrip() + "\n")


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
        for name, cmd, parser in specs:
            if passes > 0 and name in FIRST_PASS_ONLY:
                continue
            rows, seconds, out = run_one(name, cmd, parser, logs, passes + 1, env,
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
