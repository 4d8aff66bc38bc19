"""Throughput and memory of rowmender next to Python's csv module and a read-scan-write floor.

Build the module in Release and run the benchmark from the repository root:

    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \\
        -DPython3_EXECUTABLE=/usr/bin/python3 -DROWMENDER_INPLACE=OFF && cmake --build build-release
    PYTHONPATH=build-release/python /usr/bin/python3 bench/bench_salvage.py [--size-mb N] [--repeat K]

or simply `bash scripts/bench.sh [--size-mb N] [--repeat K]`, which does both. The module is
imported from whatever PYTHONPATH provides; the floor program is looked for in
build-release/bench/ (or --floor).

The files of bench/generate_data.py (made on first use, or when --size-mb changes) each go
through these tasks:

  salvage_file      rowmender.salvage_file(input, output, quarantine)
  reader_construct  rowmender.SalvageReader(input): read, salvage, keep the rows
  reader_iterate    the same, then `for row in reader: pass`
  csv_reader        `for row in csv.reader(open(input, newline='', encoding='utf-8',
                    errors='replace')): pass`
  stdlib_job        the repair done with the standard library: csv.reader, rows padded or
                    merged to the header's width, csv.writer to an output file
  floor             rowmender_floor: read the file, one memchr pass, write it back out; no
                    parsing at all, so no repair can be faster, given the same memory:
                    the file is read into a plain heap array
  floor_huge_pages  the same, the file read into memory mapped in transparent huge pages as
                    rowmender maps its large buffers; on a virtual machine, where the first
                    write to each 4 KiB page is dear, this floor can be several times lower.
                    Shown for reference; the ratios use the plain floor

Both csv tasks are given the file's delimiter (';' for semicolon.csv), which rowmender works
out by itself, and lift csv.field_size_limit, which would otherwise stop them on the 20 MB
field of lone_quotes.csv; the work per byte is unchanged.

Every measurement runs in a fresh interpreter (or, for the floor, a fresh process) so its
peak RSS belongs to that task alone. The peak is the child's own VmHWM, read by the child
at the end: getrusage(RUSAGE_CHILDREN) or wait4 would also do for a fresh child, except that
Linux carries the RSS of the forked parent across exec into them, so they never report less
than the parent's size (they remain the fallback without /proc). The interpreter's own
footprint (10 to 15 MB) is included. The time is taken inside the child around the work
only, so interpreter start-up and imports are not counted. With --repeat K
the tasks run K rounds, interleaved (every task of every file once per round), and the
fastest of the K times and the smallest peak RSS are reported. MB/s is 10^6 bytes of input
per second.

The outputs (salvage_file's two files, stdlib_job's and the floor's copy) go to a scratch
folder on /dev/shm when there is one (--scratch to choose): on a disk file system the time
to write 100 MB varied up to tenfold from one run to the next with the file system's state
(a fresh file right after deleting the previous output was slow every other time), which
would drown the differences being measured. Each output is deleted after its task.

Ratios: reader tasks against csv_reader on the same file; salvage_file against stdlib_job
and both floors; reader_construct against both floors as well. Memory columns, all over the file
size: the peak RSS; the peak less the RSS the child had just before the work (the
interpreter and imports), i.e. what the work itself added; and, for reader_construct,
'held': how much the RSS grew from before construction to after it, what a constructed
reader keeps for its rows.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
TASKS = ("salvage_file", "reader_construct", "reader_iterate", "csv_reader", "stdlib_job", "floor", "floor_huge_pages")
# The csv tasks are told the delimiter (rowmender finds it by itself).
CSV_DELIMITERS = {"semicolon.csv": ";"}


# ---------------------------------------------------------------------------------------
# Child side: one task on one file, timed around the work, result as JSON on stdout.


def current_rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes() -> int | None:
    """VmHWM: this process's own high-water mark, which starts afresh at exec."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def stdlib_job(input_path: str, output_path: str, delimiter: str) -> None:
    """The same job as salvage_file done with the csv module: every row padded with empty
    fields or its surplus fields joined into the last column, to the header's width."""
    import csv

    with open(input_path, newline="", encoding="utf-8", errors="replace") as source, \
            open(output_path, "w", newline="", encoding="utf-8") as target:
        reader = csv.reader(source, delimiter=delimiter)
        writer = csv.writer(target, delimiter=delimiter, lineterminator="\n")
        width = 0
        for row in reader:
            if not row:
                continue  # a blank line
            if width == 0:
                width = len(row)
            elif len(row) < width:
                row.extend([""] * (width - len(row)))
            elif len(row) > width:
                row[width - 1:] = [delimiter.join(row[width - 1:])]
            writer.writerow(row)


