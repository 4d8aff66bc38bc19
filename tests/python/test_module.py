"""The native module object: its attributes, docstrings, signatures and class objects."""

import ast
import importlib
import inspect
import os
import subprocess
import sys
import weakref
from pathlib import Path

import pytest

import rowmender
import rowmender._rowmender_backend as backend

# Every callable with its own signature line, and whether it must have a doc body under it.
CALLABLES = [
    (backend.salvage_file, True),
    (backend.sniff, True),
    (backend.open, True),
    (backend.SalvageReader, True),
    (backend.SalvageReader.__enter__, False),
    (backend.SalvageReader.__exit__, False),
    (backend.SalvageSummary.to_dict, True),
]

PUBLIC = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]
CLASSES = [backend.SalvageReader, backend.SalvageSummary]


def test_module_attributes():
    assert backend.__doc__.strip()
    assert backend.__all__ == PUBLIC
    assert [name for name in vars(backend) if name in PUBLIC or name in ("__version__", "__all__")] == [
        "__version__",
        "__all__",
        *PUBLIC,
    ]


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
    assert backend.SalvageSummary.__doc__.strip()
    assert backend.SalvageSummary.__text_signature__ is None


def parameters_of(text_signature):
    """Names and defaults of a signature line, read as Python source."""
    function = ast.parse(f"def f{text_signature.replace('$self', 'self')}: pass").body[0]
    args = function.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(function.args.defaults))
    defaults += [ast.literal_eval(d) for d in function.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults)]


# The interpreter splits each docstring as built into a signature line and a body; a slip in
# the separator leaves the line in the body, or no signature at all.
@pytest.mark.parametrize("function, documented", CALLABLES, ids=lambda v: getattr(v, "__qualname__", None))
def test_signature_lines_are_split_from_the_doc_bodies(function, documented):
    text_signature = function.__text_signature__
    assert text_signature and text_signature.startswith("(")
    reported = [(p.name, p.default) for p in inspect.signature(function).parameters.values()]
    assert reported == parameters_of(text_signature)
    if documented:
        assert function.__doc__.strip()
    if function.__doc__:
        assert not function.__doc__.startswith((function.__name__ + "(", "(", "--"))


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
    assert again.__doc__ == backend.__doc__
    assert again.__all__ == PUBLIC and again.__all__ is not backend.__all__
    assert again.sniff.__self__ is again
    assert again.sniff("a;b\nc;d\n") == ";"


def test_a_small_repair_loads_neither_typing_nor_dataclasses_nor_re(tmp_path):
    # Importing them costs about 20 and 15 ms, longer than a small repair takes; the package's
    # modules import them only for type checkers (TYPE_CHECKING) or when a feature needs them.
    # The encoding detector loads only for a file that is not UTF-8.
    (tmp_path / "in.csv").write_bytes(b"a,b\n1\n")
    script = (
        "import io, sys, rowmender\n"
        "rowmender.repair('in.csv', io.BytesIO(), changes=io.BytesIO())\n"
        "list(rowmender.rows('in.csv', encoding='auto'))\n"
        "assert 're' not in sys.modules\n"  # nor regular expressions, before the command line's argparse
        "from rowmender.cli import main\n"
        "main(['repair', 'in.csv', 'out.csv', '--quiet', '--encoding', 'auto'])\n"
        "print(sorted({'typing', 'dataclasses', 'charset_normalizer'} & set(sys.modules)))\n"
    )
    root = str(Path(rowmender.__file__).resolve().parent.parent)
    done = subprocess.run(
        [sys.executable, "-c", script],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": root},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
