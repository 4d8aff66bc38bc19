"""The package as users get it: installed into an empty prefix, typed, self-documenting."""

from __future__ import annotations

import ast
import inspect
import os
import pydoc
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest

import rowmender
from rowmender import _rowmender_backend as backend

REPO = Path(__file__).resolve().parents[2]
# The package's own files as the source folder holds them; the build adds the module.
PACKAGE_FILES = sorted(
    f.name for f in (REPO / "rowmender").iterdir() if f.suffix in (".py", ".pyi") or f.name == "py.typed"
)


@pytest.fixture(scope="module")
def prefix(tmp_path_factory: pytest.TempPathFactory) -> Path:
    staging = os.environ.get("ROWMENDER_PYTHON_ROOT")
    if not staging:
        pytest.skip("ROWMENDER_PYTHON_ROOT is not set, so the build tree to install from is unknown")
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    target = tmp_path_factory.mktemp("prefix")
    subprocess.run(
        [cmake, "--install", str(Path(staging).parent), "--prefix", str(target)],
        check=True,
        capture_output=True,
        text=True,
        timeout=300,
    )
    return target


def run_installed(prefix: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # Only the prefix is on the path, and the working folder holds no package, so nothing
    # but the installed copy can be imported.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env["PYTHONPATH"] = str(prefix)
    return subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, cwd=prefix.parent, env=env, timeout=120
    )


def test_install_lays_out_exactly_the_package(prefix: Path) -> None:
    installed = sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if p.is_file())
    modules = [name for name in installed if name.startswith("rowmender/_rowmender_backend.") and name.endswith(".so")]

    assert len(modules) == 1
    assert installed == sorted([f"rowmender/{name}" for name in PACKAGE_FILES] + modules)


def test_installed_package_imports_and_works(prefix: Path) -> None:
    result = run_installed(
        prefix,
        "-c",
        textwrap.dedent(
            """
        import pathlib, rowmender
        print(rowmender.__version__)
        print(pathlib.Path(rowmender.__file__).resolve().parent)
        print(pathlib.Path(rowmender._rowmender_backend.__file__).resolve().parent)
        print(rowmender.sniff("a;b\\n1;2\\n"))
    """
        ),
    )

    assert result.returncode == 0, result.stderr
    version, package_dir, module_dir, sniffed = result.stdout.splitlines()
    assert version == rowmender.__version__
    assert Path(package_dir) == Path(module_dir) == (prefix / "rowmender").resolve()
    assert sniffed == ";"


def test_installed_command_line_runs(prefix: Path, tmp_path: Path) -> None:
    source = tmp_path / "in.csv"
    source.write_text("a,b\n1\n2,3\n", encoding="utf-8")

    result = run_installed(prefix, "-m", "rowmender", "repair", str(source), str(tmp_path / "out.csv"), "--json")

    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.csv").read_text(encoding="utf-8") == "a,b\n1,\n2,3\n"


def test_wheel_metadata_reads_the_version_the_module_was_built_with() -> None:
    # The wheel's version is read from CMakeLists.txt by the pattern in pyproject.toml; the
    # module's comes from the same line through the compiler. Both must find the same text.
    import tomllib

    with open(REPO / "pyproject.toml", "rb") as file:
        pyproject = tomllib.load(file)
    assert "version" not in pyproject["project"] and "version" in pyproject["project"]["dynamic"]
    provider = pyproject["tool"]["scikit-build"]["metadata"]["version"]
    found = re.search(provider["regex"], (REPO / provider["input"]).read_text(encoding="utf-8"), re.MULTILINE)

    assert found is not None
    assert found["value"] == rowmender.__version__ == backend.__version__


# --- signatures: what help(), inspect and the type stubs show must agree -------------------

STUB = ast.parse((Path(backend.__file__).parent / "_rowmender_backend.pyi").read_text(encoding="utf-8"))


def stub_functions() -> dict[str, ast.FunctionDef]:
    """Every function of the stubs by dotted name; a class's __new__ stands for the class."""
    found: dict[str, ast.FunctionDef] = {}
    for node in STUB.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not any(
                    isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list
                ):
                    found[node.name if item.name == "__new__" else f"{node.name}.{item.name}"] = item
    return found


STUB_FUNCTIONS = stub_functions()


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, Any]]:
    args = function.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(function.args.defaults))
    defaults += [ast.literal_eval(d) for d in function.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults) if a.arg not in ("self", "cls")]


def runtime_object(name: str) -> Any:
    obj: Any = backend
    for part in name.split("."):
        obj = getattr(obj, part)
    return obj


# Iteration and length come from type slots, which carry the interpreter's generic
# signatures; everything else has its own signature line.
@pytest.mark.parametrize(
    "name",
    [
        n
        for n in STUB_FUNCTIONS
        if n not in ("SalvageReader.__iter__", "SalvageReader.__next__", "SalvageReader.__len__")
    ],
)
def test_runtime_signature_matches_the_stub(name: str) -> None:
    runtime = inspect.signature(runtime_object(name))
    parameters = [(p.name, p.default) for p in runtime.parameters.values() if p.name not in ("self", "cls")]

    assert parameters == stub_parameters(STUB_FUNCTIONS[name])


def test_every_public_callable_is_in_the_stubs() -> None:
    names = {name for name in backend.__all__ if name != "SalvageSummary"}
    for cls in (rowmender.SalvageReader, rowmender.SalvageSummary):
        for member, value in vars(cls).items():
            public = not member.startswith("_") or member in ("__enter__", "__exit__")
            if public and callable(value):
                names.add(f"{cls.__name__}.{member}")

    assert names - set(STUB_FUNCTIONS) == set()


SALVAGE_FILE_SIGNATURE = (
    "salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char='\"', "
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
READER_PARAMETERS = (
    "(file_path, delimiter=None, quote_char='\"', fill_ragged_rows=True, merge_overflow=True, "
    "expected_columns=None, repair_quotes=True)"
)


def test_help_of_the_package_shows_real_signatures() -> None:
    text = pydoc.plain(pydoc.render_doc(rowmender))

    for line in (
        SALVAGE_FILE_SIGNATURE,
        "sniff(sample)",
        "open" + READER_PARAMETERS,
        "SalvageReader" + READER_PARAMETERS,
        "to_dict(self, /)",
    ):
        assert line in text
    assert f"VERSION\n    {rowmender.__version__}" in text


def test_help_of_salvage_file_shows_its_signature_and_arguments() -> None:
    text = pydoc.plain(pydoc.render_doc(rowmender.salvage_file))

    assert SALVAGE_FILE_SIGNATURE in text.splitlines()
    for parameter in inspect.signature(rowmender.salvage_file).parameters:
        assert f"        {parameter}: " in text
