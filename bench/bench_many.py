"""Files per second of repair_many: one process, a local pool of two, and a Dask cluster.

Build the module in Release and run the benchmark from the repository root:

    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \\
        -DPython3_EXECUTABLE=/usr/bin/python3 -DROWMENDER_INPLACE=OFF && cmake --build build-release
    PYTHONPATH=build-release/python /usr/bin/python3 bench/bench_many.py [--files 64] [--size-mb 16] [--rounds 5]

The inputs are --files tables of --size-mb MB made by bench/generate_data.py's write_table,
every other one damaged (about 1.5 percent of rows short, long, with stray quotes, bad bytes
or blank, a byte-order mark and mixed line ends), each from its own seed, into
bench/data/many/ (made on first use, or when the count or size changes). Each is repaired
with a quarantine file, into a scratch folder on /dev/shm when there is one (--scratch), so
that the disk's moods do not drown the differences; the outputs are deleted after each run.

Modes, run in interleaved rounds (each mode once per round, in a rotating order):

  jobs=1    repair_many(jobs=1): the files one after another, in the calling process
  jobs=2    repair_many(jobs=2): a local pool of two worker processes, forked from the
            caller, which runs no other thread
  jobs=2 t  the same from a caller that runs a second thread: the workers come from the
            fork server
  cluster   repair_many(client=...) on a distributed.LocalCluster of two worker processes
            with one thread each, started once before the rounds (its start-up is shown
            apart: a cluster is started once and used for many runs)
  start     jobs=2 on two files of 30 bytes: what starting the pool costs, forked
  start t   the same, from the fork server

All but the cluster run in a fresh interpreter, as a command-line run would, and the time is
taken around the call only: for jobs=2 it includes starting the pool. Every run notes the
one-minute load average before it starts, the CPU time of all its processes, and the share
of the machine's CPU time that other processes took meanwhile: on a shared machine these
say how far to trust the medians, and the CPU time, unlike the wall time, barely depends
on what else runs.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

import psutil

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "many"
TINY = b"id,name\n1,Ann\n2,Bob,extra\n3\n"


def make_inputs(folder: Path, files: int, size_mb: float) -> list[Path]:
    """The benchmark's inputs, made unless a manifest says they are there already."""
    sys.path.insert(0, str(HERE))
    import generate_data

    wanted = {"version": generate_data.GENERATOR_VERSION, "files": files, "size_mb": size_mb}
    paths = [folder / f"table-{index:03d}.csv" for index in range(files)]
    manifest = folder / "manifest.json"
    try:
        if json.loads(manifest.read_text()) == wanted and all(path.is_file() for path in paths):
            return paths
    except (OSError, ValueError):
        pass
    folder.mkdir(parents=True, exist_ok=True)
    manifest.unlink(missing_ok=True)
    print(f"generating {files} files of {size_mb:g} MB into {folder}", flush=True)
    for index, path in enumerate(paths):
        generate_data.write_table(
            path, int(size_mb * 1_000_000), generate_data.SEED + 1000 + index, damaged=index % 2 == 1
        )
    manifest.write_text(json.dumps(wanted) + "\n")
    return paths


def timed_run(sources: list[str], scratch: Path, **how: Any) -> dict[str, Any]:
    """One repair_many call into a fresh scratch folder: its time and what it read."""
    import rowmender

    out = Path(tempfile.mkdtemp(dir=scratch))
    try:
        start = time.perf_counter()
        results = rowmender.repair_many(sources, out / "repaired", quarantine_dir=out / "quarantine", **how)
        seconds = time.perf_counter() - start
    finally:
        shutil.rmtree(out)
    failed = [source for source, outcome in results.items() if isinstance(outcome, Exception)]
    if failed:
        raise SystemExit(f"{len(failed)} files failed, the first: {failed[0]}: {results[failed[0]]}")
    return {"seconds": seconds, "bytes": sum(outcome.bytes_read for outcome in results.values())}


def run_in_child(jobs: int, sources: list[str], scratch: Path, thread: bool = False) -> dict[str, Any]:
    """timed_run in a fresh interpreter, as a command-line run would be; with ``thread``, one
    that runs a second thread, as a program with a progress display might."""
    command = [
        sys.executable,
        __file__,
        "--child",
        str(jobs),
        "--scratch",
        str(scratch),
        *(["--thread"] if thread else []),
        *sources,
    ]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout)  # type: ignore[no-any-return]


