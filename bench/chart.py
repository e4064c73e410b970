"""Draws the benchmark's ratios into a PNG.

Left: peer / mesh per workload against both peers (higher is better), with the
lowest ratio allowed. Right: mesh / floor per workload (lower is better), with
the targets where a workload has one. Both on log scales.

run.py calls draw() after a run; on its own this draws saved runs, one row
each (scripts/bench draws every interpreter's latest full run this way), or
prints them side by side as the README's Markdown table:
    python bench/chart.py RESULTS.json [RESULTS.json ...] OUT.png
    python bench/chart.py --table RESULTS.json [RESULTS.json ...]
"""

import json
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PEERS = (("peer", "plain peer (json module)", "tab:blue"),
         ("orjson_peer", "orjson peer", "tab:orange"))
LOWEST_SPEEDUP = 3


def _label_bars(axis, bars, values, after=None):
    """Writes each value to the right of its bar, and of the marker in after."""
    for index, (bar, value) in enumerate(zip(bars, values)):
        if not math.isnan(value):
            text = f"{value:.3g}" if value < 1000 else f"{value:,.0f}"
            right = max(value, (after or {}).get(index, 0))
            axis.annotate(text, (right, bar.get_y() + bar.get_height() / 2),
                          xytext=(3, 0), textcoords="offset points", va="center", fontsize=7)


def _draw_run(report, speed, floor):
    workloads = report["workloads"]
    names = list(workloads)
    rows = range(len(names))
    height = 0.4
    for index, (who, label, color) in enumerate(PEERS):
        values = [workloads[n].get(f"{who}_per_mesh") or math.nan for n in names]
        if all(math.isnan(v) for v in values):
            continue
        mean = (report.get("geometric_means") or {}).get(who)
        if mean:
            label += f": geometric mean {mean:.1f}"
        offset = (index - 0.5) * height
        bars = speed.barh([r + offset for r in rows], values, height=height, color=color, label=label)
        _label_bars(speed, bars, values)
    speed.axvline(LOWEST_SPEEDUP, color="tab:red", linestyle="--", linewidth=1,
                  label=f"{LOWEST_SPEEDUP}x: lowest allowed")
    speed.axvline(1, color="grey", linewidth=0.8)
    speed.set_xscale("log")
    speed.set_xlabel("peer time / mesh time (higher is better)")
    speed.legend(loc="lower left", bbox_to_anchor=(0, 1.01), ncol=2, fontsize=8)

    targets = report.get("floor_targets") or {}
    values = [workloads[n].get("mesh_per_floor") or math.nan for n in names]
    bars = floor.barh(list(rows), values, height=0.6, color="tab:green", label="mesh / floor")
    targeted = [(r, targets[n]) for r, n in zip(rows, names) if n in targets]
    _label_bars(floor, bars, values, dict(targeted))
    if targeted:
        floor.scatter([t for _, t in targeted], [r for r, _ in targeted], marker="|", s=250,
                      color="tab:red", zorder=3, label="target")
    floor.axvline(1, color="grey", linewidth=0.8)
    floor.set_xscale("log")
    floor.set_xlabel("mesh time / empty C call with as many arguments (lower is better)")
    floor.legend(loc="lower left", bbox_to_anchor=(0, 1.01), ncol=2, fontsize=8)

    speed.set_yticks(list(rows), names)
    speed.invert_yaxis()
    for axis in (speed, floor):
        axis.grid(axis="x", which="major", alpha=0.3)
        low, high = axis.get_xlim()
        axis.set_xlim(min(low, 0.5), high * 4)
    kind = "quick run" if report.get("quick") else "full run"
    speed.set_title(f"{report.get('mesh')}, Python {report.get('python')} on {report.get('machine')}, "
                    f"{report.get('cpus')} CPUs, {kind} {report.get('date', '')}", loc="left",
                    pad=40, fontsize=10)


def draw(reports, path):
    """One row of both panels per run, e.g. one per interpreter."""
    rows = max(len(r["workloads"]) for r in reports)
    figure, axes = plt.subplots(len(reports), 2, figsize=(14, len(reports) * (3.2 + 0.42 * rows)),
                                squeeze=False, layout="constrained")
    for report, (speed, floor) in zip(reports, axes):
        floor.sharey(speed)
        _draw_run(report, speed, floor)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def _ratio_text(value):
    return "-" if value is None else f"{value:,.2f}"


def table(reports):
    """Markdown: per workload, each run's mesh ns, mesh / floor and both
    peer / mesh ratios, then the geometric means."""
    head = ["workload"]
    for report in reports:
        python = report.get("python", "?")
        head += [f"{python} mesh ns", f"{python} mesh / floor", f"{python} plain peer / mesh",
                 f"{python} orjson peer / mesh"]
    lines = ["| " + " | ".join(head) + " |", "|---" + "|---:" * (len(head) - 1) + "|"]
    names = list(dict.fromkeys(n for report in reports for n in report["workloads"]))
    for name in names:
        cells = [f"`{name}`"]
        for report in reports:
            entry = report["workloads"].get(name, {})
            mesh = entry.get("mesh_ns")
            cells += ["-" if mesh is None else f"{mesh:,.1f}", _ratio_text(entry.get("mesh_per_floor")),
                      _ratio_text(entry.get("peer_per_mesh")), _ratio_text(entry.get("orjson_peer_per_mesh"))]
        lines.append("| " + " | ".join(cells) + " |")
    cells = ["geometric mean"]
    for report in reports:
        means = report.get("geometric_means") or {}
        cells += ["", "", _ratio_text(means.get("peer")), _ratio_text(means.get("orjson_peer"))]
    lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def _load(names):
    runs = []
    for name in names:
        with open(name, encoding="utf-8") as results:
            runs.append(json.load(results))
    return runs


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: python bench/chart.py [--table] RESULTS.json [RESULTS.json ...] [OUT.png]")
    if sys.argv[1] == "--table":
        print(table(_load(sys.argv[2:])))
    else:
        draw(_load(sys.argv[1:-1]), sys.argv[-1])
