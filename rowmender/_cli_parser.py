"""The command line's options and help: what ``rowmender --help`` says on its own."""

from __future__ import annotations

import argparse
import sys


from ._files import text_codec
from ._rowmender_backend import _CLEANUP_RULES, __version__

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import NoReturn

EXIT_OK = 0
EXIT_FILE_ERROR = 1
EXIT_USAGE = 2
EXIT_CHANGES_FOUND = 3
EXIT_CUT_OFF = 4
EXIT_INTERRUPTED = 130

_EXIT_STATUSES = f"""\
exit status:
  {EXIT_OK}    done (check: nothing would change)
  {EXIT_FILE_ERROR}    a file could not be read or written
  {EXIT_USAGE}    the command line is wrong
  {EXIT_CHANGES_FOUND}    check: a repair would change some rows
  {EXIT_CUT_OFF}    the input was cut off: compressed data ended before its end marker; the rows
       before the cut were repaired (--allow-cut-off: a warning, and the status as usual)
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
  rowmender report export.csv -o export-report.html

{_EXIT_STATUSES}

Run "rowmender COMMAND --help" for the options of each command."""


class _Parser(argparse.ArgumentParser):
    _words: Sequence[str] = ()

    def parse_known_args(
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        # Kept for the hint below: what this parser (a command's, for its part) was given.
        self._words = list(sys.argv[1:] if args is None else args)
        return super().parse_known_args(args, namespace)

    def error(self, message: str) -> NoReturn:
        # One line that says where to look, rather than the whole usage.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}{self._dash_hint(message)} (see '{self.prog} --help')\n")

    def _dash_hint(self, message: str) -> str:
        """A word that begins with '-' and is no option is most likely a file's name."""
        if message.startswith("unrecognized arguments: "):
            words = message.split(": ", 1)[1].split()
        elif message.startswith("the following arguments are required"):
            words = [word for word in self._words if not self._is_option(word)]
        else:
            return ""
        # "--bogus" is a mistyped option; "-x.csv" or "--notes.txt" a file's name.
        names = [
            word
            for word in words
            if word.startswith("-") and word not in ("-", "--") and (not word.startswith("--") or "." in word)
        ]
        if not names:
            return ""
        return f"; to name a file that begins with '-', write '-- {names[0]}' (after the options) " f"or './{names[0]}'"

    def _is_option(self, word: str) -> bool:
        option = word.split("=", 1)[0]
        return any(known.startswith(option) for known in self._option_string_actions)


def _whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _delimiter(text: str) -> str:
    # sniff prints the tab as \t, so that spelling (and "tab") must be accepted back. What
    # else makes a good delimiter is the engine's to judge, as for the Python functions.
    return "\t" if text in ("\\t", "tab") else text


def _encoding(text: str) -> str:
    # base64, rot13 and the like are codecs too, but they do not turn bytes into text.
    try:
        return text_codec(text)
    except LookupError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _file_name(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("a file name cannot be empty")
    return text


def _jobs(text: str) -> int:
    value = _whole_number(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _add_jobs_option(group: argparse._ArgumentGroup) -> None:
    group.add_argument(
        "--jobs",
        "-j",
        metavar="N",
        type=_jobs,
        help="repair N files at once, in N worker processes (default: one per CPU)",
    )


def _rule_names(text: str) -> tuple[str, ...]:
    """--cleanup's list; an unknown name is left to the settings' own check."""
    return tuple(name.strip() for name in text.split(",") if name.strip())


def _add_repair_options(parser: argparse.ArgumentParser, json_help: str, quiet_help: str) -> None:
    options = parser.add_argument_group("how to read and repair")
    options.add_argument(
        "--delimiter", metavar="D", type=_delimiter, help="field delimiter, \\t or tab for the tab (default: detected)"
    )
    quoting = options.add_mutually_exclusive_group()
    quoting.add_argument("--quote-char", metavar="Q", default='"', help="quote character (default: %(default)s)")
    quoting.add_argument(
        "--no-quoting",
        dest="quote_char",
        action="store_const",
        const=None,
        help="read quotes as plain text: for files from tools that never quote a field",
    )
    options.add_argument(
        "--escape-char",
        metavar="C",
        help="the character that makes the next one plain text (\\ for a dump's \\\" and \\\\), dropped on reading",
    )
    options.add_argument(
        "--expected-columns",
        metavar="N",
        type=_whole_number,
        help="number of columns (default: inferred; 0 keeps every row as it is)",
    )
    options.add_argument("--no-fill", action="store_true", help="quarantine short rows instead of padding them")
    options.add_argument(
        "--no-merge", action="store_true", help="quarantine long rows instead of merging their surplus"
    )
    options.add_argument("--no-repair-quotes", action="store_true", help="do not repair stray quotes")
    options.add_argument(
        "--encoding",
        metavar="NAME",
        type=_encoding,
        help="the input's text encoding, e.g. cp1252 or latin-1, or auto to detect it from the first 64 KiB "
        "(default: auto, by the encoding rule of --cleanup; without it UTF-8, or UTF-16 or UTF-32 after "
        "its byte-order mark)",
    )
    cleanup = options.add_mutually_exclusive_group()
    cleanup.add_argument(
        "--cleanup",
        metavar="RULES",
        type=_rule_names,
        help="the real-world rules to apply, comma-separated (default: all of them: " + ", ".join(_CLEANUP_RULES) + ")",
    )
    cleanup.add_argument(
        "--no-cleanup",
        dest="cleanup",
        action="store_const",
        const=(),
        help="apply none of the real-world rules: repair exactly as the library's salvage_file does",
    )
    options.add_argument(
        "--allow-cut-off",
        action="store_true",
        help=f"a compressed INPUT cut off before its end marker is only a warning, not exit status {EXIT_CUT_OFF}",
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
        "paths",
        metavar="INPUT",
        nargs="+",
        type=_file_name,
        help="the damaged file (- for standard input), then OUTPUT, where to write the repaired file "
        "(- for standard output); with --output-dir, every INPUT",
    )
    many = repair_parser.add_argument_group("many files")
    many.add_argument(
        "--output-dir",
        metavar="DIR",
        type=_file_name,
        help="write each repaired INPUT to DIR under its own name; a name ending in .gz, .bz2, .xz "
        "or .zst is written compressed the same way",
    )
    many.add_argument(
        "--quarantine-dir",
        metavar="DIR",
        type=_file_name,
        help="write each INPUT's rows that were set aside to DIR, under its name",
    )
    many.add_argument(
        "--changes-dir", metavar="DIR", type=_file_name, help="write each INPUT's change log to DIR, under its name"
    )
    _add_jobs_option(many)
    repair_parser.add_argument(
        "--threads",
        metavar="N",
        type=_jobs,
        default=1,
        help="repair one regular file on N threads, into the same bytes (default: %(default)s; "
        "several files go on several processes with --jobs)",
    )
    repair_parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="repair on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786), into the same bytes: "
        "one regular INPUT cut into pieces, or with --output-dir one file per task; the workers must reach the "
        "files under the same names",
    )
    files = repair_parser.add_argument_group("side files")
    files.add_argument(
        "--quarantine", metavar="FILE", type=_file_name, help="write the rows that were set aside to FILE"
    )
    files.add_argument(
        "--changes", metavar="FILE", type=_file_name, help="write a CSV log of every change, line by line, to FILE"
    )
    files.add_argument(
        "--report",
        metavar="FILE",
        type=_file_name,
        help="write an HTML report of the damage to FILE (see rowmender report --help)",
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
            "(line ends and a byte-order mark do not count), 4 when a compressed INPUT was cut off, 0 when\n"
            "nothing would change."
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

    report_parser = commands.add_parser(
        "report",
        help="write an HTML report of a file's damage (exit status as check)",
        usage="%(prog)s [options] INPUT [-o REPORT.html]",
        description=(
            "Read INPUT as repair would, write nothing but an HTML page that shows what a repair changes:\n"
            "the verdict and counts, the dialect, a map of where in the file the changes lie, examples of\n"
            "each kind of change (original lines beside the repaired row), the rows set aside and a profile\n"
            "of the repaired table's columns. The page is one file that needs no network and no script.\n"
            "The verdict line goes to standard error; the exit status is that of check."
        ),
        epilog=f"{_EXIT_STATUSES}\n\nexamples:\n  rowmender report export.csv -o export-report.html\n"
        "  rowmender report dump.csv.gz --delimiter ';' > report.html",
        formatter_class=formatter,
    )
    report_parser.add_argument("input", metavar="INPUT", type=_file_name, help="the file (- for standard input)")
    report_files = report_parser.add_argument_group("files")
    report_files.add_argument(
        "--output",
        "-o",
        metavar="REPORT",
        type=_file_name,
        help="write the page to REPORT (default: standard output, which must not be a terminal)",
    )
    report_files.add_argument(
        "--quarantine", metavar="FILE", type=_file_name, help="also write the rows that would be set aside to FILE"
    )
    report_files.add_argument(
        "--changes", metavar="FILE", type=_file_name, help="also write the CSV log of every change to FILE"
    )
    _add_repair_options(
        report_parser,
        json_help="print every count as JSON (with file and would_change) instead of the verdict line",
        quiet_help="print nothing but errors: the exit status tells (--json still prints)",
    )
    report_parser.set_defaults(parser=report_parser)

    sniff_parser = commands.add_parser(
        "sniff",
        help="print the delimiter a file most likely uses",
        description="Print the delimiter FILE most likely uses (a tab as \\t), judged from its first 64 KiB.",
        formatter_class=formatter,
    )
    sniff_parser.add_argument("file", metavar="FILE", type=_file_name, help="the file (- for standard input)")
    sniff_parser.set_defaults(parser=sniff_parser)
    return parser
