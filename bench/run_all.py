"""Runs every benchmark in one go, prints one table of the ratios against
their targets and, where a figure has one, of the figure as a fraction of
its limit (what bounds it on this machine, measured in the same run: see
each script's docstring), and writes the table as Markdown to
bench/RESULTS.md and into the README's benchmark section.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/run_all.py [--quick]
(--quick runs only the decision and container benchmarks)."""
from __future__ import annotations

import datetime
import os
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
SCRIPTS = ["bench_decisions.py", "bench_container.py", "bench_identity.py", "bench_files.py"]
# A result line names a target ("target 3x", "target >= 0.85x", ...).
TARGET = re.compile(r"target", re.IGNORECASE)


def run(script: str) -> list[str]:
    print(f"\n=== {script}", flush=True)
    proc = subprocess.Popen([sys.executable, str(HERE / script)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, env=os.environ.copy())
    lines = []
    assert proc.stdout is not None
    for line in proc.stdout:
        print(line, end="", flush=True)
        lines.append(line.rstrip("\n"))
    if proc.wait() != 0:
        lines.append(f"(exited with status {proc.returncode})")
    return lines


def decision_rows(lines: list[str]) -> list[str]:
    rows = []
    for line in lines:
        parts = line.split()
        if len(parts) != 5 or not (parts[2].endswith("x") and parts[3].endswith("x")):
            continue
        if parts[0] == "anonymization_status_rules":
            rows.append(f"| decisions: `{parts[0]}` | {parts[2]} as fast as copying a prebuilt "
                        f"table in Python; {parts[3]} the C-builtin floor (a listing of new "
                        f"objects, not a decision: no target, and the floor is no limit) |")
        else:
            rows.append(f"| decisions: `{parts[0]}` | {parts[2]} faster than pure Python "
                        f"(target ≥ 2x); {parts[3]} the C-builtin floor (target ≤ 2x); "
                        f"{parts[4]} of its limit (that floor: `str.lower`, a C call "
                        f"returning a new short str) |")
    return rows


def main() -> int:
    quick = "--quick" in sys.argv
    scripts = SCRIPTS[:2] if quick else SCRIPTS
    load_at_start = os.getloadavg()[0]
    table = ["| benchmark | result |", "|---|---|"]
    for script in scripts:
        lines = run(script)
        if script == "bench_decisions.py":
            table += decision_rows(lines)
            continue
        for line in lines:
            if TARGET.search(line):
                table.append(f"| {script[6:-3]} | {line.strip().replace('|', '/')} |")
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    intro = (f"Measured {stamp} in one run (`bench/run_all.py`). \"Of its limit\" is the time "
             "of what bounds the figure on this machine (measured in the same run) over the "
             "figure's time: near 1, the figure is at the machine's limit. Load average "
             f"{load_at_start:.2f} at the start and {os.getloadavg()[0]:.2f} at the end, on "
             f"{os.cpu_count()} CPUs: a figure that needs both cores is only meaningful near 0.")
    markdown = "\n".join([intro, ""] + table) + "\n"
    print("\n" + markdown)
    (HERE / "RESULTS.md").write_text(markdown)
    readme = ROOT / "README.md"
    text = readme.read_text()
    start, end = "<!-- bench:start -->", "<!-- bench:end -->"
    if start in text and end in text:
        head, rest = text.split(start, 1)
        _, tail = rest.split(end, 1)
        readme.write_text(head + start + "\n" + markdown + end + tail)
    return 0


if __name__ == "__main__":
    sys.exit(main())
