"""The cleanup rules on files made to look like the damage real exports carry."""

from __future__ import annotations

import csv
import gzip
import io
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import rowmender

EXCEL = (
    "Sales report 2024\n"
    "sep=;\n"
    "\n"
    "id;name;amount\n"
    "1;Anna;10\n"
    "2;Bob;20\n"
    "\n"
    "3;Cem;30\n"
    "id;name;amount\n"
    "4;Dan;40\n"
    "Total;;100\n"
)


def repaired(content: bytes, tmp_path: Path, cleanup: object = True, name: str = "in.csv") -> tuple[str, str, str]:
    """The repaired file, the change log and the quarantine file of `content`."""
    source = tmp_path / name
    source.write_bytes(content)
    out, changes, quarantine = tmp_path / "out.csv", tmp_path / "changes.csv", tmp_path / "q.csv"
    rowmender.repair(source, out, quarantine, changes=changes, cleanup=cleanup)
    return out.read_text(), changes.read_text(), quarantine.read_text()


def kinds(log: str) -> list[str]:
    return [row["change"] for row in csv.DictReader(io.StringIO(log))]


@pytest.mark.parametrize(
    ("content", "cleanup", "output", "changes"),
    [
        pytest.param(
            EXCEL,
            True,
            "id;name;amount\n1;Anna;10\n2;Bob;20\n3;Cem;30\n4;Dan;40\n",
            ["preamble", "preamble", "blank_line", "blank_line", "repeated_header", "footer"],
            id="excel-export",
        ),
        pytest.param(
            EXCEL,
            ["blank_lines"],
            "Sales report 2024;;\nsep=;;\nid;name;amount\n1;Anna;10\n2;Bob;20\n3;Cem;30\nid;name;amount\n"
            "4;Dan;40\nTotal;;100\n",
            ["filled", "filled", "blank_line", "blank_line"],
            id="one-rule-alone",
        ),
        pytest.param(
            "a|b|c|\n1|x|2|\n3|y|4|\n5|z|\n",
            True,
            "a|b|c\n1|x|2\n3|y|4\n5|z|\n",
            ["trailing_delimiter", "filled"],
            id="trailing",
        ),
        pytest.param(
            "a|b|c\n1|x|2|\n3|y|4|\n", True, "a|b|c\n1|x|2\n3|y|4\n", ["trailing_delimiter"], id="narrow-header"
        ),
        pytest.param(
            "a,b,c\n1,2,3\n\0\0\0\0\n4,5\0\0,6\n",
            True,
            "a,b,c\n1,2,3\n4,5,6\n",
            ["control_bytes", "garbage", "control_bytes"],
            id="nul-bytes",
        ),
        pytest.param("a,b,c\n1,2,3\n\n\n", True, "a,b,c\n1,2,3\n", ["blank_line"], id="blank-end"),
        pytest.param("sep=;\nid;name\n1;Ann\n", True, "id;name\n1;Ann\n", ["preamble"], id="sep-line"),
        # A spreadsheet pads every row to the table's width: the title, and rows of empty cells.
        pytest.param(
            "Sales report;;\n;;\nid;name;amount\n1;a;2\n;;\n3;b;4\n ; ;\n;;\n",
            True,
            "id;name;amount\n1;a;2\n3;b;4\n",
            ["preamble", "blank_line", "blank_line", "blank_line"],
            id="padded-title-and-empty-cells",
        ),
        # The same commas in a text field of every row outscore the semicolons by width; the
        # header has none of them.
        pytest.param(
            "id;note;n\n1;a, b, c, d, e;1\n2;f, g, h, i, j;2\n3;k, l, m, n, o;3\n4;p, q, r, s, t;4\n",
            True,
            "id;note;n\n1;a, b, c, d, e;1\n2;f, g, h, i, j;2\n3;k, l, m, n, o;3\n4;p, q, r, s, t;4\n",
            [],
            id="commas-in-a-semicolon-file",
        ),
        # Two exports joined: the second's columns by name, or (with a column the first
        # lacks) reconciled as before.
        pytest.param(
            "id,name,city\n1,Ann,Oslo\ncity,id\nRome,2\nLima,3,x\n",
            True,
            'id,name,city\n1,Ann,Oslo\n2,,Rome\n"3,x",,Lima\n',
            ["new_section", "merged"],
            id="second-export",
        ),
        # Conservative: no header below the short line, so it is no title; a word in a first
        # column of words is no summary row; a wide last row is no trailer.
        pytest.param("x\n1,2,3\n4,5,6\n", True, "x,,\n1,2,3\n4,5,6\n", ["filled"], id="no-header-no-preamble"),
        pytest.param(
            "name,city,n\nAnn,Oslo,1\nBob,Rome,2\nTotal,Paris,3\n",
            True,
            "name,city,n\nAnn,Oslo,1\nBob,Rome,2\nTotal,Paris,3\n",
            [],
            id="total-is-a-name",
        ),
        pytest.param(
            "id,a,b,c\n1,2,3,4\n5,6,7,8\nExported by the tool\n",
            True,
            "id,a,b,c\n1,2,3,4\n5,6,7,8\n",
            ["footer"],
            id="trailer-line",
        ),
    ],
)
def test_each_rule_on_the_smallest_file_that_shows_it(
    tmp_path: Path, content: str, cleanup: object, output: str, changes: list[str]
) -> None:
    out, log, _ = repaired(content.encode(), tmp_path, cleanup)
    assert (out, kinds(log)) == (output, changes)
    # The row stream reads the same rows as the repaired file holds.
    delimiter = next((d for d in ";|" if d in out.partition("\n")[0]), ",")
    assert list(rowmender.rows(tmp_path / "in.csv", cleanup=cleanup)) == list(
        csv.reader(io.StringIO(out), delimiter=delimiter)
    )
    # Off, the repair is the whole-file pass's.
    off, _, _ = repaired(content.encode(), tmp_path, False)
    assert off.encode() == _salvaged(tmp_path / "in.csv", tmp_path)


