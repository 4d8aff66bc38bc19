"""One large file repaired here and on a Dask cluster: wall time, and how the pieces went.

    PYTHONPATH=build-release/python /usr/bin/python3 bench/bench_cluster.py \\
        [--source-dir bench/data] [--out /tmp/rowmender-threads] [--gib 1] [--repeat 5] \\
        [--workers 2] [--piece-mib 64] [--scheduler ADDRESS]

The files are those of bench_threads.py (made there when missing). Without --scheduler a
distributed.LocalCluster of --workers processes (one thread each) runs on this machine,
started once before timing. Each round times `rowmender.repair(path, target)` and the same
with `client=` in this process, interleaved; the workers read their pieces from the path
themselves. The cluster's log line says how many pieces it walked and how many this process
walked again.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_threads  # noqa: E402


class Pieces(logging.Handler):
    """Keeps the package's last word on how the pieces went."""

    last = ""

    def emit(self, record: logging.LogRecord) -> None:
        self.last = record.getMessage()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    bench_threads.add_file_options(parser)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--piece-mib", type=int, default=64)
    parser.add_argument("--scheduler")
    args = parser.parse_args()

    import distributed

    import rowmender

    files = bench_threads.benchmark_files(args, args.piece_mib << 20)
    os.environ["ROWMENDER_PIECE_BYTES"] = str(args.piece_mib << 20)
    pieces = Pieces()
    logger = logging.getLogger("rowmender")
    logger.addHandler(pieces)
    logger.setLevel(logging.INFO)
    if args.scheduler:
        client = distributed.Client(args.scheduler)
    else:
        cluster = distributed.LocalCluster(
            n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = distributed.Client(cluster)
    target = args.out / "repaired.csv"
    results: dict[str, dict] = {}
    with client:
        for name, path in files.items():
            roads = {"here": {}, "cluster": {"client": client}}
            times: dict[str, list[float]] = {road: [] for road in roads}
            for road, extra in roads.items():
                rowmender.repair(str(path), str(target), **extra)  # the page cache, the workers' imports
            for _ in range(args.repeat):
                for road, extra in roads.items():
                    target.unlink()  # as bench_threads.py: a repair over the last output pays for it
                    start = time.perf_counter()
                    rowmender.repair(str(path), str(target), **extra)
                    times[road].append(time.perf_counter() - start)
            mb = path.stat().st_size / 1e6
            results[name] = {"mb": round(mb), "pieces": pieces.last}
            for road in roads:
                results[name][road] = {
                    "median_s": round(statistics.median(times[road]), 3),
                    "spread_s": [round(min(times[road]), 3), round(max(times[road]), 3)],
                }
            results[name]["speedup"] = round(statistics.median(times["here"]) / statistics.median(times["cluster"]), 2)
    os.unlink(target)
    print(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
