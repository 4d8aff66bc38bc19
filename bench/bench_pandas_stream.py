"""pandas.read_csv on a repaired stream, next to a repair into a file read back and next to
pandas alone.

    python bench/bench_pandas_stream.py [FILE] [--repeat N]

Each way runs in a process of its own (its whole time counts: interpreter, imports, work),
the ways interleaved round after round; medians of wall time (with the fastest and slowest
run) and of peak RSS are printed.
FILE defaults to bench/data/clean.csv (made by bench/generate_data.py).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

WAYS = {
    "pandas.read_csv(file)": """
import pandas
frame = pandas.read_csv(SOURCE)
""",
    "repair(file, tmp) + pandas.read_csv(tmp)": """
import os, pandas, rowmender
rowmender.repair(SOURCE, TMP)
frame = pandas.read_csv(TMP)
os.remove(TMP)
""",
    "pandas.read_csv(open_repaired(file))": """
import pandas, rowmender
with rowmender.open_repaired(SOURCE) as stream:
    frame = pandas.read_csv(stream)
""",
}

PEAK = """
with open("/proc/self/status") as status:
    print(next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:")), frame.shape[0])
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", default=os.path.join(os.path.dirname(__file__), "data", "clean.csv"))
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    source = os.path.abspath(args.file)
    times: dict[str, list[float]] = {way: [] for way in WAYS}
    peaks: dict[str, list[int]] = {way: [] for way in WAYS}
    rows: dict[str, set[str]] = {way: set() for way in WAYS}
    with tempfile.TemporaryDirectory(dir=os.path.dirname(source)) as scratch:
        prelude = f"SOURCE = {source!r}\nTMP = {os.path.join(scratch, 'repaired.csv')!r}\n"
        for _ in range(args.repeat):
            for way, code in WAYS.items():
                start = time.perf_counter()
                result = subprocess.run(
                    [sys.executable, "-c", prelude + code + PEAK], capture_output=True, text=True, check=True
                )
                times[way].append(time.perf_counter() - start)
                peak, count = result.stdout.split()
                peaks[way].append(int(peak))
                rows[way].add(count)
    size = os.path.getsize(source) / 1e6
    print(f"{os.path.basename(source)}, {size:.0f} MB; medians of {args.repeat} interleaved runs")
    for way in WAYS:
        print(
            f"  {way:<42} {statistics.median(times[way]):6.2f} s ({min(times[way]):.2f} to {max(times[way]):.2f})"
            f"  {statistics.median(peaks[way]) / 2**20:5.0f} MiB  rows {','.join(sorted(rows[way]))}"
        )


if __name__ == "__main__":
    main()
