"""The report: a row of figures for each command of each case and state,
with its targets and whether they are met; the table per state, with the
machine and the notes; and the CSV."""

import csv
import statistics

from .rounds import pairwise
from .states import STATES


def rows_of(state, case):
    return [row_of(state, case, c) for c in (case.ours, *case.peers)]


def row_of(state, case, c):
    large = None if None in c.large else statistics.median(c.large)
    row = {
        "state": state, "case": case.name, "command": c.label, "runs": len(c.times),
        "median_s": statistics.median(c.times), "min_s": min(c.times), "max_s": max(c.times),
        "cpu_s": statistics.median(c.cpu), "peak_rss_mib": max(c.rss_kib) / 1024,
        "disk_read_kib": max(c.disk_kib),
        "input_cached_pct": 100 * (min if STATES[state].cached else max)(c.cached),
        "beyond_map_mib": None if c.beyond_kib is None else c.beyond_kib[0] / 1024,
        "anon_mib": None if c.beyond_kib is None else c.beyond_kib[1] / 1024,
        "input_large_folio_pct": None if large is None else 100 * large,
        "ratio_of": "", "ratio": None, "target": "", "met": "",
    }
    if c is not case.ours:
        row["ratio_of"] = f"{case.ours.label} / {c.label}"
        row["ratio"] = pairwise(case.ours, c)
    targets = targets_of(state, case, c, row)
    row["target"] = "; ".join(text for text, _ in targets)
    row["met"] = "; ".join("yes" if met else "NO" for _, met in targets)
    return row


def targets_of(state, case, c, row):
    """(target, whether met) of a row: ours, its median time and peak
    memory; a peer, our ratio to it."""
    targets = []
    if c is case.ours and case.time_target_s is not None:
        targets.append((f"median <= {case.time_target_s} s",
                        row["median_s"] <= case.time_target_s))
    if c is case.ours and case.rss_target_mib is not None:
        targets.append((f"peak RSS <= {case.rss_target_mib} MiB (every run)",
                        row["peak_rss_mib"] <= case.rss_target_mib))
    if c is not case.ours:
        target = case.targets.get(c.label)
        if isinstance(target, dict):
            target = target.get(state)
        if target is not None:
            limit, over = target
            judged = row["ratio"]["median" if over == "median" else "max"]
            targets.append((f"<= {limit} ({over})", judged <= limit))
    return targets


def mib(value):
    return "" if value is None else f"{value:.1f} MiB"


def print_table(rows, runs, machine, notes):
    print(f"\nvaultcat benchmark: {runs} timed runs of each command; times in seconds")
    for key in ("kernel", "filesystem", "cpu", "build", "commit"):
        print(f"  {key + ':':<12}{machine[key]}")
    for note in notes:
        print(f"  {note}")
    for state in dict.fromkeys(r["state"] for r in rows):
        these = [r for r in rows if r["state"] == state]
        print(f"\npage cache {state}: {STATES[state].description}\n")
        print_figures(these)
        print_disk_reads(state, these)
        print_ratios(these)


def print_figures(rows):
    head = (f"{'case':<30} {'command':<24} {'median':>7} {'min':>7} {'max':>7} {'cpu':>6} "
            f"{'peak RSS':>11} {'beyond map':>10} {'anon':>8} {'cached':>7} "
            f"{'large folios':>12} {'disk read':>10}")
    print(head)
    print("-" * len(head))
    for r in rows:
        large = r["input_large_folio_pct"]
        # Of an input with no page cached there is nothing to sample.
        large = ("-" if r["input_cached_pct"] == 0 else "?") if large is None else f"{large:.0f}%"
        print(f"{r['case']:<30} {r['command']:<24} {r['median_s']:>7.3f} {r['min_s']:>7.3f} "
              f"{r['max_s']:>7.3f} {r['cpu_s']:>6.2f} {mib(r['peak_rss_mib']):>11} "
              f"{mib(r['beyond_map_mib']):>10} {mib(r['anon_mib']):>8} "
              f"{r['input_cached_pct']:>6.2f}% {large:>12} {r['disk_read_kib']:>6} KiB")


def print_disk_reads(state, rows):
    reads = sum(1 for r in rows if r["disk_read_kib"] > 0)
    if not STATES[state].cached:
        print(f"\n{reads} of {len(rows)} commands read from disk in some run: each input was "
              "dropped before each run, so disk read is mostly the input")
    elif reads:
        print(f"\n{reads} commands read from disk in some run: pages of their input, "
              "program or file system were not in the page cache (see disk read)")


def print_ratios(rows):
    print(f"\n{'case':<30} {'median of pairwise ratios':<44} {'median':>7} {'min-max':>13} "
          f"{'IQR':>13}  target")
    for r in rows:
        if r["ratio"] is not None:
            q = r["ratio"]
            met = f"  {r['target']}: {r['met']}" if r["target"] else ""
            print(f"{r['case']:<30} {r['ratio_of']:<44} {q['median']:>7.3f} "
                  f"{q['min']:>6.3f}-{q['max']:<6.3f} {q['q1']:>6.3f}-{q['q3']:<6.3f}{met}")
        elif r["target"]:
            for target, met in zip(r["target"].split("; "), r["met"].split("; ")):
                what, figure = ((" median", f"{r['median_s']:>7.3f} s")
                                if target.startswith("median") else
                                (" peak RSS", f"{mib(r['peak_rss_mib'])} (largest)"))
                print(f"{r['case']:<30} {r['command'] + what:<44} {figure:>19}  "
                      f"{target}: {met}")


def write_csv(path, rows, machine):
    columns = ["state", "case", "command", "runs", "median_s", "min_s", "max_s", "cpu_s",
               "peak_rss_mib", "beyond_map_mib", "anon_mib", "input_cached_pct",
               "input_large_folio_pct", "disk_read_kib", "ratio_of",
               "ratio_median", "ratio_min", "ratio_q1", "ratio_q3", "ratio_max", "target", "met",
               "kernel", "filesystem", "cpu", "build", "commit"]
    number = lambda v, digits: "" if v is None else f"{v:.{digits}f}"
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(columns)
        for r in rows:
            q = r["ratio"] or {}
            out.writerow([
                r["state"], r["case"], r["command"], r["runs"], number(r["median_s"], 4),
                number(r["min_s"], 4), number(r["max_s"], 4), number(r["cpu_s"], 2),
                number(r["peak_rss_mib"], 2), number(r["beyond_map_mib"], 2),
                number(r["anon_mib"], 2), number(r["input_cached_pct"], 2),
                number(r["input_large_folio_pct"], 1), r["disk_read_kib"], r["ratio_of"],
                *(number(q.get(k), 4) for k in ("median", "min", "q1", "q3", "max")),
                r["target"], r["met"], *(machine[k] for k in columns[-5:])])
