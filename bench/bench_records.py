"""The records every benchmark writes for bench/run_all.py, and the line it prints for a reader.

A benchmark given `--json PATH` writes one JSON object there:

    {"bench": "<program>", "records": [<record>, ...]}

and each record is one measured figure:

    measure     what was measured (a short label)
    unit        "us" (times, in microseconds) or "value" (plain numbers such as recall)
    median      ours; p99 (optional) the 99th percentile within the run
    vs          the comparison's name, with vs_median and vs_p99 (all optional)
    ratio       ours / the comparison (optional: median / vs_median when left out)
    target      the bound the ratio should meet, such as "<= 1.3" (optional)
    extra       further named numbers shown as notes (optional)
    params      numbers that describe the run, such as the store size (optional)

Google Benchmark programs write Google Benchmark's own JSON instead (--benchmark_out); run_all.py
reads both. What a benchmark prints is for a reader only:

    <label>  median X us  p99 Y us | <comparison> median Z us | ratio R (target <= T)
"""

import json


def shape_line(label, median, unit="us", p99=None, cmp=None, cmp_median=None, target=None):
    """One result line; the ratio is median / cmp_median."""
    line = f"  {label:<40} median {median:10.1f} {unit}"
    if p99 is not None:
        line += f"  p99 {p99:10.1f} {unit}"
    if cmp is not None:
        line += f" | {cmp} median {cmp_median:10.1f} {unit} | ratio {median / cmp_median:.3f}"
    if target is not None:
        line += f" (target {target})"
    return line


def record(measure, median, unit="us", p99=None, vs=None, vs_median=None, vs_p99=None,
           ratio=None, target=None, extra=None, params=None):
    """One record, the optional fields left out when they are None."""
    r = {"measure": measure, "unit": unit, "median": median, "p99": p99, "vs": vs,
         "vs_median": vs_median, "vs_p99": vs_p99, "ratio": ratio, "target": target,
         "extra": extra, "params": params}
    return {k: v for k, v in r.items() if v is not None}


class Records:
    """The records of one benchmark run, written to `path` (nothing when path is None)."""

    def __init__(self, bench, path):
        self.bench, self.path, self.records = bench, path, []

    def add(self, measure, median, **fields):
        self.records.append(record(measure, median, **fields))

    def write(self):
        if self.path:
            with open(self.path, "w") as f:
                json.dump({"bench": self.bench, "records": self.records}, f, indent=1)


def read_records(path):
    """The records of a file in the format above."""
    with open(path) as f:
        return json.load(f)["records"]
