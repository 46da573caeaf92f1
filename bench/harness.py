"""What the benchmarks share: the timers, one result row and its line, the
command line every script takes, and the Markdown of a whole run.

Timers. Every figure is the best of several rounds that take the sides
(native, pure Python, limits) in turn, so that a change of load elsewhere on
the machine hits all alike. Three ways of timing a side, on purpose:

- `best_times`: wall seconds of one call of a callable that does a fixed
  amount of work (a millisecond or more): records, copies, identities.
- `per_call`: wall seconds per call over a fixed number of calls through
  `timeit`, for calls far below a microsecond, where the loop around them
  must cost next to nothing.
- `calls_in`: as many calls as fit in a wall-time budget, with the CPU
  seconds they took, for rates per CPU second (the kernel's share counts,
  and time lost to other processes does not).

Rows. A script's measuring code returns `Row`s; `run` prints each with
`report` as soon as it is measured and, given `--rows PATH`, keeps them all
in PATH as JSON (a list of objects with the fields of `Row`), which
bench/run_all.py reads back and `write_results` turns into bench/RESULTS.md,
the one place the table is kept (DEVELOPING.md links it)."""
from __future__ import annotations

import dataclasses
import datetime
import gc
import json
import os
import pathlib
import sys
import time
import timeit
from collections.abc import Callable, Iterable, Sequence
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent

OK = "ok"
BELOW = "below target"
NO_TARGET = "no target"
RETIRED = "retired"
FAILED = "failed"


# ----------------------------------------------------------------- timers
def best_times(sides: Sequence[Callable[[], Any]], rounds: int,
               setup: Callable[[], Any] | None = None) -> list[float]:
    """Best wall time of one call of each side over `rounds` rounds, for a
    fixed amount of work of a millisecond or more a call. Before each call,
    untimed: `setup` (when given) and a full garbage collection, so that no
    earlier garbage is collected on the clock; the result is freed after the
    clock stops."""
    best = [float("inf")] * len(sides)
    for _ in range(rounds):
        for i, fn in enumerate(sides):
            if setup is not None:
                setup()
            gc.collect()
            start = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - start
            del result
            best[i] = min(best[i], elapsed)
    return best


def per_call(sides: Sequence[tuple[Callable[..., Any], tuple[Any, ...]]], number: int,
             rounds: int = 7) -> list[float]:
    """Best time per call of each (function, arguments) side, for calls far
    below a microsecond: `number` calls a round through `timeit`, whose loop
    costs next to nothing (garbage collector off while timing)."""
    timers = [timeit.Timer("f(*a)", globals={"f": fn, "a": args}) for fn, args in sides]
    best = [float("inf")] * len(sides)
    for _ in range(rounds):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def calls_in(fn: Callable[[], Any], seconds: float) -> tuple[int, float, float]:
    """Calls fn for `seconds` of wall time; returns the number of calls, the
    wall time and the CPU time (user + system) of this process, which runs
    nothing else meanwhile. For rates per CPU second (or per wall second) of
    a call whose cost is not known beforehand."""
    calls = 0
    begin = time.perf_counter()
    cpu_begin = time.process_time()
    deadline = begin + seconds
    while True:
        fn()
        calls += 1
        now = time.perf_counter()
        if now >= deadline:
            return calls, now - begin, time.process_time() - cpu_begin


# ------------------------------------------------------------------- rows
@dataclasses.dataclass
class Row:
    """One figure. `values` are the measured figures as text; `ratio` is the
    figure that has the target, `ratio_means` what it compares (as it reads
    after the number); `target` is its direction and number (">= 1.9x",
    "< 2x") or None; `status` is ok, below target, retired with the reason,
    no target, or failed (a script that did not finish); `of_limit` is the
    figure as a fraction of what bounds it on this machine, named `limit`."""
    benchmark: str
    label: str
    values: str
    ratio: float | None = None
    ratio_means: str = ""
    target: str | None = None
    status: str = NO_TARGET
    of_limit: float | None = None
    limit: str | None = None


