"""The native module object: its attributes, docstrings, signatures and class objects."""

import importlib
import inspect
import sys
import weakref

import pytest

import rowmender
import rowmender._rowmender_backend as backend

MODULE_DOC = (
    "High-performance, fault-tolerant rowmender and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

SALVAGE_FILE_DOC = (
    "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.\n'
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."
)

READER_PARAMS = ('delimiter=None, quote_char="\\"", fill_ragged_rows=True, merge_overflow=True, '
                 "expected_columns=None, repair_quotes=True)")

# (callable, text signature, doc body)
SIGNATURES = [
    (backend.salvage_file,
     '(input_path, output_path, quarantine_path=None, delimiter=None, quote_char="\\"", '
     "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)",
     SALVAGE_FILE_DOC),
    (backend.sniff, "(sample)", "Detects the most likely delimiter from a CSV string sample."),
    (backend.open, "(file_path, " + READER_PARAMS, "Convenience function to open and stream a salvaged CSV file."),
    (backend.SalvageReader, "(file_path, " + READER_PARAMS,
     "In-memory streaming reader iterating over salvaged rows."),
    (backend.SalvageReader.__enter__, "($self)", None),
    (backend.SalvageReader.__exit__, "($self, _exc_type=None, _exc_val=None, _exc_tb=None)", None),
    (backend.SalvageSummary.to_dict, "($self)", "Converts the summary into a native Python dictionary."),
]

PUBLIC = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]
CLASSES = [backend.SalvageReader, backend.SalvageSummary]


def test_module_attributes():
    assert backend.__version__ == "0.1.0"
    assert backend.__doc__ == MODULE_DOC
    assert backend.__all__ == PUBLIC
    assert [name for name in vars(backend) if name in PUBLIC or name in ("__version__", "__all__")] == [
        "__version__", "__all__", *PUBLIC]


def test_package_reexports_the_module():
    assert rowmender.__version__ == backend.__version__
    assert rowmender.__all__[: len(backend.__all__)] == backend.__all__
    assert all(hasattr(rowmender, name) for name in rowmender.__all__)
    for name in PUBLIC:
        assert getattr(rowmender, name) is getattr(backend, name)


@pytest.mark.parametrize("name", ["salvage_file", "sniff", "open"])
def test_functions_belong_to_the_module(name):
    function = getattr(backend, name)
    assert function.__module__ == "rowmender._rowmender_backend"
    assert function.__self__ is backend
    assert function.__name__ == function.__qualname__ == name


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__name__)
def test_classes_report_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)


def test_summary_class_doc_has_no_signature():
    assert backend.SalvageSummary.__doc__ == "Python-exposed summary of a salvage operation."
    assert backend.SalvageSummary.__text_signature__ is None


@pytest.mark.parametrize("function, text_signature, doc", SIGNATURES, ids=lambda v: getattr(v, "__qualname__", None))
def test_signature_lines_and_doc_bodies(function, text_signature, doc):
    assert function.__text_signature__ == text_signature
    assert function.__doc__ == doc


@pytest.mark.parametrize("function", [backend.salvage_file, backend.sniff, backend.open, backend.SalvageReader])
def test_inspect_signature(function):
    parameters = inspect.signature(function).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert [p.default for p in parameters if p.name == "quote_char"] in ([], ['"'])


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__name__)
def test_classes_are_final(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.fixture
def instances(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(b"a,b\n1,2\n")
    reader = backend.SalvageReader(str(path))
    return [reader, reader.summary]


def test_instances_take_no_new_attributes_or_weakrefs(instances):
    for instance in instances:
        with pytest.raises(AttributeError):
            instance.extra = 1
        assert not hasattr(instance, "__dict__")
        with pytest.raises(TypeError, match="cannot create weak reference"):
            weakref.ref(instance)
    # The reader has no repr of its own: the default one names the type with its prefix.
    assert repr(instances[0]).startswith("<builtins.SalvageReader object at 0x")


def test_reimport_reuses_the_class_objects(monkeypatch):
    monkeypatch.delitem(sys.modules, "rowmender._rowmender_backend")
    monkeypatch.setattr(rowmender, "_rowmender_backend", backend)  # the import rebinds it
    again = importlib.import_module("rowmender._rowmender_backend")
    assert again is not backend
    assert again.SalvageReader is backend.SalvageReader
    assert again.SalvageSummary is backend.SalvageSummary
    assert again.__doc__ == MODULE_DOC
    assert again.__all__ == PUBLIC and again.__all__ is not backend.__all__
    assert again.sniff.__self__ is again
    assert again.sniff("a;b\nc;d\n") == ";"
