"""The HTML damage report: the lines it reads back, its escaping, its command line, and the
page as a browser shows it."""

import csv
import io
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import rowmender
from rowmender._damage_report import Samples, _chunks, read_lines_back, read_spans_back
from rowmender._stream import repair_checked
from rowmender._rowmender_backend import _line_breaks

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "damaged.csv"


def reference_lines(data: bytes) -> list[bytes]:
    """The lines as the change log numbers them: split after each CR, LF or CRLF."""
    return re.split(rb"\r\n|\r|\n", data)


@settings(max_examples=300, deadline=None)
@given(
    data=st.binary(max_size=400).map(lambda b: bytes(b"ab,\r\n"[x % 5] for x in b)),
    cuts=st.lists(st.integers(0, 400), max_size=6),
    picks=st.lists(st.tuples(st.integers(1, 60), st.integers(0, 3)), max_size=12),
)
def test_lines_read_back_are_the_lines_of_the_file(data, cuts, picks):
    # However the source is cut into pieces (a CRLF split across two, say), each range of
    # lines comes back as the text between its line breaks, and the lines are counted as
    # a reader splitting on CR, LF and CRLF counts them.
    lines = reference_lines(data)
    total = len(lines) - (1 if lines[-1] == b"" else 0)
    ranges = [(first, first + extra) for first, extra in picks if first + extra <= total]
    bounds = sorted({0, len(data), *(c for c in cuts if c <= len(data))})
    pieces = [memoryview(data[a:b]) for a, b in zip(bounds, bounds[1:])]
    texts, counted = read_lines_back(iter(pieces), ranges)
    assert counted == total
    for first, last in ranges:
        # The line breaks inside a range stay as they were in the file.
        assert reference_lines(texts[(first, last)]) == lines[first - 1 : last]


@settings(max_examples=200, deadline=None)
@given(
    # A lone CR is left out: inside quotes the engine does not number it as a line break,
    # so there the lines by number are not the row, which its offsets give whole.
    data=st.lists(
        st.sampled_from([b"a", b"b", b"aa", b",", b",", b"\n", b"\n", b"\r\n", b'"', b"\x00", b"\xff"]), max_size=200
    ).map(b"".join),
    mark=st.booleans(),
    cleanup=st.booleans(),
    piped=st.booleans(),
)
def test_rows_read_where_the_engine_found_them_are_their_lines(tmp_path_factory, data, mark, cleanup, piped):
    # Where no row spans lines, a sampled change's row read from its offsets in the input
    # is the text of its lines, from a file read in place or from a file object, with a
    # byte-order mark, either line end, and the rules that drop or set aside lines.
    data = (b"\xef\xbb\xbf" if mark else b"") + data
    path = tmp_path_factory.mktemp("spans") / "in.csv"
    path.write_bytes(data)
    settings = rowmender._rowmender_backend._check_settings(cleanup=cleanup)
    source = io.BytesIO(data) if piped else path
    report, kept = repair_checked(source, None, None, None, settings, None, None, sampled=True)
    if report.multiline_rows or kept["decoded"]:
        return  # the page finds such rows by their line numbers
    changes = [change for sample in Samples(kept).kinds.values() for change in sample.sample]
    if piped:
        source.seek(0)
    spans = [(begin, end) for *_, begin, end in changes]
    by_offset = read_spans_back(source, None, spans, report.byte_order_mark)
    by_line, _ = read_lines_back(_chunks(path, None), [(first, last) for first, last, *_ in changes])
    for first, last, _, begin, end in changes:
        assert by_offset[(begin, end)] == by_line[(first, last)]


@pytest.mark.parametrize(
    "data, after_cr, stops, expected",
    [
        (b"", False, [], (0, False, [])),
        (b"\n", True, [1], (0, False, [])),  # the LF of a CRLF split across two pieces
        (b"a\r\nb\rc\nd", False, [1, 2, 3], (3, False, [3, 5, 7])),
        (b"a\r", False, [1], (1, True, [2])),
        (b"\r\n\r\n", False, [2], (2, False, [4])),
    ],
)
def test_line_breaks_count_and_find_lines(data, after_cr, stops, expected):
    assert _line_breaks(data, after_cr, stops) == expected


