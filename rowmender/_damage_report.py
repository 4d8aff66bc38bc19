"""The HTML damage report: what a repair changed, where in the file, and what the repaired
table holds, as one self-contained page.

Made in one repair, in bounded memory whatever the file's size:

- the engine keeps what the page shows as it writes the outputs (see ``Samples``): the
  change log binned into a map of fixed size with a reservoir sample of each kind's changes
  and where their rows lie in the input, so the examples come from the whole file; the
  first rows set aside; the first rows of the repaired table and short runs of rows from
  across it, for the column profile;
- meanwhile jinja2 and the page's template are loaded on a thread of their own;
- then the original rows of the sampled changes are read from where they lie in the input
  (a source that cannot be read again, such as a pipe, was copied to a temporary file as the
  repair read it; where rows span lines or the engine read decoded text, the lines are
  found again by their numbers, in a second read); each is repaired alone with the settled
  delimiter and width to show its repaired row, so the rule that repairs a row stays the
  engine's.

The page is rendered by jinja2 with autoescaping.
"""

from __future__ import annotations

import codecs
import io
import os
import stat
import threading

from . import _rowmender_backend as backend
from ._files import _TEXT_SOURCE, Source, Target, all_or_nothing, describe, is_path, refuse_same_file

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any

    from ._report import RepairReport

# How much of an example's original text is kept.
EXAMPLE_BYTES = 16 * 1024
# Rows set aside that are shown.
QUARANTINE_SHOWN = 100
# The column profile: the columns profiled and the frequent values shown of each.
PROFILE_COLUMNS = 200
PROFILE_FREQUENT = 5
# What a value shown in the page is cut to.
SHOWN_CHARS = 200
_READ_BYTES = 1 << 20

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


# --- what the engine kept of the repair ------------------------------------------------


class KindSample:
    """One change kind: its count, how many of its changes begin in each bin of the damage
    map, and a reservoir sample of its changes (first line, last line, detail) drawn from
    the whole file."""

    __slots__ = ("count", "bins", "sample")

    def __init__(self, count: int, bins: list[int], sample: list[tuple[int, int, str, int, int]]) -> None:
        self.count, self.bins, self.sample = count, bins, sample


class Samples:
    """What the engine kept of a repair for its report, as it wrote the outputs, in memory of
    a fixed size (see salvage/damage_sample.h):

    - of the change log: per kind (in the order the kinds first occur), its count, its bins
      of the damage map, 256 bins of ``span`` lines each (the span doubles, merging pairs
      of bins, whenever a change lies past the map, so it ends with between half of them
      and all in use) and a reservoir of its changes; the last line changed; the rows
      filled and merged, tallied by detail;
    - of the quarantine file, its first QUARANTINE_BYTES;
    - of the repaired table, its first rows and a reservoir of short runs of rows from
      across it, one candidate per write of the engine; a run starts after a write's first
      line break (at its start when the last write ended with one), so rows of the wrong
      width (a run that began inside a quoted field) are left out when the runs are parsed."""

    def __init__(self, kept: dict[str, Any]) -> None:
        self.kinds = {kind: KindSample(count, bins, sample) for kind, count, bins, sample in kept["kinds"]}
        self.span: int = kept["span"]
        self.last_line: int = kept["last_line"]
        self.tallies: list[tuple[str, str, int]] = kept["tallies"]
        self.head: bytes = kept["table_head"]
        self.runs: list[bytes] = kept["table_runs"]
        self.bytes_written: int = kept["table_bytes"]
        self.quarantine_head: bytes = kept["quarantine_head"]
        self.decoded: bool = kept["decoded"]  # the engine read text decoded from another encoding

    def column_counts(self) -> tuple[dict[int, int], dict[int, int]]:
        """Rows filled by number of fields added, and rows merged by the column merged into,
        read off the details ("2 empty fields added", "3 surplus fields joined into column 12")."""
        filled: dict[int, int] = {}
        merged: dict[int, int] = {}
        for kind, detail, rows in self.tallies:
            words = detail.split()
            try:
                if kind == "filled":
                    filled[int(words[0])] = filled.get(int(words[0]), 0) + rows
                else:
                    merged[int(words[-1])] = merged.get(int(words[-1]), 0) + rows
            except (IndexError, ValueError):
                pass  # a detail worded otherwise: the column counts leave it out
        return filled, merged

    def quarantined_rows(self) -> list[tuple[str, str, str]]:
        """The first rows set aside: (line, reason, content)."""
        import csv

        text = self.quarantine_head.decode("utf-8", "replace")
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
    samples: Samples, delimiter: str, quote_char: str, width: int
) -> tuple[list[ColumnProfile], int, bool]:
    """The profile of the sampled rows: the columns (the first row names them), how many
    rows it was made from, and whether those were all the rows."""
    import csv
    import heapq
    from collections import Counter
    from operator import itemgetter

    def parsed(data: bytes) -> Iterator[list[str]]:
        reader = csv.reader(
            io.StringIO(data.decode("utf-8", "replace"), newline=""), delimiter=delimiter, quotechar=quote_char
        )
        try:
            yield from reader
        except csv.Error:
            return

    head = list(parsed(samples.head))
    if not head:
        return [], 0, True
    names = head[0]
    columns = [ColumnProfile(name) for name in names[:PROFILE_COLUMNS]]
    kept = [
        row
        for source in [head[1:]] + [list(parsed(run)) for run in samples.runs]
        for row in source
        if not width or len(row) == width  # else a run that began inside a quoted field
    ]
    rows = len(kept)
    # A column at a time: the counting is done by the built-ins, not a loop per value.
    for index, column in enumerate(columns):
        values = [row[index] for row in kept if len(row) > index]
        column.values = len(values)
        column.empty = values.count("")
        column.longest = max(values, key=len, default="")  # the first of the longest
        # The most common of the values seen more than once, ties in the order first seen (as
        # Counter.most_common ranks them): most columns hold few repeated values.
        repeated = [(value, count) for value, count in Counter(values).items() if count > 1]
        column.frequent = heapq.nlargest(PROFILE_FREQUENT, repeated, key=itemgetter(1))
    filled, merged = samples.column_counts()
    for number, column in enumerate(columns, start=1):
        column.filled = sum(rows for added, rows in filled.items() if number > len(names) - added)
        column.merged = merged.get(number, 0)
    everything = not samples.runs and samples.bytes_written == len(samples.head)
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
        import tempfile  # imported only for a source that must be copied: a few ms otherwise lost

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
        yield from _pieces(again)
    finally:
        again.close()


