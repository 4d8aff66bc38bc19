"""Quoting styles on the streaming road: files that never quote, backslash escapes, and rows
confined to lines, each told from the head with cleanup on or given by the settings."""

from __future__ import annotations

import csv
import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import rowmender
from rowmender._cli_summary import hints
from rowmender._report import RepairReport

INCHES = b'id\titem\tsize\n1\truler\t12" ruler\n2\tbob\t5\'11"\n3\t"\tlone\n4\tpen\t6 in\n5\tcup\tsmall\n'
DUMP = b'id,text,n\n1,"say \\"hi\\"",2\n2,"back\\\\slash",3\n3,"a, b",4\n4,plain,5\n'
STRAY = b'a,b,c\n1,2,3\n4,"5,6\n7,8,9\n10,"x",12\n'
MULTILINE = b'a,b,c\n1,"two\nlines",3\n4,"x ""q""",6\n7,8,9\n'

# (file, settings that say what cleanup tells, rows, quote_char and escape_char reported, log)
CASES = {
    "a TSV that never quotes": (
        INCHES,
        {"quote_char": None},
        [
            ["id", "item", "size"],
            ["1", "ruler", '12" ruler'],
            ["2", "bob", "5'11\""],
            ["3", '"', "lone"],
            ["4", "pen", "6 in"],
            ["5", "cup", "small"],
        ],
        (None, None),
        [],
    ),
    "a dump with backslash escapes": (
        DUMP,
        {"escape_char": "\\"},
        [
            ["id", "text", "n"],
            ["1", 'say "hi"', "2"],
            ["2", "back\\slash", "3"],
            ["3", "a, b", "4"],
            ["4", "plain", "5"],
        ],
        ('"', "\\"),
        [],
    ),
    "a quote left open among one-line rows": (
        STRAY,
        {"cleanup": ["one_line_rows"]},
        [["a", "b", "c"], ["1", "2", "3"], ["4", '"5', "6"], ["7", "8", "9"], ["10", "x", "12"]],
        ('"', None),
        ["3,3,stray_quote,1 stray quote kept as content"],
    ),
    "RFC 4180 with a field over two lines": (
        MULTILINE,
        {"cleanup": ["one_line_rows", "quoting"]},
        [["a", "b", "c"], ["1", "two\nlines", "3"], ["4", 'x "q"', "6"], ["7", "8", "9"]],
        ('"', None),
        [],
    ),
}


@pytest.mark.parametrize("how", ["told by cleanup", "given"])
@pytest.mark.parametrize("name", CASES)
def test_each_style_reads_its_file(name, how):
    data, given_settings, rows, (quote_char, escape_char), log = CASES[name]
    out, changes = io.BytesIO(), io.BytesIO()
    report = rowmender.repair(
        io.BytesIO(data), out, changes=changes, **({"cleanup": True} if how == "told by cleanup" else given_settings)
    )
    assert (
        list(csv.reader(io.StringIO(out.getvalue().decode(), newline=""), delimiter=report.detected_delimiter)) == rows
    )
    assert changes.getvalue().decode().splitlines()[1:] == log
    assert (report.quote_char, report.escape_char) == (quote_char, escape_char)
    assert report.total_rows == len(rows)
    assert ("Quoting" in str(report)) == ((quote_char, escape_char) != ('"', None))
    with rowmender.rows(io.BytesIO(data), **given_settings) as stream:
        assert list(stream) == rows


def test_rows_over_several_lines_get_a_hint_only_without_the_rule():
    report = RepairReport(5, 5, 0, 0, ",", 3, 10, 10, multiline_rows=2)
    found = [
        hints(report, expected_columns=None, sample=str, raw_sample=bytes, changes_hint="", rows_confined=on)
        for on in (False, True)
    ]
    assert [any("one_line_rows" in hint for hint in told) for told in found] == [True, False]


# No CR: the csv module leaves a field of one CR unquoted when it has an escape character.
fields = st.text(st.sampled_from('ab,;"\\\n é'), max_size=6)


# The csv module writes what each style reads back field for field: with an escape for the
# quote (and itself) instead of doubling, or never quoting fields free of the delimiter and
# line breaks.
@settings(max_examples=150, deadline=None)
@given(
    table=st.lists(st.lists(fields, min_size=1, max_size=4), min_size=1, max_size=8),
    style=st.sampled_from(["escape", "none"]),
)
def test_what_the_csv_module_writes_in_a_style_reads_back(table, style):
    buffer = io.StringIO(newline="")
    if style == "escape":
        csv.writer(buffer, escapechar="\\", doublequote=False, lineterminator="\n").writerows(table)
        settings_ = {"escape_char": "\\"}
    else:
        table = [[f.replace(",", "").replace("\n", "") for f in row] for row in table]
        buffer.write("".join(",".join(row) + "\n" for row in table))
        settings_ = {"quote_char": None}
    data = buffer.getvalue().encode()
    with rowmender.rows(io.BytesIO(data), delimiter=",", expected_columns=0, **settings_) as stream:
        assert list(stream) == table


