#!/usr/bin/env python3
"""Checks a report of zr48sim as a reader of SVG sees it: a well-formed XML
document (Python's own parser), an SVG root, a panel per adapter with both
throughput lines, and the events a person looks for marked on the time axis.

    check_report.py REPORT.svg
"""
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"


def main(path):
    root = ET.parse(path).getroot()  # raises on anything not well-formed
    problems = []
    if root.tag != SVG + "svg":
        problems.append(f"the root is {root.tag}, not svg")
    panels = [g for g in root.iter(SVG + "g") if g.get("id", "").startswith("adapter-")]
    if len(panels) < 2:
        problems.append(f"{len(panels)} adapter panels, expected one per adapter (2)")
    for panel in panels:
        lines = {p.get("class") for p in panel.iter(SVG + "polyline") if p.get("points")}
        if lines != {"tx", "rx"}:
            problems.append(f"{panel.get('id')}: throughput lines {sorted(lines)}")
        labels = " ".join(t.text or "" for t in panel.iter(SVG + "text"))
        for event in ("line cut", "line restored", "link down", "link up", "training"):
            if event not in labels:
                problems.append(f"{panel.get('id')}: no '{event}' on the time axis")
        tooltips = [t.text or "" for t in panel.iter(SVG + "title")]
        if not any("link up" in t for t in tooltips):
            problems.append(f"{panel.get('id')}: no event tooltips")
    for p in problems:
        print(f"check_report: {path}: {p}", file=sys.stderr)
    print(f"check_report: {path}: {'well-formed, ' if not problems else ''}"
          f"{len(panels)} panels, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
