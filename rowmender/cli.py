"""Command line: ``python -m rowmender repair|sniff ...``."""

from __future__ import annotations

import argparse
import json
import os
import signal
import stat
import sys
from typing import Callable, NoReturn, Sequence

from . import _rowmender_backend as backend

SNIFF_SAMPLE_BYTES = 64 * 1024
# The widest tables in use (genotype matrices, one column per sample) have some hundreds of
# thousands of columns. Every short row padded to ten million would take 80 MB of memory
# and 10 MB of output, so a wider count is a mistyped number, not a file's width.
MAX_EXPECTED_COLUMNS = 10_000_000

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


def _column_count(text: str) -> int:
    value = _count(text)
    if value > MAX_EXPECTED_COLUMNS:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_EXPECTED_COLUMNS}: {text!r}")
    return value


def _character(text: str) -> str:
    # The engine works on single bytes and would silently take the first byte of anything
    # longer, so a typo such as ";;" or a non-ASCII character would give a wrong repair.
    if len(text) > 1 or not text.isascii():
        raise argparse.ArgumentTypeError(f"must be one ASCII character: {text!r}")
    return text


def _delimiter(text: str) -> str:
    # sniff prints the tab as \t, so that spelling (and "tab") must be accepted back.
    if text in ("\\t", "tab"):
        return "\t"
    return _character(text)


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
    repair.add_argument(
        "--delimiter", metavar="D", type=_delimiter, help="field delimiter, \\t or tab for the tab (default: detected)"
    )
    repair.add_argument(
        "--quote-char", metavar="Q", type=_character, default='"', help="quote character (default: %(default)s)"
    )
    repair.add_argument(
        "--expected-columns", metavar="N", type=_column_count, help="number of columns (default: inferred; 0 keeps every row as it is)"
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
    if args.json:
        print(json.dumps(summary.to_dict()))
        return
    width = max(len(label) for _, label in _SUMMARY_LABELS)
    for key, label in _SUMMARY_LABELS:
        value = getattr(summary, key)
        shown = _show_delimiter(value) if key == "detected_delimiter" else value
        print(f"{label:<{width}}  {shown}")
    print(f"{'Repaired file':<{width}}  {args.output}")
    if args.quarantine is not None:
        print(f"{'Quarantine file':<{width}}  {args.quarantine}")


class _FileError(Exception):
    """A file could not be read or written; the message names the file."""


def _describe(error: OSError) -> str:
    return error.strerror or str(error)


def _check_input(path: str) -> None:
    # The engine's own message does not name the file, so find the common faults here,
    # where the message can say which file is at fault.
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise _FileError(f"cannot read {path!r}: {_describe(error)}") from None


def _check_output(path: str) -> None:
    if os.path.isdir(path):
        raise _FileError(f"cannot write {path!r}: Is a directory")
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise _FileError(f"cannot write {path!r}: {folder!r} is not an existing folder")


def _check_quarantine_is_not_input(quarantine: str, source: str) -> None:
    # The quarantine file would replace the input, and the original rows would be lost. The
    # output may name the input: that repairs the file in place, as asked.
    try:
        quarantine_info, source_info = os.stat(quarantine), os.stat(source)
    except OSError:
        return  # a quarantine file that does not exist yet is no other file
    if stat.S_ISREG(source_info.st_mode) and os.path.samestat(quarantine_info, source_info):
        raise _FileError(f"cannot write {quarantine!r}: it is the input file {source!r}")


def _repair(args: argparse.Namespace) -> int:
    _check_input(args.input)
    targets = [args.output] if args.quarantine is None else [args.output, args.quarantine]
    for target in targets:
        _check_output(target)
    if args.quarantine is not None:
        _check_quarantine_is_not_input(args.quarantine, args.input)
    try:
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
    except OSError as error:
        names = " and ".join(repr(target) for target in targets)
        raise _FileError(f"cannot repair {args.input!r} into {names}: {error}") from None
    return _print_results(lambda: _print_summary(summary, args))


def _read_sample(path: str) -> str:
    try:
        with open(path, "rb") as file:
            sample = file.read(SNIFF_SAMPLE_BYTES)
    except OSError as error:
        raise _FileError(f"cannot read {path!r}: {_describe(error)}") from None
    if len(sample) == SNIFF_SAMPLE_BYTES:
        # Judge whole lines only: a cut-off last line would skew the field counts.
        last_break = max(sample.rfind(b"\n"), sample.rfind(b"\r"))
        if last_break > 0:
            sample = sample[: last_break + 1]
    return sample.decode("utf-8", errors="replace")


def _sniff(args: argparse.Namespace) -> int:
    delimiter = backend.sniff(_read_sample(args.file))
    return _print_results(lambda: print("\\t" if delimiter == "\t" else delimiter))


def _point_stdout_to_devnull() -> None:
    # What could not be written stays buffered, and the interpreter would try to write it
    # again at exit, and fail again with a traceback.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _exit_as_if_by_sigpipe() -> NoReturn:
    # A tool whose reader has gone away dies of SIGPIPE, quietly, and the shell reports 141.
    # The interpreter ignores the signal and raises BrokenPipeError instead; restore the
    # default action and send the signal again, so that callers see what they expect.
    _point_stdout_to_devnull()
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    raise SystemExit(128 + signal.SIGPIPE)  # not reached where the signal ends the process


def _print_results(show: Callable[[], None]) -> int:
    """Prints to standard output with `show`, once the work is done and its files complete.

    A closed standard output ends the program as if by SIGPIPE; another failure to write it
    (a full disk) is one line on standard error and status 1.
    """
    try:
        show()
        sys.stdout.flush()
    except BrokenPipeError:
        _exit_as_if_by_sigpipe()
    except OSError as error:
        _point_stdout_to_devnull()
        print(f"rowmender: error: cannot write the results: {_describe(error)}", file=sys.stderr)
        return 1
    return 0


def _out_of_memory_message(args: argparse.Namespace) -> str:
    if args.command == "repair":
        return f"not enough memory to repair {args.input!r}"
    return f"not enough memory to read {args.file!r}"


def main(argv: Sequence[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    try:
        return _repair(args) if args.command == "repair" else _sniff(args)
    except _FileError as error:
        message = str(error)
    except MemoryError:
        message = _out_of_memory_message(args)
    except UnicodeEncodeError:
        # A file name with bytes that are not UTF-8 reaches Python as a str the engine
        # cannot pass on to the system.
        message = "file names must be valid UTF-8"
    except OSError as error:
        message = str(error)
    print(f"rowmender: error: {message}", file=sys.stderr)
    return 1
