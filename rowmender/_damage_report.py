"""The HTML damage report: what a repair changed, where in the file, and what the repaired
table holds, as one self-contained page.

Made in one repair and one quick read back, in bounded memory whatever the file's size:

- the change log goes to a collector instead of a file: it bins every change by its line
  into a map of fixed size and keeps a reservoir sample of each kind's line ranges, so the
  examples come from the whole file;
- the quarantine file goes to a collector that keeps the first rows set aside;
- the repaired output passes through a sampler that keeps the first rows and a reservoir of
  short runs of rows from across the file, for the column profile;
- then the source is read again (a source that cannot be, such as a pipe, was copied to a
  temporary file as the repair read it), only to cut out the original lines of the sampled
  changes; each is repaired alone with the settled delimiter and width to show its repaired
  row, so the rule that repairs a row stays the engine's.

The page is rendered by jinja2 with autoescaping.
"""

from __future__ import annotations

import io
import math
import os
import random
import stat
import tempfile

from . import _rowmender_backend as backend
from ._files import _TEXT_SOURCE, Source, Target, all_or_nothing, describe, is_path, refuse_same_file

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any

    from ._report import RepairReport

# The damage map's bins: the lines each bin covers double (pairs of bins merge) whenever
# the file outgrows them, so it ends with between half of them and all of them in use.
MAP_BINS = 256
# Examples shown per change kind, and how much of an example's original text is kept.
EXAMPLES_PER_KIND = 10
EXAMPLE_BYTES = 16 * 1024
# Rows set aside that are shown, and how much of the quarantine file is kept to show them.
QUARANTINE_SHOWN = 100
QUARANTINE_BYTES = 4 << 20
# The column profile: the first rows of the repaired table, then runs of rows from across it
# (a reservoir of runs, one candidate per write of the engine), and the columns profiled.
PROFILE_HEAD_ROWS = 500
PROFILE_RUN_ROWS = 4
PROFILE_RUNS = 256
PROFILE_COLUMNS = 200
PROFILE_FREQUENT = 5
# Distinct details of filled and merged rows tallied for the per-column counts (each detail
# names a count of fields or a column, so there are few).
_TALLIES = 10_000
# What a value shown in the page is cut to.
SHOWN_CHARS = 200
_READ_BYTES = 1 << 20
# The same file gives the same page: the samples are drawn from a fixed seed.
_SEED = 20240611

# The kinds a row-level repair logs; any other kind comes from a rule about the file as a
# whole (a preamble, a repeated header...) and is listed as such.
ROW_KINDS = frozenset(
    (
        "stray_quote",
        "text_after_quote",
        "quote_in_unquoted_field",
        "invalid_utf8",
        "unterminated_quote",
        "filled",
        "merged",
        "quarantined",
    )
)
# Words for the kinds the page knows; others are shown by their name, underscores as spaces.
KIND_LABELS = {
    "stray_quote": "Stray quotes kept as content",
    "text_after_quote": "Text after a closing quote",
    "quote_in_unquoted_field": "Quotes in unquoted fields",
    "invalid_utf8": "Bytes replaced (not valid text)",
    "unterminated_quote": "Quote never closed",
    "filled": "Short rows filled",
    "merged": "Long rows merged",
    "quarantined": "Rows set aside",
}
# One colour per kind, in the order the kinds first occur.
_COLOURS = (
    "#d62728",
    "#1f77b4",
    "#ff7f0e",
    "#2ca02c",
    "#9467bd",
    "#8c564b",
    "#e377c2",
    "#17becf",
    "#bcbd22",
    "#7f7f7f",
)


def kind_label(kind: str) -> str:
    return KIND_LABELS.get(kind) or kind.replace("_", " ").capitalize()


# --- what the repair's side streams are fed into ---------------------------------------