def _pieces(again: Source) -> Iterator[memoryview]:
    """The bytes of a source opened again, as _chunks gives them."""
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


def read_spans_back(
    source: Any, encoding: str | None, spans: list[tuple[int, int]], skipped_mark: bool = False
) -> dict[tuple[int, int], bytes]:
    """The bytes at each (begin, end) of the input as the engine read it, without their last
    line break, cut to EXAMPLE_BYTES: from a regular file, read where they lie; from anything
    else, picked out of one read that stops after the last of them. ``skipped_mark``: the
    engine skipped a UTF-8 byte-order mark, after which the first row begins; the first
    line, as the page shows lines, begins with it."""
    mark = len(codecs.BOM_UTF8) if skipped_mark else 0
    wanted: dict[tuple[int, int], tuple[int, int]] = {}
    for begin, end in set(spans):
        start = 0 if mark and begin == mark else begin
        wanted[(begin, end)] = (start, min(end, start + EXAMPLE_BYTES))
    texts: dict[tuple[int, int], bytes] = {}
    again = Source(source, encoding)
    try:
        fd = again.engine_source
        if isinstance(fd, int) and stat.S_ISREG(os.fstat(fd).st_mode):
            # The engine read the prefix first, then the descriptor from where it stands now.
            prefix = again.prefix
            base = os.lseek(fd, 0, os.SEEK_CUR) - len(prefix)
            for key, (start, stop) in wanted.items():
                rest = max(start, len(prefix))
                read = os.pread(fd, stop - rest, base + rest) if stop > rest else b""
                texts[key] = _without_line_end(prefix[start:stop] + read)
            return texts
        parts = {key: bytearray() for key in wanted}
        last = max((stop for _, stop in wanted.values()), default=0)
        at = 0
        for chunk in _pieces(again):
            after = at + len(chunk)
            for key, (start, stop) in wanted.items():
                if start < after and stop > at:
                    parts[key] += chunk[max(start, at) - at : min(stop, after) - at]
            at = after
            if at >= last:
                break
    finally:
        again.close()
    return {key: _without_line_end(bytes(text)) for key, text in parts.items()}


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
    __slots__ = ("first", "last", "detail", "span", "original", "found", "cut", "cells", "changed", "set_aside")

    def __init__(self, first: int, last: int, detail: str, begin: int, end: int) -> None:
        self.first, self.last, self.detail = first, last, detail
        self.span = (begin, end)  # where the row's bytes lie in the input the engine read
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
    if report.other_encoding == "utf-8":  # a legacy file with rows of UTF-8: as the engine read this one
        encoding = None if _is_utf8(original) and not original.isascii() else encoding
    elif report.other_encoding is not None and not _is_utf8(original):
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
    samples: Samples,
    source_again: Callable[[], Any] | None,
    encoding: str | None,
) -> dict[str, Any]:
    """What the template shows."""
    from ._cli_summary import changes_found
    from ._report import show_delimiter

    sections = [
        Section(kind, sample, _COLOURS[i % len(_COLOURS)]) for i, (kind, sample) in enumerate(samples.kinds.items())
    ]
    examples = [example for section in sections for example in section.examples]
    texts: dict[Any, bytes] = {}
    # Without rows that span lines, every line ends a row (or is the last, unended one), so
    # the lines are counted without reading to the end; a quoted field's line breaks are not
    # among the rows' line ends, so with them the read back counts them all.
    line_ends = report.lf_line_ends + report.crlf_line_ends + report.cr_line_ends
    lines: int | None = line_ends + (1 if report.total_rows > line_ends else 0)
    whole = report.multiline_rows > 0
    # Where the engine read the file's own bytes, each row is read from where it lies; the
    # engine's offsets are of decoded text when it read a decoded file, which is shown as
    # it is in the file: its lines are found again by their numbers.
    by_offset = not whole and not samples.decoded
    if examples and source_again is not None:
        if by_offset:
            spans = [example.span for example in examples]
            texts = read_spans_back(source_again(), encoding, spans, report.byte_order_mark)
        else:
            wanted = [(example.first, example.last) for example in examples]
            texts, counted = read_lines_back(_chunks(source_again(), encoding), wanted, whole)
            lines = counted if whole else lines
    lines = max(lines or 0, samples.last_line, 1)
    delimiter, quote_char = report.detected_delimiter, settings["quote_char"]
    for section in sections:
        for example in section.examples:
            raw = texts.get(example.span if by_offset else (example.first, example.last))
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
    span = samples.span
    map_bins = len(next(iter(samples.kinds.values())).bins) if samples.kinds else 0
    used = min(map_bins, -(-lines // span))
    for section in sections:
        counts = samples.kinds[section.kind].bins
        top = max(counts, default=0) or 1
        section.bands = [
            (i, i * span + 1, min((i + 1) * span, lines), count, 0.3 + 0.7 * count / top)
            for i, count in enumerate(counts[:used])
            if count
        ]
    columns, profiled_rows, whole_table = profile_columns(samples, delimiter, quote_char, report.inferred_columns)
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
        "quarantined": [
            (line, shown(reason), shown(content, 2000)) for line, reason, content in samples.quarantined_rows()
        ],
        "quarantine_count": report.quarantined_rows,
        "columns": columns,
        "more_columns": max(0, report.inferred_columns - len(columns)),
        "profiled_rows": profiled_rows,
        "whole_table": whole_table,
        "example_bytes": EXAMPLE_BYTES,
        "version": backend.__version__,
    }


def _template() -> Any:
    """The page's template. jinja2 is imported here, only when a report is made: its import
    alone takes longer than repairing 50 MB."""
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
    return environment.get_template("page.html")


class _TemplateLoader:
    """Loads the template on a thread of its own while the engine repairs without the
    interpreter lock, so that the import of jinja2 and the loading of the template take the
    time of the repair, not their own, where a second processor is free. The thread runs
    only while the engine does: Python code on two threads takes turns at the lock, and
    each turn can wait out the interpreter's switch interval (5 ms)."""

    def __init__(self) -> None:
        self._template: Any = None
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._load, name="rowmender-report-template", daemon=True)
        self._waited = False

    def start(self) -> None:
        """Called as the engine starts."""
        self._thread.start()

    def wait(self) -> None:
        """Called as the engine ends: the template is loaded on this thread if it was not
        started, else the loading is waited for."""
        if self._waited:
            return
        self._waited = True
        if self._thread.ident is None:
            self._load()
        else:
            self._thread.join()

    def _load(self) -> None:
        try:
            self._template = _template()
        except BaseException as error:  # raised again on the thread that renders
            self._error = error

    def render(self, values: dict[str, Any]) -> str:
        self.wait()
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        rendered: str = self._template.render(values)
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
    from ._stream import repair_checked

    checked = backend._check_settings(**settings)
    refuse_same_file(
        source,
        [("report", report_target), ("target", target), ("quarantine", quarantine), ("changes", changes)],
        in_place="target",
    )
    template = _TemplateLoader()
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
            report, kept = repair_checked(
                again.first,
                opened["target"],
                opened["quarantine"],
                opened["changes"],
                checked,
                encoding,
                progress,
                sampled=True,
                engine_starts=template.start,
            )
            template.wait()
            if finish is not None:
                report = finish(report)
            assert kept is not None  # asked for
            values = _page(name or describe(source), report, checked, Samples(kept), again.second, encoding)
            page = template.render(values).encode("utf-8")
            _forward_to(opened["report"])(page)  # type: ignore[misc]
    finally:
        again.close()
    return report
