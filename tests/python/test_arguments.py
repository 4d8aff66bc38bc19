"""How every callable binds and converts its arguments, and how it reports the failures."""

import pathlib

import numpy
import pytest

import rowmender

# Pure-Python twins of the native callables: a binding error must read exactly like the
# one the interpreter raises for these.
TWINS_SOURCE = """
def sniff(sample): pass

def salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char='"',
                 fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True): pass

def open(file_path, delimiter=None, quote_char='"', fill_ragged_rows=True, merge_overflow=True,
         expected_columns=None, repair_quotes=True): pass

class SalvageReader:
    def __new__(cls, file_path, delimiter=None, quote_char='"', fill_ragged_rows=True, merge_overflow=True,
                expected_columns=None, repair_quotes=True): pass

    def __exit__(self, _exc_type=None, _exc_val=None, _exc_tb=None): pass
"""
TWINS = {}
exec(TWINS_SOURCE, TWINS)


class Holder:
    class Value:
        """A type whose qualified name differs from its plain name."""


class BadIndex:
    def __index__(self):
        raise ValueError("no index today")


class Unnotable(Exception):
    def add_note(self, note):
        raise RuntimeError("notes refused")


class UnnotableIndex:
    def __index__(self):
        raise Unnotable("kept as it is")


class Text(str):
    pass


def twin_exit():
    return TWINS["SalvageReader"].__exit__.__get__(object.__new__(TWINS["SalvageReader"]))


