"""Runs every benchmark in one go, each script in a process of its own with
its output shown as it comes, collects the rows each one writes (`--rows`):
the ratios against their targets and, where a figure has one, the figure as
a fraction of its limit (what bounds it on this machine, measured in the
same run: see each script's docstring), and writes them as one Markdown
table to bench/RESULTS.md (DEVELOPING.md links it).

Usage: .venv/bin/nox -s bench [-- --quick], which builds into build/ first,
or PYTHONPATH=build/python /usr/bin/python3 bench/run_all.py [--quick]
(--quick runs only the decision and container benchmarks)."""
from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import tempfile

import harness

HERE = pathlib.Path(__file__).resolve().parent
SCRIPTS = ["bench_decisions.py", "bench_container.py", "bench_identity.py", "bench_read_ahead.py",
           "bench_files.py", "bench_wheel.py"]


def run(script: str, rows_path: pathlib.Path) -> list[harness.Row]:
    """The rows of one script; a script that fails adds a row saying so to
    those it wrote before it stopped."""
    print(f"\n=== {script}", flush=True)
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    status = subprocess.run([sys.executable, str(HERE / script), "--rows", str(rows_path)],
                            env=env).returncode
    rows = harness.read_rows(str(rows_path)) if rows_path.exists() else []
    if status != 0:
        rows.append(harness.Row(script[len("bench_"):-len(".py")], "(the script)",
                                f"exited with status {status}", status=harness.FAILED))
    return rows


def main() -> int:
    scripts = SCRIPTS[:2] if "--quick" in sys.argv else SCRIPTS
    load_at_start = os.getloadavg()[0]
    rows: list[harness.Row] = []
    with tempfile.TemporaryDirectory(prefix="bench_rows_") as directory:
        for script in scripts:
            rows += run(script, pathlib.Path(directory) / f"{script}.json")
    print("\n" + harness.write_results(rows, load_at_start))
    return 1 if any(row.status == harness.FAILED for row in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
