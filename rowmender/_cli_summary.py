"""What the command line tells a person: the summary table, the one-line verdict of
``check``, and hints that name the likely cause of a bad result and the option that fixes it.
"""

from __future__ import annotations

import codecs


from ._compressed import SAMPLE_BYTES
from ._files import detect_encoding, marked_encoding
from ._report import ALTERATIONS, CLEANUPS, RepairReport, aligned, show_delimiter
from ._rowmender_backend import sniff

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

# Replaced bytes on at least this share of the rows (and on a few of them), or on this many
# rows, look like a file in another encoding rather than a few damaged bytes: a cp1252 file
# of French or German names has them on a good share of its rows, a damaged UTF-8 file on a
# handful, and one bad byte in a ten-line file is not worth a hint.
ENCODING_HINT_SHARE = 0.01
ENCODING_HINT_FEWEST_ROWS = 3
ENCODING_HINT_ROWS = 100
# The share of rows padded past which a header with another delimiter is looked for.
JOINED_HINT_SHARE = 0.1

# A candidate delimiter on more than half of the lines is how the field counts of a real
# table look; a comma in the text of a one-column list shows on far fewer.
DELIMITER_HINT_SHARE = 0.5


def option_value(delimiter: str) -> str:
    """The delimiter as --delimiter takes it, quoted for a shell."""
    if delimiter == "\t":
        return "tab"
    return f'"{delimiter}"' if delimiter == "'" else f"'{delimiter}'"


def decode_sample(data: bytes, encoding: str | None) -> str:
    """The first bytes of a file as text, cut after the last whole line unless they are the
    whole file: a cut-off last line would skew the field counts."""
    if len(data) >= SAMPLE_BYTES:
        last_break = max(data.rfind(b"\n"), data.rfind(b"\r"))
        if last_break > 0:
            data = data[: last_break + 1]
    if encoding is None:
        encoding = marked_encoding(data[:4096], whole=False) or "utf-8"
    elif encoding == "auto":
        encoding = detect_encoding(data, whole=len(data) < SAMPLE_BYTES)[0]
    return codecs.decode(data, encoding, errors="replace").removeprefix("\ufeff")


class Outputs:
    """The names of a repair's outputs, as the summary shows them."""

    __slots__ = ("repaired", "quarantine", "changes", "report")

    def __init__(
        self, repaired: str, quarantine: str | None = None, changes: str | None = None, report: str | None = None
    ) -> None:
        self.repaired = repaired
        self.quarantine = quarantine
        self.changes = changes
        self.report = report


def table(report: RepairReport, outputs: Outputs) -> str:
    rows = report._summary_rows()
    rows.append(("Repaired file", outputs.repaired))
    if outputs.quarantine is not None:
        rows.append(("Quarantine file", outputs.quarantine))
    if outputs.changes is not None:
        rows.append(("Changes file", outputs.changes))
    if outputs.report is not None:
        rows.append(("Report", outputs.report))
    return aligned(rows)


def changes_found(report: RepairReport) -> bool:
    """Whether a repair would change the file's rows or its bytes (a text re-encoded as
    UTF-8), or the file was cut off."""
    return report.changed_rows or report.input_cut_off or report.encoding != "utf-8"


def cut_off_warning(compression: str) -> str:
    """The warning for an input whose compressed data ends before its end marker."""
    return (
        f"the {compression} data ends before its end marker (a cut-off file?): "
        f"the rows up to the cut are all there is"
    )


def check_line(name: str, report: RepairReport) -> str:
    """One line per file: what it holds, then what a repair would change."""
    found = (
        f"{_rows(report.total_rows)}, {report.inferred_columns} columns, "
        f"delimiter {show_delimiter(report.detected_delimiter)}"
    )
    changes = [
        f"{count} {what}"
        for count, what in (
            (report.filled_rows, "filled"),
            (report.merged_rows, "merged"),
            (report.quarantined_rows, "quarantined"),
        )
        if count
    ]
    changes += [_counted(getattr(report, key), what) for key, _, what in ALTERATIONS + CLEANUPS if getattr(report, key)]
    if report.unterminated_quote_line is not None:
        changes.append(f"a quote opened on line {report.unterminated_quote_line} never closed")
    if report.input_cut_off:
        changes.append("the compressed data is cut off")
    if report.encoding != "utf-8":
        changes.append(f"its {report.encoding} text re-encoded as UTF-8")
    if not changes:
        return f"{name}: {found}; nothing to change"
    return f"{name}: {found}; would change: {', '.join(changes)}"