def run_child(task: str, input_path: str, scratch: str) -> dict:
    result: dict = {}
    delimiter = CSV_DELIMITERS.get(os.path.basename(input_path), ",")
    output_path = os.path.join(scratch, "out.csv")
    if task in ("csv_reader", "stdlib_job"):
        import csv

        csv.field_size_limit(sys.maxsize)
    else:
        import rowmender
    rss_before = current_rss_bytes()
    if task == "salvage_file":
        start = time.perf_counter()
        summary = rowmender.salvage_file(input_path, output_path, os.path.join(scratch, "quarantine.csv"))
        elapsed = time.perf_counter() - start
        result["summary"] = summary.to_dict()
    elif task == "reader_construct":
        start = time.perf_counter()
        reader = rowmender.SalvageReader(input_path)
        elapsed = time.perf_counter() - start
        result["held_bytes"] = current_rss_bytes() - rss_before
        result["rows"] = len(reader)
    elif task == "reader_iterate":
        start = time.perf_counter()
        reader = rowmender.SalvageReader(input_path)
        for _row in reader:
            pass
        elapsed = time.perf_counter() - start
    elif task == "csv_reader":
        start = time.perf_counter()
        with open(input_path, newline="", encoding="utf-8", errors="replace") as source:
            for _row in csv.reader(source, delimiter=delimiter):
                pass
        elapsed = time.perf_counter() - start
    elif task == "stdlib_job":
        start = time.perf_counter()
        stdlib_job(input_path, output_path, delimiter)
        elapsed = time.perf_counter() - start
    else:
        raise SystemExit(f"unknown task {task!r}")
    result["seconds"] = elapsed
    result["peak"] = peak_rss_bytes()
    result["start"] = rss_before
    return result


# ---------------------------------------------------------------------------------------
# Parent side.


