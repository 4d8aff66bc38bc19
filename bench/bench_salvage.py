"""Throughput and memory of rowmender next to Python's csv module and read-scan-write floors.

Build the module in Release and run the benchmark from the repository root:

    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \\
        -DPython3_EXECUTABLE=/usr/bin/python3 -DROWMENDER_INPLACE=OFF && cmake --build build-release
    PYTHONPATH=build-release/python /usr/bin/python3 bench/bench_salvage.py [--size-mb N] [--repeat K]

or simply `bash scripts/bench.sh [options]`, which does both. The module is imported from
whatever PYTHONPATH provides; the floor program is looked for in build-release/bench/ (or
--floor).

The files of bench/generate_data.py (made on first use, or when --size-mb changes) each go
through these tasks:

  salvage_file      rowmender.salvage_file(input, output, quarantine)
  repair            rowmender.repair(input, output, quarantine): the streaming road
  repair_changes    the same with a change log (changes=)
  repair_cleanup    the same with every real-world rule on (cleanup=True)
  reader_construct  rowmender.SalvageReader(input): read, salvage, keep the rows
  reader_iterate    `for row in rowmender.open(input): pass`
  rows_iterate      `for row in rowmender.rows(input): pass`: the streaming road
  csv_reader        `for row in csv.reader(open(input, newline='', encoding='utf-8',
                    errors='replace')): pass`
  stdlib_job        the repair done with the standard library: csv.reader, rows padded or
                    merged to the header's width, csv.writer to an output file
  floor             rowmender_floor: read the whole file, one memchr pass, write it back out:
                    no repair that reads the file whole can be faster, given the same memory
                    (a plain heap array)
  floor_stream      the same 1 MiB at a time through one block: the ceiling for streaming
  floor_huge_pages  the whole file read into memory mapped in transparent huge pages, as
                    rowmender maps its large buffers (shown for reference)

Both csv tasks are given the file's delimiter (';' for semicolon.csv), which rowmender works
out by itself, and lift csv.field_size_limit, which would otherwise stop them on the 20 MB
field of lone_quotes.csv; the work per byte is unchanged.

How it measures, so that the numbers are what a user gets, not the luckiest run:
- every measurement is a fresh process (bench/bench_child.py, which imports nothing but
  what its task needs); its time is the whole process's wall time, from start to exit
  (interpreter start and imports included, as a user running the command pays them); the
  time around the work alone is kept too ("work s");
- the rounds are interleaved (every task of every file once per round) and each run starts
  after a `sync`, with the input in the page cache; between runs another program allocates,
  touches and frees a few hundred MB (--churn), as other programs on a machine do, which
  is what makes memory that must be found afresh (huge pages above all) slow at times;
- outputs go to a folder on the input's own file system (--scratch to choose another, such
  as /dev/shm), and are deleted after each run;
- the tables show the median of the rounds and the spread (fastest and slowest); ratios are
  of medians.

Memory: each child reads its own peak (VmHWM), interpreter included; "(peak - start)" leaves
out what the child held before the work. --stream-gib N also measures repair and rows over a
generated N GiB damaged stream fed through a pipe, and the benchmark always measures the
three roads and csv.reader on two files of one row of --long-row-mb MB, made next to the
other files: long_row.csv, of short fields, and long_field.csv, a quote that never closes.
For rows() and csv.reader, "held" is what the row they handed over holds once the rest is
gone: a row of millions of short str objects holds several times its text, whatever made it.
"""

from __future__ import annotations

import argparse
import ast
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
TASKS = (
    "salvage_file",
    "repair",
    "repair_changes",
    "repair_cleanup",
    "reader_construct",
    "reader_iterate",
    "rows_iterate",
    "csv_reader",
    "stdlib_job",
    "floor",
    "floor_stream",
    "floor_huge_pages",
)
LONG_ROWS = ("long_row.csv", "long_field.csv")


# ---------------------------------------------------------------------------------------
# Parent side.


