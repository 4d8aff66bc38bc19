#!/usr/bin/env python3
"""Runs salvage_file and the reader under many address-space limits (prlimit --as), on the
main thread and on a new thread, and checks that every run ends in MemoryError or in the
right result: never a signal, never an abort. Slow and memory-hungry: run it by hand.

    PYTHONPATH=build/python /usr/bin/python3 scripts/memory_limit_sweep.py
    PYTHONPATH=build/python /usr/bin/python3 scripts/memory_limit_sweep.py --size-mb 20 --limits-mb 60:400:5

Exit status 0 when every run ended well, 1 otherwise.
"""

from __future__ import annotations

import argparse
import collections
import os
import shutil
import subprocess
import sys
import tempfile

# One call, as a user would make it, then its outcome on one line: the summary (and, for
# salvage_file, a checksum of the repaired file), or MemoryError.
CHILD = r"""
import sys, threading, zlib
import rowmender

entry, where, source, output, options = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], eval(sys.argv[5])


def call():
    try:
        if entry == "reader":
            reader = rowmender.SalvageReader(source, **options)
            return f"{len(reader)} {reader.summary.to_dict()}"
        summary = rowmender.salvage_file(source, output, **options)
        with open(output, "rb") as written:
            checksum = 0
            while chunk := written.read(1 << 20):
                checksum = zlib.crc32(chunk, checksum)
        return f"{summary.to_dict()} {checksum:08x}"
    except MemoryError:
        return "MemoryError"


outcome = []
if where == "thread":
    thread = threading.Thread(target=lambda: outcome.append(call()))
    thread.start()
    thread.join()
else:
    outcome.append(call())
print(outcome[0] if outcome else "no outcome")
"""

OPTION_SETS = {
    # Every row quarantined: the many small allocations that ran out at the worst moment.
    "quarantine": {"expected_columns": 3, "merge_overflow": False},
    "default": {},
}


def write_input(path: str, size_mb: int) -> None:
    row = b"alpha,beta,gamma,delta\n"
    rows, block_rows = size_mb * 2**20 // len(row), 1 << 16
    with open(path, "wb") as file:
        for _ in range(rows // block_rows):
            file.write(row * block_rows)
        file.write(row * (rows % block_rows))


def run(
    entry: str, where: str, source: str, output: str, options: dict[str, object], limit_mb: int | None
) -> tuple[int, str, str]:
    command = [sys.executable, "-c", CHILD, entry, where, source, output, repr(options)]
    if limit_mb is not None:
        command = ["prlimit", f"--as={limit_mb * 2**20}", "--"] + command
    result = subprocess.run(command, capture_output=True, text=True)
    return result.returncode, result.stdout.strip(), result.stderr.strip()


def parse_limits(text: str) -> list[int]:
    start, stop, step = (int(part) for part in text.split(":"))
    return list(range(start, stop + 1, step))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=int, default=150, help="input size in MiB (default: %(default)s)")
    parser.add_argument(
        "--limits-mb",
        type=parse_limits,
        default="300:1200:10",
        help="address-space limits in MiB, as FROM:TO:STEP (default: %(default)s)",
    )
    parser.add_argument(
        "--options",
        nargs="+",
        choices=sorted(OPTION_SETS),
        default=["quarantine"],
        help="option sets to run (default: quarantine)",
    )
    parser.add_argument("--entries", nargs="+", choices=["reader", "salvage_file"], default=["reader", "salvage_file"])
    parser.add_argument("--threads", nargs="+", choices=["main", "thread"], default=["main", "thread"])
    args = parser.parse_args()
    if shutil.which("prlimit") is None:
        parser.error("needs prlimit (util-linux)")

    folder = tempfile.mkdtemp(prefix="rowmender-sweep-")
    try:
        source, output = os.path.join(folder, "in.csv"), os.path.join(folder, "out.csv")
        write_input(source, args.size_mb)
        failures = 0
        totals: collections.Counter[str] = collections.Counter()
        for option_name in args.options:
            options = OPTION_SETS[option_name]
            for entry in args.entries:
                status, expected, error = run(entry, "main", source, output, options, None)
                if status != 0 or expected == "MemoryError":
                    print(f"{entry} {option_name}: the unlimited run failed: {status} {error[-500:]}")
                    return 1
                for where in args.threads:
                    counts: collections.Counter[str] = collections.Counter()
                    bad = []
                    for limit in args.limits_mb:
                        status, outcome, error = run(entry, where, source, output, options, limit)
                        if status != 0:
                            kind = f"died (status {status})" if status > 0 else f"died (signal {-status})"
                            bad.append(f"{limit} MiB: {kind}: {error.splitlines()[-1] if error else ''}")
                        elif outcome == "MemoryError":
                            kind = "MemoryError"
                        elif outcome == expected:
                            kind = "right result"
                        else:
                            kind = "wrong result"
                            bad.append(f"{limit} MiB: {outcome[:200]}")
                        counts[kind] += 1
                    totals.update(counts)
                    failures += len(bad)
                    shown = ", ".join(f"{n} {kind}" for kind, n in sorted(counts.items()))
                    print(f"{entry:12} {where:6} {option_name:10} {len(args.limits_mb)} limits: {shown}", flush=True)
                    for line in bad:
                        print(f"    {line}")
        runs = sum(totals.values())
        print(
            f"{runs} runs, input {args.size_mb} MiB, limits {args.limits_mb[0]}..{args.limits_mb[-1]} MiB: "
            + ", ".join(f"{n} {kind}" for kind, n in sorted(totals.items()))
        )
        return 1 if failures else 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