class KindSample:
    """One change kind: its count, how many of its changes begin in each bin of the damage
    map, and a reservoir of its changes (first line, last line, detail).

    The reservoir skips ahead (Algorithm L): a random draw per change taken, not per change
    seen, since a file may have millions of changes of one kind."""

    __slots__ = ("count", "bins", "sample", "_next", "_weight", "_random")

    def __init__(self, bins: int, rng: random.Random) -> None:
        self.count = 0
        self.bins = [0] * bins
        self.sample: list[tuple[int, int, str]] = []
        self._random = rng
        self._weight = 1.0
        self._next = EXAMPLES_PER_KIND

    def offer(self, change: tuple[int, int, str]) -> None:
        """Called with ``count`` already counting this change."""
        if len(self.sample) < EXAMPLES_PER_KIND:
            self.sample.append(change)
            if len(self.sample) == EXAMPLES_PER_KIND:
                self._skip()
            return
        if self.count == self._next:
            self.sample[self._random.randrange(EXAMPLES_PER_KIND)] = change
            self._skip()

    def _skip(self) -> None:
        draw = self._random.random
        self._weight *= math.exp(math.log(draw() or 1e-300) / EXAMPLES_PER_KIND)
        gap = math.log(draw() or 1e-300) / math.log1p(-self._weight) if self._weight < 1.0 else 0.0
        self._next = self.count + int(min(gap, 1e18)) + 1


