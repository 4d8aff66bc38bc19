"""Random inputs and options: the two entry points agree with each other and with Python's
own csv module reading back what salvage_file wrote."""

import csv

import pytest
from hypothesis import HealthCheck, given, settings

import rowmender
from salvage_strategies import content as salvage_content
from salvage_strategies import options

content = salvage_content()

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def read_back(path, delimiter, quote_char):
    with open(path, newline="", encoding="utf-8") as file:
        # A blank line is how a row of one empty field is written; csv reads it as [].
        return [row or [""] for row in csv.reader(file, delimiter=delimiter, quotechar=quote_char, strict=True)]


@SETTINGS
@given(data=content, opts=options)
def test_reader_matches_csv_reading_of_repaired_file(tmp_path, data, opts):
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    output = tmp_path / "out.csv"
    quarantine = tmp_path / "q.csv"

    summary = rowmender.salvage_file(str(source), str(output), str(quarantine), **opts)
    reader = rowmender.SalvageReader(str(source), **opts)
    rows = list(reader)

    assert reader.summary.to_dict() == summary.to_dict()
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert summary.repaired_rows <= summary.salvaged_rows
    assert len(rows) == summary.salvaged_rows
    if summary.inferred_columns:
        assert all(len(row) == summary.inferred_columns for row in rows)
    assert read_back(output, summary.detected_delimiter, opts["quote_char"]) == rows

    with open(quarantine, newline="", encoding="utf-8") as file:
        records = list(csv.reader(file, strict=True))
    assert records[0] == ["line", "reason", "raw_content"]
    assert len(records) - 1 == summary.quarantined_rows
    lines = [int(record[0]) for record in records[1:]]
    assert lines == sorted(lines)


@SETTINGS
@given(data=content)
def test_sniff_agrees_with_the_pass(tmp_path, data):
    # sniff() judges text; the pass judges the same bytes once decoded alike.
    text = data.decode("utf-8", errors="replace")
    source = tmp_path / "in.csv"
    source.write_text(text, encoding="utf-8", newline="")
    summary = rowmender.SalvageReader(str(source)).summary
    if text:
        assert rowmender.sniff(text) == summary.detected_delimiter
    else:
        assert summary.detected_delimiter == ","


@pytest.mark.parametrize("quote_char", ['"', "'"])
def test_round_trip_of_awkward_fields(tmp_path, quote_char):
    fields = ["", " x ", "a,b", 'say "hi"', "it's", "line\nbreak", "cr\ronly", "\ufeffmark", "é"]
    source = tmp_path / "in.csv"
    with open(source, "w", newline="", encoding="utf-8") as file:
        csv.writer(file, quotechar=quote_char, quoting=csv.QUOTE_ALL).writerow(fields)
    output = tmp_path / "out.csv"
    rowmender.salvage_file(str(source), str(output), quote_char=quote_char, delimiter=",")
    assert read_back(output, ",", quote_char) == [fields]
    assert list(rowmender.open(str(output), quote_char=quote_char, delimiter=",")) == [fields]
