"""The streaming road: repair() writes what salvage_file writes and rows() gives what the
reader gives, from any kind of source into any kind of target, atomically, with the
interpreter lock released and in bounded memory."""

import bz2
import contextlib
import copy
import gzip
import io
import os
import pickle
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rowmender
from salvage_strategies import content as salvage_content
from salvage_strategies import options

content = salvage_content(300, rows=True)
SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

SUMMARY_FIELDS = [
    "total_rows",
    "salvaged_rows",
    "repaired_rows",
    "quarantined_rows",
    "detected_delimiter",
    "inferred_columns",
]
DAMAGED = (
    b'id,name,email\n1,Ann,a@x\n2,"Bob "the" man",b@x\n3,Cy\n4,Di,d@x,555,2020\n' b'ab"c,x,y\n5,\xff\xfe,z\n"open,\n'
)


def whole_file(tmp_path, data, opts):
    source, output, quarantine = tmp_path / "whole.csv", tmp_path / "whole.out", tmp_path / "whole.q"
    source.write_bytes(data)
    summary = rowmender.salvage_file(str(source), str(output), str(quarantine), **opts)
    return summary, output.read_bytes(), quarantine.read_bytes()


@SETTINGS
@given(data=content, opts=options)
def test_repair_writes_what_salvage_file_writes(tmp_path, data, opts):
    summary, output, quarantine = whole_file(tmp_path, data, opts)
    out, q = io.BytesIO(), io.BytesIO()
    report = rowmender.repair(io.BytesIO(data), out, q, **opts)
    assert out.getvalue() == output
    assert q.getvalue() == quarantine
    assert {f: getattr(report, f) for f in SUMMARY_FIELDS} == summary.to_dict()
    assert report.bytes_read == len(data) and report.bytes_written == len(output)
    assert report.filled_rows + report.merged_rows == report.repaired_rows


@SETTINGS
@given(data=content, opts=options)
def test_rows_are_the_readers_rows(tmp_path, data, opts):
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    reader = rowmender.SalvageReader(str(path), **opts)
    with rowmender.rows(path, **opts) as stream:
        assert list(stream) == list(reader)
        report = stream.report
    assert {f: getattr(report, f) for f in SUMMARY_FIELDS} == reader.summary.to_dict()


# A head past what is kept whole (8 MiB): read again from the file, or after seeking the file
# object back, or from a temporary file for a pipe, or from memory where none can be made.
def long_head_source(kind, path):
    if kind == "path":
        return contextlib.nullcontext(path)
    if kind == "file object":
        return open(path, "rb")
    read, write = os.pipe()

    def feed():
        with open(path, "rb") as source, os.fdopen(write, "wb") as pipe:
            shutil.copyfileobj(source, pipe)

    threading.Thread(target=feed, daemon=True).start()
    return os.fdopen(read, "rb")


@pytest.mark.parametrize("tmpdir", ["usable", "missing"])
@pytest.mark.parametrize("kind", ["path", "file object", "pipe"])
def test_a_long_head_read_again_gives_the_same_bytes(tmp_path, monkeypatch, kind, tmpdir):
    if tmpdir == "missing":
        monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    data = b"\n" * (9 << 20) + b'x;"y\n' + (b"a;b;c\r\n" + b"d\n" + b"e;f;g;h\n") * (200_000) + b'"\xff\n"'
    summary, output, quarantine = whole_file(tmp_path, data, {})
    source = tmp_path / "whole.csv"
    out, q = io.BytesIO(), io.BytesIO()
    with long_head_source(kind, source) as input_:
        report = rowmender.repair(input_, out, q)
    assert out.getvalue() == output and q.getvalue() == quarantine
    assert {f: getattr(report, f) for f in SUMMARY_FIELDS} == summary.to_dict()
    with long_head_source(kind, source) as input_, rowmender.rows(input_) as stream:
        assert sum(1 for _ in stream) == summary.salvaged_rows


def pipe_source(data):
    read, write = os.pipe()

    def feed():
        with os.fdopen(write, "wb") as pipe:
            for start in range(0, len(data), 7):
                pipe.write(data[start : start + 7])
                pipe.flush()

    threading.Thread(target=feed, daemon=True).start()
    return os.fdopen(read, "rb", buffering=0)


