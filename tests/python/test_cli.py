"""The command line, run as users run it: ``python -m rowmender`` in a child process."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import json
import lzma
import os
import pty
import re
import signal
import subprocess
import sys
import threading
import time
from html.parser import HTMLParser
from pathlib import Path
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rowmender
from rowmender._compressed import Input
import rowmender.cli

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

REPORT_KEYS = list(rowmender.RepairReport.__match_args__)


# The child must run the very package this process imported, whichever folder on the path
# it came from; its working folder (the child's first import location) holds no package.
PACKAGE_ROOT = str(Path(rowmender.__file__).resolve().parent.parent)


ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")])))

# The command with some modules made unimportable, as on a machine without them.
WITHOUT_MODULES = (
    "import sys; sys.modules.update(dict.fromkeys(sys.argv.pop(1).split(','))); sys.argv[0] = 'rowmender'; "
    "from rowmender.cli import main; raise SystemExit(main())"
)


def command(*args: str | os.PathLike[str] | bytes, without: str = "") -> list[Any]:
    if without:
        return [sys.executable, "-c", WITHOUT_MODULES, without, *args]
    return [sys.executable, "-m", "rowmender", *args]


def run(
    *args: str | os.PathLike[str] | bytes, cwd: Path, text: bool = True, without: str = "", **kwargs: Any
) -> subprocess.CompletedProcess[Any]:
    # The timeout only catches a hang; nothing here is timed.
    kwargs.setdefault("capture_output", "stdout" not in kwargs)
    kwargs.setdefault("env", ENV)
    return subprocess.run(command(*args, without=without), text=text, cwd=cwd, timeout=120, **kwargs)


def hint_lines(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if line.startswith("rowmender: hint: ")]


def repaired_bytes(source: Path, tmp_path: Path, **kwargs: Any) -> tuple[bytes, rowmender.RepairReport]:
    """What the library writes for a file with the command line's default cleanup: the
    command line must write exactly this."""
    expected = tmp_path / "expected.out"
    report = rowmender.repair(source, expected, **{"cleanup": True, **kwargs})
    data = expected.read_bytes()
    expected.unlink()
    return data, report


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
def test_repair_matches_salvage_file(
    damaged: Path, tmp_path: Path, options: list[str], kwargs: dict[str, object]
) -> None:
    expected_out = tmp_path / "expected.csv"
    expected_quarantine = tmp_path / "expected-quarantine.csv"
    expected = rowmender.salvage_file(
        str(damaged), str(expected_out), quarantine_path=str(expected_quarantine), **kwargs  # type: ignore[arg-type]
    )
    out = tmp_path / "out.csv"
    quarantine = tmp_path / "quarantine.csv"

    result = run("repair", damaged, out, "--quarantine", quarantine, "--json", "--quiet", *options, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = json.loads(result.stdout)
    assert list(report) == REPORT_KEYS
    assert {key: report[key] for key in expected.to_dict()} == expected.to_dict()
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

    # The summary is a diagnostic: standard error, with the hints after it.
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    hints = hint_lines(result.stderr)
    assert lines[len(lines) - len(hints) :] == hints
    table = dict(line.rsplit("  ", 1) for line in lines[: len(lines) - len(hints)])
    table = {label.strip(): value.strip() for label, value in table.items()}
    assert table == {
        "Rows read": str(expected.total_rows),
        "Rows kept": str(expected.salvaged_rows),
        "Rows repaired (filled or merged)": str(expected.repaired_rows),
        "Rows quarantined": str(expected.quarantined_rows),
        "Delimiter": "','",
        "Columns": str(expected.inferred_columns),
        "Rows with stray quotes": "1",  # the only alteration, and only those are shown
        "Repaired file": str(out),
        "Quarantine file": str(quarantine),
    }
    assert expected.quarantined_rows > 0
    assert quarantine.read_text(encoding="utf-8").startswith("line,reason,raw_content\n")


class _Cells(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.cells: list[str] = []

    def handle_starttag(self, tag: str, attrs: object) -> None:
        if tag in ("th", "td"):
            self.cells.append("")

    def handle_data(self, data: str) -> None:
        if self.cells:
            self.cells[-1] += data


@pytest.mark.parametrize("delimiter", [",", "<", "&"])
def test_a_report_prints_as_the_summary_and_shows_as_html(tmp_path: Path, delimiter: str) -> None:
    # str() is the command line's table without the file names; the notebook's table holds
    # the same cells, every one escaped (a delimiter "<" is shown, not taken for a tag).
    source = tmp_path / "in.csv"
    source.write_text(f'a{delimiter}b\n1{delimiter}"x"y\n2\n', encoding="utf-8")
    result = run("repair", source, tmp_path / "out.csv", "--delimiter", delimiter, cwd=tmp_path)
    report = rowmender.repair(source, io.BytesIO(), delimiter=delimiter)
    assert result.stderr.startswith(str(report) + "\nRepaired file"), result.stderr
    parser = _Cells()
    parser.feed(report._repr_html_())
    pairs = [re.split(r"\s{2,}", line) for line in str(report).splitlines()]
    assert parser.cells == [cell for pair in pairs for cell in pair]
    assert ["Delimiter", repr(delimiter)] in pairs and ["Rows with text after a quote", "1"] in pairs


def test_repair_shows_the_tab_by_name_and_lists_the_json_fields_in_order(tmp_path: Path) -> None:
    source = tmp_path / "tabs.csv"
    source.write_text("a\tb\tc\n1\t2\t3\n4\t5\n", encoding="utf-8")

    # Without --quarantine the set-aside row is written nowhere.
    table = run("repair", "tabs.csv", "out.tsv", "--no-fill", cwd=tmp_path)
    as_json = run("repair", source, tmp_path / "out.tsv", "--json", cwd=tmp_path)

    assert table.returncode == 0 and as_json.returncode == 0
    assert any(line.startswith("Delimiter") and line.endswith("  tab") for line in table.stderr.splitlines())
    assert re.search(r"^Rows quarantined +1$", table.stderr, re.M) and "Quarantine file" not in table.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.tsv", "tabs.csv"]
    summary = json.loads(as_json.stdout)
    assert list(summary) == REPORT_KEYS
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
        # What repair takes: the header's semicolons, not the wider rows of the text's commas.
        ("id;note\n" + "".join(f"{i};a, b, c, d\n" for i in range(9)), ";"),
    ],
    ids=["semicolon", "tab", "byte-order-mark", "empty", "commas-in-text"],
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
    for option in (
        "--quarantine",
        "--changes",
        "--delimiter",
        "--quote-char",
        "--expected-columns",
        "--no-fill",
        "--no-merge",
        "--no-repair-quotes",
        "--encoding",
        "--json",
        "--quiet",
    ):
        assert option in result.stdout


def test_version_and_exit_statuses_are_in_the_help(tmp_path: Path) -> None:
    version = run("--version", cwd=tmp_path)
    help_text = run("--help", cwd=tmp_path).stdout

    assert version.stdout == f"rowmender {rowmender.__version__}\n"
    for status in (0, 1, 2, 3, 130):
        assert re.search(rf"^  {status} +\w", help_text, re.M), status


@pytest.mark.parametrize(
    "args",
    [
        pytest.param([], id="no-command"),
        pytest.param(["repair", "IN", "OUT", "--bogus"], id="unknown-option"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "-1"], id="negative-columns"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "two"], id="non-numeric-columns"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "10000001"], id="absurd-columns"),
        pytest.param(["repair", "IN", "OUT", "--expected-columns", "9" * 30], id="huge-columns"),
        pytest.param(["repair", "IN", "OUT", "--delimiter", ";;"], id="two-character-delimiter"),
        pytest.param(["repair", "IN", "OUT", "--delimiter", "é"], id="non-ascii-delimiter"),
        pytest.param(["repair", "IN", "OUT", "--quote-char", "''"], id="two-character-quote"),
        pytest.param(["repair", "IN", "OUT", "--delimiter", '"'], id="delimiter-is-the-quote"),
        pytest.param(["repair", "IN", "OUT", "--encoding", "klingon"], id="unknown-encoding"),
        pytest.param(["repair", "IN", "OUT", "--encoding", "rot13"], id="not-a-text-encoding"),
        pytest.param(["repair", "IN", "-", "--changes", "-"], id="two-outputs-on-stdout"),
        pytest.param(["repair", "IN", "OUT", "--quarantine", ""], id="empty-file-name"),
        pytest.param(["check", "-", "IN", "-"], id="stdin-twice"),
        pytest.param(["repair", "IN", "IN", "--output-dir", "out"], id="same-input-twice"),
        pytest.param(["repair", "IN", "-", "--output-dir", "out"], id="stdin-with-output-dir"),
        pytest.param(["repair", "IN", "OUT", "--jobs", "2"], id="jobs-without-output-dir"),
        pytest.param(["repair", "IN", "--output-dir", "out", "--quarantine", "q.csv"], id="one-quarantine-for-many"),
        pytest.param(["repair", "IN", "OUT", "OUT"], id="three-paths-without-output-dir"),
        pytest.param(["repair", "IN", "--output-dir", "out", "--jobs", "0"], id="no-jobs"),
        pytest.param(
            ["repair", "IN", "OUT", "--scheduler", "tcp://127.0.0.1:9", "--threads", "2"], id="cluster-threads"
        ),
        pytest.param(
            ["repair", "IN", "--output-dir", "o", "--scheduler", "tcp://127.0.0.1:9", "--jobs", "2"], id="cluster-jobs"
        ),
        pytest.param(
            ["repair", "IN", "OUT", "--scheduler", "tcp://127.0.0.1:9", "--report", "r.html"], id="cluster-report"
        ),
        pytest.param(["repair", "-", "OUT", "--scheduler", "tcp://127.0.0.1:9"], id="cluster-stdin"),
    ],
)
def test_usage_errors_exit_2_with_one_line_and_touch_no_file(damaged: Path, tmp_path: Path, args: list[str]) -> None:
    args = [str(damaged) if a == "IN" else str(tmp_path / "out.csv") if a == "OUT" else a for a in args]

    result = run(*args, cwd=tmp_path, stdin=subprocess.DEVNULL)

    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and " error: " in result.stderr, result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["damaged.csv"]
    assert damaged.read_text(encoding="utf-8") == DAMAGED


@pytest.mark.parametrize(
    ("args", "hint"),
    [
        (["repair", "-x.csv", "out.csv"], True),
        (["check", "-x.csv"], True),
        (["repair", "in.csv", "out.csv", "--bogus"], False),
    ],
)
def test_a_name_that_looks_like_an_option_gets_a_hint(tmp_path: Path, args: list[str], hint: bool) -> None:
    result = run(*args, cwd=tmp_path)

    assert result.returncode == 2
    assert ("write '-- -x.csv' (after the options) or './-x.csv'" in result.stderr) is hint, result.stderr
    assert result.stderr.count("\n") == 1


@pytest.mark.parametrize(
    ("args", "named", "reason"),
    [
        pytest.param(
            ["repair", "missing.csv", "out.csv"], "missing.csv", "No such file or directory", id="missing-input"
        ),
        pytest.param(
            ["repair", "damaged.csv", "nowhere/out.csv"],
            "nowhere/out.csv",
            "not an existing folder",
            id="output-folder-missing",
        ),
        pytest.param(["repair", "damaged.csv", "folder"], "folder", "Is a directory", id="output-is-a-folder"),
        pytest.param(
            ["repair", "damaged.csv", "out.csv", "--quarantine", "nowhere/q.csv"],
            "nowhere/q.csv",
            "not an existing folder",
            id="quarantine-folder-missing",
        ),
        pytest.param(
            ["repair", "damaged.csv", "out.csv", "--quarantine", "./damaged.csv"],
            "./damaged.csv",
            "is the input file 'damaged.csv'",
            id="quarantine-is-the-input",
        ),
        pytest.param(
            ["repair", "damaged.csv", "out.csv", "--changes", "folder/../damaged.csv"],
            "folder/../damaged.csv",
            "is the input file",
            id="changes-is-the-input",
        ),
        pytest.param(
            ["repair", "damaged.csv", "out.csv", "--changes", "./out.csv"],
            "./out.csv",
            "are the same file",
            id="changes-is-the-output",
        ),
        pytest.param(["repair", "damaged.csv", "/dev/full"], "/dev/full", "No space left on device", id="disk-full"),
        pytest.param(
            ["repair", "damaged.csv", "out.csv", "--quarantine", "/dev/full"],
            "/dev/full",
            "No space left on device",
            id="quarantine-disk-full",
        ),
        pytest.param(
            ["repair", "damaged.csv", "out.zst"],
            "out.zst",
            "install python3-zstandard",
            id="zstd-output-without-zstandard",
        ),
        pytest.param(["sniff", "folder"], "folder", "Is a directory", id="sniff-folder"),
        pytest.param(
            ["repair", "damaged.csv", "out.csv", "--encoding", "utf-16"],
            "damaged.csv",
            "give the encoding as utf-16-le or utf-16-be",
            id="utf-16-without-a-byte-order",
        ),
        pytest.param(
            ["check", "damaged.csv", "--encoding", "idna"],
            "damaged.csv",
            "choose another encoding",
            id="codec-without-error-handling",
        ),
        pytest.param(
            ["check", "--quiet", "damaged.csv", "missing.csv"], "missing.csv", "No such file", id="check-missing"
        ),
    ],
)
def test_file_errors_exit_1_with_one_line(
    damaged: Path, tmp_path: Path, args: list[str], named: str, reason: str
) -> None:
    (tmp_path / "folder").mkdir()

    result = run(*args, cwd=tmp_path, without="zstandard")

    assert result.returncode == 1
    assert result.stderr.count("\n") == 1, result.stderr
    assert result.stderr.startswith("rowmender: error: ")
    assert repr(named) in result.stderr
    assert reason in result.stderr
    # Nothing is left behind: no output, no temporary file, the input as it was.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["damaged.csv", "folder"]
    assert damaged.read_text(encoding="utf-8") == DAMAGED


def test_not_enough_memory_is_one_line(
    damaged: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    def exhausted(*args: object, **kwargs: object) -> None:
        raise MemoryError

    monkeypatch.setattr(rowmender.cli, "repair", exhausted)

    assert rowmender.cli.main(["repair", str(damaged), str(tmp_path / "out.csv")]) == 1
    assert capsys.readouterr().err == f"rowmender: error: not enough memory to repair {str(damaged)!r}\n"


def test_a_file_name_that_is_not_utf8_is_used_as_it_is(damaged: Path, tmp_path: Path) -> None:
    name = os.fsencode(tmp_path) + b"/\xff.csv"

    result = run("repair", damaged, name, cwd=tmp_path, text=False)

    assert result.returncode == 0, result.stderr
    assert name in result.stderr
    assert os.path.exists(name)


# --- standard streams and compression --------------------------------------------------


@pytest.mark.parametrize("output", ["path", "-"])
@pytest.mark.parametrize("source", ["path", "stdin-file", "stdin-pipe"])
def test_standard_streams_carry_the_same_bytes_and_nothing_else(
    damaged: Path, tmp_path: Path, source: str, output: str
) -> None:
    expected, report = repaired_bytes(damaged, tmp_path)
    out = tmp_path / "out.csv"
    stdin: dict[str, Any] = {
        "path": {"stdin": subprocess.DEVNULL},
        "stdin-file": {"stdin": damaged.open("rb")},
        "stdin-pipe": {"input": damaged.read_bytes()},
    }[source]

    result = run(
        "repair",
        damaged if source == "path" else "-",
        out if output == "path" else "-",
        "--json",
        cwd=tmp_path,
        text=False,
        **stdin,
    )

    # The report goes wherever the data does not.
    assert result.returncode == 0, result.stderr
    data, report_text = (out.read_bytes(), result.stdout) if output == "path" else (result.stdout, result.stderr)
    assert data == expected
    assert json.loads(hint_free(report_text)) == report.to_dict()


def hint_free(stderr: bytes) -> str:
    return "\n".join(line for line in stderr.decode().splitlines() if not line.startswith("rowmender: "))


COMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    "gzip": gzip.compress,
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda data: pytest.importorskip("zstandard").ZstdCompressor().compress(data),
}
DECOMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    ".gz": gzip.decompress,
    ".bz2": bz2.decompress,
    ".xz": lzma.decompress,
    ".zst": lambda data: pytest.importorskip("zstandard").ZstdDecompressor().decompressobj().decompress(data),
}
SEMICOLONS = "name;note\nAnn;a\nBob;b;extra\nCid\n" * 500


@pytest.mark.parametrize("via_stdin", [False, True], ids=["path", "stdin"])
@pytest.mark.parametrize("compression", COMPRESSORS)
def test_compressed_input_is_recognised_by_its_first_bytes(tmp_path: Path, compression: str, via_stdin: bool) -> None:
    plain = tmp_path / "plain.csv"
    plain.write_text(SEMICOLONS, encoding="utf-8")
    expected, _ = repaired_bytes(plain, tmp_path)
    # A misleading name: only the content may decide.
    packed = tmp_path / "packed.csv"
    packed.write_bytes(COMPRESSORS[compression](plain.read_bytes()))
    source, stdin = ("-", packed.read_bytes()) if via_stdin else (packed, None)

    repaired = run("repair", source, "-", "--quiet", cwd=tmp_path, text=False, input=stdin)
    sniffed = run("sniff", source, cwd=tmp_path, text=False, input=stdin)

    assert repaired.returncode == 0, repaired.stderr
    assert repaired.stdout == expected
    assert sniffed.stdout == b";\n"
    if compression == "zstd":
        unreadable = run("repair", source, "-", cwd=tmp_path, text=False, input=stdin, without="zstandard")
        assert unreadable.returncode == 1 and b"install python3-zstandard" in unreadable.stderr


@pytest.mark.parametrize("suffix", DECOMPRESSORS)
def test_an_output_named_for_a_compressor_is_compressed_in_place_of_the_old_one(
    damaged: Path, tmp_path: Path, suffix: str
) -> None:
    expected, _ = repaired_bytes(damaged, tmp_path)
    out = tmp_path / f"out.csv{suffix}"
    out.write_bytes(b"an older file")

    result = run("repair", damaged, out, "--quiet", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    assert DECOMPRESSORS[suffix](out.read_bytes()) == expected
    assert sorted(p.name for p in tmp_path.iterdir()) == ["damaged.csv", out.name]


CUT_OFF_RUNS = [
    pytest.param(["repair", "CUT", "-"], 0, id="repair"),
    pytest.param(["check", "CUT"], 3, id="check"),
    pytest.param(["check", "CUT", "ok.csv", "--json"], 3, id="check-many"),
    pytest.param(["check", "CUT", "ok.csv", "--jobs", "1"], 3, id="check-one-by-one"),
    pytest.param(["repair", "CUT", "ok.csv", "--output-dir", "out", "--jobs", "2"], 0, id="output-dir"),
]


@pytest.mark.parametrize("allow", [False, True], ids=["status-4", "allowed"])
@pytest.mark.parametrize(("args", "allowed_status"), CUT_OFF_RUNS)
@pytest.mark.parametrize("suffix", [".gz", ".zst"])
def test_a_cut_off_compressed_file_gives_the_rows_it_holds(
    tmp_path: Path, suffix: str, args: list[str], allowed_status: int, allow: bool
) -> None:
    rows = "".join(f"{i},{i * i}\n" for i in range(100_000)).encode()
    packed = tmp_path / f"cut.csv{suffix}"
    packed.write_bytes(COMPRESSORS["gzip" if suffix == ".gz" else "zstd"](rows)[:-5000])
    (tmp_path / "ok.csv").write_bytes(b"a,b\n1,2\n")
    args = [packed.name if a == "CUT" else a for a in args] + (["--allow-cut-off"] if allow else [])

    result = run(*args, cwd=tmp_path, text=False)

    assert result.returncode == (allowed_status if allow else 4), result.stderr
    assert result.stderr.count(b"rowmender: warning: ") == 1 and b"cut-off" in result.stderr
    if "--json" in args:
        verdicts = {v["file"]: v["input_cut_off"] for v in map(json.loads, result.stdout.splitlines())}
        assert verdicts == {packed.name: True, "ok.csv": False}
    if args[0] == "repair":
        repaired = result.stdout or DECOMPRESSORS[suffix]((tmp_path / "out" / packed.name).read_bytes())
        assert len(repaired) > len(rows) // 2
        assert rows.startswith(repaired.rsplit(b"\n", 2)[0])


# --- check -----------------------------------------------------------------------------


@pytest.mark.parametrize("options", [[], ["--json"], ["--quiet"]], ids=["lines", "json", "quiet"])
@pytest.mark.parametrize(
    ("files", "status"),
    [
        pytest.param(["clean.csv"], 0, id="clean"),
        pytest.param(["damaged.csv"], 3, id="damaged"),
        pytest.param(["clean.csv", "damaged.csv.gz", "clean.csv"], 3, id="several"),
        pytest.param(["cp1252.csv"], 3, id="replaced-bytes"),
    ],
)
def test_check_reports_one_line_per_file_and_writes_nothing(
    damaged: Path, tmp_path: Path, files: list[str], status: int, options: list[str]
) -> None:
    (tmp_path / "clean.csv").write_bytes(repaired_bytes(damaged, tmp_path)[0])
    (tmp_path / "damaged.csv.gz").write_bytes(gzip.compress(damaged.read_bytes()))
    (tmp_path / "cp1252.csv").write_bytes("a,b\nRené,Köln\n".encode("cp1252"))
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    result = run("check", *files, *options, cwd=tmp_path)

    assert result.returncode == status, result.stderr
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
    lines = result.stdout.splitlines()
    if options == ["--quiet"]:
        assert lines == [] and result.stderr == ""
    elif options == ["--json"]:
        verdicts = [json.loads(line) for line in lines]
        assert [v["file"] for v in verdicts] == files
        assert any(v["would_change"] for v in verdicts) == (status == 3)
    else:
        assert [line.split(": ")[0] for line in lines] == files
        assert all(line.endswith("nothing to change") == (name == "clean.csv") for line, name in zip(lines, files))


@pytest.mark.parametrize(
    ("data", "said"),
    [
        (b"a,b\n\n1,2\n", "1 blank line dropped"),
        (b"a,b\n\n1,2\n\n3,4\n", "2 blank lines dropped"),
        (b"Title\na,b\n1,2\n", "1 preamble line set aside"),
        (b"a,b\n1,2\n\x00\x00\n", "1 row of control bytes set aside, 2 NUL bytes removed"),
    ],
)
def test_check_line_counts_one_in_the_singular(data: bytes, said: str) -> None:
    from rowmender._cli_summary import check_line

    report = rowmender.repair(io.BytesIO(data), io.BytesIO(), cleanup=True)
    assert said in check_line("in.csv", report)


def test_check_agrees_with_what_repair_reports(damaged: Path, tmp_path: Path) -> None:
    # Every option that changes the outcome of the damaged file, against the library.
    for options, kwargs in [(p.values[0], p.values[1]) for p in OPTION_CASES]:
        # The command line's default cleanup, as check applies it.
        report = rowmender.repair(damaged, os.devnull, **{"cleanup": True, **kwargs})  # type: ignore[arg-type]
        result = run("check", damaged, "--quiet", *options, cwd=tmp_path)
        assert result.returncode == (3 if report.changed_rows else 0), options


# --- hints -----------------------------------------------------------------------------

COMMAS = "".join(f"{i},name {i},{i * 2}\n" for i in range(50))


@pytest.mark.parametrize(
    ("content", "options", "hint", "fix"),
    [
        pytest.param(
            "city,name\n" + "Köln,René\n" * 20,
            ["--no-cleanup"],
            "try --encoding cp1252",
            ["--encoding", "cp1252"],
            id="cp1252-read-as-utf8",
        ),
        pytest.param(
            # Written in cp1252, "Ã«" is UTF-8's "ë": UTF-8 rows, then five rows in cp1252.
            "city,name\n" + "Köln,NoÃ«l\n" * 20 + "Köln,René\n" * 5,
            ["--no-cleanup"],
            "5 rows are not UTF-8 while the rest is: a file with rows appended in another encoding",
            None,
            id="utf8-with-cp1252-rows",
        ),
        pytest.param(COMMAS, ["--delimiter", ";"], "try --delimiter ','", ["--delimiter", ","], id="wrong-delimiter"),
        pytest.param(
            COMMAS + '7,"open,8\n9,10,11\n',
            ["--no-cleanup"],
            "opened on line 51 runs to the end",
            None,
            id="unterminated-quote",
        ),
        pytest.param(
            COMMAS + '7,"open,8\n9,10,11\n12,"x",13\n',
            ["--no-cleanup"],
            "1 row spans several lines",
            ["--cleanup", "one_line_rows"],
            id="quote-swallowing-lines",
        ),
        pytest.param(
            COMMAS + "1,2,3,4\n",
            [],
            "1 row had more fields than the 3 columns inferred; see --changes",
            None,
            id="merged-rows",
        ),
        pytest.param(
            "id,name,n\n" + COMMAS + "id;name;n\n" + COMMAS.replace(",", ";"),
            [],
            "line 52 is the header again with the delimiter ';'",
            None,
            id="export-with-another-delimiter-appended",
        ),
        pytest.param(COMMAS, [], None, None, id="none"),
    ],
)
def test_a_hint_names_the_cause_and_its_option_fixes_it(
    tmp_path: Path, content: str, options: list[str], hint: str | None, fix: list[str] | None
) -> None:
    source = tmp_path / "in.csv"
    source.write_bytes(content.encode("cp1252"))

    result = run("repair", source, tmp_path / "out.csv", *options, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    hints = hint_lines(result.stderr)
    assert hints == ([] if hint is None else [hints[0]]) and (hint is None or hint in hints[0]), result.stderr
    if fix is not None:
        fixed = run("repair", source, tmp_path / "out.csv", *fix, cwd=tmp_path)
        assert hint_lines(fixed.stderr) == []


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    lines=st.lists(st.sampled_from(["a;b", "a,b", "x", ""]), min_size=1, max_size=40),
    ends=st.sampled_from(["\n", "\r\n"]),
    last_end=st.booleans(),
    block=st.integers(1, 16),
)
def test_a_line_is_found_past_the_first_at_any_block_size(
    tmp_path: Path, lines: list[str], ends: str, last_end: bool, block: int
) -> None:
    path = tmp_path / "lines.csv"
    path.write_bytes((ends.join(lines) + (ends if last_end else "")).encode())
    expected = next((i + 1 for i, line in enumerate(lines) if i > 0 and line == "a;b"), None)
    with Input(str(path)) as input_:
        assert input_.line_number_of(b"a;b", block=block) == expected


# --- signals, terminals and closed streams ---------------------------------------------


def feed_slowly(process: subprocess.Popen[bytes], until: Callable[[], bool] = lambda: False, chunks: int = 20) -> None:
    """Rows on the child's standard input a chunk at a time, for about two seconds or until
    `until()`: a long run on a generated stream."""
    assert process.stdin is not None
    for chunk in range(chunks):
        process.stdin.write(b"".join(b"%d,a,b\n" % row for row in range(chunk * 2000, (chunk + 1) * 2000)))
        process.stdin.flush()
        if until():
            return
        time.sleep(0.1)


def temporary_files(process: subprocess.Popen[bytes], folder: Path) -> int:
    """The temporary files a child has open in `folder`: nameless (O_TMPFILE), or named."""
    held = 0
    for fd in Path(f"/proc/{process.pid}/fd").iterdir():
        try:
            target = os.readlink(fd)
        except OSError:
            continue
        held += target.startswith(str(folder)) and (target.endswith(" (deleted)") or target.endswith("rowmender-tmp"))
    return held


@pytest.mark.parametrize(
    ("suffix", "signum", "status", "said"),
    [
        pytest.param("", signal.SIGINT, 130, b"interrupted", id="ctrl-c"),
        pytest.param(".gz", signal.SIGINT, 130, b"interrupted", id="ctrl-c-gz"),
        pytest.param("", signal.SIGTERM, 128 + signal.SIGTERM, b"terminated", id="sigterm"),
        pytest.param(".gz", signal.SIGHUP, 128 + signal.SIGHUP, b"hung up", id="sighup-gz"),
    ],
)
def test_ctrl_c_exits_130_and_leaves_every_file_as_it_was(
    tmp_path: Path, suffix: str, signum: int, status: int, said: bytes
) -> None:
    out = tmp_path / f"out.csv{suffix}"
    out.write_bytes(b"an older file")
    process = subprocess.Popen(
        command("repair", "-", out, "--quarantine", "q.csv", "--changes", "c.csv"),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=tmp_path,
        env=ENV,
    )
    # Interrupted once it writes: every output has its temporary file by then.
    feed_slowly(process, until=lambda: temporary_files(process, tmp_path) == 3, chunks=600)
    assert temporary_files(process, tmp_path) == 3

    process.send_signal(signum)
    stdout, stderr = process.communicate(timeout=120)

    assert process.returncode == status
    assert stderr == b"rowmender: " + said + b"\n"
    assert stdout == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == [out.name]
    assert out.read_bytes() == b"an older file"


@pytest.mark.parametrize(
    "args",
    [["check", "f1", "f2"], ["repair", "f1", "f2", "--output-dir", "out", "--jobs", "2"]],
    ids=["check-slow-fifos", "repair-fifos-without-writers"],
)
def test_ctrl_c_stops_workers_blocked_in_reads(tmp_path: Path, args: list[str]) -> None:
    writers = []
    for name in ("f1", "f2"):
        os.mkfifo(tmp_path / name)
        if args[0] == "check":  # a writer that sends a little, then nothing more
            writers.append(os.open(tmp_path / name, os.O_RDWR | os.O_NONBLOCK))
            os.write(writers[-1], b"a,b\n1,2\n")
    process = subprocess.Popen(
        command(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path, env=ENV, start_new_session=True
    )
    try:
        time.sleep(2)  # the workers are blocked in their reads by then
        interrupted = time.monotonic()
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=30)
        took = time.monotonic() - interrupted
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)  # the workers too, should the test fail
        for fd in writers:
            os.close(fd)

    assert process.returncode == 130 and stderr == b"rowmender: interrupted\n"
    assert took < 3
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f1", "f2"]


@pytest.mark.parametrize("signum", [signal.SIGHUP, signal.SIGTERM], ids=["sighup", "sigterm"])
def test_a_signal_to_the_whole_group_is_left_to_the_command(tmp_path: Path, signum: int) -> None:
    # A terminal's hangup (or a service manager's SIGTERM) reaches the workers too, blocked in
    # reads or idle: none runs the command's handler or prints a traceback, and the command
    # stops them as for Ctrl-C.
    for name in ("f1", "f2"):
        os.mkfifo(tmp_path / name)
    (tmp_path / "small.csv").write_bytes(b"a,b\n1,2\n")
    process = subprocess.Popen(
        command("repair", "small.csv", "f1", "f2", "--output-dir", "out", "--jobs", "3"),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=tmp_path,
        env=ENV,
        start_new_session=True,
    )
    try:
        time.sleep(2)  # small.csv is done and its worker idle by then
        os.killpg(process.pid, signum)
        _, stderr = process.communicate(timeout=30)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)

    assert process.returncode == 128 + signum
    assert b"Traceback" not in stderr and stderr.endswith(
        b"rowmender: " + {signal.SIGHUP: b"hung up", signal.SIGTERM: b"terminated"}[signum] + b"\n"
    )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f1", "f2", "out", "small.csv"]
    assert os.listdir(tmp_path / "out") == ["small.csv"]


@pytest.mark.parametrize(
    ("terminal", "options", "without", "bar"),
    [
        pytest.param(True, [], "", True, id="terminal"),
        pytest.param(True, ["--quiet"], "", False, id="terminal-quiet"),
        pytest.param(True, [], "tqdm", False, id="terminal-without-tqdm"),
        pytest.param(False, [], "", False, id="pipe"),
    ],
)
def test_progress_bar_only_on_a_terminal(
    tmp_path: Path, terminal: bool, options: list[str], without: str, bar: bool
) -> None:
    if bar:
        pytest.importorskip("tqdm")
    reader, writer = pty.openpty() if terminal else os.pipe()
    process = subprocess.Popen(
        command("repair", "-", "out.csv", *options, without=without),
        stdin=subprocess.PIPE,
        stdout=subprocess.DEVNULL,
        stderr=writer,
        cwd=tmp_path,
        env=ENV,
    )
    os.close(writer)
    seen = bytearray()

    def collect() -> None:
        # A terminal reports EIO, a pipe the end of data, once the child has gone.
        try:
            while data := os.read(reader, 4096):
                seen.extend(data)
        except OSError:
            pass

    collector = threading.Thread(target=collect)
    collector.start()
    feed_slowly(process)
    assert process.stdin is not None
    process.stdin.close()
    assert process.wait(timeout=120) == 0
    collector.join(timeout=120)
    os.close(reader)

    assert (b"B/s" in seen) == bar, bytes(seen)
    assert (b"Rows read" in seen) == ("--quiet" not in options)
    assert (tmp_path / "out.csv").read_bytes().count(b"\n") == 40_000


@pytest.mark.parametrize(
    "args",
    [
        pytest.param(["repair", "damaged.csv", "-"], id="data"),
        pytest.param(["repair", "damaged.csv", "out.csv", "--json"], id="json"),
        pytest.param(["check", "damaged.csv"], id="check"),
        pytest.param(["sniff", "damaged.csv"], id="sniff"),
    ],
)
@pytest.mark.parametrize("closed_how", ["reader-gone", "disk-full"])
def test_a_closed_standard_output_is_no_traceback(
    damaged: Path, tmp_path: Path, args: list[str], closed_how: str
) -> None:
    if closed_how == "reader-gone":
        reader, stdout = os.pipe()
        os.close(reader)
    else:
        stdout = os.open("/dev/full", os.O_WRONLY)

    result = run(*args, cwd=tmp_path, stdout=stdout, stderr=subprocess.PIPE)
    os.close(stdout)

    # As a C program dies of SIGPIPE (141 in a shell), or one line for a full disk.
    if closed_how == "reader-gone":
        assert result.returncode == -signal.SIGPIPE
        assert result.stderr == ""
    else:
        assert result.returncode == 1
        assert (
            result.stderr == "rowmender: error: cannot write to standard output: No space left on device; "
            "free some space or write elsewhere\n"
        )


# --- many files -------------------------------------------------------------------------


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_many_files_are_each_repaired_as_one_would_be_and_failures_do_not_stop_the_rest(
    damaged: Path, tmp_path: Path, jobs: str
) -> None:
    inputs = tmp_path / "in"
    inputs.mkdir()
    (inputs / "a.csv").write_text(DAMAGED, encoding="utf-8")
    (inputs / "b.csv").write_bytes(gzip.compress(b"x;y\n1;2;3\n4\n"))  # compressed, whatever its name
    (inputs / "folder.csv").mkdir()
    names = ["in/a.csv", "in/missing.csv", "in/b.csv", "in/folder.csv"]

    result = run("repair", *names, "--output-dir", "out", "--quarantine-dir", "q", "--jobs", jobs, cwd=tmp_path)

    assert result.returncode == 1, result.stderr
    errors = [line for line in result.stderr.splitlines() if line.startswith("rowmender: error: ")]
    assert len(errors) == 2 and "missing.csv" in errors[0] + errors[1] and "folder.csv" in errors[0] + errors[1]
    assert result.stderr.splitlines()[-1].startswith("4 files: 2 done, 2 failed")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.csv", "b.csv"]
    expected, _ = repaired_bytes(inputs / "a.csv", tmp_path)
    assert (tmp_path / "out" / "a.csv").read_bytes() == expected
    assert (tmp_path / "out" / "b.csv").read_bytes() == b"x;y;\n1;2;3\n4;;\n"
    assert (tmp_path / "q" / "a.csv").read_bytes().startswith(b"line,reason,raw_content\n")


def test_output_dir_writes_a_compressed_input_compressed_the_same_way(damaged: Path, tmp_path: Path) -> None:
    expected, _ = repaired_bytes(damaged, tmp_path)
    compress = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}
    for suffix, pack in compress.items():
        (tmp_path / f"in{suffix}").write_bytes(pack(damaged.read_bytes()))

    result = run(
        "repair", *[f"in{suffix}" for suffix in compress], "--output-dir", "out", "--changes-dir", "log", cwd=tmp_path
    )

    assert result.returncode == 0, result.stderr
    for suffix in compress:
        assert DECOMPRESSORS[suffix]((tmp_path / "out" / f"in{suffix}").read_bytes()) == expected
        assert DECOMPRESSORS[suffix]((tmp_path / "log" / f"in{suffix}").read_bytes()).startswith(b"first_line,")


def test_inputs_of_the_same_name_are_refused_before_anything_runs(damaged: Path, tmp_path: Path) -> None:
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "damaged.csv").write_text("a,b\n", encoding="utf-8")

    result = run("repair", "damaged.csv", "other/damaged.csv", "--output-dir", "out", cwd=tmp_path)

    assert result.returncode == 2 and "would both be written as 'damaged.csv'" in result.stderr
    assert not (tmp_path / "out").exists()


def test_check_of_many_files_with_workers(damaged: Path, tmp_path: Path) -> None:
    (tmp_path / "clean.csv").write_text("a,b\n1,2\n", encoding="utf-8")

    clean = run("check", "clean.csv", "clean.csv", cwd=tmp_path)
    both = run("check", "clean.csv", "damaged.csv", "--jobs", "2", "--json", cwd=tmp_path)
    missing = run("check", "clean.csv", "missing.csv", cwd=tmp_path)

    assert clean.returncode == 0 and clean.stdout.count("nothing to change") == 2  # read twice, one at a time
    assert both.returncode == 3
    lines = [json.loads(line) for line in both.stdout.splitlines()]
    assert sorted((line["file"], line["would_change"]) for line in lines) == [
        ("clean.csv", False),
        ("damaged.csv", True),
    ]
    assert missing.returncode == 1 and "missing.csv" in missing.stderr


# Dask's event loop asks for a call the installed tornado deprecates.
@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_scheduler_repairs_on_the_cluster_into_the_same_bytes(tmp_path: Path, cluster_client: Any) -> None:
    source = tmp_path / "in.csv"
    source.write_text(DAMAGED + "".join(DAMAGED.splitlines(keepends=True)[1:]) * 40, encoding="utf-8")
    (tmp_path / "in.csv.gz").write_bytes(gzip.compress(source.read_bytes()))
    roads = {
        "one file": lambda out: [source, out / "in.csv", "--changes", out / "changes.csv"],
        "many files": lambda out: [source, "--output-dir", out, "--quarantine-dir", out / "q"],
    }
    address = ["--scheduler", cluster_client.scheduler.address]
    for name, args in roads.items():
        here, there = tmp_path / name / "here", tmp_path / name / "there"
        here.mkdir(parents=True), there.mkdir()
        assert run("repair", *args(here), "--quiet", cwd=tmp_path).returncode == 0
        # Pieces of 97 bytes: every piece's walk goes to a worker, some walked again here.
        made = run("repair", *args(there), "--quiet", *address, cwd=tmp_path, env=dict(ENV, ROWMENDER_PIECE_BYTES="97"))
        assert made.returncode == 0, made.stderr
        assert {p.relative_to(there): p.read_bytes() for p in there.rglob("*") if p.is_file()} == {
            p.relative_to(here): p.read_bytes() for p in here.rglob("*") if p.is_file()
        }, name
    # Both roads ran on the cluster: a file's pieces, and files as tasks.
    prefixes = cluster_client.run_on_scheduler(lambda dask_scheduler: sorted(dask_scheduler.task_prefixes))
    assert {"walk_range", "rowmender-repair"} <= set(prefixes)
    refused = run("repair", tmp_path / "in.csv.gz", tmp_path / "out.csv", *address, cwd=tmp_path)
    assert refused.returncode == 1 and "in.csv.gz' is compressed" in refused.stderr
    assert not (tmp_path / "out.csv").exists()
