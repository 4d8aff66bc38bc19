"""SalvageSummary: an immutable snapshot of the counts of one salvage."""

import gc

import pytest

import rowmender
from rowmender import SalvageSummary

# Header, a short row, a long row with a quoted word, a blank line, a quoted comma.
EXAMPLE = b'\xef\xbb\xbfid,name,note\n1,Ann\n2,Bob,likes "tea",extra\n\n3,"Cy, Jr",ok\n'
KEYS = ["total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "detected_delimiter", "inferred_columns"]


@pytest.fixture
def example(tmp_path):
    path = tmp_path / "example.csv"
    path.write_bytes(EXAMPLE)
    return str(path)


@pytest.fixture
def summary(example):
    return rowmender.SalvageReader(example, expected_columns=3, merge_overflow=False).summary


def summary_of(tmp_path, content, **options):
    path = tmp_path / "data.csv"
    path.write_bytes(content)
    return rowmender.open(str(path), **options).summary


def test_repr(summary):
    text = (
        "<SalvageSummary total_rows=5 salvaged_rows=4 repaired_rows=2 quarantined_rows=1 "
        "delimiter=',' inferred_columns=3>"
    )
    assert repr(summary) == text
    assert str(summary) == text


@pytest.mark.parametrize(
    "content, options, shown",
    [
        (b"a\tb\nc\td\n", {}, "delimiter='\t' inferred_columns=2>"),
        (b"a\xc3\xa9b\n", {"delimiter": "\u00e9"}, "delimiter='\u00c3' inferred_columns=2>"),
        (b"a'b\n", {"delimiter": "'"}, "delimiter=''' inferred_columns=2>"),
        (
            b"a,b\n",
            {"expected_columns": 2**64 - 1, "fill_ragged_rows": False},
            "quarantined_rows=1 delimiter=',' inferred_columns=18446744073709551615>",
        ),
    ],
)
def test_repr_inserts_the_delimiter_and_counts_unchanged(tmp_path, content, options, shown):
    assert repr(summary_of(tmp_path, content, **options)).endswith(shown)


def test_values(summary):
    assert summary.to_dict() == {
        "total_rows": 5,
        "salvaged_rows": 4,
        "repaired_rows": 2,
        "quarantined_rows": 1,
        "detected_delimiter": ",",
        "inferred_columns": 3,
    }
    assert [type(getattr(summary, key)) for key in KEYS] == [int, int, int, int, str, int]


def test_to_dict_is_ordered_and_independent(summary):
    first = summary.to_dict()
    assert list(first) == KEYS
    assert all(first[key] == getattr(summary, key) for key in KEYS)
    first["total_rows"] = 99
    del first["detected_delimiter"]
    second = summary.to_dict()
    assert second is not first
    assert second["total_rows"] == 5 and second["detected_delimiter"] == ","


@pytest.mark.parametrize("key", KEYS)
def test_properties_are_read_only(summary, key):
    before = getattr(summary, key)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(summary, key, 7)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(summary, key)
    assert getattr(summary, key) == before
    assert getattr(SalvageSummary, key).__doc__ is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((5, 4, 2, 1, ",", 3), {}), ((), {"total_rows": 1})])
def test_not_instantiable(args, kwargs):
    with pytest.raises(TypeError, match="cannot create 'builtins.SalvageSummary' instances"):
        SalvageSummary(*args, **kwargs)


def test_equality_is_identity(example):
    reader = rowmender.SalvageReader(example)
    a, b = reader.summary, reader.summary
    assert a.to_dict() == b.to_dict()
    assert a != b and not a == b
    assert a == a
    assert hash(a) == object.__hash__(a)


def test_summary_outlives_its_reader(example):
    reader = rowmender.SalvageReader(example, delimiter="|")
    summary = reader.summary
    del reader
    gc.collect()
    assert summary.detected_delimiter == "|"
    assert repr(summary).startswith("<SalvageSummary total_rows=5 ")


@pytest.mark.parametrize("options", [{}, {"delimiter": ";", "expected_columns": 5}])
def test_empty_input(tmp_path, options):
    summary = summary_of(tmp_path, b"", **options)
    assert summary.to_dict() == {
        "total_rows": 0,
        "salvaged_rows": 0,
        "repaired_rows": 0,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 0,
    }
    output = tmp_path / "out.csv"
    assert rowmender.salvage_file(str(tmp_path / "data.csv"), str(output), **options).to_dict() == summary.to_dict()


@pytest.mark.parametrize(
    "options, counts",
    [
        ({"expected_columns": 3, "merge_overflow": False}, (5, 4, 2, 1, 3)),
        ({"expected_columns": 3}, (5, 5, 3, 0, 3)),
        ({}, (5, 5, 3, 0, 3)),  # the width is inferred as 3
        ({"expected_columns": 0}, (5, 5, 0, 0, 0)),  # no reconciliation at all
        ({"expected_columns": 3, "fill_ragged_rows": False, "merge_overflow": False}, (5, 2, 0, 3, 3)),
        ({"expected_columns": 1, "fill_ragged_rows": False}, (5, 5, 4, 0, 1)),
    ],
)
def test_counts_of_the_example(example, tmp_path, options, counts):
    by_reader = rowmender.SalvageReader(example, **options).summary
    by_file = rowmender.salvage_file(example, str(tmp_path / "out.csv"), **options)
    for summary in (by_reader, by_file):
        got = (
            summary.total_rows,
            summary.salvaged_rows,
            summary.repaired_rows,
            summary.quarantined_rows,
            summary.inferred_columns,
        )
        assert got == counts
        assert summary.detected_delimiter == ","
