"""One file repaired on several threads gives the bytes one thread writes: the output, the
quarantine file, the change log and the report.

ROWMENDER_PIECE_BYTES cuts the file into pieces of a few bytes, so that nearly every piece
starts inside a quoted field, between a CR and its LF, after a stray quote or in a row of
several lines, where a thread's guess of a row start is wrong and must be caught."""

import io
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rowmender
from salvage_strategies import PIECES, options

# Rows the cleanup rules judge, and rows that span lines or leave a quote open.
ROWS = [
    b"id,name,amount\n",
    b"1,2,3\n",
    b"4,5,6\r\n",
    b'"q,q",z,"multi\nline"\n',
    b"\n\n\n",
    b"  \n",
    b"Total,,9\n",
    b"name,id\n",
    b"x\x00,y,z\n",
    b'7,"open\n',
]


def repaired(path, threads, cleanup, opts):
    outputs = [io.BytesIO() for _ in range(3)]
    report = rowmender.repair(
        path, outputs[0], outputs[1], changes=outputs[2], threads=threads, cleanup=cleanup, **opts
    )
    return [out.getvalue() for out in outputs] + [report]


def assert_same_as_one_thread(path, monkeypatch, piece, cleanup=False, opts=None, threads=(2, 3, 8)):
    opts = opts or {}
    expected = repaired(path, 1, cleanup, opts)
    monkeypatch.setenv("ROWMENDER_PIECE_BYTES", str(piece))
    for count in threads:
        assert repaired(path, count, cleanup, opts) == expected, (count, piece)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    data=st.lists(st.sampled_from(PIECES + ROWS), max_size=80).map(b"".join),
    opts=options,
    cleanup=st.booleans(),
    piece=st.integers(1, 64),
)
def test_threads_write_what_one_thread_writes(tmp_path, monkeypatch, data, opts, cleanup, piece):
    path = tmp_path / "in.csv"
    path.write_bytes(b"id,name,amount\n" + data)
    assert_same_as_one_thread(path, monkeypatch, piece, cleanup, opts)


@pytest.mark.parametrize(
    "data",
    [
        # A quoted field that spans every cut: no piece's guess holds.
        b"a,b\n" + b"".join(b'%d,"%s"\n' % (i, b"long\n" * 40) for i in range(30)),
        b"a,b,c\r\n" + b"1,2,3\r\n" * 200,  # a CR LF at every other cut
        b"a,b,c\n" + b'1,2"x,3\n"4,5,6\n' * 100,  # stray quotes
        b"a,b,c\n1,2,3\n" + b"\n" * 500 + b"Total,9\n\n\n",  # blank runs across cuts, the last row
        b"\xef\xbb\xbfid,name\n1,a\n\nname,id\nb,2\nc,3\n" * 30,  # a second table, blank rows, a BOM
    ],
    ids=["quoted-field-across-every-cut", "crlf", "stray-quotes", "blank-runs", "second-table"],
)
@pytest.mark.parametrize("cleanup", [False, True])
def test_threads_write_what_one_thread_writes_where_guesses_fail(tmp_path, monkeypatch, data, cleanup):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    for piece in (1, 7, 64):
        assert_same_as_one_thread(path, monkeypatch, piece, cleanup)


def test_command_line_threads(tmp_path, monkeypatch):
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b,c\n" + b'1,"x\ny",3\n4,5\n' * 50)
    monkeypatch.setenv("ROWMENDER_PIECE_BYTES", "16")
    written = []
    for threads in ("1", "3"):
        target = tmp_path / f"out{threads}.csv"
        command = [sys.executable, "-m", "rowmender", "repair", str(source), str(target), "--threads", threads, "-q"]
        subprocess.run(command, check=True)
        written.append(target.read_bytes())
    assert written[0] == written[1]
    refused = subprocess.run(
        [sys.executable, "-m", "rowmender", "repair", str(source), "--output-dir", str(tmp_path), "--threads", "2"],
        capture_output=True,
        text=True,
    )
    assert refused.returncode == 2 and "--jobs" in refused.stderr


@pytest.mark.parametrize("threads, error", [(0, ValueError), (1.5, TypeError), (True, TypeError)])
def test_threads_must_be_a_positive_int(tmp_path, threads, error):
    path = tmp_path / "in.csv"
    path.write_bytes(b"a,b\n1,2\n")
    with pytest.raises(error):
        rowmender.repair(path, io.BytesIO(), threads=threads)