@pytest.mark.parametrize("kind", ["str", "pathlike", "bytesio", "gzip", "bz2", "pipe", "descriptor"])
def test_sources_of_every_kind_give_the_same_repair(tmp_path, kind):
    data = DAMAGED * 50
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    expected = io.BytesIO()
    rowmender.repair(io.BytesIO(data), expected)
    if kind == "gzip":
        source = gzip.open(io.BytesIO(gzip.compress(data)))
    elif kind == "bz2":
        source = bz2.open(io.BytesIO(bz2.compress(data)))
    else:
        source = {
            "str": lambda: str(path),
            "pathlike": lambda: path,
            "bytesio": lambda: io.BytesIO(data),
            "pipe": lambda: pipe_source(data),
            "descriptor": lambda: os.open(path, os.O_RDONLY),
        }[kind]()
    out = io.BytesIO()
    report = rowmender.repair(source, out)
    assert out.getvalue() == expected.getvalue()
    assert report.bytes_read == len(data)
    assert list(rowmender.rows(io.BytesIO(data))) == list(rowmender.SalvageReader(str(path)))


@pytest.mark.parametrize("kind", ["path", "pathlike", "bytesio", "descriptor", "devnull"])
def test_targets_of_every_kind_get_the_repair(tmp_path, kind):
    expected = io.BytesIO()
    rowmender.repair(io.BytesIO(DAMAGED), expected)
    target_path = tmp_path / "out.csv"
    if kind == "devnull":
        rowmender.repair(io.BytesIO(DAMAGED), os.devnull)
        assert os.path.exists(os.devnull) and not os.path.isfile(os.devnull)
        return
    target = {
        "path": lambda: str(target_path),
        "pathlike": lambda: target_path,
        "bytesio": io.BytesIO,
        "descriptor": lambda: os.open(target_path, os.O_WRONLY | os.O_CREAT),
    }[kind]()
    rowmender.repair(io.BytesIO(DAMAGED), target)
    written = target.getvalue() if kind == "bytesio" else target_path.read_bytes()
    assert written == expected.getvalue()


def test_path_targets_are_replaced_atomically_keeping_permissions_and_links(tmp_path):
    source = tmp_path / "in.csv"
    source.write_bytes(DAMAGED)
    real = tmp_path / "real.csv"
    real.write_bytes(b"old\n")
    real.chmod(0o640)
    link = tmp_path / "link.csv"
    link.symlink_to(real)
    rowmender.repair(source, link)
    assert link.is_symlink() and real.read_bytes().startswith(b"id,name,email\n")
    assert real.stat().st_mode & 0o777 == 0o640
    # In place: the input is read before the repaired file takes its place.
    rowmender.repair(real, real)
    assert real.read_bytes().startswith(b"id,name,email\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "link.csv", "real.csv"]


class FailingSource(io.RawIOBase):
    def __init__(self, data, fail_after):
        self.data, self.at, self.fail_after = data, 0, fail_after

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.at >= self.fail_after:
            raise OSError("the source broke off")
        n = min(len(buffer), 1000, len(self.data) - self.at)
        buffer[:n] = self.data[self.at : self.at + n]
        self.at += n
        return n


def test_a_failing_source_leaves_existing_targets_untouched(tmp_path):
    target, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    target.write_bytes(b"keep\n")
    with pytest.raises(OSError, match="broke off"):
        rowmender.repair(FailingSource(DAMAGED * 1000, 50_000), target, quarantine)
    assert target.read_bytes() == b"keep\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.csv"]


def run_python(*code, **kwargs):
    """Runs the pieces of code, each dedented, one after the other in a new interpreter."""
    return subprocess.run(
        [sys.executable, "-c", "\n".join(map(textwrap.dedent, code))],
        capture_output=True,
        text=True,
        timeout=300,
        **kwargs,
    )