@pytest.mark.parametrize("into_file", [True, False])
def test_a_later_table_with_columns_the_first_lacks(tmp_path: Path, into_file: bool) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(b"id,name\n1,Ann\n2,Bo\n3,Cy\nid,name,phone\n4,Di,555\nid,name\n5,Ed\n")
    out = tmp_path / "out.csv" if into_file else io.BytesIO()
    report = rowmender.repair(source, out, cleanup=True)
    written = out.read_bytes() if isinstance(out, Path) else out.getvalue()
    if into_file:
        # Read twice: the output has both tables' columns.
        assert written == b"id,name,phone\n1,Ann,\n2,Bo,\n3,Cy,\n4,Di,555\n5,Ed,\n"
        assert (report.added_columns, report.other_table_line, report.matched_rows) == (("phone",), None, 1)
    else:
        # An output that cannot be written again: the first table's columns, and the line said.
        assert written == b'id,name\n1,Ann\n2,Bo\n3,Cy\n4,"Di,555"\n5,Ed\n'
        assert (report.added_columns, report.other_table_line, report.matched_rows) == ((), 5, 0)
    assert (report.new_sections, report.repeated_headers, report.salvaged_rows) == (1, 1, 6)


def _salvaged(source: Path, tmp_path: Path) -> bytes:
    target = tmp_path / "salvaged.csv"
    rowmender.salvage_file(str(source), str(target))
    return target.read_bytes()


def test_a_cut_off_inputs_partial_last_row_is_set_aside(tmp_path: Path) -> None:
    source = tmp_path / "cut.csv.gz"
    source.write_bytes(gzip.compress(b"a,b,c\n1,2,3\n4,5,6\n7,8")[:-8])  # without the gzip trailer
    report = rowmender.repair_many(
        [source], tmp_path / "out", changes_dir=tmp_path / "log", decompress=True, cleanup=True, jobs=1
    )[str(source)]
    assert isinstance(report, rowmender.RepairReport)
    assert (report.input_cut_off, report.cut_off_rows, report.salvaged_rows) == (True, 1, 3)
    assert gzip.decompress((tmp_path / "out" / "cut.csv.gz").read_bytes()) == b"a,b,c\n1,2,3\n4,5,6\n"


# A table of distinct plain values with the junk of real exports spliced in.
_values = st.text(alphabet="abcdefgh0123", min_size=1, max_size=4)
_junk = st.sampled_from(["", "   ", "\0\0\0", "Report title", "Total,,9"])


@settings(max_examples=150, deadline=None)
@given(
    rows=st.lists(st.lists(_values, min_size=3, max_size=3), min_size=3, max_size=12),
    junk=st.lists(st.tuples(st.integers(0, 14), _junk, st.booleans()), max_size=5),
)
def test_the_rules_never_lose_a_line(tmp_path_factory: pytest.TempPathFactory, rows: list, junk: list) -> None:
    lines = ["h1,h2,h3"] + [",".join(row) for row in rows]
    for at, text, header_copy in junk:
        lines.insert(min(at, len(lines)), "h1,h2,h3" if header_copy else text)
    tmp_path = tmp_path_factory.mktemp("lines")
    out, log, quarantine = repaired(("\n".join(lines) + "\n").encode(), tmp_path)

    # Every line with content is in the output or the quarantine file; what the log says was
    # removed is only blank lines and NUL bytes.
    def content(line: str) -> str:
        return line.replace("\0", "").rstrip(",")

    kept = [content(line) for line in out.splitlines()]
    set_aside = [content(row["raw_content"]) for row in csv.DictReader(io.StringIO(quarantine))]
    expected = [content(line) for line in lines if content(line).strip()]
    assert sorted(kept + [row for row in set_aside if row]) == sorted(expected)
    logged = list(csv.DictReader(io.StringIO(log)))
    assert sum(int(row["detail"].split()[0]) for row in logged if row["change"] == "blank_line") == sum(
        1 for line in lines if not line.strip()
    )
    assert sum(row["change"] == "garbage" for row in logged) == sum(1 for line in lines if line and not content(line))
