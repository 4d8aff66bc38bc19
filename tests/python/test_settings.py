"""One rule for the settings of every function that streams: the same bad value is refused
the same way by repair, rows, repair_many and the command line, before any file is touched,
and the message names the setting and the value."""

from __future__ import annotations

import io
import subprocess
import sys

import pytest

import rowmender
from test_cli import ENV

# (settings, error): each value wrong in one way only.
BAD_SETTINGS = [
    ({"delimiter": ";;"}, ValueError),
    ({"delimiter": ""}, ValueError),
    ({"delimiter": "é"}, ValueError),
    ({"delimiter": "\n"}, ValueError),
    ({"delimiter": "\r"}, ValueError),
    ({"delimiter": '"'}, ValueError),
    ({"delimiter": 59}, TypeError),
    ({"delimiter": b";"}, TypeError),
    ({"quote_char": ""}, ValueError),
    ({"quote_char": "''"}, ValueError),
    ({"quote_char": "\n"}, ValueError),
    ({"quote_char": "\u201c"}, ValueError),
    ({"quote_char": ";", "delimiter": ";"}, ValueError),
    ({"quote_char": 34}, TypeError),
    ({"quote_char": None, "delimiter": '"'}, ValueError),
    ({"escape_char": "\\\\"}, ValueError),
    ({"escape_char": ",", "delimiter": ","}, ValueError),
    ({"escape_char": ";"}, ValueError),  # detection might choose it as the delimiter
    ({"escape_char": 92}, TypeError),
    ({"fill_ragged_rows": "no"}, TypeError),
    ({"fill_ragged_rows": 0}, TypeError),
    ({"merge_overflow": None}, TypeError),
    ({"repair_quotes": "False"}, TypeError),
    ({"expected_columns": -1}, ValueError),
    ({"expected_columns": 10_000_001}, ValueError),
    ({"expected_columns": 2**70}, ValueError),
    ({"expected_columns": 2.0}, TypeError),
    ({"expected_columns": True}, TypeError),
    ({"expected_columns": "3"}, TypeError),
]

DATA = b"a,b,c\n1,2\n3,4,5\n"


def _repair(tmp_path, settings):
    rowmender.repair(io.BytesIO(DATA), tmp_path / "out.csv", tmp_path / "q.csv", **settings)


def _rows(tmp_path, settings):
    rowmender.rows(tmp_path / "in.csv", changes=tmp_path / "out.csv", **settings)


def _repair_many(tmp_path, settings):
    from rowmender._many import repair_many

    repair_many([tmp_path / "in.csv"], tmp_path / "out", jobs=1, **settings)


@pytest.mark.parametrize("settings,error", BAD_SETTINGS, ids=lambda v: repr(v) if isinstance(v, dict) else "")
@pytest.mark.parametrize("entry", [_repair, _rows, _repair_many], ids=lambda f: f.__name__.strip("_"))
def test_every_entry_point_refuses_a_bad_setting_alike(tmp_path, entry, settings, error):
    (tmp_path / "in.csv").write_bytes(DATA)
    with pytest.raises(error) as raised:
        entry(tmp_path, settings)
    assert type(raised.value) is error
    assert any(repr(value) in str(raised.value) and name in str(raised.value) for name, value in settings.items())
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


def _option(name: str, value: object) -> list[str]:
    return [f"--{name.replace('_', '-')}", str(value)]


# What a command line can spell: text values of the settings that take text or a number.
COMMAND_LINE_CASES = [
    settings
    for settings, _ in BAD_SETTINGS
    if all(
        name in ("delimiter", "quote_char", "escape_char", "expected_columns")
        and isinstance(value, (str, int))
        and not isinstance(value, bool)
        and "\n" not in str(value)
        and "\r" not in str(value)
        for name, value in settings.items()
    )
    and not (settings.get("expected_columns") is not None and isinstance(settings["expected_columns"], str))
]


@pytest.mark.parametrize("settings", COMMAND_LINE_CASES, ids=repr)
@pytest.mark.parametrize("command", ["repair", "check"])
def test_the_command_line_refuses_them_as_usage_errors(tmp_path, command, settings):
    (tmp_path / "in.csv").write_bytes(DATA)
    options = [word for name, value in settings.items() for word in _option(name, value)]
    args = [command, "in.csv", *(["out.csv"] if command == "repair" else []), *options]
    done = subprocess.run(
        [sys.executable, "-m", "rowmender", *args], cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 2, done.stderr
    assert any(f"--{name.replace('_', '-')}" in done.stderr for name in settings), done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]
