"""The README is what a new user follows: its Python examples must run as written."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text(encoding="utf-8")

FENCE = re.compile(r"^```(\w*)[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def fenced_blocks(language: str) -> list[tuple[int, str]]:
    """The blocks fenced as ``language``, each with the README line its code starts on."""
    return [
        (README.count("\n", 0, match.start(2)) + 1, match.group(2))
        for match in FENCE.finditer(README)
        if match.group(1) == language
    ]


def section(title: str) -> str:
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", README, re.MULTILINE | re.DOTALL)
    assert match, f"README has no section {title!r}"
    return match.group(1)


PYTHON_BLOCKS = fenced_blocks("python")
OPTIONAL_MODULES = {"dask", "distributed", "fsspec", "pandas", "duckdb", "polars"}


def test_readme_has_python_examples() -> None:
    assert len(PYTHON_BLOCKS) >= 3


# Dask's event loop asks for a call the installed tornado deprecates.
@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
@pytest.mark.parametrize(("line", "code"), PYTHON_BLOCKS, ids=[f"README.md:{line}" for line, _ in PYTHON_BLOCKS])
def test_python_example_runs(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, line: int, code: str) -> None:
    # An example of an optional package's use runs where the package is installed.
    for module in set(re.findall(r"^(?:from|import) (\w+)", code, re.MULTILINE)) & OPTIONAL_MODULES:
        pytest.importorskip(module)
    # The examples are written for the repository root as the working folder; a copy of
    # examples/ in a scratch folder keeps their output files out of the repository.
    shutil.copytree(REPO / "examples", tmp_path / "examples", ignore=shutil.ignore_patterns("output"))
    monkeypatch.chdir(tmp_path)

    exec(compile(code, f"README.md:{line}", "exec"), {"__name__": "__main__"})


def test_quick_start_names_the_demo_and_the_test_command() -> None:
    quick_start = section("Quick start")
    commands = "".join(code for _, code in fenced_blocks("sh") if code in quick_start)
    for script in ("scripts/demo.sh", "scripts/test.sh"):
        assert f"bash {script}" in commands
        assert (REPO / script).is_file()


def test_command_line_section_documents_exactly_the_real_options() -> None:
    documented = set(re.findall(r"--[a-z][a-z-]*", section("Command line")))
    real: set[str] = set()
    for command in ([], ["repair"], ["check"], ["report"], ["sniff"]):
        help_text = subprocess.run(
            [sys.executable, "-m", "rowmender", *command, "--help"],
            capture_output=True,
            text=True,
            check=True,
            cwd=REPO / "examples",
        ).stdout
        real |= set(re.findall(r"--[a-z][a-z-]*", help_text)) - {"--help"}

    assert documented == real


COMMAND_LINE_BLOCKS = [(line, code) for line, code in fenced_blocks("sh") if code in section("Command line")]


@pytest.mark.parametrize(
    ("line", "code"), COMMAND_LINE_BLOCKS, ids=[f"README.md:{line}" for line, _ in COMMAND_LINE_BLOCKS]
)
def test_command_line_example_runs(tmp_path: Path, line: int, code: str) -> None:
    # As a user runs them from the repository root, with the `rowmender` command on the path;
    # any failing command, in a pipeline too, fails the example.
    shutil.copytree(REPO / "examples", tmp_path / "examples", ignore=shutil.ignore_patterns("output"))
    commands = tmp_path / "bin"
    commands.mkdir()
    (commands / "rowmender").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m rowmender "$@"\n')
    (commands / "rowmender").chmod(0o755)
    env = dict(os.environ, PATH=f"{commands}{os.pathsep}{os.environ['PATH']}")

    result = subprocess.run(
        ["bash", "-euo", "pipefail", "-c", code], capture_output=True, text=True, cwd=tmp_path, env=env, timeout=120
    )

    assert result.returncode == 0, f"README.md:{line}: {result.stderr}"