# For a child made by run_python: its peak resident memory so far, from the kernel's
# high-water mark, which starts afresh at exec (getrusage's does not: it keeps the forking
# parent's peak), and the memory resident now.
MEMORY = """
    import os
    def peak_bytes():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""


def test_a_fork_while_rows_are_read_ahead_hangs_neither_process(tmp_path):
    # The thread that reads ahead is not in the child: dropping the stream there must not
    # wait for it, and the parent's rows stay whole.
    source = tmp_path / "big.csv"
    source.write_bytes(b"a,b,c\n" + b"1,2,3\n" * 1_000_000)
    result = run_python(
        f"""
        import gc, os, rowmender
        stream = iter(rowmender.rows({str(source)!r}))
        first = [next(stream) for _ in range(1000)]
        pid = os.fork()
        if pid == 0:
            del stream
            gc.collect()
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        rest = sum(1 for _ in stream)
        print(os.waitstatus_to_exitcode(status), len(first) + rest)
    """
    )
    assert result.stdout.split() == ["0", "1000001"], result.stderr


@pytest.mark.parametrize("copies", [2000, 100_000], ids=["one-window", "written-behind"])
def test_a_full_file_system_leaves_the_target_untouched(tmp_path, copies):
    # A file-size limit stands in for a full disk: the write fails with EFBIG. A file of
    # many windows is written by the engine's own thread, whose error is the target's too.
    (tmp_path / "in.csv").write_bytes(DAMAGED * copies)
    (tmp_path / "out.csv").write_bytes(b"keep\n")
    result = run_python(
        f"""
        import resource, signal, rowmender
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (10_000, 10_000))
        try:
            rowmender.repair({str(tmp_path / 'in.csv')!r}, {str(tmp_path / 'out.csv')!r})
        except OSError as error:
            print(type(error).__name__, error.errno, error.filename)
    """
    )
    assert result.stdout.split()[:2] == ["OSError", "27"], result.stderr
    assert result.stdout.strip().endswith("out.csv")
    assert (tmp_path / "out.csv").read_bytes() == b"keep\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.csv"]


def test_ctrl_c_during_a_long_repair_leaves_nothing_behind(tmp_path):
    (tmp_path / "out.csv").write_bytes(b"keep\n")
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                f"""
        import rowmender, sys
        try:
            rowmender.repair({str(fifo)!r}, {str(tmp_path / 'out.csv')!r}, {str(tmp_path / 'q.csv')!r})
        except KeyboardInterrupt:
            sys.exit(42)
    """
            ),
        ],
        stderr=subprocess.PIPE,
    )
    with open(fifo, "wb") as writer:  # the writer stays open: the read blocks
        writer.write(b"a,b\n" * 100_000)
        writer.flush()
        time.sleep(0.5)
        child.send_signal(2)
        assert child.wait(timeout=60) == 42, child.stderr.read()
    assert (tmp_path / "out.csv").read_bytes() == b"keep\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.fifo", "out.csv"]


def test_other_threads_run_while_a_repair_works(tmp_path):
    source = tmp_path / "big.csv"
    source.write_bytes(b"1,Ann,a@x,2020\n" * 2_000_000)
    ticks = 0
    running = True

    def tick():
        nonlocal ticks
        while running:
            ticks += 1
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        before = ticks
        rowmender.repair(source, os.devnull)
        during = ticks - before
    finally:
        running = False
        ticker.join()
    assert during > 5


# AddressSanitizer keeps freed memory in quarantine and shadows all of it: RSS says nothing there.
MEASURES_MEMORY = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer changes what memory is resident"
)


@MEASURES_MEMORY
def test_memory_stays_bounded_on_a_large_stream():
    # 300 MB generated on the fly: the memory of repair, rows(), open_repaired() and the HTML
    # report must not follow the input.
    result = run_python(
        MEMORY,
        """
        import io, rowmender
        LINE = b'1,Ann,\\x22likes \\x22\\x22tea\\x22\\x22\\x22,a@x\\n2,Bob\\n3,x,y,z,w\\n'
        class Generated(io.RawIOBase):
            def __init__(self, total):
                self.left = total
            def readable(self):
                return True
            def readinto(self, buffer):
                n = min(len(buffer), self.left) // len(LINE) * len(LINE) or min(len(buffer), self.left)
                buffer[:n] = (LINE * (n // len(LINE) + 1))[:n]
                self.left -= n
                return n
        rowmender.repair(io.BytesIO(LINE * 100), "/dev/null")
        before = resident_bytes()
        report = rowmender.repair(Generated(300 << 20), "/dev/null", "/dev/null", changes="/dev/null")
        for row in rowmender.rows(Generated(100 << 20)):
            pass
        with rowmender.open_repaired(Generated(300 << 20), "/dev/null", changes="/dev/null") as stream:
            written = sum(len(chunk) for chunk in iter(lambda: stream.read(1 << 20), b""))
        same = written == stream.report.bytes_written == report.bytes_written
        # The HTML report: its map, samples and profile are of fixed size, and a source read
        # once is kept on disk, not in memory, for the original lines of its examples.
        page = io.BytesIO()
        same &= rowmender.repair(Generated(300 << 20), None, report=page) == report
        same &= b"Damage map" in page.getvalue() and len(page.getvalue()) < (1 << 20)
        print(report.bytes_read, int(same), (peak_bytes() - before) >> 20)
    """,
    )
    read, same, grown_mib = map(int, result.stdout.split())
    assert (read, same) == (300 << 20, 1), result.stderr
    assert grown_mib < 48


@MEASURES_MEMORY
@pytest.mark.parametrize("where", ["head", "middle"])
@pytest.mark.parametrize(
    "work", ["repair(source, '/dev/null', **options)", "[len(row) for row in rows(source, **options)]"]
)
def test_a_long_row_costs_about_its_own_size(tmp_path, where, work):
    # One row of 48 MB (fields of 4 KB): its text is built over its own bytes in the window,
    # and rows() gives back the memory under it as the strs are made. The short rows before
    # it are set aside, so that rows() gives only the long one.
    row = b",".join([b"x" * 4095] * 12_000) + b"\n"
    before = b"1,2\n" * 600_000 if where == "middle" else b""
    source = tmp_path / "long.csv"
    source.write_bytes(before + row + b"3,4\n")
    result = run_python(
        MEMORY,
        f"""
        from rowmender import repair, rows
        source, options = {str(source)!r}, dict(expected_columns=12_000, fill_ragged_rows=False)
        start = resident_bytes()
        outcome = {work}
        print(repr(outcome), (peak_bytes() - start) / {len(row)})
    """,
    )
    outcome, grown = result.stdout.rsplit(" ", 1)
    assert "salvaged_rows=1," in outcome or outcome == "[12000]", result.stderr
    assert float(grown) < 1.6


# Memory follows the longest row whatever comes before it: (input, bounds on the peak's
# growth over the input's size for repair and for rows). A field that ends the input needs no
# line break to be built over its own bytes (rows() hands it out as a str of its size too); a
# head of blank lines or long rows is read again rather than held (rows() holds a window's
# rows, a million blank ones here).
UNBOUNDED_HEADS = {
    "unterminated field": (b"z" * (40 << 20), 1.3, 2.3),
    "blank lines, then rows": (b"\n" * (40 << 20) + b"a,b,c\n" * 200, 0.5, 1.0),
    "rows of 1 MiB": ((b",".join([b"x" * 1023] * 1024) + b"\n") * 48, 0.5, 0.5),
}


@MEASURES_MEMORY
@pytest.mark.parametrize("name", UNBOUNDED_HEADS)
@pytest.mark.parametrize("work", ["repair(source, '/dev/null')", "sum(1 for row in rows(open(source, 'rb')))"])
def test_memory_follows_the_longest_row_however_long_the_head(tmp_path, name, work):
    data, repair_bound, rows_bound = UNBOUNDED_HEADS[name]
    bound = repair_bound if work.startswith("repair") else rows_bound
    source = tmp_path / "head.csv"
    source.write_bytes(data)
    result = run_python(
        MEMORY,
        f"""
        from rowmender import repair, rows
        source = {str(source)!r}
        start = resident_bytes()
        {work}
        print((peak_bytes() - start) / {len(data)})
    """,
    )
    assert float(result.stdout) < bound, result.stderr


# Each kind of change once, and some on one row: the exact change-log lines.
CHANGES = [
    ("stray quotes", b'a,b\n1,"say "hi" now"\n', "2,2,stray_quote,2 stray quotes kept as content"),
    ("text after quote", b'a,b\n1,"x"y\n', "2,2,text_after_quote,text after a closing quote continued the field"),
    (
        "quote in unquoted field",
        b'a,b\n1,x"y\n',
        "2,2,quote_in_unquoted_field,1 quote in an unquoted field kept as content",
    ),
    ("invalid utf-8", b"a,b\n1,\xff\xfe\n", "2,2,invalid_utf8,2 invalid byte sequences replaced"),
    ("unterminated quote", b'a,b\n1,"open\nmore\n', "2,3,unterminated_quote,quoted field open at end of input"),
    ("filled", b"a,b,c\n1\n", "2,2,filled,2 empty fields added"),
    ("merged", b"a,b\nc,d\n1,2,3,4\n", "3,3,merged,2 surplus fields joined into column 2"),
]


@pytest.mark.parametrize("name,data,line", CHANGES, ids=[c[0] for c in CHANGES])
def test_each_change_is_logged(name, data, line):
    log = io.BytesIO()
    rowmender.repair(io.BytesIO(data), io.BytesIO(), changes=log)
    assert log.getvalue().decode().splitlines() == ["first_line,last_line,change,detail", line]


def test_changes_on_one_row_are_logged_in_order_and_counted():
    log = io.BytesIO()
    report = rowmender.repair(
        io.BytesIO(b'a,b,c\n"x"y,\xff\n"z\nw\n'),
        io.BytesIO(),
        changes=log,
        merge_overflow=False,
        fill_ragged_rows=False,
    )
    assert log.getvalue().decode().splitlines()[1:] == [
        "2,2,text_after_quote,text after a closing quote continued the field",
        "2,2,invalid_utf8,1 invalid byte sequence replaced",
        "2,2,quarantined,Row has too few columns (expected 3)",
        "3,4,unterminated_quote,quoted field open at end of input",
        "3,4,quarantined,Row has too few columns (expected 3)",
    ]
    assert (
        report.rows_with_text_after_quote,
        report.rows_with_replaced_bytes,
        report.quarantined_rows,
        report.multiline_rows,
        report.unterminated_quote_line,
    ) == (1, 1, 2, 1, 3)


def model_counts(data, opts):
    """Filled, merged and quarantined rows from the widths the rows had as parsed."""
    widths = [len(row) for row in rowmender.rows(io.BytesIO(data), **{**opts, "expected_columns": 0})]
    width = rowmender.repair(io.BytesIO(data), io.BytesIO(), **opts).inferred_columns
    if width == 0:
        return 0, 0, 0
    short = sum(n < width for n in widths)
    long = sum(n > width for n in widths)
    return (
        (short if opts["fill_ragged_rows"] else 0),
        (long if opts["merge_overflow"] else 0),
        (0 if opts["fill_ragged_rows"] else short) + (0 if opts["merge_overflow"] else long),
    )


@SETTINGS
@given(data=content, opts=options)
def test_change_counts_agree_with_a_model(data, opts):
    report = rowmender.repair(io.BytesIO(data), io.BytesIO(), **opts)
    assert (report.filled_rows, report.merged_rows, report.quarantined_rows) == model_counts(data, opts)
    if b"\xef\xbf\xbd" not in data and opts["quote_char"].encode() not in data and b'"' not in data:
        # Without quotes, fields are the input's bytes between delimiters and line ends:
        # the parser replaces what Python's own decoder replaces.
        assert report.replaced_bytes == data.decode("utf-8", "replace").count("\ufffd")


def test_the_cases_that_left_no_trace_now_do():
    excel = "id;name\n1;Zoë\n2;Müller\n".encode("cp1252")
    assert rowmender.repair(io.BytesIO(excel), io.BytesIO()).rows_with_replaced_bytes == 2
    joined = (
        b"id,name,email\n1,Ann,a@x\n2,Bob,b@x\n3,Cy,c@x\n4,Di,d@x\n"
        b"id,name,email,phone,date\n5,Ed,e@x,555,2020\n6,Fay,f@x,556,2021\n7,Gus,g@x,557,2022\n"
    )
    log = io.BytesIO()
    report = rowmender.repair(io.BytesIO(joined), io.BytesIO(), changes=log)
    assert report.merged_rows == 4 and log.getvalue().count(b",merged,") == 4
    truncated = b'a,b\n1,"cut off in the mid'
    assert rowmender.repair(io.BytesIO(truncated), io.BytesIO()).unterminated_quote_line == 2
    swallowed = b'time,message\n10:00,"oops\n10:01,ok\n10:02,ok\n10:03,ok\n'
    assert rowmender.repair(io.BytesIO(swallowed), io.BytesIO()).multiline_rows == 1


ENCODED = "name;city\nZoë;Århus\nJosé;Málaga\n\u00e9t\u00e9;\u00fcber\n"


@pytest.mark.parametrize(
    "encoding,data",
    [
        ("cp1252", ENCODED.encode("cp1252") + b"bad\x81;x\n"),
        ("latin-1", ENCODED.encode("latin-1")),
        (None, ENCODED.encode("utf-16")),
        ("utf-16", ENCODED.encode("utf-16-be").join([b"\xfe\xff", b""])),
        ("shift_jis", "名前;町\n山田;東京\n".encode("shift_jis") + b"\x82\xff;x\n"),
    ],
)
def test_other_encodings_repair_as_if_decoded_first(encoding, data):
    # Each undecodable byte becomes one U+FFFD.
    text = data.decode(encoding or "utf-16", "surrogateescape")
    text = "".join("\ufffd" if "\udc80" <= c <= "\udcff" else c for c in text)
    expected = io.BytesIO()
    rowmender.repair(io.BytesIO(text.encode("utf-8")), expected)
    out = io.BytesIO()
    report = rowmender.repair(io.BytesIO(data), out, encoding=encoding)
    assert out.getvalue() == expected.getvalue()
    assert report.bytes_read == len(data)
    assert report.replaced_bytes == text.count("\ufffd")


@pytest.mark.parametrize(
    "kwargs,error,match",
    [
        ({"delimiter": ";;"}, ValueError, "exactly one ASCII character"),
        ({"delimiter": "é"}, ValueError, "exactly one ASCII character"),
        ({"quote_char": ""}, ValueError, "exactly one ASCII character"),
        ({"delimiter": "\n"}, ValueError, "line break"),
        ({"delimiter": '"'}, ValueError, "same character"),
        ({"expected_columns": -1}, ValueError, "negative"),
        ({"expected_columns": 2.0}, TypeError, "int or None"),
        ({"expected_columns": True}, TypeError, "int or None"),
        ({"encoding": "no-such-codec"}, LookupError, "no-such-codec"),
    ],
)
def test_bad_settings_raise_before_anything_is_written(tmp_path, kwargs, error, match):
    target = tmp_path / "out.csv"
    with pytest.raises(error, match=match):
        rowmender.repair(io.BytesIO(DAMAGED), target, **kwargs)
    assert not target.exists()


def test_file_errors_name_the_file(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        rowmender.repair(tmp_path / "missing.csv", tmp_path / "out.csv")
    assert missing.value.filename == str(tmp_path / "missing.csv")
    with pytest.raises(IsADirectoryError):
        rowmender.repair(tmp_path, tmp_path / "out.csv")
    with pytest.raises(IsADirectoryError):
        rowmender.repair(io.BytesIO(DAMAGED), tmp_path)
    with pytest.raises(FileNotFoundError):
        rowmender.repair(io.BytesIO(DAMAGED), tmp_path / "no" / "out.csv")
    source = tmp_path / "in.csv"
    source.write_bytes(DAMAGED)
    with pytest.raises(ValueError, match="same file as the source"):
        rowmender.repair(source, tmp_path / "out.csv", source)
    assert source.read_bytes() == DAMAGED


@pytest.mark.parametrize("road", ["repair", "rows"])
def test_progress_is_called_and_ends_with_the_total(tmp_path, road):
    source = tmp_path / "in.csv"
    source.write_bytes(DAMAGED * 40_000)
    calls = []
    progress = lambda done, total: calls.append((done, total))  # noqa: E731
    if road == "repair":
        rowmender.repair(source, os.devnull, progress=progress)
    else:
        # Each window's rows are handed out quickly; the time spent with them counts too.
        for i, _ in enumerate(rowmender.rows(source, progress=progress)):
            if i % 40_000 == 0:
                time.sleep(0.12)
        assert len(calls) > 2
    assert calls[-1] == (len(DAMAGED) * 40_000, len(DAMAGED) * 40_000)
    assert all(a[0] <= b[0] for a, b in zip(calls, calls[1:]))


def test_reports_are_values():
    report = rowmender.repair(io.BytesIO(DAMAGED), io.BytesIO())
    assert pickle.loads(pickle.dumps(report)) == report
    assert report.to_dict()["unterminated_quote_line"] == 8
    assert repr(report).startswith("RepairReport(total_rows=8, ")
    with pytest.raises(AttributeError):
        report.total_rows = 0  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del report.total_rows
    assert copy.copy(report) == report and hash(copy.deepcopy(report)) == hash(report)
    assert list(report.to_dict()) == list(rowmender.RepairReport.__match_args__)
    assert rowmender.RepairReport(**report.to_dict()) == report
    other = rowmender.RepairReport(**{**report.to_dict(), "cr_line_ends": report.cr_line_ends + 1})
    assert other != report and report != report.to_dict()
    match report:
        case rowmender.RepairReport(total_rows, salvaged_rows):
            assert (total_rows, salvaged_rows) == (report.total_rows, report.salvaged_rows)


@SETTINGS
@given(
    fields=st.lists(
        st.text(st.characters(blacklist_categories=["Cs"], blacklist_characters=',"\r\n\ufeff'), max_size=40),
        min_size=1,
        max_size=6,
    )
)
def test_text_of_every_width_comes_back_as_it_was(fields):
    # One, two and four bytes per character in the str a field becomes, short and long.
    data = (",".join(fields) + "\n").encode("utf-8")
    assert list(rowmender.rows(io.BytesIO(data), delimiter=",", expected_columns=0)) == [fields]


TABLE = "name;city\nZoë;東京\n"


@pytest.mark.parametrize(
    "data,mark",
    [
        (b"\xff\xfe" + TABLE.encode("utf-16-le"), True),
        (b"\xfe\xff" + TABLE.encode("utf-16-be"), True),
        (b"\xff\xfe\x00\x00" + TABLE.encode("utf-32-le"), True),
        (b"\x00\x00\xfe\xff" + TABLE.encode("utf-32-be"), True),
        (b"\xff\xfe", True),  # an empty UTF-16 file
        # Damaged UTF-8 that starts like a mark: read as UTF-8, as salvage_file reads it.
        (b"\xff\xfe" + TABLE.encode(), False),
        (b"\xfe\xff" + TABLE.encode() * 500, False),
        (b"\xff\xfe\x00\x00a,b\x00\n", False),
        (b"\xff\xfe" + "a\x01b\x02c\x03\n".encode("utf-16-le"), False),  # controls, not text
    ],
    ids=[
        "utf-16-le",
        "utf-16-be",
        "utf-32-le",
        "utf-32-be",
        "mark-only",
        "damaged-utf-8",
        "damaged-long",
        "nul-bytes",
        "controls",
    ],
)
def test_a_byte_order_mark_is_trusted_only_before_text(tmp_path, data, mark):
    if mark:
        text = data.decode("utf-32" if data[:4] in (b"\xff\xfe\x00\x00", b"\x00\x00\xfe\xff") else "utf-16")
        expected = io.BytesIO()
        rowmender.repair(io.BytesIO(text.encode()), expected)
        expected_bytes = expected.getvalue()
        (tmp_path / "whole.csv").write_bytes(data)
    else:
        _, expected_bytes, _ = whole_file(tmp_path, data, {})
    for source in (io.BytesIO(data), tmp_path / "whole.csv"):
        out = io.BytesIO()
        report = rowmender.repair(source, out)
        assert out.getvalue() == expected_bytes
        assert report.byte_order_mark is mark
        assert (report.replaced_bytes > 0) is (not mark)
        assert report.bytes_read == len(data)


@pytest.mark.parametrize(
    "encoding,data,result",
    [
        # Codec errors of every kind become replaced bytes...
        ("utf-7", b"a,+2AA-\n", "a,\ufffd\n"),
        ("unicode_escape", b"a,\\ud800\n", "a,\ufffd\n"),
        ("utf-7", b"a,+3IA-\n", "a,\ufffd\n"),  # a surrogate that surrogateescape would have made a byte
        # ...a byte order told by the zero bytes, or by the mark...
        ("utf-16", "a,b\nc,é\n".encode("utf-16-le"), "a,b\nc,é\n"),
        ("utf-16", "a,b\nc,é\n".encode("utf-16-be"), "a,b\nc,é\n"),
        ("utf-32", "a,b\nc,é\n".encode("utf-32-be"), "a,b\nc,é\n"),
        ("utf-16", "a,b\n".encode("utf-16"), "a,b\n"),
        ("utf-16", b"", ""),
        # ...or a clear error naming the source.
        ("utf-16", "東京".encode("utf-16-le"), (UnicodeError, "byte order of 'SOURCE'.*utf-16-le or utf-16-be")),
        ("idna", b"a,b\n", (UnicodeError, "'SOURCE' as idna: that codec cannot replace")),
        ("punycode", b"a,b\n", (UnicodeError, "'SOURCE' as punycode")),
        *[
            (codec, b"a,b\n", (LookupError, "not a text encoding"))
            for codec in ("base64", "hex", "zlib", "bz2", "uu", "quopri", "rot13")
        ],
    ],
)
def test_every_codec_gives_replaced_bytes_or_a_clear_error(tmp_path, encoding, data, result):
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    target = tmp_path / "out.csv"
    if isinstance(result, tuple):
        error, match = result
        with pytest.raises(error, match=match.replace("SOURCE", str(source))):
            rowmender.repair(source, target, encoding=encoding)
        assert not target.exists()
        return
    report = rowmender.repair(source, target, encoding=encoding)
    assert target.read_bytes() == result.encode()
    assert report.replaced_bytes == result.count("\ufffd")


def test_a_text_mode_source_is_refused(tmp_path):
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b\n")
    with open(source) as text:
        for make in (lambda: text, lambda: io.StringIO("a,b\n")):
            for encoding in (None, "utf-8", "cp1252"):
                with pytest.raises(TypeError, match="binary source is needed"):
                    rowmender.repair(make(), io.BytesIO(), encoding=encoding)
            with pytest.raises(TypeError, match="binary source is needed"):
                rowmender.rows(make())


# How a stream ends, each case in a new interpreter: D.csv has a ragged last row, so that a
# change log has a line; other.csv is another file that may take over a freed descriptor.
ENDINGS_PRELUDE = """
    import gc, glob, os, sys, threading, warnings
    import rowmender
    os.chdir(sys.argv[1])
    with open("D.csv", "wb") as f:
        f.write(b"a,b,c\\n" + b"1,2,3\\n" * 300_000 + b"4,5\\n")
    with open("other.csv", "wb") as f:
        f.write(b"x,y\\n" + b"7,8\\n" * 300_000)
    with open("small.csv", "wb") as f:
        f.write(b"a,b\\n1,2\\n3\\n")
    def descriptors():
        return len(os.listdir("/proc/self/fd"))
    def leftovers():
        return sorted(glob.glob(".*rowmender-tmp"))
    def outcome(call):
        try:
            call()
            return "ok"
        except Exception as error:
            return type(error).__name__
"""
STREAM_ENDINGS = {
    # Every use after close() is refused but the report of what was read, and nothing
    # reaches the files that take over its descriptors.
    "used after close": (
        """
        stream = rowmender.rows("D.csv", changes="log.csv")
        it = iter(stream)
        next(it)
        stream.close()
        other, second = open("other.csv", "rb"), open("second.csv", "wb")
        uses = [lambda: next(it), lambda: next(stream), lambda: iter(stream), lambda: stream.report,
                lambda: stream.__enter__()]
        other.close()
        second.close()
        print(*map(outcome, uses), stream.closed, os.path.getsize("second.csv"), os.path.exists("log.csv"),
              leftovers())
    """,
        "ValueError ValueError ValueError ok ValueError True 0 False []",
    ),
    # close() from another thread: the reading thread sees the end, never another file's rows.
    "closed by another thread": (
        """
        seen = set()
        for _ in range(20):
            stream = rowmender.rows("D.csv", changes="log.csv")
            got = []
            def read():
                try:
                    for row in stream:
                        got.append(row[0])
                    seen.add("StopIteration")
                except ValueError:
                    seen.add("ValueError")
            thread = threading.Thread(target=read)
            thread.start()
            while len(got) < 1000:
                pass
            stream.close()
            with open("other.csv", "rb"), open("second.csv", "wb"):
                thread.join(60)
            seen.update(set(got) - {"a", "1", "4"})
        print(sorted(seen - {"StopIteration", "ValueError"}), os.path.getsize("second.csv"),
              os.path.exists("log.csv"), leftovers())
    """,
        "[] 0 False []",
    ),
    # Exhausted without `with`: the change log is in place and the descriptor closed.
    "exhausted unclosed": (
        """
        before = descriptors()
        for _ in range(300):
            for row in rowmender.rows("small.csv", changes="log.csv"):
                pass
        with open("log.csv") as log:
            lines = log.read().splitlines()
        print(descriptors() - before, len(lines), leftovers())
    """,
        "0 2 []",
    ),
    # Dropped half read, also in a reference cycle: closed with a warning, the unfinished
    # change log dropped.
    "collected unclosed": (
        """
        before = descriptors()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            stream = rowmender.rows("D.csv", changes="log.csv")
            next(iter(stream))
            del stream
            def cycle():
                stream = rowmender.rows("D.csv", changes="log.csv", progress=lambda *_: stream.report)
                next(stream)
            cycle()
            gc.collect()
        print([w.category.__name__ for w in caught], descriptors() - before, os.path.exists("log.csv"),
              leftovers())
    """,
        "['ResourceWarning', 'ResourceWarning'] 0 False []",
    ),
    # A forked child is refused and leaves the parent's files alone; the parent reads on.
    "used in a forked child": (
        """
        stream = rowmender.rows("D.csv", changes="log.csv")
        it = iter(stream)
        first = [next(it) for _ in range(10)]
        pid = os.fork()
        if pid == 0:
            print(outcome(lambda: next(it)), outcome(lambda: stream.report), outcome(stream.close), flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        rows = first + list(it)
        print(len(rows), rows[-1], os.path.exists("log.csv"), leftovers())
    """,
        "RuntimeError RuntimeError ok\n300002 ['4', '5', ''] True []",
    ),
}


@pytest.mark.parametrize("case", STREAM_ENDINGS)
def test_a_stream_ends_once_and_cleanly(tmp_path, case):
    code, expected = STREAM_ENDINGS[case]
    # Any warning not caught by the case shows on stderr.
    result = subprocess.run(
        [
            sys.executable,
            "-W",
            "always::ResourceWarning",
            "-c",
            textwrap.dedent(ENDINGS_PRELUDE) + textwrap.dedent(code),
            str(tmp_path),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.stdout.strip(), result.stderr) == (expected, "")
