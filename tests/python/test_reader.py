"""SalvageReader and open(): rows served from memory, length, context manager, errors."""

import os

import pytest

import rowmender
from rowmender import SalvageReader

EXAMPLE = b'\xef\xbb\xbfid,name,note\n1,Ann\n2,Bob,likes "tea",extra\n\n3,"Cy, Jr",ok\n'
EXAMPLE_ROWS = [
    ["id", "name", "note"],
    ["1", "Ann", ""],
    ["2", "Bob", 'likes "tea",extra'],
    ["", "", ""],
    ["3", "Cy, Jr", "ok"],
]


@pytest.fixture
def make(tmp_path):
    def make(content, name="data.csv"):
        path = tmp_path / name
        path.write_bytes(content)
        return str(path)

    return make


@pytest.fixture
def example(make):
    return make(EXAMPLE)


def test_rows(example):
    reader = SalvageReader(example)
    assert iter(reader) is reader
    assert list(reader) == EXAMPLE_ROWS
    assert all(type(row) is list and all(type(field) is str for field in row) for row in EXAMPLE_ROWS)


def test_exhaustion_is_permanent(example):
    reader = SalvageReader(example)
    assert next(reader) == EXAMPLE_ROWS[0]
    assert list(reader) == EXAMPLE_ROWS[1:]  # iter() does not rewind
    assert list(reader) == []
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert len(reader) == 5
    assert reader  # truth comes from the length, not the cursor


def test_empty_file(make):
    reader = SalvageReader(make(b""))
    assert len(reader) == 0 and not reader
    assert list(reader) == []


def test_handed_out_lists_are_independent(example):
    reader = SalvageReader(example, expected_columns=0)
    first = next(reader)
    first.append("x")
    first[0] = "changed"
    assert next(reader) == ["1", "Ann"]
    assert len(reader) == 5
    again = SalvageReader(example, expected_columns=0)
    assert next(again) == ["id", "name", "note"]


def test_with_block(example):
    with rowmender.open(example) as reader:
        assert isinstance(reader, SalvageReader)
        assert next(reader) == EXAMPLE_ROWS[0]
    with pytest.raises(KeyError):
        with reader as same:
            assert same is reader
            assert next(reader) == EXAMPLE_ROWS[1]
            raise KeyError("propagates")
    assert list(reader) == EXAMPLE_ROWS[2:]  # __exit__ releases nothing


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((ValueError, ValueError("x"), None), {}),
        ((1,), {"_exc_val": "anything", "_exc_tb": object()}),
    ],
)
def test_exit_returns_false(example, args, kwargs):
    reader = SalvageReader(example)
    next(reader)
    assert reader.__exit__(*args, **kwargs) is False
    assert len(list(reader)) == 4
    assert reader.__enter__() is reader


def test_summary_property(example):
    reader = SalvageReader(example, expected_columns=3, merge_overflow=False)
    first, second = reader.summary, reader.summary
    assert first is not second
    assert first.to_dict() == second.to_dict()
    assert len(reader) == first.salvaged_rows == 4
    with pytest.raises(AttributeError):
        reader.summary = first
    with pytest.raises(AttributeError):
        del reader.summary


@pytest.mark.parametrize("key", [0, slice(0, 1), "id"])
def test_no_item_access(example, key):
    with pytest.raises(TypeError, match="'builtins.SalvageReader' object is not subscriptable"):
        SalvageReader(example)[key]


@pytest.mark.parametrize("factory", [SalvageReader, rowmender.open])
def test_missing_file(tmp_path, factory):
    with pytest.raises(FileNotFoundError) as raised:
        factory(str(tmp_path / "missing.csv"))
    error = raised.value
    assert str(error) == f"{os.strerror(2)} (os error 2)"
    assert error.args == (str(error),)
    assert (error.errno, error.strerror, error.filename) == (None, None, None)


@pytest.mark.parametrize(
    "path, error, message",
    [
        (".", IsADirectoryError, "(os error 21)"),
        ("data.csv/inner", NotADirectoryError, "(os error 20)"),
        ("data\0.csv", OSError, "file name contained an unexpected NUL byte"),
        ("", FileNotFoundError, "(os error 2)"),
    ],
)
def test_file_errors(make, tmp_path, monkeypatch, path, error, message):
    make(b"a,b\n")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as raised:
        rowmender.open(path)
    assert type(raised.value) is error
    assert str(raised.value).endswith(message)
    assert raised.value.errno is None


@pytest.mark.skipif(os.geteuid() == 0, reason="the superuser may read any file")
def test_unreadable_file(make):
    path = make(b"a,b\n")
    os.chmod(path, 0)
    with pytest.raises(PermissionError, match=r"\(os error 13\)$"):
        SalvageReader(path)


