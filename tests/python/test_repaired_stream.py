"""open_repaired(): the bytes repair() writes, read as a file while a thread repairs; its
side files only when it is read to its end, nothing left when it is closed before."""

import csv
import gc
import io
import shutil
import threading
import time

import pytest
from hypothesis import given, settings

import rowmender
from salvage_strategies import content as salvage_content
from salvage_strategies import options
from test_stream import DAMAGED, FailingSource, run_python

content = salvage_content(300, rows=True)


def repairing_threads():
    return [thread for thread in threading.enumerate() if thread.name.startswith("rowmender repair")]


@settings(max_examples=150, deadline=None)
@given(data=content, opts=options)
def test_the_stream_is_what_repair_writes(data, opts):
    out, quarantine, changes = io.BytesIO(), io.BytesIO(), io.BytesIO()
    report = rowmender.repair(io.BytesIO(data), out, quarantine, changes=changes, **opts)
    got, side, log = io.BytesIO(), io.BytesIO(), io.BytesIO()
    with rowmender.open_repaired(io.BytesIO(data), side, changes=log, **opts) as stream:
        shutil.copyfileobj(stream, got, 7)  # small steps: every path of the reader
        assert stream.read() == b""
        assert stream.report == report
    assert (got.getvalue(), side.getvalue(), log.getvalue()) == (
        out.getvalue(),
        quarantine.getvalue(),
        changes.getvalue(),
    )


def pandas_frame(stream):
    pandas = pytest.importorskip("pandas")
    return pandas.read_csv(stream, dtype=str, keep_default_na=False).values.tolist()


def pandas_chunks(stream):
    pandas = pytest.importorskip("pandas")
    return [
        chunk.values.tolist() for chunk in pandas.read_csv(stream, dtype=str, keep_default_na=False, chunksize=1000)
    ]


CONSUMERS = {
    "pandas": pandas_frame,
    "pandas chunks": pandas_chunks,
    "csv reader": lambda stream: list(csv.reader(io.TextIOWrapper(stream, "utf-8", newline=""))),
    "lines": list,
    "readline": lambda stream: list(iter(stream.readline, b"")),
    "read1": lambda stream: b"".join(iter(lambda: stream.read1(4096), b"")),
}


@pytest.mark.parametrize("consume", CONSUMERS.values(), ids=CONSUMERS)
def test_readers_see_the_repaired_file(tmp_path, consume):
    source = tmp_path / "damaged.csv"
    source.write_bytes(DAMAGED * 3000)
    repaired = io.BytesIO()
    rowmender.repair(source, repaired)
    with rowmender.open_repaired(source) as stream:
        assert stream.readable() and stream.name == f"<repaired {source}>"
        with pytest.raises(io.UnsupportedOperation):
            stream.fileno()  # read past the checks at the end, a failed repair would look whole
        assert consume(stream) == consume(io.BytesIO(repaired.getvalue()))
        assert stream.report.salvaged_rows > 0


@pytest.mark.parametrize("stop", ["close", "collect"])
def test_stopping_early_ends_the_repair_and_leaves_no_file(tmp_path, stop):
    source = tmp_path / "big.csv"
    source.write_bytes(DAMAGED * 200_000)  # far more than the pipe holds
    stream = rowmender.open_repaired(source, tmp_path / "q.csv", changes=tmp_path / "changes.csv")
    assert stream.read(100)
    started = time.monotonic()
    if stop == "close":
        stream.close()
        assert repairing_threads() == []
        with pytest.raises(ValueError, match="closed before"):
            stream.report
    else:
        del stream
        gc.collect()
        while repairing_threads() and time.monotonic() < started + 5:
            time.sleep(0.01)
        assert repairing_threads() == []
    assert time.monotonic() - started < 5
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.csv"]


def test_side_files_come_at_the_end(tmp_path):
    quarantine, changes = tmp_path / "q.csv", tmp_path / "changes.csv"
    stream = rowmender.open_repaired(io.BytesIO(DAMAGED), quarantine, changes=changes)
    data = stream.read(len(DAMAGED) // 2)
    with pytest.raises(ValueError, match="read to its end"):
        stream.report
    time.sleep(0.1)  # the repair itself is over by now
    assert not quarantine.exists() and not changes.exists()
    data += stream.read()
    assert quarantine.exists() and changes.exists()
    stream.close()
    expected_q, expected_changes = io.BytesIO(), io.BytesIO()
    assert stream.report == rowmender.repair(io.BytesIO(DAMAGED), io.BytesIO(), expected_q, changes=expected_changes)
    assert (quarantine.read_bytes(), changes.read_bytes()) == (expected_q.getvalue(), expected_changes.getvalue())


def test_errors_reach_the_caller(tmp_path):
    # Settings, names and side files are checked at once; a source that fails while being
    # repaired fails the read that reaches it, every time, and leaves no side file.
    with pytest.raises(ValueError, match="delimiter"):
        rowmender.open_repaired(io.BytesIO(DAMAGED), delimiter=";;")
    with pytest.raises(LookupError):
        rowmender.open_repaired(io.BytesIO(DAMAGED), encoding="no-such-codec")
    with pytest.raises(FileNotFoundError, match="missing.csv"):
        rowmender.open_repaired(tmp_path / "missing.csv")
    with pytest.raises(rowmender.SameFileError):
        rowmender.open_repaired(tmp_path / "x.csv", tmp_path / "x.csv")
    with rowmender.open_repaired(FailingSource(DAMAGED * 1000, 50_000), tmp_path / "q.csv") as stream:
        for _ in range(2):
            with pytest.raises(OSError, match="broke off"):
                stream.read()
        with pytest.raises(ValueError, match="repair failed"):
            stream.report
    assert list(tmp_path.iterdir()) == []


def test_an_unclosed_stream_lets_the_process_end(tmp_path):
    # Closed while the repair is in the middle of a window from a trickling source (it
    # would take hours to fill), dropped while it waits on a pipe that never ends, and left
    # open at exit while it waits on the reader or works: none may hold or crash the
    # process (a thread that wakes while the interpreter is torn down is ended in the
    # middle of C++ code).
    result = run_python(
        """
        import gc, io, os, threading, time, rowmender
        class Trickle(io.RawIOBase):
            def readable(self):
                return True
            def readinto(self, buffer):
                time.sleep(0.01)
                buffer[:4] = b"1,2\\n"
                return 4
        trickle = rowmender.open_repaired(Trickle())
        time.sleep(0.1)
        trickle.close()
        print(threading.active_count())
        read_end, write_end = os.pipe()
        os.write(write_end, b"a,b\\n1,2\\n" * 1000)
        stalled = rowmender.open_repaired(read_end)
        time.sleep(0.2)
        del stalled
        gc.collect()
        left_open = rowmender.open_repaired(io.BytesIO(b"a,b\\n1,2\\n" * 1_000_000))
        print(len(left_open.read(10)))
        never_read = rowmender.open_repaired(io.BytesIO(b"a,b\\n1,2\\n" * 1_000_000))
    """
    )
    assert result.stdout.split() == ["1", "10"], result.stderr
    assert result.returncode == 0