@pytest.fixture
def reader(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(b"a,b\n1,2\n")
    return rowmender.SalvageReader(str(path))


NINE = tuple(f"v{i}" for i in range(9))
SEVEN = NINE[:7]

# Each case is compared with the twin; where a message is given it is also pinned, so the
# comparison cannot pass with a twin that went wrong.
BINDING_ERRORS = [
    ("sniff", (), {}, "sniff() missing 1 required positional argument: 'sample'"),
    ("sniff", (b"x", b"y"), {}, "sniff() takes 1 positional argument but 2 were given"),
    ("sniff", ("a",), {"sample": "b"}, None),
    ("sniff", (), {"sample": "a", "extra": 1}, None),
    ("salvage_file", (), {}, "salvage_file() missing 2 required positional arguments: 'input_path' and 'output_path'"),
    ("salvage_file", (b"in",), {}, None),
    ("salvage_file", (), {"output_path": "o"}, None),
    ("salvage_file", NINE + ("x",), {}, "salvage_file() takes from 2 to 9 positional arguments but 10 were given"),
    ("salvage_file", ("a", "b"), {"x": 1}, "salvage_file() got an unexpected keyword argument 'x'"),
    ("salvage_file", ("a", "b"), {"input_path": "c"}, "salvage_file() got multiple values for argument 'input_path'"),
    ("salvage_file", NINE + ("x",), {"input_path": "c"}, None),
    ("salvage_file", ("a",), {"delimiter": ",", "bogus": 1}, None),
    ("open", SEVEN + ("x",), {}, "open() takes from 1 to 7 positional arguments but 8 were given"),
    ("open", (), {"delimiter": ","}, None),
    ("SalvageReader", (), {}, "SalvageReader.__new__() missing 1 required positional argument: 'file_path'"),
    (
        "SalvageReader",
        SEVEN + ("x",),
        {},
        "SalvageReader.__new__() takes from 2 to 8 positional arguments but 9 were given",
    ),
    ("SalvageReader", ("p",), {"file_path": "q"}, None),
    ("SalvageReader", ("p",), {"bogus": 1}, None),
    ("__exit__", (1, 2, 3, 4), {}, None),
    ("__exit__", (1,), {"_exc_type": 2}, None),
    ("__exit__", (), {"exc_type": None}, None),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors_read_like_a_def(reader, name, args, kwargs, message):
    twin = twin_exit() if name == "__exit__" else TWINS[name]
    native = reader.__exit__ if name == "__exit__" else getattr(rowmender, name)
    with pytest.raises(TypeError) as expected:
        twin(*args, **kwargs)
    with pytest.raises(TypeError) as raised:
        native(*args, **kwargs)
    assert str(raised.value) == str(expected.value)
    assert message is None or str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")


def assert_conversion_error(raised, error, param, message):
    assert type(raised.value) is error
    assert raised.value.__notes__ == [f"while processing '{param}'"]
    if message is not None:
        assert str(raised.value) == message


# One case per way each kind of converter fails; the options share one converter for all
# entry points, so they are shown through salvage_file, which must not write anything first.
@pytest.mark.parametrize(
    "param, value, error, message",
    [
        ("delimiter", 44, TypeError, "'int' object is not an instance of 'str'"),
        ("quote_char", None, TypeError, "'None' is not an instance of 'str'"),
        ("quote_char", Holder.Value(), TypeError, "'Holder.Value' object is not an instance of 'str'"),
        ("quote_char", "\udc80", UnicodeEncodeError, None),
        ("fill_ragged_rows", 1, TypeError, "'int' object is not an instance of 'bool'"),
        ("merge_overflow", None, TypeError, "'None' is not an instance of 'bool'"),
        ("merge_overflow", numpy.int8(1), TypeError, "'int8' object is not an instance of 'bool'"),
        ("expected_columns", -1, OverflowError, "can't convert negative int to unsigned"),
        ("expected_columns", 2**64, OverflowError, "int too big to convert"),
        ("expected_columns", 2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("expected_columns", BadIndex(), ValueError, "no index today"),
    ],
)
def test_option_conversion_errors(tmp_path, param, value, error, message):
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b\n1\n")
    with pytest.raises(error) as raised:
        rowmender.salvage_file(str(source), str(tmp_path / "out.csv"), str(tmp_path / "q.csv"), **{param: value})
    assert_conversion_error(raised, error, param, message)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize("entry", [rowmender.salvage_file, rowmender.SalvageReader, rowmender.open])
def test_every_entry_point_converts_every_option(tmp_path, monkeypatch, entry):
    monkeypatch.chdir(tmp_path)
    paths = ("in.csv", "out.csv") if entry is rowmender.salvage_file else ("in.csv",)
    for param in ("delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes"):
        with pytest.raises(TypeError) as raised:
            entry(*paths, **{param: b"x"})
        assert raised.value.__notes__ == [f"while processing '{param}'"]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "call, error, param, message",
    [
        (lambda: rowmender.sniff(b"a,b"), TypeError, "sample", "'bytes' object is not an instance of 'str'"),
        (lambda: rowmender.sniff("a\ud800b"), UnicodeEncodeError, "sample", None),
        (
            lambda: rowmender.salvage_file(pathlib.Path("in.csv"), "out.csv"),
            TypeError,
            "input_path",
            "'PosixPath' object is not an instance of 'str'",
        ),
        (
            lambda: rowmender.salvage_file("in.csv", None),
            TypeError,
            "output_path",
            "'None' is not an instance of 'str'",
        ),
        (
            lambda: rowmender.salvage_file("in.csv", "out.csv", pathlib.Path("q")),
            TypeError,
            "quarantine_path",
            "'PosixPath' object is not an instance of 'str'",
        ),
        (
            lambda: rowmender.salvage_file(b"in", 7, quote_char=None),
            TypeError,
            "input_path",
            "'bytes' object is not an instance of 'str'",
        ),
        (lambda: rowmender.SalvageReader(None), TypeError, "file_path", "'None' is not an instance of 'str'"),
        (
            lambda: rowmender.open("x", delimiter=1, quote_char=None),
            TypeError,
            "delimiter",
            "'int' object is not an instance of 'str'",
        ),
        (lambda: rowmender.open("\ud800"), UnicodeEncodeError, "file_path", None),
    ],
)
def test_path_and_sample_conversion_errors(tmp_path, monkeypatch, call, error, param, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as raised:
        call()
    assert_conversion_error(raised, error, param, message)
    assert list(tmp_path.iterdir()) == []


def test_a_note_that_cannot_be_added_leaves_the_error_alone():
    with pytest.raises(Unnotable, match="kept as it is") as raised:
        rowmender.SalvageReader("missing.csv", expected_columns=UnnotableIndex())
    assert not hasattr(raised.value, "__notes__")


@pytest.fixture
def ragged(tmp_path):
    path = tmp_path / "ragged.csv"
    path.write_bytes(b"a,b,c\n1,2\n3,4,5,6\n")
    return str(path)


@pytest.mark.parametrize("flag", [numpy.bool_(False), False])
def test_numpy_bool_is_a_flag(ragged, flag):
    summary = rowmender.SalvageReader(
        ragged,
        expected_columns=3,
        fill_ragged_rows=flag,
        merge_overflow=numpy.bool_(True),
        repair_quotes=numpy.bool_(flag),
    ).summary
    assert (summary.salvaged_rows, summary.repaired_rows, summary.quarantined_rows) == (2, 1, 1)


@pytest.mark.parametrize(
    "value, width",
    [
        (True, 1),
        (False, 0),
        (numpy.uint8(3), 3),
        (numpy.int64(2), 2),
        (2**64 - 1, 2**64 - 1),
    ],
)
def test_counts_accept_index_objects(ragged, value, width):
    reader = rowmender.SalvageReader(ragged, expected_columns=value, fill_ragged_rows=False)
    assert reader.summary.inferred_columns == width


def test_str_subclasses_are_text(tmp_path, ragged):
    out = tmp_path / "out.csv"
    summary = rowmender.salvage_file(
        Text(ragged),
        Text(str(out)),
        Text(str(tmp_path / "q.csv")),
        delimiter=Text(","),
        quote_char=Text("'"),
        expected_columns=3,
    )
    assert summary.detected_delimiter == ","
    assert out.read_bytes() == b"a,b,c\n1,2,\n3,4,'5,6'\n"
    assert rowmender.sniff(Text("a;b\nc;d\n")) == ";"
    assert len(rowmender.open(Text(ragged), Text(";"))) == 3