def test_reader_leaves_the_file_alone(make):
    path = make(EXAMPLE)
    before = os.stat(path)
    reader = SalvageReader(path)
    after = os.stat(path)
    assert (after.st_size, after.st_mtime_ns) == (before.st_size, before.st_mtime_ns)
    os.remove(path)  # no handle is kept: the rows live in memory
    assert list(reader) == EXAMPLE_ROWS


@pytest.mark.parametrize(
    "content, options, rows, delimiter",
    [
        (b"a;b,c\nd;e,f\n", {"delimiter": ";;"}, [["a", "b,c"], ["d", "e,f"]], ";"),
        (b"a;b,c\nd;e,f\n", {"delimiter": ","}, [["a;b", "c"], ["d;e", "f"]], ","),
        (b"a;b;c\nd;e;f\n", {"delimiter": ""}, [["a", "b", "c"], ["d", "e", "f"]], ";"),
        (b"a;b;c\nd;e;f\n", {"delimiter": None}, [["a", "b", "c"], ["d", "e", "f"]], ";"),
        (b"a\xc3\xa9b\n", {"delimiter": "\u00e9"}, [["a", "\ufffd" + "b"]], "\u00c3"),
        # Only the lead byte C2 delimits; merging joins with that byte as the character U+00C2.
        (b"a\xc2\xa6b\n", {"delimiter": "\u00a6", "expected_columns": 1}, [["a\u00c2\ufffdb"]], "\u00c2"),
        (b"'x,y',z\n", {"quote_char": "''"}, [["x,y", "z"]], ","),
        (b'"x,y",z\n', {"quote_char": ""}, [["x,y", "z"]], ","),
        (b"a,b,c\nd,e,f\n", {"expected_columns": 2, "fill_ragged_rows": False, "merge_overflow": False}, [], ","),
    ],
)
def test_options(make, content, options, rows, delimiter):
    reader = SalvageReader(make(content), **options)
    assert list(reader) == rows
    summary = reader.summary
    assert summary.detected_delimiter == delimiter
    assert summary.salvaged_rows == len(rows)
    assert summary.quarantined_rows == summary.total_rows - len(rows)


@pytest.mark.parametrize(
    "field",
    [
        b"plain",
        b"caf\xc3\xa9",
        b"\xc3\xbf\xc3\xbf",
        b"\xe6\x97\xa5\xe6\x9c\xac",
        b"\xf0\x9f\x98\x80 smile",
        b"\xe6\x97\xa5ascii\xc3\xa9",
        b"\xff",
        b"bad\xe6\x97end",
        b"\xc0\xaf",
        b"\xed\xa0\x80",
        b"\xf4\x90\x80\x80",
        b"\xc3\xa9\xf0\x9f\x98",
        b"nul\0inside",
        b"x" * 5000 + b"\xf0\x9f\x98\x80",
        # the edges of each storage width a str may use: each must come out in the narrowest
        *(
            "\x7f\x80".encode(),
            "\xff".encode(),
            "\xe9\u0100".encode(),
            "\u07ff\u0800".encode(),
            "\uffff\U00010000".encode(),
            "\U0010ffff".encode(),
            "\xff\U0001f600".encode(),
        ),
    ],
)
def test_fields_decode_as_utf8_with_replacement(make, field):
    rows = list(SalvageReader(make(b"k," + field + b",\xc3\xa9\n"), delimiter=",", expected_columns=0))
    assert rows == [["k", field.decode("utf-8", "replace"), "\u00e9"]]


@pytest.mark.parametrize(
    "options",
    [
        {},
        {
            "delimiter": ",",
            "quote_char": "'",
            "fill_ragged_rows": False,
            "repair_quotes": False,
            "expected_columns": 3,
            "merge_overflow": False,
        },
    ],
)
def test_open_equals_the_constructor(example, options):
    by_open, by_class = rowmender.open(example, **options), SalvageReader(example, **options)
    assert type(by_open) is SalvageReader
    assert by_open.summary.to_dict() == by_class.summary.to_dict()
    assert list(by_open) == list(by_class)
    direct = SalvageReader.__new__(SalvageReader, example, **options)
    assert list(direct) == list(SalvageReader(example, **options))


def test_many_rows(make):
    lines = [f'{i},name {i},"q, {i}"\n'.encode() for i in range(50_000)]
    reader = SalvageReader(make(b"".join(lines)))
    assert len(reader) == 50_000
    rows = list(reader)
    assert rows[0] == ["0", "name 0", "q, 0"] and rows[-1] == ["49999", "name 49999", "q, 49999"]


def test_absurd_width_is_a_memory_error(example):
    with pytest.raises(MemoryError):
        SalvageReader(example, expected_columns=2**62)
    # The process is intact and the same width without filling quarantines every row.
    summary = SalvageReader(example, expected_columns=2**62, fill_ragged_rows=False).summary
    assert (summary.total_rows, summary.quarantined_rows, summary.inferred_columns) == (5, 5, 2**62)
