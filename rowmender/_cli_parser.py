"""The command line's options and help: what ``rowmender --help`` says on its own."""

from __future__ import annotations

import argparse
import codecs

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn

from ._rowmender_backend import __version__

EXIT_OK = 0
EXIT_FILE_ERROR = 1
EXIT_USAGE = 2
EXIT_CHANGES_FOUND = 3
EXIT_INTERRUPTED = 130

# A wider table is a mistyped number: padding every short row to ten million fields takes
# 80 MB of memory and writes 10 MB per row.
MAX_EXPECTED_COLUMNS = 10_000_000

_EXIT_STATUSES = f"""\
exit status:
  {EXIT_OK}    done (check: nothing would change)
  {EXIT_FILE_ERROR}    a file could not be read or written
  {EXIT_USAGE}    the command line is wrong
  {EXIT_CHANGES_FOUND}    check: a repair would change some rows
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C): no output file was touched
  143, 129  SIGTERM, SIGHUP: as Ctrl-C"""

_EPILOG = f"""\
INPUT may be compressed with gzip, bzip2 or xz (zstd too when python3-zstandard is
installed): it is recognised by its first bytes. An OUTPUT ending in .gz, .bz2 or .xz
is written compressed. "-" reads standard input or writes standard output.

examples:
  rowmender repair export.csv clean.csv --quarantine rejected.csv
  rowmender repair dump.csv.gz - --quiet | wc -l
  rowmender check --quiet data/*.csv || echo "some files need a repair"

{_EXIT_STATUSES}

Run "rowmender COMMAND --help" for the options of each command."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line that says where to look, rather than the whole usage.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text!r}")
    if value > MAX_EXPECTED_COLUMNS:
        raise argparse.ArgumentTypeError(f"{value} is more than {MAX_EXPECTED_COLUMNS:,} columns: a mistyped number?")
    return value


def _character(text: str) -> str:
    # The engine works on single bytes and would silently take the first byte of anything
    # longer, so a typo such as ";;" or a non-ASCII character would give a wrong repair.
    if len(text) != 1 or not text.isascii():
        raise argparse.ArgumentTypeError(f"must be one ASCII character: {text!r}")
    if text in "\r\n":
        raise argparse.ArgumentTypeError("cannot be a line break")
    return text


def _delimiter(text: str) -> str:
    # sniff prints the tab as \t, so that spelling (and "tab") must be accepted back.
    if text in ("\\t", "tab"):
        return "\t"
    return _character(text)


def _encoding(text: str) -> str:
    try:
        info = codecs.lookup(text)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None
    # base64, rot13 and the like are codecs too, but they do not turn bytes into text.
    if not getattr(info, "_is_text_encoding", True):
        raise argparse.ArgumentTypeError(f"not a text encoding: {text!r}")
    return info.name


def _file_name(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("a file name cannot be empty")
    return text


def _jobs(text: str) -> int:
    value = _count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _add_jobs_option(group: argparse._ArgumentGroup) -> None:
    group.add_argument(
        "--jobs", "-j", metavar="N", type=_jobs,
        help="repair N files at once, in N worker processes (default: one per CPU)",
    )


def _add_repair_options(parser: argparse.ArgumentParser, json_help: str, quiet_help: str) -> None:
    options = parser.add_argument_group("how to read and repair")
    options.add_argument(
        "--delimiter", metavar="D", type=_delimiter, help="field delimiter, \\t or tab for the tab (default: detected)"
    )
    options.add_argument(
        "--quote-char", metavar="Q", type=_character, default='"', help="quote character (default: %(default)s)"
    )
    options.add_argument(
        "--expected-columns", metavar="N", type=_count,
        help=f"number of columns, at most {MAX_EXPECTED_COLUMNS:,} (default: inferred; 0 keeps every row as it is)",
    )
    options.add_argument("--no-fill", action="store_true", help="quarantine short rows instead of padding them")
    options.add_argument(
        "--no-merge", action="store_true", help="quarantine long rows instead of merging their surplus"
    )
    options.add_argument("--no-repair-quotes", action="store_true", help="do not repair stray quotes")
    options.add_argument(
        "--encoding", metavar="NAME", type=_encoding,
        help="the input's text encoding, e.g. cp1252 or latin-1 (default: UTF-8, or UTF-16 after a UTF-16 "
        "byte-order mark)",
    )
    shown = parser.add_argument_group("what to print")
    shown.add_argument("--json", action="store_true", help=json_help)
    shown.add_argument("--quiet", "-q", action="store_true", help=quiet_help)


def build_parser() -> argparse.ArgumentParser:
    """The parser; each command's namespace holds its own parser as ``parser``, for the
    usage errors found after parsing."""
    formatter = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        # The installed command's name; `python -m rowmender` runs the same program.
        prog="rowmender",
        description="Rescue damaged delimited text files (CSV and its semicolon, tab and bar variants).",
        epilog=_EPILOG,
        formatter_class=formatter,
    )
    parser.add_argument("--version", action="version", version=f"rowmender {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    repair_parser = commands.add_parser(
        "repair",
        help="repair a file (or many) and write the kept rows as clean CSV",
        usage="%(prog)s [options] INPUT OUTPUT\n       %(prog)s [options] INPUT... --output-dir DIR [--jobs N]",
        description=(
            "Repair INPUT and write the kept rows to OUTPUT as clean CSV; print what was done on "
            "standard error.\nOUTPUT is replaced only when the repair succeeded (OUTPUT may be "
            "INPUT, to repair in place).\nWith --output-dir, repair every INPUT into DIR under its own "
            "name, several at once; a file that fails\nis reported and the others go on."
        ),
        epilog=f"{_EXIT_STATUSES}\n\nexamples:\n  rowmender repair export.csv.gz clean.csv --changes changes.csv\n"
        "  rowmender repair exports/*.csv --output-dir clean/ --quarantine-dir rejected/ --jobs 4",
        formatter_class=formatter,
    )
    repair_parser.add_argument(
        "paths", metavar="INPUT", nargs="+", type=_file_name,
        help="the damaged file (- for standard input), then OUTPUT, where to write the repaired file "
        "(- for standard output); with --output-dir, every INPUT",
    )
    many = repair_parser.add_argument_group("many files")
    many.add_argument("--output-dir", metavar="DIR", type=_file_name,
                      help="write each repaired INPUT to DIR under its own name")
    many.add_argument("--quarantine-dir", metavar="DIR", type=_file_name,
                      help="write each INPUT's rows that were set aside to DIR, under its name")
    many.add_argument("--changes-dir", metavar="DIR", type=_file_name,
                      help="write each INPUT's change log to DIR, under its name")
    _add_jobs_option(many)
    files = repair_parser.add_argument_group("side files")
    files.add_argument(
        "--quarantine", metavar="FILE", type=_file_name, help="write the rows that were set aside to FILE"
    )
    files.add_argument(
        "--changes", metavar="FILE", type=_file_name, help="write a CSV log of every change, line by line, to FILE"
    )
    _add_repair_options(
        repair_parser,
        json_help="print every count as JSON instead of the table: on standard output, or on standard error "
        "when the data goes to standard output",
        quiet_help="print no summary, warnings, hints or progress (errors, and --json, still print)",
    )
    repair_parser.set_defaults(parser=repair_parser)

    check_parser = commands.add_parser(
        "check",
        help="say whether a repair would change anything (exit status 3 if so)",
        description=(
            "Read each INPUT as repair would, write nothing, and print one line per file.\n"
            "The exit status is 3 when a repair would fill, merge, quarantine or otherwise alter any row\n"
            "(line ends and a byte-order mark do not count), 0 when it would not."
        ),
        epilog=f"{_EXIT_STATUSES}\n\nexample:\n  rowmender check --quiet incoming/*.csv || exit 1",
        formatter_class=formatter,
    )
    check_parser.add_argument(
        "inputs", metavar="INPUT", nargs="+", type=_file_name, help="a file to check (- for standard input)"
    )
    _add_jobs_option(check_parser.add_argument_group("many files"))
    _add_repair_options(
        check_parser,
        json_help="print one JSON object of counts per file instead of a line",
        quiet_help="print nothing but errors: the exit status tells (--json still prints)",
    )
    check_parser.set_defaults(parser=check_parser)

    sniff_parser = commands.add_parser(
        "sniff",
        help="print the delimiter a file most likely uses",
        description="Print the delimiter FILE most likely uses (a tab as \\t), judged from its first 64 KiB.",
        formatter_class=formatter,
    )
    sniff_parser.add_argument("file", metavar="FILE", type=_file_name, help="the file (- for standard input)")
    sniff_parser.set_defaults(parser=sniff_parser)
    return parser