@pytest.mark.parametrize("stops", [[0], [2, 1], [1, 1], ["1"], 5])
def test_line_breaks_refuse_bad_stops(stops):
    with pytest.raises((ValueError, TypeError)):
        _line_breaks(b"a\nb\n", False, stops)


def reference_samples(log: bytes, bins: int = 256, keep: int = 10) -> tuple[dict, int, int]:
    """The change log binned and sampled as the page describes it: per kind, its count, its
    bins over a span of lines that doubles (merging pairs of bins) when a change lies past
    them, and a reservoir that skips ahead (Algorithm L) drawn from random.Random(20240611)."""
    rng, kinds, span, last_line = random.Random(20240611), {}, 1, 0
    for first, last, kind, detail in list(csv.reader(io.StringIO(log.decode(), newline="")))[1:]:
        first, last = int(first), int(last)
        last_line = max(last_line, last)
        entry = kinds.setdefault(kind, {"count": 0, "bins": [0] * bins, "sample": [], "w": 1.0, "next": keep})
        while first > span * bins:
            for other in kinds.values():
                other["bins"] = [sum(other["bins"][2 * i : 2 * i + 2]) for i in range(bins // 2)] + [0] * (bins // 2)
            span *= 2
        entry["bins"][(first - 1) // span] += 1
        entry["count"] += 1
        sample, taken = entry["sample"], False
        if len(sample) < keep:
            sample.append((first, last, detail))
            taken = len(sample) == keep
        elif entry["count"] == entry["next"]:
            sample[rng.randrange(keep)] = (first, last, detail)
            taken = True
        if taken:
            entry["w"] *= math.exp(math.log(rng.random() or 1e-300) / keep)
            gap = math.log(rng.random() or 1e-300) / math.log1p(-entry["w"]) if entry["w"] < 1.0 else 0.0
            entry["next"] = entry["count"] + int(min(gap, 1e18)) + 1
    return {kind: (e["count"], e["bins"], e["sample"]) for kind, e in kinds.items()}, span, last_line


@pytest.mark.parametrize("rows", [3000, 200_000])
def test_the_engine_bins_and_samples_the_change_log_as_described(rows):
    # Every change the log holds is binned and sampled as the reference does it, with the
    # same draws, so the examples come from the whole file and the same file gives the
    # same page; kinds of the rules for real-world files are kept like the others.
    data = b"id,name,note\n" + b"".join(
        b"%d,x\n" % i if i % 3 == 0 else b"id,name,note\n" if i % 7 == 0 else b'%d,"a"b,c\n' % i for i in range(rows)
    )
    log = io.BytesIO()
    settings = rowmender._rowmender_backend._check_settings(cleanup=True)
    _, kept = repair_checked(io.BytesIO(data), None, None, log, settings, None, None, sampled=True)
    samples = Samples(kept)
    expected, span, last_line = reference_samples(log.getvalue())
    assert {kind: (s.count, s.bins, [c[:3] for c in s.sample]) for kind, s in samples.kinds.items()} == expected
    assert len(expected) == 3 and samples.span == span and samples.last_line == last_line
    for count, _, sample in expected.values():
        assert len(sample) == 10 and max(first for first, _, _ in sample) > rows // 2


HOSTILE = b"<script>alert(1)</script>"


def hostile_file(tmp_path):
    # A field that is markup, in a row the repair changes, in a row it sets aside, in a
    # column's values, and in the file's own name.
    data = (
        b"id,name,note\n"
        + b'1,"<b>bold</b>",'
        + HOSTILE
        + b"\n"
        + b"2,short\n"
        + b'3,"</pre><img src=x onerror=alert(2)>",x,y,z\n'
        + b"4,\x00\x1b[31m,\xff&amp;\n"
    )
    path = tmp_path / "<i>name<i>.csv"
    path.write_bytes(data)
    return path


def test_every_byte_of_the_input_is_escaped(tmp_path):
    source = hostile_file(tmp_path)
    page_path = tmp_path / "report.html"
    report = rowmender.repair(source, None, report=page_path, merge_overflow=False)
    assert report.quarantined_rows == 1
    page = page_path.read_text("utf-8")
    # No markup of the input's survives: only the page's own tags, none of them script.
    assert "<script" not in page and "<img" not in page and "<b>" not in page and "<i>" not in page
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    assert "&lt;/pre&gt;&lt;img src=x onerror=alert(2)&gt;" in page  # the row set aside
    assert "&lt;i&gt;name&lt;i&gt;.csv" in page
    assert "&amp;amp;" in page  # an entity in the input shows as the text it is
    assert "\\x00" in page and "\\x1b" in page and "\\xff" in page  # control and invalid bytes, visible
    assert "\x00" not in page and "\x1b" not in page


def test_an_empty_line_shows_as_one_and_its_filled_row(tmp_path):
    page = io.BytesIO()
    rowmender.repair(io.BytesIO(b"a,b,c\n1,2,3\n\n4,5,6\n"), None, report=page)
    example = page.getvalue().decode().split('<td class="lines">3</td>')[1].split("</tr>")[0]
    assert "an empty line" in example
    assert example.count('<td class="cell">') == 1 and example.count('<td class="cell changed">') == 2


@pytest.mark.parametrize("options", [{}, {"cleanup": True}, {"escape_char": "\\", "cleanup": ["blank_lines"]}])
def test_report_from_python_leaves_the_repair_as_it_was(tmp_path, options):
    # The report is one more output: the repaired file, the quarantine and the change log
    # are the bytes repair() writes without it, with the same settings.
    source = tmp_path / "in.csv"
    source.write_bytes(b"Export\n\n" + EXAMPLE.read_bytes() + b"\n\nx\\,y,z\n")
    plain = [tmp_path / name for name in ("a.csv", "a-q.csv", "a-c.csv")]
    with_page = [tmp_path / name for name in ("b.csv", "b-q.csv", "b-c.csv")]
    first = rowmender.repair(source, plain[0], plain[1], changes=plain[2], **options)
    second = rowmender.repair(
        source, with_page[0], with_page[1], changes=with_page[2], report=tmp_path / "r.html", **options
    )
    assert first == second
    assert [p.read_bytes() for p in plain] == [p.read_bytes() for p in with_page]
    assert (tmp_path / "r.html").read_bytes().startswith(b"<!DOCTYPE html>")


def run_cli(*args, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "rowmender", *map(str, args)], capture_output=True, timeout=120, **kwargs
    )


@pytest.mark.parametrize(
    "data, status",
    [(b"a,b\n1,2\n", 0), (b"a,b\n1,2,3\n", 3)],
)
def test_report_command_exit_status_and_outputs(tmp_path, data, status):
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    to_file = run_cli("report", source, "-o", tmp_path / "r.html")
    to_stdout = run_cli("report", source)
    piped = run_cli("report", "-", input=data)
    assert (to_file.returncode, to_stdout.returncode, piped.returncode) == (status, status, status)
    assert to_stdout.stdout == (tmp_path / "r.html").read_bytes()
    assert piped.stdout.replace(b"standard input", str(source).encode()) == to_stdout.stdout
    assert b"in.csv: 2 rows" in to_file.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["repair", "IN", "--output-dir", "out", "--report", "r.html"], b"--report names one file"),
        (["report", "IN", "-o", "IN"], b"is the input file"),
        (["report", "IN", "--changes", "-"], b"cannot both be standard output"),
    ],
)
def test_report_command_refuses_what_would_lose_data(tmp_path, args, message):
    source = tmp_path / "in.csv"
    source.write_bytes(b"a,b\n1,2\n")
    result = run_cli(*[str(source) if arg == "IN" else arg for arg in args], cwd=tmp_path)
    assert result.returncode in (1, 2) and message in result.stderr, result.stderr
    assert source.read_bytes() == b"a,b\n1,2\n"