class Watch:
    """What a run cost: the CPU time of this process and of every process under it (the
    child, its fork server and workers, the cluster's nannies and workers), sampled every
    50 ms, and the share of the machine's CPU time that went to other processes meanwhile.
    A worker's CPU time is read while it lives: a fork server's children are reaped by the
    fork server, so they never show in this process's RUSAGE_CHILDREN."""

    def __init__(self) -> None:
        self._me = psutil.Process()
        self._first: dict[tuple[int, float], float] = {}
        self._last: dict[tuple[int, float], float] = {}
        self._done = threading.Event()

    def _sample(self, before: bool = False) -> None:
        for process in [self._me, *self._me.children(recursive=True)]:
            try:
                with process.oneshot():
                    key = (process.pid, process.create_time())
                    times = process.cpu_times()
            except psutil.Error:
                continue  # gone meanwhile
            self._last[key] = times.user + times.system
            # A process there before the run counts from here; one started since, from its start.
            self._first.setdefault(key, self._last[key] if before else 0.0)

    def __enter__(self) -> Watch:
        self._sample(before=True)
        self._machine = machine_seconds()
        self._thread = threading.Thread(target=self._poll, daemon=True)
        self._thread.start()
        return self

    def _poll(self) -> None:
        while not self._done.wait(0.05):
            self._sample()

    def __exit__(self, *exc: object) -> None:
        self._done.set()
        self._thread.join()
        self._sample()
        total, busy = (after - before for after, before in zip(machine_seconds(), self._machine))
        self.cpu = sum(self._last[key] - self._first[key] for key in self._last)
        self.others = max(0.0, busy - self.cpu) / total if total else 0.0


def machine_seconds() -> tuple[float, float]:
    """All CPUs' time since boot, and the part of it that was not idle."""
    with open("/proc/stat") as stat:
        ticks = [int(field) for field in stat.readline().split()[1:9]]
    per_second = os.sysconf("SC_CLK_TCK")
    return sum(ticks) / per_second, (sum(ticks) - ticks[3] - ticks[4]) / per_second


def spread(values: list[float], unit: str, digits: int = 2) -> str:
    return f"{statistics.median(values):.{digits}f} {unit} ({min(values):.{digits}f} to {max(values):.{digits}f})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=64)
    parser.add_argument("--size-mb", type=float, default=16.0)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument(
        "--scratch", type=Path, default=Path("/dev/shm") if Path("/dev/shm").is_dir() else Path(tempfile.gettempdir())
    )
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--thread", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("sources", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        if args.thread:
            threading.Thread(target=threading.Event().wait, daemon=True).start()
        print(json.dumps(timed_run(args.sources, args.scratch, jobs=args.child)))
        return 0

    import distributed

    sources = [str(path) for path in make_inputs(DATA, args.files, args.size_mb)]
    megabytes = sum(os.path.getsize(source) for source in sources) / 1e6
    scratch = Path(tempfile.mkdtemp(prefix="rowmender-bench-many-", dir=args.scratch))
    tiny = [scratch / "tiny-1.csv", scratch / "tiny-2.csv"]
    for path in tiny:
        path.write_bytes(TINY)
    started = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = distributed.Client(cluster)
    cluster_start = time.perf_counter() - started
    small = [str(path) for path in tiny]
    modes = {
        "jobs=1": lambda: run_in_child(1, sources, scratch),
        "jobs=2": lambda: run_in_child(2, sources, scratch),
        "jobs=2 t": lambda: run_in_child(2, sources, scratch, thread=True),
        "cluster": lambda: timed_run(sources, scratch, client=client),
        "start": lambda: run_in_child(2, small, scratch),
        "start t": lambda: run_in_child(2, small, scratch, thread=True),
    }
    runs: dict[str, list[dict[str, float]]] = {name: [] for name in modes}
    try:
        for round_ in range(args.rounds):
            order = list(modes)[round_ % len(modes) :] + list(modes)[: round_ % len(modes)]
            for name in order:
                load = os.getloadavg()[0]
                with Watch() as watch:
                    result = modes[name]()
                runs[name].append(
                    {"seconds": result["seconds"], "cpu": watch.cpu, "others": watch.others, "load": load}
                )
                print(
                    f"round {round_ + 1} {name:10} {result['seconds']:6.2f} s, CPU {watch.cpu:5.2f} s, "
                    f"others {watch.others:4.0%} of the machine, load {load:.2f}",
                    flush=True,
                )
    finally:
        client.close()
        cluster.close()
        shutil.rmtree(scratch)

    def column(name: str, field: str) -> list[float]:
        return [run[field] for run in runs[name]]

    loads = [run["load"] for name in runs for run in runs[name]]
    print()
    print(
        f"{args.files} files, {megabytes:.0f} MB in all, {os.cpu_count()} CPUs; median of {args.rounds} interleaved "
        f"rounds (fastest to slowest); load average {min(loads):.2f} to {max(loads):.2f}"
    )
    print(
        "CPU: the CPU time of every process of the run; others: the share of the machine's CPU time other "
        "processes took meanwhile"
    )
    base = statistics.median(column("jobs=1", "seconds"))
    for name in ("jobs=1", "jobs=2", "jobs=2 t", "cluster"):
        median = statistics.median(column(name, "seconds"))
        print(
            f"{name:8} {spread(column(name, 'seconds'), 's')}  {args.files / median:5.1f} files/s  "
            f"{megabytes / median:5.0f} MB/s  {base / median:4.2f}x  CPU {spread(column(name, 'cpu'), 's')}  "
            f"others {statistics.median(column(name, 'others')):.0%}"
        )
    for name in ("start", "start t"):
        print(f"{name:8} {spread(column(name, 'seconds'), 's')}  CPU {spread(column(name, 'cpu'), 's')}")
    print(f"cluster start {cluster_start:.2f} s (once)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