def hints(
    report: RepairReport,
    *,
    expected_columns: int | None,
    sample: Callable[[], str],
    raw_sample: Callable[[], bytes],
    changes_hint: str,
    rows_confined: bool = False,
    line_number_of: Callable[[bytes], int | None] | None = None,
) -> list[str]:
    """One line for each likely cause of a poor result, with the option that fixes it.
    ``sample`` is the first bytes as text, ``raw_sample`` as they are; ``changes_hint``
    says where the merged rows are listed; ``rows_confined`` that the one_line_rows rule
    was on; ``line_number_of`` finds a line in the input (see Input.line_number_of)."""
    found: list[str] = []
    if line_number_of is not None and report.filled_rows >= max(
        ENCODING_HINT_FEWEST_ROWS, JOINED_HINT_SHARE * report.total_rows
    ):
        joined = _joined_export(report, raw_sample(), line_number_of)
        if joined is not None:
            found.append(joined)
    replaced = report.rows_with_replaced_bytes
    if report.encoding == "utf-8" and (
        replaced >= ENCODING_HINT_ROWS
        or (replaced >= ENCODING_HINT_FEWEST_ROWS and replaced >= ENCODING_HINT_SHARE * report.total_rows)
    ):
        found.append(_encoding_hint(replaced, report.total_rows, raw_sample()))
    if report.other_table_line is not None:
        found.append(
            f"line {report.other_table_line} is the header of another table with columns the first lacks "
            f"(two exports joined?): its rows were reconciled to the first table's {report.inferred_columns} "
            "columns; a repair from a plain file into plain files (no report, no standard output, no "
            "compression) reads it twice and writes both tables' columns; or split the file at that line"
        )
    if report.inferred_columns == 1 and expected_columns is None and report.total_rows:
        other = _likelier_delimiter(sample(), report.detected_delimiter)
        if other is not None:
            found.append(
                f"one column was found with the delimiter {show_delimiter(report.detected_delimiter)}, "
                f"but {show_delimiter(other)} occurs on most lines: try --delimiter {option_value(other)}"
            )
    if report.unterminated_quote_line is not None:
        found.append(
            f"a quoted field opened on line {report.unterminated_quote_line} runs to the end of the input: "
            f"its closing quote is missing (look at that line)"
        )
    # A quote open to the end of the input makes a row of many lines, told of above.
    swallowed = report.multiline_rows - (report.unterminated_quote_line is not None)
    if swallowed > 0 and not rows_confined:
        found.append(
            f"{_rows(swallowed)} {'spans' if swallowed == 1 else 'span'} several lines: "
            f"where no row of the file should, a quote left open swallowed the lines after it; the "
            f"one_line_rows rule (in --cleanup) ends such a row at its line's end"
        )
    if report.merged_rows:
        width = "expected" if expected_columns is not None else "inferred"
        found.append(
            f"{_rows(report.merged_rows)} had more fields than the {report.inferred_columns} columns {width}; "
            f"see {changes_hint}"
        )
    return found


def _joined_export(report: RepairReport, head: bytes, line_number_of: Callable[[bytes], int | None]) -> str | None:
    """Where many rows were padded: the line that repeats the header with another of the
    candidate delimiters, as when an export that uses it was appended. Those rows hold no
    delimiter of the first table's, so each went whole into the first column."""
    delimiter = report.detected_delimiter.encode()
    lines = head.removeprefix(codecs.BOM_UTF8).split(b"\n")[:-1]
    header = next((line.rstrip(b"\r") for line in lines if line.count(delimiter) + 1 == report.inferred_columns), None)
    if header is None or report.inferred_columns < 2:
        return None
    for other in (",", ";", "\t", "|"):
        if other.encode() == delimiter or other.encode() in header:
            continue
        line = line_number_of(header.replace(delimiter, other.encode()))
        if line is not None:
            return (
                f"line {line} is the header again with the delimiter {show_delimiter(other)} (another export "
                f"appended?): the rows below it hold no {show_delimiter(report.detected_delimiter)} and went "
                "whole into the first column, padded; split the file at that line and repair each part"
            )
    return None


def _encoding_hint(replaced: int, total: int, head: bytes) -> str:
    """What to do about rows with bytes that are not UTF-8, judged by the file's first bytes:
    the encoding they are in; or, when they are UTF-8 with other rows, that the file is
    mixed (no one encoding reads it: the good rows would become mojibake); or, when they
    are all ASCII (the bytes are further on), --encoding auto cannot tell either."""
    encoding, mixed = detect_encoding(head, whole=len(head) < SAMPLE_BYTES)
    if mixed or (encoding == "utf-8" and not head.isascii()):
        return (
            f"{_rows(replaced)} are not UTF-8 while the rest is: a file with rows appended in another "
            f"encoding; those rows' bytes were replaced by U+FFFD"
        )
    if encoding == "utf-8":
        return (
            f"{replaced} of {_rows(total)} had bytes that are not UTF-8 (replaced by U+FFFD), after a start "
            f"in plain ASCII that does not tell the encoding: give it with --encoding (cp1252 for a Western "
            f"Windows export)"
        )
    return (
        f"{replaced} of {_rows(total)} had bytes that are not UTF-8 (replaced by U+FFFD): "
        f"the file looks like {encoding}: try --encoding {encoding} (or --encoding auto)"
    )


def _counted(count: int, what: str) -> str:
    """``count`` and the words of a count, their first plural made singular for one: "1 blank
    line dropped", "1 row read in the other encoding"."""
    if count == 1:
        words = what.split(" ")
        for i, word in enumerate(words):
            if word in ("lines", "headers", "rows", "bytes"):
                words[i] = word[:-1]
                break
        what = " ".join(words)
    return f"{count} {what}"


def _rows(count: int) -> str:
    return "1 row" if count == 1 else f"{count} rows"


def _likelier_delimiter(text: str, used: str) -> str | None:
    """The delimiter the sample itself suggests, when it is not the one used and occurs on
    most of its lines."""
    candidate = sniff(text)
    if candidate == used:
        return None
    lines = [line for line in text.splitlines() if line.strip()]
    if not lines:
        return None
    with_candidate = sum(candidate in line for line in lines)
    return candidate if with_candidate > DELIMITER_HINT_SHARE * len(lines) else None
