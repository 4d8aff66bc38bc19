"""One file repaired on one thread and on several: whole-process wall time, how the pieces
went, and the model that predicts larger machines.

    PYTHONPATH=build-release/python /usr/bin/python3 bench/bench_threads.py \\
        [--source-dir bench/data] [--out /tmp/rowmender-threads] [--gib 1] [--repeat 5] [--threads 1 2] \\
        [--files clean damaged adversarial] [--one-core]

The 1 GiB files are the benchmark's clean.csv and damaged.csv (bench/generate_data.py, made
there when missing) with their rows repeated until the size is reached; adversarial.csv
holds rows whose quoted field spans more than a piece, so that every piece starts inside
one and is read again by the calling thread.

Each timed run is a fresh process (`rowmender.repair(source, target, threads=N)`), the
thread counts interleaved, so that a machine shared with others is as busy for each; the
median and the spread (lowest to highest) are printed. The target is removed before each
run, untimed: a repair over the last run's output would also pay for freeing it, and on ext4
for writing the new one out at once (a file renamed over another is flushed). With
`--one-core`, `threads=1` is also timed with the process held to one CPU: the one-thread
engine reads ahead and writes behind on threads of its own, so on a machine of few cores its
plain run already uses more than one. Three more runs per file in this process read the
piece counts: how many pieces were read again, the threads' parse time
(all pieces together) and the calling thread's own time (stitching, writing and what it
read again).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate_data  # noqa: E402

RUN = "import sys, rowmender; rowmender.repair(sys.argv[1], sys.argv[2], threads=int(sys.argv[3]))"


def grown(source: Path, target: Path, size: int) -> Path:
    """`source`'s header and its rows repeated until `size` bytes."""
    if target.exists() and target.stat().st_size >= size:
        return target
    data = source.read_bytes()
    body = data[data.index(b"\n") + 1 :]
    with open(target, "wb") as out:
        written = out.write(data)
        while written < size:
            written += out.write(body)
    return target


def adversarial(target: Path, size: int, piece: int = 1 << 20) -> Path:
    """Rows whose quoted field of many lines is longer than a piece: every cut lands in one."""
    if target.exists() and target.stat().st_size >= size:
        return target
    field = b"a line of a long quoted note, with a comma\n" * (piece * 3 // 2 // 43)
    with open(target, "wb") as out:
        written = out.write(b"id,note,amount\n")
        row = 0
        while written < size:
            written += out.write(b'%d,"%s",%d\n' % (row, field, row))
            row += 1
    return target


def timed(path: Path, threads: int, out: Path, one_core: bool = False, cpu: list[float] | None = None) -> float:
    """The wall time of one run; its CPU time (user and system, all its threads) is appended
    to `cpu` when given."""
    out.unlink(missing_ok=True)
    pin = (lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})) if one_core else None
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", RUN, str(path), str(out), str(threads)], check=True, preexec_fn=pin)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if cpu is not None:
        cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return wall


def piece_counts(path: Path, threads: int, out: Path, runs: int = 3) -> dict[str, float]:
    """The engine's counts of `runs` runs in this process (the report leaves them out), the
    times their medians: the kernel's share of writing varies between runs of the same
    repair by a factor of several here."""
    import rowmender
    from rowmender import _stream

    seen: list[dict] = []
    report = _stream._report
    _stream._report = lambda counts, source: (seen.append(counts), report(counts, source))[1]
    try:
        for _ in range(runs):
            out.unlink(missing_ok=True)
            rowmender.repair(str(path), str(out), threads=threads)
    finally:
        _stream._report = report
    return {
        "pieces": seen[-1]["pieces"],
        "reparsed_pieces": seen[-1]["reparsed_pieces"],
        "parse_s": statistics.median(counts["parse_ns"] for counts in seen) / 1e9,
        "stitch_s": statistics.median(counts["stitch_ns"] for counts in seen) / 1e9,
    }


def copy_bandwidth(size: int = 1 << 27) -> float:
    """Bytes per second one core moves through memory copying (a read and a write each)."""
    source, target = bytearray(b"x" * size), bytearray(size)
    target[:] = source  # the pages mapped before timing
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        target[:] = source
        best = min(best, time.perf_counter() - start)
    return 2 * size / best


def add_file_options(parser: argparse.ArgumentParser) -> None:
    """The options that say which files to time, and how often."""
    parser.add_argument("--source-dir", type=Path, default=generate_data.DEFAULT_DIR)
    parser.add_argument("--out", type=Path, default=Path("/tmp/rowmender-threads"))
    parser.add_argument("--gib", type=float, default=1.0)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--files", nargs="+", default=["clean", "damaged", "adversarial"])


