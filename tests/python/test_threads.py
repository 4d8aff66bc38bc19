"""One file repaired on several threads, or on a Dask cluster, gives the bytes one thread
writes: the output, the quarantine file, the change log and the report.

ROWMENDER_PIECE_BYTES cuts the file into pieces of a few bytes, so that nearly every piece
starts inside a quoted field, between a CR and its LF, after a stray quote or in a row of
several lines, where a thread's guess of a row start is wrong and must be caught."""

import io
import re
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
    """The outputs: into file objects, or (on three threads) the repaired file into a file,
    which the threads write behind the stitching."""
    outputs = [io.BytesIO() for _ in range(3)]
    target = path.with_suffix(".out") if threads == 3 else outputs[0]
    report = rowmender.repair(path, target, outputs[1], changes=outputs[2], threads=threads, cleanup=cleanup, **opts)
    if threads == 3:
        outputs[0].write(target.read_bytes())
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


# Inputs where a piece's guess of a row start fails at many cuts.
HARD = {
    # A quoted field that spans every cut: no piece's guess holds.
    "quoted-field-across-every-cut": b"a,b\n" + b"".join(b'%d,"%s"\n' % (i, b"long\n" * 40) for i in range(30)),
    "crlf": b"a,b,c\r\n" + b"1,2,3\r\n" * 200,  # a CR LF at every other cut
    "stray-quotes": b"a,b,c\n" + b'1,2"x,3\n"4,5,6\n' * 100,
    "blank-runs": b"a,b,c\n1,2,3\n" + b"\n" * 500 + b"Total,9\n\n\n",  # across cuts; the last row
    "second-table": b"\xef\xbb\xbfid,name\n1,a\n\nname,id\nb,2\nc,3\n" * 30,  # blank rows, a BOM
    # A later table with a column the first lacks: read again with both tables' columns.
    "added-column": b"id,name\n" + b"1,a\n" * 100 + b"id,name,extra\n" + b"2,b,x\n" * 100,
    # cp1252 with rows of UTF-8 among it, each row read in its own (with the cleanup rules).
    "cp1252-and-utf-8-rows": "id,city\n1,Köln\n2,Zürich €\n".encode("cp1252") * 40 + "3,Köln\n".encode() * 9,
}


@pytest.mark.parametrize("data", list(HARD.values()), ids=list(HARD))
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


def repaired_into_files(source, folder, **options):
    paths = [folder / name for name in ("out.csv", "quarantine.csv", "changes.csv")]
    report = rowmender.repair(source, paths[0], paths[1], changes=paths[2], **options)
    return [path.read_bytes() for path in paths] + [report.to_dict()]


# Dask's event loop asks for a call the installed tornado deprecates.
@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
@pytest.mark.parametrize("where", ["path", "memory URL"])
@pytest.mark.parametrize("data", list(HARD.values()), ids=list(HARD))
def test_a_cluster_writes_what_one_thread_writes(tmp_path, monkeypatch, cluster_client, data, where):
    fsspec = pytest.importorskip("fsspec")
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    expected = repaired_into_files(path, tmp_path, cleanup=True)
    source = str(path)
    if where == "memory URL":
        source = f"memory:///rowmender-test/{tmp_path.name}/in.csv"
        fsspec.filesystem("memory").pipe(source, data)
    monkeypatch.setenv("ROWMENDER_PIECE_BYTES", "97")
    assert repaired_into_files(source, tmp_path, cleanup=True, client=cluster_client) == expected


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_a_cluster_repairs_a_large_file_from_memory_into_memory(tmp_path, monkeypatch, cluster_client, caplog):
    """About 200 MB of damaged rows in a memory:// file, which the workers cannot reach: the
    pieces are sent to them, and the outputs written to memory:// URLs are those of a repair
    here."""
    fsspec = pytest.importorskip("fsspec")
    block = b"".join(
        b'%d,"name %d",%d.5,"note\nspanning lines"\n' % (i, i, i) if i % 97 == 0
        # A stray quote, a short row, a long row, a blank line.
        else b'%d,na"me,%d\n' % (i, i)
        if i % 89 == 0
        else b"%d,x,%d,y,z,w\n\n" % (i, i)
        if i % 83 == 0
        else b"%d,name %d,%d.25,ok\n" % (i, i, i)
        for i in range(40000)
    )
    data = b"id,name,amount,note\n" + block * (200_000_000 // len(block))
    memory = fsspec.filesystem("memory")
    folder = f"memory:///rowmender-test/{tmp_path.name}"
    memory.pipe(f"{folder}/in.csv", data)
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    del data
    expected = repaired_into_files(path, tmp_path)
    monkeypatch.setenv("ROWMENDER_PIECE_BYTES", str(16 << 20))
    outputs = [f"{folder}/{name}" for name in ("out.csv", "quarantine.csv", "changes.csv")]
    with caplog.at_level("INFO", logger="rowmender"):
        report = rowmender.repair(f"{folder}/in.csv", outputs[0], outputs[1], changes=outputs[2], client=cluster_client)
    assert [memory.cat(url) for url in outputs] + [report.to_dict()] == expected
    walked = re.search(r"(\d+) pieces walked on the cluster, (\d+) walked again", caplog.text)
    assert walked is not None and int(walked[1]) >= 10, caplog.text


class FailingClient:
    """A cluster whose third walk fails, as a worker that lost the file would."""

    def __init__(self):
        self.cancelled = []

    def nthreads(self):
        return {"worker": 1}

    def submit(self, function, *args, pure):
        begin = args[2]

        class Future:
            def result(self):
                if begin >= 2 * 97:
                    raise FileNotFoundError(2, "No such file or directory", args[1])
                return function(*args)

        return Future()

    def cancel(self, futures):
        self.cancelled.extend(futures)


def test_a_failed_walk_fails_the_repair_and_leaves_the_target(tmp_path, monkeypatch):
    source, target = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes(b"a,b\n" + b"1,2\n" * 200)
    target.write_bytes(b"before")
    monkeypatch.setenv("ROWMENDER_PIECE_BYTES", "97")
    client = FailingClient()
    with pytest.raises(FileNotFoundError):
        rowmender.repair(source, target, client=client)
    assert target.read_bytes() == b"before" and client.cancelled