def run_measured(command: list[str]) -> tuple[int, str, str, int]:
    """Runs `command` as the only child, returns (exit status, stdout, stderr, peak RSS bytes).

    The peak from wait4 is only a fallback for systems without /proc: Linux carries the
    high-water mark of the process image that exec replaced (here, a copy of this parent)
    into it, so it never drops below this parent's own RSS."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(command, stdout=out, stderr=err)
        _pid, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return process.returncode, out.read().decode(), err.read().decode(), usage.ru_maxrss * 1024


def measure(task: str, path: Path, scratch: Path, floor: Path | None) -> dict:
    if task.startswith("floor"):
        if floor is None:
            return {"error": "rowmender_floor not built"}
        options = ["--huge-pages"] if task == "floor_huge_pages" else []
        command = [str(floor), *options, str(path), str(scratch / "out.csv")]
    else:
        command = [sys.executable, str(Path(__file__).resolve()), "--child", task, str(path), str(scratch)]
    status, stdout, stderr, peak = run_measured(command)
    for leftover in scratch.iterdir():
        leftover.unlink()
    if status != 0:
        lines = stderr.strip().splitlines() or [f"exit status {status}"]
        return {"error": lines[-1][:120]}
    if task.startswith("floor"):
        fields = stdout.split()
        result = {"seconds": float(fields[0]), "peak": int(fields[3]) or None}
    else:
        result = json.loads(stdout.strip().splitlines()[-1])
    if not result.get("peak"):
        result["peak"] = peak
    return result


def warm(path: Path) -> None:
    """Reads a file once so every task starts from the page cache."""
    with open(path, "rb") as source:
        while source.read(1 << 24):
            pass


def merge(best: dict, new: dict) -> dict:
    """Keeps the fastest time and the smallest peak of the rounds; a success beats an error."""
    if not best or "error" in best:
        return new
    if "error" in new:
        return best
    merged = dict(best if best["seconds"] <= new["seconds"] else new)
    leanest = best if best["peak"] <= new["peak"] else new
    merged["peak"] = leanest["peak"]
    if "start" in leanest:
        merged["start"] = leanest["start"]
    if "held_bytes" in best and "held_bytes" in new:
        merged["held_bytes"] = min(best["held_bytes"], new["held_bytes"])
    return merged


def fmt_ratio(numerator: float | None, denominator: float | None) -> str:
    if not numerator or not denominator:
        return ""
    return f"{numerator / denominator:.2f}x"


def render(results: dict, sizes: dict) -> list[str]:
    """The main table, one line per file and task, in the order they ran."""
    lines = [
        "| file | MB | task | seconds | MB/s | vs csv_reader | vs stdlib_job | vs floor | vs floor_huge_pages | peak RSS MB"
        " | peak RSS / file | (peak - start) / file | held / file |",
        "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name in results:
        size = sizes[name]
        rates = {
            task: size / 1e6 / r["seconds"] if "seconds" in r and r["seconds"] > 0 else None
            for task, r in results[name].items()
        }
        for task in TASKS:
            if task not in results[name]:
                continue  # not asked for (--tasks)
            r = results[name][task]
            if "error" in r:
                lines.append(f"| {name} | {size / 1e6:.1f} | {task} | error: {r['error']} |||||||||")
                continue
            rate = rates[task]
            vs_csv = fmt_ratio(rate, rates.get("csv_reader")) if task.startswith("reader_") else ""
            vs_job = fmt_ratio(rate, rates.get("stdlib_job")) if task == "salvage_file" else ""
            against_floor = task in ("salvage_file", "reader_construct")
            vs_floor = fmt_ratio(rate, rates.get("floor")) if against_floor else ""
            vs_huge = fmt_ratio(rate, rates.get("floor_huge_pages")) if against_floor else ""
            held = f"{r['held_bytes'] / size:.2f}" if "held_bytes" in r and size else ""
            net = f"{(r['peak'] - r['start']) / size:.2f}" if "start" in r and size else ""
            lines.append(
                f"| {name} | {size / 1e6:.1f} | {task} | {r['seconds']:.3f} | {rate:.1f} | {vs_csv} | {vs_job}"
                f" | {vs_floor} | {vs_huge} | {r['peak'] / 1e6:.1f} | {r['peak'] / size:.2f} | {net} | {held} |"
            )
    return lines


def render_summaries(results: dict) -> list[str]:
    lines = ["| file | total | salvaged | repaired | quarantined | delimiter | columns |", "|---|---:|---:|---:|---:|---|---:|"]
    for name in results:
        summary = results[name].get("salvage_file", {}).get("summary")
        if summary:
            lines.append(
                f"| {name} | {summary['total_rows']} | {summary['salvaged_rows']} | {summary['repaired_rows']}"
                f" | {summary['quarantined_rows']} | {summary['detected_delimiter']!r} | {summary['inferred_columns']} |"
            )
    return lines


def check_targets(results: dict, sizes: dict) -> list[str]:
    """The project's speed and memory goals, checked against this run's numbers."""

    def rate(name: str, task: str) -> float | None:
        r = results.get(name, {}).get(task, {})
        return sizes[name] / 1e6 / r["seconds"] if r.get("seconds") else None

    def ratio(name: str, task: str, other: str) -> float | None:
        a, b = rate(name, task), rate(name, other)
        return a / b if a and b else None

    def peak_ratio(name: str, task: str) -> float | None:
        r = results.get(name, {}).get(task, {})
        return r["peak"] / sizes[name] if "peak" in r and sizes[name] else None

    def seconds(name: str, task: str) -> float | None:
        return results.get(name, {}).get(task, {}).get("seconds")

    checks = []
    for name in ("clean.csv", "damaged.csv"):
        checks.append((f"salvage_file on {name} >= 12x stdlib_job", ratio(name, "salvage_file", "stdlib_job"), 12, ">="))
        checks.append((f"salvage_file on {name} >= 0.6x floor", ratio(name, "salvage_file", "floor"), 0.6, ">="))
        checks.append((f"salvage_file peak RSS on {name} <= 2.5x file", peak_ratio(name, "salvage_file"), 2.5, "<="))
    checks.append(("reader_iterate on clean.csv >= 2.5x csv_reader", ratio("clean.csv", "reader_iterate", "csv_reader"), 2.5, ">="))
    checks.append(("reader_construct on clean.csv >= 0.4x floor", ratio("clean.csv", "reader_construct", "floor"), 0.4, ">="))
    checks.append(("reader_construct on clean.csv >= 300 MB/s", rate("clean.csv", "reader_construct"), 300, ">="))
    held = results.get("clean.csv", {}).get("reader_construct", {}).get("held_bytes")
    checks.append(("constructed reader on clean.csv holds <= 1.5x file", held / sizes["clean.csv"] if held else None, 1.5, "<="))
    checks.append(("reader peak RSS on blank_lines.csv <= 20x file", peak_ratio("blank_lines.csv", "reader_construct"), 20, "<="))
    for name in ("lone_quotes.csv", "blank_lines.csv"):
        checks.append((f"salvage_file on {name} < 1 s", seconds(name, "salvage_file"), 1.0, "<"))
    clean, damaged = rate("clean.csv", "salvage_file"), rate("damaged.csv", "salvage_file")
    checks.append(("salvage_file damaged.csv within 15% of clean.csv", damaged / clean if clean and damaged else None, 0.85, ">="))

    lines = []
    for label, value, bound, op in checks:
        if value is None:
            lines.append(f"- [ ] {label}: not measured")
            continue
        ok = {">=": value >= bound, "<=": value <= bound, "<": value < bound}[op]
        lines.append(f"- [{'x' if ok else ' '}] {label}: {value:.2f}")
    return lines


def default_scratch(data: Path) -> Path:
    shm = Path("/dev/shm")
    return shm if shm.is_dir() and os.access(shm, os.W_OK) else data


def find_floor(explicit: Path | None) -> Path | None:
    candidates = [explicit] if explicit else [ROOT / "build-release/bench/rowmender_floor", ROOT / "build/bench/rowmender_floor"]
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
    parser.add_argument("--repeat", type=int, default=3, help="rounds; the fastest is reported (default 3)")
    parser.add_argument("--data", type=Path, default=generate_data.DEFAULT_DIR, help="data folder (default bench/data)")
    parser.add_argument("--floor", type=Path, help="path of the rowmender_floor program")
    parser.add_argument("--scratch", type=Path, help="folder for the outputs (default /dev/shm, else the data folder)")
    parser.add_argument("--files", nargs="+", choices=files, default=list(files), help="only these files")
    parser.add_argument("--tasks", nargs="+", choices=TASKS, default=list(TASKS), help="only these tasks")
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

    print(f"rowmender {rowmender.__version__} from {Path(rowmender.__file__).parent}", file=sys.stderr)
    print(f"floor: {floor}", file=sys.stderr)
    sizes = {name: (args.data / name).stat().st_size for name in files}
    results: dict = {name: {} for name in files if name in args.files}
    scratch = Path(tempfile.mkdtemp(prefix="rowmender-bench-", dir=args.scratch or default_scratch(args.data)))
    print(f"outputs go to {scratch}", file=sys.stderr)
    try:
        for round_index in range(args.repeat):
            for name in results:
                path = args.data / name
                warm(path)
                for task in args.tasks:
                    result = measure(task, path, scratch, floor)
                    results[name][task] = merge(results[name].get(task, {}), result)
                    shown = f"{result['seconds']:.3f} s" if "seconds" in result else result["error"]
                    print(f"[{round_index + 1}/{args.repeat}] {name:16} {task:17} {shown}", file=sys.stderr)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"\nrowmender {rowmender.__version__}, --size-mb {args.size_mb:g}, best of {args.repeat}\n")
    print("\n".join(render(results, sizes)))
    print("\nsalvage_file summaries:\n")
    print("\n".join(render_summaries(results)))
    if set(args.files) == set(files) and set(args.tasks) == set(TASKS):
        print("\nTargets:\n")
        print("\n".join(check_targets(results, sizes)))
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        print(json.dumps(run_child(sys.argv[2], sys.argv[3], sys.argv[4])))
        sys.exit(0)
    sys.exit(main())
