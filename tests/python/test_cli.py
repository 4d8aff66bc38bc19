"""The command line, run as users run it: ``python -m rowmender`` in a child process."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import rowmender

# Every kind of damage the options act on: a short row (fill), a long row (merge), stray
# quotes (repair_quotes), a field quoted with apostrophes (quote_char).
DAMAGED = (
    "id,name,note\n"
    "1,Ann,plain\n"
    "2,Bob\n"
    "3,Cid,one,two\n"
    '4,"Dee "the" best",x\n'
    "5,'Eve,Lee',y\n"
    '6,"Fay,Gus",z\n'
)

SUMMARY_KEYS = ["total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "detected_delimiter",
                "inferred_columns"]


# The child must run the very package this process imported, whichever folder on the path
# it came from; its working folder (the child's first import location) holds no package.
PACKAGE_ROOT = str(Path(rowmender.__file__).resolve().parent.parent)


def run(*args: str | os.PathLike[str] | bytes, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-m", "rowmender", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=120,
    )


@pytest.fixture
def damaged(tmp_path: Path) -> Path:
    path = tmp_path / "damaged.csv"
    path.write_text(DAMAGED, encoding="utf-8")
    return path


# Each option next to the keyword argument it must turn into. Every case but the first
# must change the outcome, or the case would not show that the option reaches the engine.
OPTION_CASES = [
    pytest.param([], {}, id="defaults"),
    pytest.param(["--no-fill"], {"fill_ragged_rows": False}, id="no-fill"),
    pytest.param(["--no-merge"], {"merge_overflow": False}, id="no-merge"),
    pytest.param(["--no-repair-quotes"], {"repair_quotes": False}, id="no-repair-quotes"),
    pytest.param(["--expected-columns", "2"], {"expected_columns": 2}, id="expected-columns-2"),
    pytest.param(["--expected-columns", "0"], {"expected_columns": 0}, id="expected-columns-0"),
    pytest.param(["--delimiter", ";"], {"delimiter": ";"}, id="delimiter-semicolon"),
    pytest.param(["--delimiter", "\\t"], {"delimiter": "\t"}, id="delimiter-backslash-t"),
    pytest.param(["--delimiter", "tab"], {"delimiter": "\t"}, id="delimiter-tab"),
    pytest.param(["--quote-char", "'"], {"quote_char": "'"}, id="quote-char-apostrophe"),
]


@pytest.mark.parametrize(("options", "kwargs"), OPTION_CASES)
def test_repair_matches_salvage_file(damaged: Path, tmp_path: Path, options: list[str], kwargs: dict[str, object]) -> None:
    expected_out = tmp_path / "expected.csv"
    expected_quarantine = tmp_path / "expected-quarantine.csv"
    expected = rowmender.salvage_file(
        str(damaged), str(expected_out), quarantine_path=str(expected_quarantine), **kwargs  # type: ignore[arg-type]
    )
    out = tmp_path / "out.csv"
    quarantine = tmp_path / "quarantine.csv"

    result = run("repair", damaged, out, "--quarantine", quarantine, "--json", *options, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert json.loads(result.stdout) == expected.to_dict()
    assert out.read_bytes() == expected_out.read_bytes()
    assert quarantine.read_bytes() == expected_quarantine.read_bytes()
    if options:
        default_out = tmp_path / "default.csv"
        default = rowmender.salvage_file(str(damaged), str(default_out))
        changed = default.to_dict() != expected.to_dict() or default_out.read_bytes() != expected_out.read_bytes()
        assert changed, f"{options} gave the same outcome as the defaults"


def test_repair_prints_a_readable_table(damaged: Path, tmp_path: Path) -> None:
    out = tmp_path / "out.csv"
    quarantine = tmp_path / "quarantine.csv"
    expected = rowmender.salvage_file(str(damaged), str(tmp_path / "expected.csv"), fill_ragged_rows=False)

    result = run("repair", damaged, out, "--quarantine", quarantine, "--no-fill", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    table = dict(line.rsplit("  ", 1) for line in result.stdout.splitlines())
    table = {label.strip(): value.strip() for label, value in table.items()}
    assert table == {
        "Rows read": str(expected.total_rows),
        "Rows kept": str(expected.salvaged_rows),
        "Rows repaired (filled or merged)": str(expected.repaired_rows),
        "Rows quarantined": str(expected.quarantined_rows),
        "Delimiter": "','",
        "Columns": str(expected.inferred_columns),
        "Repaired file": str(out),
        "Quarantine file": str(quarantine),
    }
    assert expected.quarantined_rows > 0
    assert quarantine.read_text(encoding="utf-8").startswith("line,reason,raw_content\n")


def test_repair_shows_the_tab_by_name_and_lists_the_json_fields_in_order(tmp_path: Path) -> None:
    source = tmp_path / "tabs.csv"
    source.write_text("a\tb\tc\n1\t2\t3\n4\t5\n", encoding="utf-8")

    # Without --quarantine the set-aside row is written nowhere.
    table = run("repair", "tabs.csv", "out.tsv", "--no-fill", cwd=tmp_path)
    as_json = run("repair", source, tmp_path / "out.tsv", "--json", cwd=tmp_path)

    assert table.returncode == 0 and as_json.returncode == 0
    assert any(line.startswith("Delimiter") and line.endswith("  tab") for line in table.stdout.splitlines())
    assert re.search(r"^Rows quarantined +1$", table.stdout, re.M) and "Quarantine file" not in table.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.tsv", "tabs.csv"]
    summary = json.loads(as_json.stdout)
    assert list(summary) == SUMMARY_KEYS
    assert summary["detected_delimiter"] == "\t"


def test_repair_in_place_replaces_the_file_with_its_repaired_form(damaged: Path, tmp_path: Path) -> None:
    expected_out = tmp_path / "expected.csv"
    rowmender.salvage_file(str(damaged), str(expected_out))

    result = run("repair", damaged, damaged, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert damaged.read_bytes() == expected_out.read_bytes()


@pytest.mark.parametrize(
    ("content", "shown"),
    [
        ("a;b;c\n1;2;3\n4;5;6\n", ";"),
        ("a\tb\tc\n1\t2\t3\n4\t5\t6\n", "\\t"),
        ("\ufeffa;b\n1;2\n", ";"),
        ("", ","),
    ],
    ids=["semicolon", "tab", "byte-order-mark", "empty"],
)
def test_sniff_prints_the_delimiter(tmp_path: Path, content: str, shown: str) -> None:
    path = tmp_path / "sample.csv"
    path.write_text(content, encoding="utf-8")

    result = run("sniff", path, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert result.stdout == shown + "\n"
    assert result.stderr == ""


def test_sniff_output_is_accepted_back_as_the_delimiter(tmp_path: Path) -> None:
    source = tmp_path / "tabs.tsv"
    source.write_text("a\tb\n1\t2\n3\t4\n", encoding="utf-8")

    sniffed = run("sniff", source, cwd=tmp_path).stdout.strip()
    result = run("repair", source, tmp_path / "out.tsv", "--delimiter", sniffed, "--json", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["detected_delimiter"] == "\t"


def test_sniff_judges_a_large_file_by_its_beginning(tmp_path: Path) -> None:
    # Far more than the sample; a multi-byte character on every line makes the sample end
    # in the middle of one, which must not matter.
    path = tmp_path / "large.csv"
    path.write_text("".join(f"{i};név;ü\n" for i in range(200_000)), encoding="utf-8")

    result = run("sniff", path, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert result.stdout == ";\n"


def test_help_lists_every_option(tmp_path: Path) -> None:
    result = run("repair", "--help", cwd=tmp_path)

    assert result.returncode == 0
    for option in ("--quarantine", "--delimiter", "--quote-char", "--expected-columns", "--no-fill",
                   "--no-merge", "--no-repair-quotes", "--json"):
        assert option in result.stdout


@pytest.mark.parametrize(
    "args",
    [
        pytest.param([], id="no-command"),
        pytest.param(["repair", "IN", "OUT", "--bogus"], id="unknown-option"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "-1"], id="negative-columns"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "two"], id="non-numeric-columns"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "10000001"], id="too-many-columns"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "99999999999999999999999"], id="absurd-columns"),
        pytest.param(["repair", "IN", "OUT", "--delimiter", ";;"], id="two-character-delimiter"),
        pytest.param(["repair", "IN", "OUT", "--delimiter", "é"], id="non-ascii-delimiter"),
        pytest.param(["repair", "IN", "OUT", "--quote-char", "''"], id="two-character-quote"),
    ],
)
def test_usage_errors_exit_2_and_touch_no_file(damaged: Path, tmp_path: Path, args: list[str]) -> None:
    args = [str(damaged) if a == "IN" else str(tmp_path / "out.csv") if a == "OUT" else a for a in args]

    result = run(*args, cwd=tmp_path)

    assert result.returncode == 2
    assert result.stdout == ""
    assert "error:" in result.stderr.splitlines()[-1]
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "out.csv").exists()
    assert damaged.read_text(encoding="utf-8") == DAMAGED


@pytest.mark.parametrize(
    ("args", "named", "reason"),
    [
        pytest.param(["repair", "missing.csv", "out.csv"], "missing.csv", "No such file or directory", id="missing-input"),
        pytest.param(["repair", "damaged.csv", "nowhere/out.csv"], "nowhere/out.csv", "not an existing folder",
                     id="output-folder-missing"),
        pytest.param(["repair", "damaged.csv", "folder"], "folder", "Is a directory", id="output-is-a-folder"),
        pytest.param(["repair", "damaged.csv", "out.csv", "--quarantine", "nowhere/q.csv"], "nowhere/q.csv",
                     "not an existing folder", id="quarantine-folder-missing"),
        pytest.param(["repair", "damaged.csv", "out.csv", "--quarantine", "./damaged.csv"], "./damaged.csv",
                     "it is the input file 'damaged.csv'", id="quarantine-is-the-input"),
        pytest.param(["sniff", "folder"], "folder", "Is a directory", id="sniff-folder"),
    ],
)
def test_file_errors_exit_1_with_one_line(damaged: Path, tmp_path: Path, args: list[str], named: str, reason: str) -> None:
    (tmp_path / "folder").mkdir()

    result = run(*args, cwd=tmp_path)

    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith("rowmender: error: ")
    assert repr(named) in result.stderr
    assert reason in result.stderr
    # Nothing is written when a path is known to be unusable before the repair starts.
    assert not (tmp_path / "out.csv").exists()
    assert damaged.read_text(encoding="utf-8") == DAMAGED


def test_an_unwritable_quarantine_file_fails_after_the_repair(damaged: Path, tmp_path: Path) -> None:
    # The empty path passes the checks but cannot be created: the engine's own error is
    # shown, still on one line and naming the files involved.
    result = run("repair", "damaged.csv", "out.csv", "--quarantine", "", cwd=tmp_path)

    assert result.returncode == 1
    assert result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith("rowmender: error: cannot repair 'damaged.csv' into 'out.csv' and ''")


def test_a_file_name_that_is_not_utf8_is_a_file_error(damaged: Path, tmp_path: Path) -> None:
    result = run("repair", damaged, os.fsencode(tmp_path) + b"/\xff.csv", cwd=tmp_path)

    assert result.returncode == 1
    assert result.stderr == "rowmender: error: file names must be valid UTF-8\n"