def result(benchmark: str, label: str, values: str, ratio: float, *,
           at_least: float | None = None, under: float | None = None,
           ratio_limit: float | None = None, ratio_means: str = "",
           of_limit: float | None = None, limit: str | None = None) -> Row:
    """A row whose status follows from its ratio: against `at_least` (the
    ratio must reach it) or `under` (the ratio must stay below it). A target
    at or above `ratio_limit`, the ratio's own measured limit, is retired: no
    machine reaches it."""
    if at_least is not None:
        target = f">= {at_least:g}x"
        if ratio_limit is not None and at_least >= ratio_limit:
            status = f"{RETIRED}: at or above its measured limit {ratio_limit:.2f}x"
        else:
            status = OK if ratio >= at_least else BELOW
    elif under is not None:
        target, status = f"< {under:g}x", OK if ratio < under else BELOW
    else:
        target, status = None, NO_TARGET
    return Row(benchmark, label, values, ratio, ratio_means, target, status, of_limit, limit)


def _ratio(row: Row) -> str:
    return f"{row.ratio:.2f}x {row.ratio_means}" if row.ratio_means else f"ratio {row.ratio:.2f}x"


def report(row: Row) -> None:
    """Prints the row as one line: label, measured values, ratio, target,
    status and, when it has one, the fraction of its limit."""
    status = row.status.upper() if row.status.startswith(BELOW) else row.status
    line = f"{row.label}: {row.values}"
    if row.ratio is not None:
        line += f"; {_ratio(row)}"
    if row.target is not None:
        line += f" (target {row.target})"
    if row.ratio is None:
        line += f"; {status}"
    else:
        line += f" {status}" if row.target is not None else f" ({status})"
    if row.of_limit is not None:
        line += f"; {row.of_limit:.2f} of its limit ({row.limit})"
    print(line, flush=True)


def write_rows(path: str, rows: Iterable[Row]) -> None:
    with open(path, "w") as f:
        json.dump([dataclasses.asdict(row) for row in rows], f, indent=1)
        f.write("\n")


def read_rows(path: str) -> list[Row]:
    with open(path) as f:
        return [Row(**fields) for fields in json.load(f)]


# ----------------------------------------------------------- command line
def arguments(argv: Sequence[str] | None = None) -> tuple[list[str], str | None]:
    """The script's own arguments, less `--rows PATH`, and that PATH (None
    without it)."""
    args = list(sys.argv[1:] if argv is None else argv)
    if "--rows" not in args:
        return args, None
    at = args.index("--rows")
    if at + 1 == len(args):
        raise SystemExit("--rows takes a path")
    path = args[at + 1]
    del args[at:at + 2]
    return args, path


def run(steps: Iterable[Callable[[], list[Row]]], rows_path: str | None) -> list[Row]:
    """Runs the steps in turn and reports each step's rows as soon as it
    returns them; with `rows_path`, writes all rows so far to it after every
    step, so that a run that stops midway keeps what it measured. Ends with
    the rows below their targets."""
    rows: list[Row] = []
    for step in steps:
        for row in step():
            report(row)
            rows.append(row)
        if rows_path is not None:
            write_rows(rows_path, rows)
    below = [row.label for row in rows if row.status.startswith(BELOW)]
    print("all targets met" if not below else f"below target: {', '.join(below)}", flush=True)
    return rows


# ---------------------------------------------------------------- Markdown
def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace(">=", "≥").replace("<=", "≤")


def markdown(rows: Iterable[Row], intro: str) -> str:
    """The intro, then one table row a figure."""
    lines = [intro, "",
             "| benchmark | figure | measured | ratio | target | status | of its limit |",
             "|---|---|---|---|---|---|---|"]
    for row in rows:
        ratio = "–" if row.ratio is None else _ratio(row)
        of_limit = "–" if row.of_limit is None else f"{row.of_limit:.2f} ({row.limit})"
        cells = [row.benchmark, row.label, row.values, ratio, row.target or "none", row.status,
                 of_limit]
        lines.append("| " + " | ".join(_cell(cell) for cell in cells) + " |")
    return "\n".join(lines) + "\n"


def write_results(rows: Sequence[Row], load_at_start: float) -> str:
    """Writes the rows of one run as Markdown to bench/RESULTS.md; returns
    the Markdown."""
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    intro = (f"Measured {stamp} in one run (`bench/run_all.py`). \"Of its limit\" is the time "
             "of what bounds the figure on this machine (measured in the same run) over the "
             "figure's time: near 1, the figure is at the machine's limit. Load average "
             f"{load_at_start:.2f} at the start and {os.getloadavg()[0]:.2f} at the end, on "
             f"{os.cpu_count()} CPUs: a figure that needs both cores is only meaningful near 0.")
    text = markdown(rows, intro)
    (HERE / "RESULTS.md").write_text(text)
    return text
