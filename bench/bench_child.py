"""One task of bench_salvage.py on one file, timed around the work, in a process of its own.

    python bench_child.py TASK INPUT SCRATCH

Prints a dict literal: the work's seconds, the process's peak RSS (VmHWM) and RSS before the
work, and what the task reports. It imports nothing but what the task needs, so that the
whole process's time is what a user's own script would take.
"""

import os
import sys
import time

# The csv tasks are told the delimiter (rowmender finds it by itself).
CSV_DELIMITERS = {"semicolon.csv": ";"}


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

    with open(input_path, newline="", encoding="utf-8", errors="replace") as source, open(
        output_path, "w", newline="", encoding="utf-8"
    ) as target:
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
                row[width - 1 :] = [delimiter.join(row[width - 1 :])]
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
    elif task in ("repair", "repair_changes", "repair_cleanup"):
        changes = os.path.join(scratch, "changes.csv") if task == "repair_changes" else None
        start = time.perf_counter()
        report = rowmender.repair(
            input_path,
            output_path,
            os.path.join(scratch, "quarantine.csv"),
            changes=changes,
            cleanup=task == "repair_cleanup",
        )
        elapsed = time.perf_counter() - start
        result["summary"] = report.to_dict()
    elif task == "rows_iterate":
        row = None
        start = time.perf_counter()
        for row in rowmender.rows(input_path):
            pass
        elapsed = time.perf_counter() - start
        # With the stream gone, what the last row handed over holds (all of a one-row file).
        result["held_bytes"] = current_rss_bytes() - rss_before
        del row
    elif task == "reader_construct":
        start = time.perf_counter()
        reader = rowmender.SalvageReader(input_path)
        elapsed = time.perf_counter() - start
        result["held_bytes"] = current_rss_bytes() - rss_before
        result["rows"] = len(reader)
    elif task == "reader_iterate":
        start = time.perf_counter()
        for _row in rowmender.open(input_path):
            pass
        elapsed = time.perf_counter() - start
    elif task == "csv_reader":
        row = None
        start = time.perf_counter()
        with open(input_path, newline="", encoding="utf-8", errors="replace") as source:
            for row in csv.reader(source, delimiter=delimiter):
                pass
        elapsed = time.perf_counter() - start
        result["held_bytes"] = current_rss_bytes() - rss_before
        del row
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


if __name__ == "__main__":
    print(repr(run_child(sys.argv[1], sys.argv[2], sys.argv[3])))
