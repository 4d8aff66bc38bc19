"""What the HTML report costs over a plain repair, from the command line.

    PYTHONPATH=build-release/python /usr/bin/python3 bench/bench_report.py [--repeat N] [FILE...]

Runs `rowmender repair FILE out.csv -q` and `rowmender report FILE -o page.html`, each a
fresh process timed from start to exit, interleaved round by round (repair, then report, for
each file), with the file in the page cache; prints the median of each and the spread
(fastest-slowest), the ratio of the medians and the median of the rounds' own ratios, and
the median processor time (user and system, every thread) of each. FILE defaults to the
damaged and clean files of bench/data (bash scripts/bench.sh --files clean.csv damaged.csv
makes them).
--baseline DIR also times the report of the package in DIR (a copy of an earlier
build-release/python, say) in the same rounds, for a before and after.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"
# A report exits 3 when the repair it describes changes rows; a repair of such a file, 0 or 3.
ACCEPTED = (0, 3)


def run(command: list[str], path: str | None) -> tuple[float, float]:
    """The command's wall time and processor time (user and system, its threads included)."""
    env = dict(os.environ, PYTHONPATH=path) if path else None
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False, env=env)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode not in ACCEPTED:
        sys.exit(f"{' '.join(command)}: exit status {done.returncode}\n{done.stderr.decode()}")
    return wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path, default=[DATA / "clean.csv", DATA / "damaged.csv"])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--baseline", help="a folder holding an earlier build of the package")
    args = parser.parse_args()
    # -P: the package is the one PYTHONPATH names, not the source tree in the working folder.
    tool = [sys.executable, "-P", "-m", "rowmender"]
    times: dict[tuple[Path, str], list[float]] = {}
    cpu_times: dict[tuple[Path, str], list[float]] = {}
    with tempfile.TemporaryDirectory(dir=DATA.parent) as scratch:
        out, page = os.path.join(scratch, "out.csv"), os.path.join(scratch, "page.html")
        repair = [*tool, "repair", "{}", out, "-q"]
        report = [*tool, "report", "{}", "-o", page]
        tasks = {"repair": (repair, None), "report": (report, None)}
        if args.baseline:
            tasks["baseline report"] = (report, args.baseline)
        for path in args.files:
            path.read_bytes()  # into the page cache
            for command, package in tasks.values():
                run([word.format(path) for word in command], package)  # and the template into jinja2's cache
        for round_index in range(args.repeat):
            for path in args.files:
                for task, (command, package) in tasks.items():
                    os.sync()
                    wall, cpu = run([word.format(path) for word in command], package)
                    times.setdefault((path, task), []).append(wall)
                    cpu_times.setdefault((path, task), []).append(cpu)
                    print(f"[{round_index + 1}/{args.repeat}] {path.name} {task} {wall:.3f} s", file=sys.stderr)
    print("| file | " + " | ".join(f"`{task}`" for task in tasks) + " |\n|---|" + "---:|" * len(tasks))
    for path in args.files:
        cells = []
        base = statistics.median(times[(path, "repair")])
        for task in tasks:
            walls = times[(path, task)]
            cell = f"{statistics.median(walls):.3f} s ({min(walls):.3f}-{max(walls):.3f})"
            if task != "repair":
                # The ratio of the medians, and the median of each round's own ratio, which
                # a load that comes and goes between rounds moves less.
                rounds = [wall / first for wall, first in zip(walls, times[(path, "repair")])]
                cell += f", {statistics.median(walls) / base:.2f}x (by round {statistics.median(rounds):.2f}x)"
            cells.append(cell)
        print(f"| {path.name} | " + " | ".join(cells) + " |")
    print("\nProcessor time (user + system, all threads), medians:\n")
    print("| file | " + " | ".join(f"`{task}`" for task in tasks) + " |\n|---|" + "---:|" * len(tasks))
    for path in args.files:
        base = statistics.median(cpu_times[(path, "repair")])
        cells = [
            f"{statistics.median(cpu_times[(path, task)]):.3f} s"
            + ("" if task == "repair" else f", {statistics.median(cpu_times[(path, task)]) / base:.2f}x")
            for task in tasks
        ]
        print(f"| {path.name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