def test_repair_with_report_from_the_command_line(tmp_path):
    result = run_cli("repair", EXAMPLE, tmp_path / "out.csv", "--report", tmp_path / "r.html")
    assert result.returncode == 0, result.stderr
    assert b"Report" in result.stderr and (tmp_path / "r.html").stat().st_size > 1000
    assert (tmp_path / "out.csv").read_bytes() == run_cli("repair", EXAMPLE, "-", "-q").stdout


# --- the page as a browser shows it ------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="needs chromium (scripts/install-deps.sh installs it)")


def chromium(tmp_path, *args):
    # A profile of its own, no network, no GPU: the page must need none of them.
    return subprocess.run(
        [
            CHROMIUM,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            "--hide-scrollbars",
            "--no-first-run",
            "--disable-background-networking",
            "--proxy-server=127.0.0.1:9",  # any fetch of the page's would fail
            f"--user-data-dir={tmp_path / 'profile'}",
            *args,
        ],
        capture_output=True,
        timeout=120,
        # The sanitizer run preloads its runtime into the interpreter: the browser is no part
        # of what it checks, and under it does not start in time.
        env={
            **{k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")},
            "HOME": str(tmp_path),
        },
    )


def png_pixels(data):
    """The RGB(A) rows of a PNG of 8 bits per channel, undone from its filters."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, idat, header = 8, b"", None
    while position < len(data):
        (length,) = struct.unpack(">I", data[position : position + 4])
        kind = data[position + 4 : position + 8]
        body = data[position + 8 : position + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        position += 12 + length
    width, height, depth, colour = header[:4]
    assert depth == 8 and colour in (2, 6)
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up, corner = previous[i], previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(bytes(line))
        previous = line
    return width, channels, rows


@needs_chromium
def test_the_page_shows_its_sections_and_map_in_a_browser(tmp_path):
    page = tmp_path / "report.html"
    result = run_cli("report", EXAMPLE, "-o", page)
    assert result.returncode == 3, result.stderr
    dom = chromium(tmp_path, "--dump-dom", page.as_uri())
    assert dom.returncode == 0, dom.stderr[-2000:]
    html = dom.stdout.decode()
    for section in ("summary", "rules", "map", "changes", "quarantine", "profile"):
        assert f'<section id="{section}">' in html
    assert html.count('class="strip"') == 6  # a band per kind of change in the example
    assert "Troms\\xf8" in html  # the invalid byte, shown as what it was
    # A field that is markup is text in the browser's document too, not an element.
    hostile = tmp_path / "hostile.html"
    rowmender.repair(hostile_file(tmp_path), None, report=hostile)
    dom = chromium(tmp_path, "--dump-dom", hostile.as_uri()).stdout.decode()
    assert "<script" not in dom and "<img" not in dom and "&lt;script&gt;alert(1)&lt;/script&gt;" in dom

    shot = tmp_path / "shot.png"
    made = chromium(tmp_path, f"--screenshot={shot}", "--window-size=1000,900", page.as_uri())
    assert made.returncode == 0 and shot.exists(), made.stderr[-2000:]
    width, channels, rows = png_pixels(shot.read_bytes())
    pixels = {row[i : i + 3] for row in rows[::4] for i in range(0, len(row), channels * 4)}
    assert len(pixels) > 20  # not a blank page
    # The map's first band is drawn in its colour (#d62728, stray quotes).
    assert any(abs(r - 0xD6) < 12 and abs(g - 0x27) < 12 and abs(b - 0x28) < 12 for r, g, b in pixels)