class ChangeCollector:
    """The engine's change-log target: each change counts in its kind's bin of the damage
    map and is offered to its kind's sample; the details of filled and merged rows are
    tallied for the per-column counts. The log's bytes also go on to ``forward`` (the change
    log the caller asked for), if any.

    The map has MAP_BINS bins over a span of lines that doubles, merging pairs of bins,
    whenever a change lies past it: it ends with between half of them and all in use."""

    def __init__(self, forward: Callable[[bytes], object] | None = None) -> None:
        self._forward = forward
        self._rest = b""
        self._header = True
        self._random = random.Random(_SEED)
        self.kinds: dict[str, KindSample] = {}
        self.span = 1  # lines per bin
        self.last_line = 0
        self.tallies: dict[tuple[str, str], int] = {}  # (kind, detail) of filled and merged rows

    def write(self, data: Any) -> int:
        if self._forward is not None:
            self._forward(data)
        block = self._rest + bytes(data)
        cut = block.rfind(b"\n") + 1
        # Whole records only: a quoted detail may hold a line break.
        while cut and block.count(b'"', 0, cut) % 2:
            cut = block.rfind(b"\n", 0, cut - 1) + 1
        self._rest = block[cut:]
        if cut:
            self._take(block[:cut])
        return len(data)

    def close(self) -> None:
        if self._rest:
            rest, self._rest = self._rest, b""
            self._take(rest)

    def _take(self, block: bytes) -> None:
        import csv

        records = csv.reader(io.StringIO(block.decode("utf-8", "replace"), newline=""))
        if self._header:
            self._header = False
            next(records, None)
        kinds, tallies, span = self.kinds, self.tallies, self.span
        limit = span * MAP_BINS
        last_line = self.last_line
        while True:
            try:
                record = next(records)
                first, last, kind = int(record[0]), int(record[1]), record[2]
            except StopIteration:
                break
            except (IndexError, ValueError, csv.Error):
                continue  # not a change (a detail past the csv module's field limit, say): left out
            detail = record[3] if len(record) > 3 else ""
            sample = kinds.get(kind)
            if sample is None:
                sample = kinds[kind] = KindSample(MAP_BINS, self._random)
            if first > limit:
                span = self._widen(first)
                limit = span * MAP_BINS
            sample.bins[(first - 1) // span] += 1
            sample.count += 1
            sample.offer((first, last, detail))
            if last > last_line:
                last_line = last
            if kind == "filled" or kind == "merged":
                key = (kind, detail)
                if key in tallies or len(tallies) < _TALLIES:
                    tallies[key] = tallies.get(key, 0) + 1
        self.last_line = last_line

    def _widen(self, line: int) -> int:
        half = MAP_BINS // 2
        while line > self.span * MAP_BINS:
            for sample in self.kinds.values():
                bins = sample.bins
                sample.bins = [bins[2 * i] + bins[2 * i + 1] for i in range(half)] + [0] * half
            self.span *= 2
        return self.span

    def column_counts(self) -> tuple[dict[int, int], dict[int, int]]:
        """Rows filled by number of fields added, and rows merged by the column merged into,
        read off the details ("2 empty fields added", "3 surplus fields joined into column 12")."""
        filled: dict[int, int] = {}
        merged: dict[int, int] = {}
        for (kind, detail), rows in self.tallies.items():
            words = detail.split()
            try:
                if kind == "filled":
                    filled[int(words[0])] = filled.get(int(words[0]), 0) + rows
                else:
                    merged[int(words[-1])] = merged.get(int(words[-1]), 0) + rows
            except (IndexError, ValueError):
                pass  # a detail worded otherwise: the column counts leave it out
        return filled, merged


class QuarantineCollector:
    """The engine's quarantine target: the first bytes are kept to show the first rows set
    aside; the bytes also go on to ``forward``, if any."""

    def __init__(self, forward: Callable[[bytes], object] | None = None) -> None:
        self._forward = forward
        self.head = bytearray()
        self.cut = False

    def write(self, data: Any) -> int:
        if self._forward is not None:
            self._forward(data)
        room = QUARANTINE_BYTES - len(self.head)
        if room > 0:
            self.head += bytes(data[:room])
        if len(data) > room:
            self.cut = True
        return len(data)

    def rows(self) -> list[tuple[str, str, str]]:
        """The first rows set aside: (line, reason, content)."""
        import csv

        text = self.head.decode("utf-8", "replace")
        found: list[tuple[str, str, str]] = []
        reader = csv.reader(io.StringIO(text, newline=""))
        try:
            next(reader, None)  # the header
            for record in reader:
                if len(found) == QUARANTINE_SHOWN:
                    break
                if len(record) >= 3:
                    found.append((record[0], record[1], ",".join(record[2:])))
        except csv.Error:
            pass  # the kept bytes end inside a row of several megabytes
        return found


class TableSampler:
    """The engine's output target: the repaired table passes on to ``forward`` (if any)
    while its first rows and a reservoir of short runs of rows are kept for the profile.

    The engine's writes do not end at row ends, and a quoted field may hold line breaks: a
    run starts after the first line break of a write (at the write's start when the last
    write ended with one), and rows of the wrong width (a run that began inside a quoted
    field) are left out when the runs are parsed."""

    def __init__(self, forward: Callable[[bytes], object] | None = None) -> None:
        self._forward = forward
        self._random = random.Random(_SEED + 1)
        self.head = bytearray()
        self._head_lines = 0
        self._head_done = False
        self.runs: list[bytes] = []
        self._candidates = 0
        self._after_break = True
        self.bytes_written = 0

    def write(self, data: Any) -> int:
        if self._forward is not None:
            self._forward(data)
        chunk = bytes(data)
        self.bytes_written += len(chunk)
        if not self._head_done:
            self._take_head(chunk)
        elif chunk:
            self._offer_run(chunk)
        self._after_break = chunk.endswith(b"\n") if chunk else self._after_break
        return len(chunk)

    def _take_head(self, chunk: bytes) -> None:
        # Whole lines up to the head's size; quoted line breaks count as lines here, so a
        # table of multi-line fields has a shorter head, never a longer one.
        end = 0
        while self._head_lines < PROFILE_HEAD_ROWS:
            found = chunk.find(b"\n", end)
            if found < 0:
                end = len(chunk)
                break
            end = found + 1
            self._head_lines += 1
        if len(self.head) + end > EXAMPLE_BYTES * 64:
            self._head_done = True  # rows of kilobytes: the runs will do
            return
        self.head += chunk[:end]
        if self._head_lines >= PROFILE_HEAD_ROWS:
            self._head_done = True

    def _offer_run(self, chunk: bytes) -> None:
        self._candidates += 1
        slot = len(self.runs) if len(self.runs) < PROFILE_RUNS else self._random.randrange(self._candidates)
        if slot >= PROFILE_RUNS:
            return
        start = 0 if self._after_break else chunk.find(b"\n") + 1
        if start <= 0 and not self._after_break:
            return
        end = start
        for _ in range(PROFILE_RUN_ROWS):
            found = chunk.find(b"\n", end)
            if found < 0 or found - start > EXAMPLE_BYTES:
                break
            end = found + 1
        if end == start:
            return
        run = chunk[start:end]
        if slot == len(self.runs):
            self.runs.append(run)
        else:
            self.runs[slot] = run


# --- the column profile ----------------------------------------------------------------


class ColumnProfile:
    __slots__ = ("name", "values", "empty", "longest", "frequent", "filled", "merged")

    def __init__(self, name: str) -> None:
        self.name = name
        self.values = 0
        self.empty = 0
        self.longest = ""
        self.frequent: list[tuple[str, int]] = []
        self.filled = 0
        self.merged = 0

    @property
    def empty_share(self) -> float:
        return self.empty / self.values if self.values else 0.0


def profile_columns(
    sampler: TableSampler, changes: ChangeCollector, delimiter: str, quote_char: str, width: int
) -> tuple[list[ColumnProfile], int, bool]:
    """The profile of the sampled rows: the columns (the first row names them), how many
    rows it was made from, and whether those were all the rows."""
    import csv
    from collections import Counter

    def parsed(data: bytes) -> Iterator[list[str]]:
        reader = csv.reader(
            io.StringIO(data.decode("utf-8", "replace"), newline=""), delimiter=delimiter, quotechar=quote_char
        )
        try:
            yield from reader
        except csv.Error:
            return

    head = list(parsed(bytes(sampler.head)))
    if not head:
        return [], 0, True
    names = head[0]
    columns = [ColumnProfile(name) for name in names[:PROFILE_COLUMNS]]
    counters = [Counter[str]() for _ in columns]
    rows = 0
    for source in [head[1:]] + [list(parsed(run)) for run in sampler.runs]:
        for row in source:
            if width and len(row) != width:
                continue  # a run that began inside a quoted field
            rows += 1
            for column, counter, value in zip(columns, counters, row):
                column.values += 1
                if not value:
                    column.empty += 1
                elif len(value) > len(column.longest):
                    column.longest = value
                counter[value] += 1
    filled, merged = changes.column_counts()
    for number, (column, counter) in enumerate(zip(columns, counters), start=1):
        column.frequent = [(value, count) for value, count in counter.most_common(PROFILE_FREQUENT) if count > 1]
        column.filled = sum(rows for added, rows in filled.items() if number > len(names) - added)
        column.merged = merged.get(number, 0)
    everything = not sampler.runs and sampler.bytes_written == len(sampler.head)
    return columns, rows, everything


# --- reading the original lines back ---------------------------------------------------


class _Copying(io.RawIOBase):
    """A source that can be read only once (a pipe, a decompressing reader), copied to a
    temporary file as the repair reads it, to be read again from there."""

    def __init__(self, source: Any, copy: Any) -> None:
        super().__init__()
        self._source = source
        self._copy = copy
        self.name = describe(source)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if isinstance(self._source, int):
            data = os.read(self._source, len(buffer))
        elif hasattr(self._source, "readinto"):
            got = self._source.readinto(buffer)
            data = bytes(memoryview(buffer)[: got or 0])
        else:
            data = self._source.read(len(buffer))
            if not isinstance(data, (bytes, bytearray)):
                raise TypeError(_TEXT_SOURCE)
        n = len(data)
        memoryview(buffer)[:n] = data
        self._copy.write(data)
        return n

    def read(self, size: int = -1) -> bytes:
        buffer = bytearray(size if size >= 0 else _READ_BYTES)
        n = self.readinto(buffer)
        return bytes(buffer[:n])


class _Again:
    """How to read a source a second time: a path is opened again, a regular file's
    descriptor or a seekable file object is read again from where it stood; anything else
    is copied to a temporary file while the repair reads it."""

    def __init__(self, given: Any) -> None:
        source: Any = given
        self.first: Any = source
        self._path: Any = None
        self._fd: int | None = None
        self._offset = 0
        self._file: Any = None
        self._copy: Any = None
        if is_path(source):
            try:
                regular = stat.S_ISREG(os.stat(source).st_mode)
            except OSError:
                regular = True  # the repair says what is wrong with it
            if regular:
                self._path = source
                return
            source = open(source, "rb")  # a FIFO, say: read once, so copied
            self.first = self._opened = source
        if isinstance(source, int):
            try:
                if stat.S_ISREG(os.fstat(source).st_mode):
                    self._fd, self._offset = source, os.lseek(source, 0, os.SEEK_CUR)
                    return
            except OSError:
                pass
        elif callable(getattr(source, "seekable", None)) and source.seekable():
            self._file, self._offset = source, source.tell()
            return
        self._copy = tempfile.TemporaryFile()
        self.first = _Copying(source, self._copy)

    def second(self) -> Any:
        if self._path is not None:
            return self._path
        if self._fd is not None:
            os.lseek(self._fd, self._offset, os.SEEK_SET)
            return self._fd
        if self._file is not None:
            self._file.seek(self._offset)
            return self._file
        self._copy.seek(0)
        return self._copy

    def close(self) -> None:
        if self._copy is not None:
            self._copy.close()
        opened = getattr(self, "_opened", None)
        if opened is not None:
            opened.close()


def _chunks(source: Any, encoding: str | None) -> Iterator[memoryview]:
    """The bytes the engine read from ``source``, decoded the same way, a piece at a time.
    Each piece lies in one buffer used again for the next: fresh memory costs more to
    write to than the bytes cost to read."""
    again = Source(source, encoding)
    try:
        if again.prefix:
            yield memoryview(again.prefix)
        engine_source = again.engine_source
        buffer = bytearray(_READ_BYTES)
        view = memoryview(buffer)

        def fill() -> int:
            if isinstance(engine_source, int):
                return os.readv(engine_source, [buffer])
            if hasattr(engine_source, "readinto"):
                return int(engine_source.readinto(buffer) or 0)
            data = engine_source.read(_READ_BYTES)
            view[: len(data)] = data
            return len(data)

        while n := fill():
            yield view[:n]
    finally:
        again.close()


def read_lines_back(
    chunks: Iterator[memoryview], ranges: list[tuple[int, int]], whole: bool = True
) -> tuple[dict[tuple[int, int], bytes], int | None]:
    """The original text of each line range (without its last line break, cut to
    EXAMPLE_BYTES), and the number of lines in all. Lines are numbered as the change log
    numbers them: from 1, after each CR, LF or CRLF. Unless ``whole``, the reading stops
    once every range is complete, and the number of lines is None."""
    starts: dict[int, list[tuple[int, int]]] = {}  # break number -> ranges that begin after it
    ends: dict[int, list[tuple[int, int]]] = {}  # break number -> ranges that end with it
    for first, last in set(ranges):
        starts.setdefault(first - 1, []).append((first, last))
        ends.setdefault(last, []).append((first, last))
    pending = sorted(set(starts) | set(ends))
    texts: dict[tuple[int, int], bytes] = {}
    open_texts: dict[tuple[int, int], bytearray] = {}
    from_offset: dict[tuple[int, int], int] = {}
    lead_lf: set[tuple[int, int]] = set()  # began after a CR that ended a chunk

    def keep(key: tuple[int, int], chunk: memoryview, start: int, end: int) -> None:
        text = open_texts[key]
        room = EXAMPLE_BYTES - len(text)
        if room > 0:
            text += chunk[start : min(end, start + room)]

    def begin(key: tuple[int, int], offset: int, chunk_end_cr: bool) -> None:
        open_texts[key] = bytearray()
        from_offset[key] = offset
        if chunk_end_cr:
            lead_lf.add(key)

    for key in starts.pop(0, []):
        begin(key, 0, False)
    pending = [b for b in pending if b > 0]
    breaks = 0
    after_cr = False
    ended_with_break = True  # an empty source has no lines
    next_pending = 0
    for chunk in chunks:
        if not chunk:
            continue
        if lead_lf and chunk[0] == 0x0A:
            for key in lead_lf:
                if key in from_offset:
                    from_offset[key] = 1
        lead_lf.clear()
        stops = [b - breaks for b in pending[next_pending : next_pending + 64]]
        count, after_cr_next, offsets = backend._line_breaks(chunk, after_cr, stops)
        for relative, offset in zip(stops, offsets):
            number = breaks + relative
            for key in ends.get(number, ()):
                if key in open_texts:
                    keep(key, chunk, from_offset[key], offset)
                    texts[key] = _without_line_end(bytes(open_texts.pop(key)))
            for key in starts.get(number, ()):
                begin(key, offset, offset == len(chunk) and after_cr_next)
            next_pending += 1
        for key in open_texts:
            keep(key, chunk, from_offset[key], len(chunk))
            from_offset[key] = 0
        breaks += count
        after_cr = after_cr_next
        ended_with_break = chunk[-1] in (0x0A, 0x0D)
        if not whole and next_pending == len(pending) and not open_texts:
            return texts, None
    for key, text in open_texts.items():  # the last line, without a line break
        texts[key] = bytes(text)
    # A line break ends the last line; only text after it makes one more.
    return texts, breaks + (0 if ended_with_break else 1)


def _without_line_end(text: bytes) -> bytes:
    if text.endswith(b"\r\n"):
        return text[:-2]
    if text.endswith((b"\n", b"\r")):
        return text[:-1]
    return text


# --- the page --------------------------------------------------------------------------


def shown(text: str, limit: int = SHOWN_CHARS) -> str:
    """A value as the page shows it: control characters (but the tab and line breaks) as
    escapes, cut to ``limit`` characters."""
    cut = len(text) > limit
    text = text[:limit]
    if any(c < " " and c not in "\t\n" or c == "\x7f" for c in text):
        text = "".join(c if c >= " " and c != "\x7f" or c in "\t\n" else f"\\x{ord(c):02x}" for c in text)
    return text + "…" if cut else text


def original_text(data: bytes) -> str:
    """Original bytes as the page shows them: every byte that is not valid UTF-8 as \\xNN."""
    return shown(data.decode("utf-8", "backslashreplace"), EXAMPLE_BYTES)


class Example:
    __slots__ = ("first", "last", "detail", "original", "found", "cut", "cells", "changed", "set_aside")

    def __init__(self, first: int, last: int, detail: str) -> None:
        self.first, self.last, self.detail = first, last, detail
        self.original = ""
        self.found = False  # the original lines were read back
        self.cut = False
        self.cells: list[str] = []
        self.changed: list[bool] = []
        self.set_aside = False


def _is_utf8(data: bytes) -> bool:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _repair_alone(original: bytes, settings: dict[str, Any], report: RepairReport) -> list[str] | None:
    """The row the engine makes of ``original`` alone, with the width and delimiter it settled
    on: the row rule needs nothing else. None when it sets the row aside."""
    from ._stream import rows

    # The rules that judge a row by the file around it (a header, a preamble, a width) have
    # nothing to judge in one row: those that act within a row stay, and the file's dialect
    # and encoding are given rather than told again from a few bytes.
    within_row = tuple(rule for rule in ("control_bytes",) if rule in settings["cleanup"])
    options = dict(
        settings,
        delimiter=report.detected_delimiter,
        expected_columns=report.inferred_columns,
        quote_char=report.quote_char,
        escape_char=report.escape_char,
        cleanup=within_row,
    )
    encoding = None if report.encoding == "utf-8" else report.encoding
    if report.other_encoding is not None and not _is_utf8(original):
        encoding = report.other_encoding
    if report.trimmed_rows:
        # The empty last column every row carries was dropped from the file's rows.
        line = original.rstrip(b"\r\n")
        if line.endswith(report.detected_delimiter.encode()):
            original = line[:-1] + original[len(line) :]
    # An empty line is a row of one empty field in a file, but an empty input has no rows.
    made = list(rows(io.BytesIO(original or b"\n"), encoding=encoding, **options))
    return made[0] if made else None


# The kinds whose change is a quote kept as content: the fields holding one are marked.
_QUOTE_KINDS = frozenset(("stray_quote", "text_after_quote", "quote_in_unquoted_field", "unterminated_quote"))


def _changed_fields(kind: str, original: str, cells: list[str], delimiter: str, quote_char: str) -> list[bool]:
    """Which repaired fields differ from what a plain CSV reader makes of the original (the
    fields added, merged or re-read around a stray quote), hold a replaced byte, or, for a
    change about quotes, hold a quote."""
    import csv

    try:
        plain: list[str] = next(csv.reader([original], delimiter=delimiter, quotechar=quote_char), [])
    except csv.Error:
        plain = []
    if not original:
        plain = [""]  # an empty line is one empty field, which a CSV reader does not make of it
    quotes = quote_char if kind in _QUOTE_KINDS else "\ufffd"
    return [i >= len(plain) or plain[i] != cell or "\ufffd" in cell or quotes in cell for i, cell in enumerate(cells)]


class Section:
    """One change kind as the page shows it."""

    __slots__ = ("kind", "label", "count", "colour", "examples", "row_level", "bands")

    def __init__(self, kind: str, sample: KindSample, colour: str) -> None:
        self.kind = kind
        self.label = kind_label(kind)
        self.count = sample.count
        self.colour = colour
        self.examples = [Example(*change) for change in sorted(sample.sample)]
        self.row_level = kind in ROW_KINDS
        self.bands: list[tuple[int, int, int, int, float]] = []  # bin, first line, last line, changes, shade


def _page(
    name: str,
    report: RepairReport,
    settings: dict[str, Any],
    changes: ChangeCollector,
    quarantine: QuarantineCollector,
    sampler: TableSampler,
    source_again: Callable[[], Any] | None,
    encoding: str | None,
) -> dict[str, Any]:
    """What the template shows."""
    from ._cli_summary import changes_found
    from ._report import show_delimiter

    sections = [
        Section(kind, sample, _COLOURS[i % len(_COLOURS)]) for i, (kind, sample) in enumerate(changes.kinds.items())
    ]
    wanted = [(example.first, example.last) for section in sections for example in section.examples]
    texts: dict[tuple[int, int], bytes] = {}
    # Without rows that span lines, every line ends a row (or is the last, unended one), so
    # the lines are counted without reading to the end; a quoted field's line breaks are not
    # among the rows' line ends, so with them the read back counts them all.
    line_ends = report.lf_line_ends + report.crlf_line_ends + report.cr_line_ends
    lines: int | None = line_ends + (1 if report.total_rows > line_ends else 0)
    whole = report.multiline_rows > 0
    if wanted and source_again is not None:
        texts, counted = read_lines_back(_chunks(source_again(), encoding), wanted, whole)
        lines = counted if whole else lines
    lines = max(lines or 0, changes.last_line, 1)
    delimiter, quote_char = report.detected_delimiter, settings["quote_char"]
    for section in sections:
        for example in section.examples:
            raw = texts.get((example.first, example.last))
            if raw is None:
                continue
            example.original = original_text(raw)
            example.found = True
            example.cut = len(raw) >= EXAMPLE_BYTES
            if example.cut:
                continue  # the beginning of a row alone would be repaired as another row
            row = _repair_alone(raw, settings, report)
            if row is None:
                example.set_aside = True
                continue
            example.cells = [shown(cell) for cell in row]
            example.changed = _changed_fields(section.kind, raw.decode("utf-8", "replace"), row, delimiter, quote_char)
    span = changes.span
    used = min(MAP_BINS, -(-lines // span))
    for section in sections:
        counts = changes.kinds[section.kind].bins
        top = max(counts, default=0) or 1
        section.bands = [
            (i, i * span + 1, min((i + 1) * span, lines), count, 0.3 + 0.7 * count / top)
            for i, count in enumerate(counts[:used])
            if count
        ]
    columns, profiled_rows, whole_table = profile_columns(
        sampler, changes, delimiter, quote_char, report.inferred_columns
    )
    changed = changes_found(report)
    if report.quarantined_rows:
        verdict, tone = f"{report.quarantined_rows:,} rows set aside, {report.repaired_rows:,} repaired", "bad"
    elif changed:
        verdict, tone = "Repaired: some rows were changed", "warn"
    else:
        verdict, tone = "Nothing to repair", "good"
    if report.input_cut_off:
        verdict, tone = verdict + "; the compressed input was cut off", "bad"
    dialect = [
        ("Delimiter", show_delimiter(delimiter)),
        ("Quote character", repr(quote_char)),
        ("Encoding", report.encoding + (" (byte-order mark skipped)" if report.byte_order_mark else "")),
        ("Columns", f"{report.inferred_columns:,}"),
        (
            "Line ends",
            ", ".join(
                f"{count:,} {kind}"
                for kind, count in (
                    ("LF", report.lf_line_ends),
                    ("CRLF", report.crlf_line_ends),
                    ("CR", report.cr_line_ends),
                )
                if count
            )
            or "none",
        ),
    ]
    return {
        "name": name,
        "report": report,
        "counts": [
            (key, f"{value:,}" if isinstance(value, int) and not isinstance(value, bool) else value)
            for key, value in report.to_dict().items()
        ],
        "summary": report._summary_rows(),
        "verdict": verdict,
        "tone": tone,
        "dialect": dialect,
        "sections": sections,
        "rules": [section for section in sections if not section.row_level],
        "lines": lines,
        "bins": used,
        "span": span,
        "quarantined": [(line, shown(reason), shown(content, 2000)) for line, reason, content in quarantine.rows()],
        "quarantine_count": report.quarantined_rows,
        "columns": columns,
        "more_columns": max(0, report.inferred_columns - len(columns)),
        "profiled_rows": profiled_rows,
        "whole_table": whole_table,
        "example_bytes": EXAMPLE_BYTES,
        "version": backend.__version__,
    }


def _render(values: dict[str, Any]) -> str:
    """The page. jinja2 is imported here, only when a report is made: its import alone takes
    longer than repairing 50 MB."""
    try:
        import jinja2
    except ImportError as error:
        raise ModuleNotFoundError(
            "the HTML report needs jinja2: install python3-jinja2 (Debian, Ubuntu) or pip install 'rowmender[report]'"
        ) from error
    from ._damage_page import PAGE

    # Compiling the template takes as long as repairing 50 MB: the compiled code is kept in
    # jinja2's own cache folder (one per user in the temporary folder, which it checks is
    # theirs), keyed by the template's checksum, so a changed template is compiled again.
    environment = jinja2.Environment(
        loader=jinja2.DictLoader({"page.html": PAGE}),
        bytecode_cache=_template_cache(jinja2),
        autoescape=True,
        trim_blocks=True,
        lstrip_blocks=True,
    )
    environment.filters["shown"] = shown
    rendered: str = environment.get_template("page.html").render(values)
    return rendered


def _template_cache(jinja2: Any) -> Any:
    """jinja2's cache of compiled templates, or None where its folder cannot be made."""

    class Cache(jinja2.FileSystemBytecodeCache):  # type: ignore[misc]
        def dump_bytecode(self, bucket: Any) -> None:
            try:
                super().dump_bytecode(bucket)
            except OSError:
                pass  # a full or read-only temporary folder costs the next report the compile only

    try:
        return Cache()
    except (OSError, RuntimeError):
        return None


def _forward_to(target: Target | None) -> Callable[[bytes], object] | None:
    """What writes to a target the caller opened: its descriptor, or its file object."""
    if target is None:
        return None
    end = target.engine_target
    name = target.name
    if isinstance(end, int):

        def write(data: bytes) -> None:
            with memoryview(data) as view:
                written = 0
                while written < len(view):
                    try:
                        written += os.write(end, view[written:])
                    except OSError as error:
                        error.filename = error.filename or name
                        raise

        return write
    return end.write  # type: ignore[no-any-return]


def repair_with_report(
    source: Any,
    report_target: Any,
    target: Any = None,
    quarantine: Any = None,
    *,
    changes: Any = None,
    encoding: str | None = None,
    progress: Any = None,
    name: str | None = None,
    finish: Callable[[RepairReport], RepairReport] | None = None,
    **settings: Any,
) -> RepairReport:
    """Repairs ``source`` as ``repair`` does (into ``target``, or nowhere when None) and
    writes the HTML report to ``report_target``. The outputs are put in place together, the
    report first. ``name`` is the source's name in the page; ``finish`` completes the report
    with what only the caller knows (a compressed input cut off)."""
    from ._stream import repair

    checked = backend._check_settings(**settings)
    refuse_same_file(
        source,
        [("report", report_target), ("target", target), ("quarantine", quarantine), ("changes", changes)],
        in_place="target",
    )
    again = _Again(source)
    try:
        with all_or_nothing() as committed:
            opened: dict[str, Target | None] = {}
            # The report and the side files first: they are put in place before the repaired file.
            for role, value in (
                ("report", report_target),
                ("quarantine", quarantine),
                ("changes", changes),
                ("target", target),
            ):
                if value is None:
                    opened[role] = None
                elif isinstance(value, Target):
                    opened[role] = value  # the caller's, put in place by the caller
                else:
                    opened[role] = Target(value)
                    committed.append(opened[role])  # type: ignore[arg-type]
            change_log = ChangeCollector(_forward_to(opened["changes"]))
            set_aside = QuarantineCollector(_forward_to(opened["quarantine"]))
            table = TableSampler(_forward_to(opened["target"]))
            report = repair(
                again.first,
                table,
                set_aside,
                changes=change_log,
                encoding=encoding,
                progress=progress,
                **settings,
            )
            change_log.close()
            if finish is not None:
                report = finish(report)
            values = _page(
                name or describe(source),
                report,
                checked,
                change_log,
                set_aside,
                table,
                again.second,
                encoding,
            )
            page = _render(values).encode("utf-8")
            _forward_to(opened["report"])(page)  # type: ignore[misc]
    finally:
        again.close()
    return report
