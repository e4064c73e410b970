"""Draws the benchmark's ratios into a PNG.

Left: peer / mesh per workload against both peers (higher is better), with the
lowest ratio allowed. Right: mesh / floor per workload (lower is better), with
the targets where a workload has one. Both on log scales.

run.py calls draw() after a run; on its own this draws saved runs, one row
each (scripts/bench draws every interpreter's latest full run this way), or
prints them side by side as the README's Markdown table. --scaling draws the
calls per second against threads, one panel per workload, of each
free-threaded run beside the run of its version with the interpreter lock
(else of the newest run; several runs on one interpreter give the median of
each figure), and --scaling-table prints those as a table:
    python bench/chart.py RESULTS.json [RESULTS.json ...] OUT.png
    python bench/chart.py --table RESULTS.json [RESULTS.json ...]
    python bench/chart.py --scaling RESULTS.json [RESULTS.json ...] OUT.png
    python bench/chart.py --scaling-table RESULTS.json [RESULTS.json ...]
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


def _interpreter(report):
    """The version, with a t for a free-threaded build, and whether its
    interpreter lock was on."""
    name = report.get("python", "?") + ("t" if report.get("free_threaded") else "")
    if report.get("free_threaded") and report.get("gil_enabled"):
        name += " (interpreter lock on)"
    return name


SHARING = {"own": ("-", "own bound method"), "global": (":", "mesh through a global name")}
CONTENDERS = {"mesh": "mesh", "peer": "plain peer", "orjson_peer": "orjson peer"}


def _median_of(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def _merged(runs):
    """One report of several runs on one interpreter: the median of each
    figure."""
    scaling = [r["scaling"] for r in runs]
    first = scaling[0]
    workloads = {
        name: {mode: {who: {t: _median_of(s["workloads"][name][mode][who][t] for s in scaling)
                            for t in rates}
                      for who, rates in by_who.items()}
               for mode, by_who in modes.items()}
        for name, modes in first["workloads"].items()}
    floor = {name: {t: _median_of(s["floor"][name][t] for s in scaling) for t in rates}
             for name, rates in first.get("floor", {}).items()}
    loads = [x for s in scaling for x in s.get("load_average") or [] if x is not None]
    merged = dict(first, runs=len(runs),
                  workloads=workloads, floor=floor,
                  load_average=[min(loads), max(loads)] if loads else None)
    return dict(runs[-1], scaling=merged)


def _runs_text(scaling):
    text = f"{scaling['rounds']} runs"
    return text if scaling.get("runs", 1) == 1 else f"{text}, then of {scaling['runs']} such sets"


def scaling_runs(reports):
    """The runs a scaling chart compares: each free-threaded run beside the
    run of the same version with the interpreter lock, or else the newest.
    Several runs on one interpreter count as one, the median of each figure."""
    groups = {}
    for report in reports:
        if report.get("scaling"):
            groups.setdefault(_interpreter(report), []).append(report)
    reports = [_merged(runs) for runs in groups.values()]
    free = [r for r in reports if r.get("free_threaded")]
    if not free:
        return reports[-1:]
    versions = {r["python"].rsplit(".", 1)[0] for r in free}
    return [r for r in reports if r.get("free_threaded") or r["python"].rsplit(".", 1)[0] in versions]


def draw_scaling(reports, path):
    """Calls per second against threads: a panel per workload, a color per
    interpreter and contender, a line style per way of sharing the mesh."""
    reports = scaling_runs(reports)
    names = list(dict.fromkeys(n for r in reports for n in r["scaling"]["workloads"]))
    columns = min(3, len(names))
    rows = math.ceil(len(names) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(5.2 * columns, 4.2 * rows), squeeze=False,
                                layout="constrained")
    colors = iter(plt.rcParams["axes.prop_cycle"].by_key()["color"] * 4)
    color_of = {}
    for axis, name in zip(axes.flat, names):
        for report in reports:
            scaling = report["scaling"]
            threads = scaling["threads"]
            for mode, by_who in scaling["workloads"].get(name, {}).items():
                style, mode_label = SHARING[mode]
                for who, rates in by_who.items():
                    key = (_interpreter(report), who)
                    if key not in color_of:
                        color_of[key] = next(colors)
                    axis.plot(threads, [rates[str(t)] / 1e6 for t in threads], style, marker="o",
                              color=color_of[key],
                              label=f"{key[0]} {CONTENDERS.get(who, who)}, {mode_label}")
            floor = scaling.get("floor", {}).get(name)
            if floor and report.get("free_threaded"):
                axis.plot(threads, [floor[str(t)] / 1e6 for t in threads], "--", color="grey",
                          linewidth=1, label=f"{_interpreter(report)} floor: dict.get, nothing shared")
        axis.set_title(name, fontsize=10)
        axis.set_xlabel("threads")
        axis.set_ylabel("million calls per second (all threads)")
        axis.set_yscale("log")
        axis.set_xticks(sorted({t for r in reports for t in r["scaling"]["threads"]}))
        axis.grid(which="both", alpha=0.3)
    for axis in list(axes.flat)[len(names):]:
        axis.axis("off")
    handles, labels = axes.flat[0].get_legend_handles_labels()
    spare = list(axes.flat)[len(names):]
    if spare:
        spare[0].legend(handles, labels, loc="center", fontsize=8)
    else:
        figure.legend(handles, labels, loc="outside lower center", ncol=2, fontsize=8)
    cpus = {r["scaling"]["cpus"] for r in reports}
    figure.suptitle(f"Calls per second against threads, {'/'.join(map(str, sorted(cpus)))} CPUs, "
                    f"median of {_runs_text(reports[0]['scaling'])} (Python "
                    f"{', '.join(_interpreter(r) for r in reports)})", fontsize=11)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def scaling_table(reports):
    """Markdown: per workload and way of sharing, each run's mesh calls per
    second with one thread and with one per core, the ratio, and the mesh
    against each peer with one thread per core."""
    reports = scaling_runs(reports)
    head = ["workload", "sharing"]
    for report in reports:
        name, cpus = _interpreter(report), report["scaling"]["cpus"]
        head += [f"{name} mesh 1 thread, M/s", f"{name} mesh {cpus} threads, M/s",
                 f"{name} {cpus} threads / 1"]
        peers = next(iter(next(iter(report["scaling"]["workloads"].values())).values()))
        head += [f"{name} mesh / {CONTENDERS.get(who, who)}, {cpus} threads" for who in peers
                 if who != "mesh"]
        head += [f"{name} floor {cpus} threads / 1"]
    lines = ["| " + " | ".join(head) + " |", "|---|---" + "|---:" * (len(head) - 2) + "|"]
    names = list(dict.fromkeys(n for r in reports for n in r["scaling"]["workloads"]))
    for name in names:
        for mode in SHARING:
            cells = [f"`{name}`", mode]
            for report in reports:
                scaling = report["scaling"]
                every = str(scaling["cpus"])
                by_who = scaling["workloads"].get(name, {}).get(mode, {})
                mesh = by_who.get("mesh", {})
                one, all_ = mesh.get("1"), mesh.get(every)
                cells += ["-" if one is None else f"{one / 1e6:.2f}",
                          "-" if all_ is None else f"{all_ / 1e6:.2f}",
                          _ratio_text(all_ / one if one and all_ else None)]
                cells += [_ratio_text(all_ / rates[every] if all_ and rates.get(every) else None)
                          for who, rates in by_who.items() if who != "mesh"]
                floor = scaling.get("floor", {}).get(name) if mode == "own" else None
                cells.append(_ratio_text(floor[every] / floor["1"]) if floor else "")
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
        sys.exit("usage: python bench/chart.py [--table | --scaling | --scaling-table] "
                 "RESULTS.json [RESULTS.json ...] [OUT.png]")
    if sys.argv[1] == "--table":
        print(table(_load(sys.argv[2:])))
    elif sys.argv[1] == "--scaling-table":
        print(scaling_table(_load(sys.argv[2:])))
    elif sys.argv[1] == "--scaling":
        draw_scaling(_load(sys.argv[2:-1]), sys.argv[-1])
    else:
        draw(_load(sys.argv[1:-1]), sys.argv[-1])