# A writer that puts a space after each comma, its fields quoted as the csv module quotes
# them: the quoting rule finds that spaces start fields, and the rows are the csv module's
# with skipinitialspace, whose leading spaces it drops too.
@settings(max_examples=150, deadline=None)
@given(
    table=st.integers(2, 4).flatmap(
        lambda width: st.lists(
            st.lists(st.text(st.sampled_from('ab,;" é'), max_size=6), min_size=width, max_size=width),
            min_size=1,
            max_size=8,
        )
    )
)
def test_fields_after_a_comma_and_a_space_read_as_the_csv_module_reads_them(table):
    table = [["x"] * (len(table[0]) - 1) + ["Doe, John"]] + table
    text = "".join(", ".join(_quoted(field) for field in row) + "\n" for row in table)
    expected = list(csv.reader(io.StringIO(text), skipinitialspace=True))
    with rowmender.rows(io.BytesIO(text.encode()), delimiter=",", cleanup=["quoting"]) as stream:
        assert list(stream) == expected
        assert stream.report.skip_initial_space


def _quoted(field: str) -> str:
    """A field as the csv module writes it alone (quoted where it must be)."""
    out = io.StringIO()
    csv.writer(out, lineterminator="").writerow([field, ""])
    return out.getvalue()[:-1]


def test_past_the_head_a_note_over_two_lines_stays_and_a_stray_quote_is_confined():
    # The head (256 KiB) has no row over several lines: rows are confined to lines, yet a
    # quoted field that closes cleanly on the next line is still one field.
    head = b"a,b,c\n" + b"".join(b'%d,"name %d",%d\n' % (i, i, i) for i in range(20000))
    data = head + b'1,"two\nlines",3\n4,"5,6\n7,8,9\n10,"x",12\n'
    out, changes = io.BytesIO(), io.BytesIO()
    report = rowmender.repair(io.BytesIO(data), out, changes=changes, cleanup=["one_line_rows"])
    rows = list(csv.reader(io.StringIO(out.getvalue().decode(), newline="")))
    assert rows[-4:] == [["1", "two\nlines", "3"], ["4", '"5', "6"], ["7", "8", "9"], ["10", "x", "12"]]
    assert changes.getvalue().decode().splitlines()[1:] == ["20004,20004,stray_quote,1 stray quote kept as content"]
    assert report.multiline_rows == 1


_CANDIDATES = [",", ";", "\t", "|"]
_WITHOUT_THE_DELIMITER_RULE = [
    "encoding",
    "blank_lines",
    "preamble",
    "footer",
    "repeated_header",
    "control_bytes",
    "quoting",
    "one_line_rows",
    "trailing_delimiter",
    "cut_off",
]


def _detected(data: bytes, cleanup: object) -> str:
    with rowmender.rows(io.BytesIO(data), cleanup=cleanup) as stream:
        next(iter(stream), None)
        return stream.report.detected_delimiter


@settings(max_examples=200, deadline=None)
@given(
    delimiter=st.sampled_from(_CANDIDATES),
    other=st.integers(0, 2),
    width=st.integers(2, 6),
    count=st.integers(1, 6),
    rows=st.integers(3, 60),
    # Rows whose text holds the other candidate another number of times, and rows cut short.
    varied=st.lists(st.tuples(st.integers(0, 59), st.integers(0, 6)), max_size=3),
    damaged=st.lists(st.integers(0, 59), max_size=3),
    title=st.booleans(),
)
def test_the_delimiter_rule_finds_the_headers_delimiter_and_loses_none(
    delimiter: str,
    other: int,
    width: int,
    count: int,
    rows: int,
    varied: list[tuple[int, int]],
    damaged: list[int],
    title: bool,
) -> None:
    # A table written by the csv module, maybe below a title, whose last column holds another
    # candidate `count` times a row: the rule never turns a right answer wrong, and finds
    # the written delimiter where every row's text holds it equally often.
    inner = [c for c in _CANDIDATES if c != delimiter][other]
    counts = [count] * rows
    for at, times in varied:
        if at < rows:
            counts[at] = times
    out = io.StringIO()
    if title:
        out.write("Monthly export\n")
    writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
    writer.writerow([f"col{i}" for i in range(width)])
    for i, times in enumerate(counts):
        row = [str(i * 7 + j) for j in range(width - 1)] + [inner.join(["w"] * (times + 1))]
        writer.writerow(row[: width // 2] if i in damaged else row)
    data = out.getvalue().encode()
    before, after = _detected(data, _WITHOUT_THE_DELIMITER_RULE), _detected(data, True)
    assert before != delimiter or after == delimiter
    if len(set(counts)) == 1 and not set(damaged) & set(range(rows)):
        assert after == delimiter