def benchmark_files(args: argparse.Namespace, piece: int = 1 << 20) -> dict[str, Path]:
    """The files asked for, made when missing; the adversarial one's quoted fields are longer
    than `piece`."""
    if not (args.source_dir / "damaged.csv").exists():
        generate_data.generate(args.source_dir, 100.0)
    args.out.mkdir(parents=True, exist_ok=True)
    size = int(args.gib * (1 << 30))
    suffix = "" if piece == 1 << 20 else f"-{piece >> 20}mib"
    makers = {
        "clean": lambda: grown(args.source_dir / "clean.csv", args.out / "clean.csv", size),
        "damaged": lambda: grown(args.source_dir / "damaged.csv", args.out / "damaged.csv", size),
        "adversarial": lambda: adversarial(args.out / f"adversarial{suffix}.csv", size, piece),
    }
    return {name: makers[name]() for name in args.files}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_file_options(parser)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--one-core", action="store_true", help="also time threads=1 held to one CPU")
    args = parser.parse_args()

    files = benchmark_files(args)
    target = args.out / "repaired.csv"
    results: dict[str, dict] = {}
    for name, path in files.items():
        # Keyed by the label printed: "threads=N", and "threads=1, one core" with --one-core.
        runs = [(f"threads={n}", n, False) for n in args.threads]
        if args.one_core:
            runs.insert(0, ("threads=1, one core", 1, True))
        times: dict[str, list[float]] = {label: [] for label, _, _ in runs}
        cpu: dict[str, list[float]] = {label: [] for label, _, _ in runs}
        timed(path, 1, target)  # the file in the page cache, the package compiled
        for _ in range(args.repeat):
            for label, n, one_core in runs:
                times[label].append(timed(path, n, target, one_core, cpu[label]))
        mb = path.stat().st_size / 1e6
        results[name] = {"mb": round(mb), "pieces": piece_counts(path, max(args.threads), target)}
        for label in times:
            median = statistics.median(times[label])
            results[name][label] = {
                "median_s": round(median, 3),
                "spread_s": [round(min(times[label]), 3), round(max(times[label]), 3)],
                "mb_per_s": round(mb / median),
                # CPU time over wall time: how many cores the run kept busy.
                "cpu_s": round(statistics.median(cpu[label]), 3),
                "cores_busy": round(statistics.median(c / t for c, t in zip(cpu[label], times[label])), 2),
            }
        one = statistics.median(times[f"threads={args.threads[0]}"])
        for n in args.threads[1:]:
            results[name][f"speedup_{n}"] = round(one / statistics.median(times[f"threads={n}"]), 2)
        if args.one_core:
            alone = statistics.median(times["threads=1, one core"])
            for n in args.threads:
                results[name][f"speedup_{n}_over_one_core"] = round(alone / statistics.median(times[f"threads={n}"]), 2)
    bandwidth = copy_bandwidth()
    tiny = args.out / "tiny.csv"
    tiny.write_bytes(b"a,b\n1,2\n")
    startup = statistics.median(timed(tiny, 1, target) for _ in range(5))
    results["startup_s"] = round(startup, 3)
    results["copy_bandwidth_gb_s"] = round(bandwidth / 1e9, 2)
    results["model"] = model(results, bandwidth, startup)
    os.unlink(target)
    print(json.dumps(results, indent=1))
    return 0


def model(results: dict, bandwidth: float, startup: float) -> dict:
    """Amdahl's law with the measured serial part, capped by memory bandwidth: on n cores a
    repair takes max(start-up + serial + parallel / n, bytes moved / bandwidth). The parallel
    part is the threads' CPU time reading and walking pieces, the serial part the calling
    thread's CPU time past the head (stitching, writing), the start-up a whole process
    repairing a one-line file; about four bytes move through memory per input byte (read
    from the page cache, walked, written, copied into the page cache). The speed-up is
    against the same sum on one core, the model's own one thread: a wall time measured on a
    shared machine moves too much to divide by."""
    predicted = {}
    for name in ("clean", "damaged"):
        if name not in results:
            continue
        parallel = results[name]["pieces"]["parse_s"]
        serial = results[name]["pieces"]["stitch_s"]
        floor = 4 * results[name]["mb"] * 1e6 / bandwidth
        one = startup + serial + parallel
        predicted[name] = {
            "one_thread_s": round(one, 3),
            "floor_s": round(floor, 3),
            "startup_s": round(startup, 3),
            "serial_s": round(serial, 3),
            "parallel_s": round(parallel, 3),
            **{f"speedup_{n}": round(one / max(startup + serial + parallel / n, floor), 1) for n in (2, 8, 16, 64)},
        }
    return predicted


if __name__ == "__main__":
    sys.exit(main())