def run_measured(command: list[str], stdin: int | None = None) -> tuple[int, str, str, int, float]:
    """Runs `command` as the only child: (exit status, stdout, stderr, peak RSS bytes, wall
    seconds from start to exit).

    The peak from wait4 is only a fallback for systems without /proc: Linux carries the
    high-water mark of the process image that exec replaced (here, a copy of this parent)
    into it, so it never drops below this parent's own RSS."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=out, stderr=err, stdin=stdin)
        _pid, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return process.returncode, out.read().decode(), err.read().decode(), usage.ru_maxrss * 1024, wall


FLOOR_OPTIONS = {"floor": [], "floor_stream": ["--stream"], "floor_huge_pages": ["--huge-pages"]}


def measure(task: str, path: Path, scratch: Path, floor: Path | None) -> dict:
    if task.startswith("floor"):
        if floor is None:
            return {"error": "rowmender_floor not built"}
        command = [str(floor), *FLOOR_OPTIONS[task], str(path), str(scratch / "out.csv")]
    else:
        command = [sys.executable, str(BENCH_DIR / "bench_child.py"), task, str(path), str(scratch)]
    os.sync()  # what earlier runs wrote is not written back during this one
    status, stdout, stderr, peak, wall = run_measured(command)
    for leftover in scratch.iterdir():
        leftover.unlink()
    if status != 0:
        lines = stderr.strip().splitlines() or [f"exit status {status}"]
        return {"error": lines[-1][:120]}
    if task.startswith("floor"):
        fields = stdout.split()
        result = {"seconds": float(fields[0]), "peak": int(fields[3]) or None}
    else:
        result = ast.literal_eval(stdout.strip().splitlines()[-1])
    if not result.get("peak"):
        result["peak"] = peak
    result["wall"] = wall
    return result


def churn(megabytes: int) -> None:
    """Another program that takes memory, writes it and gives it back."""
    if megabytes > 0:
        code = f"b = bytearray({megabytes} << 20)\nfor i in range(0, len(b), 4096): b[i] = 1"
        subprocess.run([sys.executable, "-c", code], check=False)


def warm(path: Path) -> None:
    """Reads a file once so every task starts from the page cache."""
    with open(path, "rb") as source:
        while source.read(1 << 24):
            pass


def median(values: list[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def summarise(runs: list[dict]) -> dict:
    """Median and spread of the runs of one task on one file; an error if any run failed."""
    failed = [r for r in runs if "error" in r]
    if failed:
        return {"error": failed[0]["error"]}
    walls = [r["wall"] for r in runs]
    summary = {
        "wall": median(walls),
        "fastest": min(walls),
        "slowest": max(walls),
        "seconds": median([r["seconds"] for r in runs]),
        "peak": max(r["peak"] for r in runs),
        "runs": len(runs),
    }
    if all("start" in r for r in runs):
        summary["start"] = min(r["start"] for r in runs)
    if all("held_bytes" in r for r in runs):
        summary["held_bytes"] = median([r["held_bytes"] for r in runs])
    if "summary" in runs[-1]:
        summary["summary"] = runs[-1]["summary"]
    return summary


def fmt_ratio(numerator: float | None, denominator: float | None) -> str:
    if not numerator or not denominator:
        return ""
    return f"{numerator / denominator:.2f}x"


# What each task is read against: its standard-library equivalent and its floor.
AGAINST = {
    "salvage_file": ("stdlib_job", "floor"),
    "repair": ("stdlib_job", "floor_stream"),
    "repair_changes": ("stdlib_job", "floor_stream"),
    "repair_cleanup": ("stdlib_job", "floor_stream"),
    "reader_construct": (None, "floor"),
    "reader_iterate": ("csv_reader", None),
    "rows_iterate": ("csv_reader", None),
}


def render(results: dict, sizes: dict) -> list[str]:
    """The main table, one line per file and task: medians of whole-process times."""
    lines = [
        "| file | task | median s | fastest-slowest s | work s | MB/s | vs stdlib | vs floor | slowest/median"
        " | peak RSS MB | (peak - start) / file |",
        "|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name in results:
        size = sizes[name]
        for task in TASKS:
            if task not in results[name]:
                continue
            r = results[name][task]
            if "error" in r:
                lines.append(f"| {name} | {task} | error: {r['error']} |||||||||")
                continue
            stdlib, floor = AGAINST.get(task, (None, None))
            other = results[name].get(stdlib or "", {})
            floor_run = results[name].get(floor or "", {})
            vs_stdlib = fmt_ratio(other.get("wall"), r["wall"]) if stdlib else ""
            vs_floor = fmt_ratio(floor_run.get("wall"), r["wall"]) if floor else ""
            net = f"{(r['peak'] - r['start']) / size:.2f}" if "start" in r and size else ""
            lines.append(
                f"| {name} | {task} | {r['wall']:.3f} | {r['fastest']:.3f}-{r['slowest']:.3f} | {r['seconds']:.3f}"
                f" | {size / 1e6 / r['wall']:.0f} | {vs_stdlib} | {vs_floor} | {r['slowest'] / r['wall']:.2f}"
                f" | {r['peak'] / 1e6:.1f} | {net} |"
            )
    return lines


def check_targets(results: dict, sizes: dict, extra: dict) -> list[str]:
    """The project's speed and memory goals, checked against this run's medians."""

    def get(name: str, task: str) -> dict:
        return results.get(name, {}).get(task, {})

    def speedup(name: str, task: str, other: str) -> float | None:
        a, b = get(name, task).get("wall"), get(name, other).get("wall")
        return b / a if a and b else None

    checks = []
    for name in ("clean.csv", "damaged.csv"):
        checks.append((f"repair on {name} >= 20x stdlib_job", speedup(name, "repair", "stdlib_job"), 20, ">="))
        checks.append(
            (f"repair on {name} no slower than salvage_file", speedup(name, "repair", "salvage_file"), 1.0, ">=")
        )
        for task in ("repair", "salvage_file"):
            r = get(name, task)
            worst = r["slowest"] / r["wall"] if r.get("wall") else None
            checks.append((f"{task} on {name}: slowest run within 1.5x of the median", worst, 1.5, "<="))
        checks.append(
            (f"rows_iterate on {name} >= 2.5x csv_reader", speedup(name, "rows_iterate", "csv_reader"), 2.5, ">=")
        )
        checks.append(
            (f"reader_iterate on {name} >= 2.5x csv_reader", speedup(name, "reader_iterate", "csv_reader"), 2.5, ">=")
        )
        checks.append(
            (
                f"repair with a change log on {name} at most 5% slower",
                speedup(name, "repair_changes", "repair"),
                1 / 1.05,
                ">=",
            )
        )
        checks.append(
            (
                f"repair with cleanup on {name} at most 15% slower",
                speedup(name, "repair_cleanup", "repair"),
                1 / 1.15,
                ">=",
            )
        )
    for name in ("lone_quotes.csv", "blank_lines.csv"):
        checks.append((f"repair on {name} < 1 s", get(name, "repair").get("wall"), 1.0, "<"))
    for label, value, bound, op in extra.get("checks", []):
        checks.append((label, value, bound, op))

    lines = []
    for label, value, bound, op in checks:
        if value is None:
            lines.append(f"- [ ] {label}: not measured")
            continue
        ok = {">=": value >= bound, "<=": value <= bound, "<": value < bound}[op]
        lines.append(f"- [{'x' if ok else ' '}] {label}: {value:.2f}")
    return lines


STREAM_CHILD = r"""
import resource, sys, time, rowmender
task = sys.argv[1]
start = time.perf_counter()
if task == "repair":
    report = rowmender.repair(0, "/dev/null", "/dev/null", changes="/dev/null")
    read = report.bytes_read
