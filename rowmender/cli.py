"""Command line: ``python -m rowmender repair|sniff ...``."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Sequence

from . import _rowmender_backend as backend

SNIFF_SAMPLE_BYTES = 64 * 1024

_SUMMARY_LABELS = (
    ("total_rows", "Rows read"),
    ("salvaged_rows", "Rows kept"),
    ("repaired_rows", "Rows repaired (filled or merged)"),
    ("quarantined_rows", "Rows quarantined"),
    ("detected_delimiter", "Delimiter"),
    ("inferred_columns", "Columns"),
)


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    return value


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m rowmender",
        description="Rescue damaged delimited text files.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    repair = commands.add_parser(
        "repair",
        help="repair a file and write the kept rows as clean CSV",
        description="Repair INPUT, write the kept rows to OUTPUT and print what was done.",
    )
    repair.add_argument("input", metavar="INPUT", help="the damaged file")
    repair.add_argument("output", metavar="OUTPUT", help="where to write the repaired file")
    repair.add_argument("--quarantine", metavar="PATH", help="write the rows that were set aside to PATH")
    repair.add_argument("--delimiter", metavar="D", help="field delimiter (default: detected)")
    repair.add_argument("--quote-char", metavar="Q", default='"', help="quote character (default: %(default)s)")
    repair.add_argument(
        "--expected-columns", metavar="N", type=_count, help="number of columns (default: inferred; 0 keeps every row as it is)"
    )
    repair.add_argument("--no-fill", action="store_true", help="quarantine short rows instead of padding them")
    repair.add_argument("--no-merge", action="store_true", help="quarantine long rows instead of merging their surplus")
    repair.add_argument("--no-repair-quotes", action="store_true", help="do not repair stray quotes")
    repair.add_argument("--json", action="store_true", help="print the summary as JSON")

    sniff = commands.add_parser(
        "sniff",
        help="print the delimiter a file most likely uses",
        description=f"Print the delimiter FILE most likely uses, judged from its first {SNIFF_SAMPLE_BYTES // 1024} KiB.",
    )
    sniff.add_argument("file", metavar="FILE")
    return parser


def _show_delimiter(delimiter: str) -> str:
    return "tab" if delimiter == "\t" else repr(delimiter)


def _print_summary(summary: backend.SalvageSummary, args: argparse.Namespace) -> None:
    values = summary.to_dict()
    if args.json:
        print(json.dumps(values))
        return
    width = max(len(label) for _, label in _SUMMARY_LABELS)
    for key, label in _SUMMARY_LABELS:
        value = values[key]
        shown = _show_delimiter(value) if key == "detected_delimiter" else value
        print(f"{label:<{width}}  {shown}")
    print(f"{'Repaired file':<{width}}  {args.output}")
    if args.quarantine is not None:
        print(f"{'Quarantine file':<{width}}  {args.quarantine}")


def _repair(args: argparse.Namespace) -> int:
    summary = backend.salvage_file(
        args.input,
        args.output,
        quarantine_path=args.quarantine,
        delimiter=args.delimiter,
        quote_char=args.quote_char,
        fill_ragged_rows=not args.no_fill,
        merge_overflow=not args.no_merge,
        expected_columns=args.expected_columns,
        repair_quotes=not args.no_repair_quotes,
    )
    _print_summary(summary, args)
    return 0


def _read_sample(path: str) -> str:
    with open(path, "rb") as file:
        sample = file.read(SNIFF_SAMPLE_BYTES)
    if len(sample) == SNIFF_SAMPLE_BYTES:
        # Judge whole lines only: a cut-off last line would skew the field counts.
        last_break = max(sample.rfind(b"\n"), sample.rfind(b"\r"))
        if last_break > 0:
            sample = sample[: last_break + 1]
    return sample.decode("utf-8", errors="replace")


def _sniff(args: argparse.Namespace) -> int:
    delimiter = backend.sniff(_read_sample(args.file))
    print("\\t" if delimiter == "\t" else delimiter)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    try:
        return _repair(args) if args.command == "repair" else _sniff(args)
    except OSError as error:
        print(f"rowmender: error: {error}", file=sys.stderr)
        return 1
