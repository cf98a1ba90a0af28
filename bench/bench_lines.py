"""The one-line result shape every benchmark prints, and its parser.

    <label>  median X us  p99 Y us | <comparison> median Z us | ratio R (target <= T)

The p99, the comparison and the target are optional; the ratio is ours / the comparison, both
measured in the same run. bench/run_all.py reads these lines back.
"""

import re

_NUM = r"[-+]?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?"
_UNIT = r"(?:ns|us|ms|s)"
SHAPE = re.compile(
    rf"^\s*(?P<label>.*?)\s*\bmedian\s+(?P<median>{_NUM})\s*(?P<unit>{_UNIT})\b"
    rf"(?:\s+p99\s+(?P<p99>{_NUM})\s*{_UNIT}\b)?"
    rf"(?:\s*\|\s*(?P<cmp>.*?)\s*\bmedian\s+(?P<cmp_median>{_NUM})\s*(?P<cmp_unit>{_UNIT})?\b)?"
    rf"(?:\s*\|\s*ratio\s+(?P<ratio>{_NUM}))?"
    rf"(?:\s*\(target\s*(?P<target>[<>]=?\s*{_NUM})\))?")

_TO_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def to_us(value, unit):
    return value * _TO_US[unit]


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


def parse_line(line):
    """The fields of a result line (times in microseconds), or None for any other line."""
    m = SHAPE.match(line)
    if not m:
        return None
    unit = m["unit"]
    out = {"label": m["label"].rstrip(": "), "median": to_us(float(m["median"]), unit),
           "p99": to_us(float(m["p99"]), unit) if m["p99"] else None,
           "cmp": m["cmp"], "cmp_median": None, "ratio": None, "target": m["target"]}
    if m["cmp_median"]:
        out["cmp_median"] = to_us(float(m["cmp_median"]), m["cmp_unit"] or unit)
    if m["ratio"]:
        out["ratio"] = float(m["ratio"])
    elif out["cmp_median"]:
        out["ratio"] = out["median"] / out["cmp_median"]
    return out