else:
    stream = rowmender.rows(0)
    for _row in stream:
        pass
    read = stream.report.bytes_read
elapsed = time.perf_counter() - start
peak = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:"))
print(read, elapsed, peak * 1024)
"""


def measure_stream(task: str, source: Path, gib: float) -> dict:
    """repair or rows over `gib` GiB made of `source` over and over, through a pipe."""
    total = int(gib * (1 << 30))
    read, write = os.pipe()
    feeder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import os, sys\ndata = open(sys.argv[1], 'rb').read()\nleft = int(sys.argv[2])\n"
            "while left > 0:\n    chunk = data[:left]\n    os.write(1, chunk) if len(chunk) < 65536 else "
            "sys.stdout.buffer.write(chunk)\n    left -= len(chunk)\nsys.stdout.flush()",
            str(source),
            str(total),
        ],
        stdout=write,
    )
    os.close(write)
    status, stdout, stderr, _peak, wall = run_measured([sys.executable, "-c", STREAM_CHILD, task], stdin=read)
    os.close(read)
    feeder.wait()
    if status != 0:
        return {"error": (stderr.strip().splitlines() or [f"exit status {status}"])[-1][:120]}
    bytes_read, seconds, peak = stdout.split()
    return {"bytes": int(bytes_read), "seconds": float(seconds), "peak": int(peak), "wall": wall}


def make_long_rows(folder: Path, megabytes: float) -> None:
    """Two files of a header and one row of `megabytes` MB: one of fields of words with quotes
    now and then, one whose second field opens a quote that never closes."""
    pieces = {"long_row.csv": b'alpha beta gamma,"delta, epsilon",', "long_field.csv": b"alpha beta gamma, delta\n"}
    for name, piece in pieces.items():
        path = folder / name
        if path.is_file() and abs(path.stat().st_size - megabytes * 1e6) < 1e5:
            continue
        with open(path, "wb") as out:
            out.write(b"a,b,c\n" if name == "long_row.csv" else b'a,b,c\n1,"')
            out.write(piece * int(megabytes * 1e6 / len(piece)))
            out.write(b"end\n")


def default_scratch(data: Path) -> Path:
    return data


def find_floor(explicit: Path | None) -> Path | None:
    candidates = (
        [explicit] if explicit else [ROOT / "build-release/bench/rowmender_floor", ROOT / "build/bench/rowmender_floor"]
    )
    for candidate in candidates:
        if candidate and candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which("rowmender_floor")
    return Path(found) if found else None


def main(argv: list[str] | None = None) -> int:
    sys.path.insert(0, str(BENCH_DIR))
    import generate_data  # a sibling script, not a package

    files = generate_data.FILES
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=float, default=100.0, help="size of the large files (default 100)")
    parser.add_argument("--repeat", type=int, default=5, help="interleaved rounds; medians are shown (default 5)")
    parser.add_argument(
        "--churn",
        type=int,
        default=300,
        help="MB another program allocates and frees between runs (default 300; 0: none)",
    )
    parser.add_argument("--data", type=Path, default=generate_data.DEFAULT_DIR, help="data folder (default bench/data)")
    parser.add_argument("--floor", type=Path, help="path of the rowmender_floor program")
    parser.add_argument("--scratch", type=Path, help="folder for the outputs (default: the data folder's file system)")
    parser.add_argument("--files", nargs="+", choices=files, default=list(files), help="only these files")
    parser.add_argument("--tasks", nargs="+", choices=TASKS, default=list(TASKS), help="only these tasks")
    parser.add_argument("--long-row-mb", type=float, default=100.0, help="size of the one long row (default 100)")
    parser.add_argument(
        "--stream-gib",
        type=float,
        nargs="*",
        default=[],
        help="also repair and iterate generated damaged streams of these sizes in GiB",
    )
    args = parser.parse_args(argv)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")

    try:
        import rowmender
    except ImportError as error:
        print(f"cannot import rowmender ({error}); run with PYTHONPATH=build-release/python", file=sys.stderr)
        return 1
    floor = find_floor(args.floor)
    if any(task.startswith("floor") for task in args.tasks) and floor is None:
        print("rowmender_floor not found: build it (target rowmender_floor) or pass --floor", file=sys.stderr)
        return 1

    if not generate_data.is_current(args.data, args.size_mb):
        print(f"generating {args.size_mb:g} MB benchmark files into {args.data}", file=sys.stderr)
        generate_data.generate(args.data, args.size_mb, log=lambda line: print(line, file=sys.stderr))
    make_long_rows(args.data, args.long_row_mb)

    print(f"rowmender {rowmender.__version__} from {Path(rowmender.__file__).parent}", file=sys.stderr)
    print(f"floor: {floor}", file=sys.stderr)
    sizes = {name: (args.data / name).stat().st_size for name in (*files, *LONG_ROWS)}
    runs: dict = {name: {task: [] for task in args.tasks} for name in files if name in args.files}
    scratch = Path(tempfile.mkdtemp(prefix="rowmender-bench-", dir=args.scratch or default_scratch(args.data)))
    print(f"outputs go to {scratch}", file=sys.stderr)
    long_rows: dict = {name: {} for name in LONG_ROWS}
    extra: dict = {"checks": []}
    try:
        for round_index in range(args.repeat):
            for name in runs:
                path = args.data / name
                warm(path)
                for task in args.tasks:
                    churn(args.churn)
                    result = measure(task, path, scratch, floor)
                    runs[name][task].append(result)
                    shown = f"{result['wall']:.3f} s" if "wall" in result else result["error"]
                    print(f"[{round_index + 1}/{args.repeat}] {name:16} {task:17} {shown}", file=sys.stderr)
        for name in LONG_ROWS:
            warm(args.data / name)
            for task in ("salvage_file", "repair", "rows_iterate", "csv_reader", "reader_construct"):
                long_rows[name][task] = measure(task, args.data / name, scratch, floor)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    results = {
        name: {task: summarise(task_runs) for task, task_runs in by_task.items()} for name, by_task in runs.items()
    }

    print(
        f"\nrowmender {rowmender.__version__}, --size-mb {args.size_mb:g}, median of {args.repeat} interleaved runs,"
        f" {args.churn} MB churned between runs, outputs in {args.scratch or 'the data folder'}\n"
    )
    print("\n".join(render(results, sizes)))

    for name, by_task in long_rows.items():
        row_size = sizes[name]
        print(f"\nOne row of {row_size / 1e6:.0f} MB ({name}):\n")
        print(
            "| task | s | peak RSS MB | (peak - start) / row | held / row | (peak - start - held) / row |\n"
            "|---|---:|---:|---:|---:|---:|"
        )
        for task, r in by_task.items():
            if "error" in r:
                print(f"| {task} | error: {r['error']} |||||")
                continue
            grown = (r["peak"] - r.get("start", 0)) / row_size
            held = r.get("held_bytes") if task in ("rows_iterate", "csv_reader") else None
            shown = f"{held / row_size:.2f} | {grown - held / row_size:.2f}" if held is not None else " | "
            print(f"| {task} | {r['wall']:.2f} | {r['peak'] / 1e6:.0f} | {grown:.2f} | {shown} |")
            if task == "repair" or (task == "rows_iterate" and name == "long_field.csv"):
                extra["checks"].append((f"{task} on {name}: at most about 3x the row", grown, 3.2, "<="))
            if task == "rows_iterate" and name == "long_row.csv":
                extra["checks"].append(
                    (
                        f"rows_iterate on {name}: at most about 3x the row beyond the row handed" " over",
                        grown - held / row_size,
                        3.2,
                        "<=",
                    )
                )
            if task == "salvage_file":
                extra["checks"].append((f"salvage_file on {name}: at most 1.5x the input", grown, 1.5, "<="))

    if args.stream_gib:
        print("\nGenerated damaged streams through a pipe (damaged.csv over and over):\n")
        print("| GiB | task | s | MB/s | peak RSS MiB |\n|---:|---|---:|---:|---:|")
        for gib in args.stream_gib:
            for task in ("repair", "rows"):
                r = measure_stream(task, args.data / "damaged.csv", gib)
                if "error" in r:
                    print(f"| {gib:g} | {task} | error: {r['error']} |||")
                    continue
                print(
                    f"| {gib:g} | {task} | {r['seconds']:.1f} | {r['bytes'] / 1e6 / r['seconds']:.0f}"
                    f" | {r['peak'] / 2**20:.1f} |"
                )
                extra["checks"].append((f"{task} over {gib:g} GiB: peak RSS <= 48 MiB", r["peak"] / 2**20, 48, "<="))

    if set(args.files) == set(files) and set(args.tasks) == set(TASKS):
        print("\nTargets:\n")
        print("\n".join(check_targets(results, sizes, extra)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
