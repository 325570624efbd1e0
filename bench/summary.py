#!/usr/bin/env python3
"""The table `make bench` ends with: every figure the benchmarks of one run
wrote (bench/figures.h, bench/line.sh, bench/callgrind.sh), its goal, and
whether the run met it.

    bench/summary.py FIGURES_FILE

Each line of FIGURES_FILE: name TAB value TAB unit TAB goal, where goal is
">= X", "<= X" or "-" (reported only), and value "-" for a figure the run
could not measure (its unit then says why). A missed goal is a finding, not a
failure of the run: the exit status is 0 unless the file is unreadable or
malformed.
"""
import sys


def verdict(value, goal):
    if value == "-":
        return "not run"
    if goal == "-":
        return ""
    op, _, bound = goal.partition(" ")
    v, b = float(value), float(bound)
    met = v >= b if op == ">=" else v <= b if op == "<=" else None
    if met is None:
        raise ValueError("goal %r: want '>= X', '<= X' or '-'" % goal)
    return "met" if met else "NOT met"


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: bench/summary.py FIGURES_FILE")
    rows = []
    try:
        with open(sys.argv[1]) as f:
            for number, line in enumerate(f, 1):
                line = line.rstrip("\n")
                if not line:
                    continue
                fields = line.split("\t")
                if len(fields) != 4:
                    sys.exit("bench/summary.py: %s:%d: want 4 fields separated by tabs, got %r"
                             % (sys.argv[1], number, line))
                name, value, unit, goal = fields
                try:
                    rows.append((name, value, unit, goal, verdict(value, goal)))
                except ValueError as e:
                    sys.exit("bench/summary.py: %s:%d: %s" % (sys.argv[1], number, e))
    except OSError as e:
        sys.exit("bench/summary.py: %s" % e)
    if not rows:
        print("bench: no figures were reported")
        return
    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    widths = [max(w, len(h)) for w, h in zip(widths, ("figure", "value", "unit", "goal", ""))]
    line = "%-*s  %*s  %-*s  %-*s  %s"
    print()
    print(line % (widths[0], "figure", widths[1], "value", widths[2], "unit", widths[3], "goal",
                  "verdict"))
    print("-" * (sum(widths[:4]) + 8 + 7))
    for name, value, unit, goal, v in rows:
        print(line % (widths[0], name, widths[1], value, widths[2], unit, widths[3], goal, v))
    counts = {v: sum(1 for r in rows if r[3] != "-" and r[4] == v) for v in ("met", "NOT met", "not run")}
    print("goals: %d met, %d not met, %d not run" % (counts["met"], counts["NOT met"], counts["not run"]))

if __name__ == "__main__":
    main()
