"""Where the streaming functions read and write: paths, descriptors and file objects.

Sources are read by the engine straight from a descriptor when they are paths (with the
interpreter lock released) and through ``readinto`` when they are file objects. Targets
that are paths of regular files (or of files yet to be made) are written to a temporary
file in the same folder and renamed over the target only once everything succeeded;
other targets (devices, FIFOs, terminals, /dev/stdout and /dev/fd/N) are written directly.
"""

from __future__ import annotations

import codecs
import errno
import io
import os
import stat

# Not imported from typing, whose import costs more than a small repair: the names are only
# needed by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, Protocol, TypeGuard, Union

    PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

    class Committable(Protocol):
        def finish(self) -> None:
            ...

        def commit(self) -> None:
            ...

        def abort(self) -> None:
            ...


# The byte-order marks of UTF-32 and UTF-16, with the codec that reads what follows them
# and keeps the mark: decoded, it reaches the engine as UTF-8's mark, which the engine skips
# and reports as it does in a UTF-8 file. UTF-32-LE's mark begins with UTF-16-LE's, so it
# is looked for first.
_BYTE_ORDER_MARKS = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)
# The codecs that need a byte order, and the width of their code units.
_UNIT_BYTES = {"utf-16": 2, "utf-32": 4}
_RAW_UTF8 = ("utf-8", "utf-8-sig")
_DECODE_CHUNK = 1 << 20
# How much of a source is judged when it starts like a UTF-16 or UTF-32 mark (and, for
# utf-16 or utf-32 without one, to tell the byte order).
_JUDGED_BYTES = 4096
# Control characters other than these are not in text; a few are forgiven (a form feed,
# a stray byte), more than one in this many characters are not.
_TEXT_CONTROLS = frozenset("\t\n\r\f\v")
_CONTROLS_PER_CHARACTER = 1 / 100
# What a table has in its first lines whatever its language: a line break or a delimiter.
_TABLE_MARKS = frozenset("\n\r,;\t|")
# How much of a source encoding="auto" judges: what the engine reads first.
DETECTED_BYTES = 64 * 1024
# The encoding of a file the detector cannot place: the commonest legacy encoding of tables
# (Excel's exports on Western Windows), whose every byte decodes.
_FALLBACK_ENCODING = "cp1252"
# How much more "chaos" (charset-normalizer's share of odd characters) a guess may show than
# the detector's best and still win on language fit: Shift-JIS names read as cp932 show about
# 0.11 more than as cp949, which fits no language.
_CHAOS_MARGIN = 0.15
# cp1252 is taken when it reads the bytes about as cleanly as the best guess: a name or two
# with an accent ("Tromsø") is too little for the detector to tell Western encodings apart,
# and DOS's cp850 would read that "ø" as "°".
_FALLBACK_CHAOS_MARGIN = 0.02
# What every table's structure is written with, in an ASCII-compatible encoding.
_TABLE_BYTES = b'\n\r,;\t|"0123456789'
_LINE_BREAKS = frozenset(b"\n\r")

# The first bytes of files that are not delimited text, and what each is: repaired, they
# would become rows of U+FFFD. Full signatures only, so that a table whose first field merely
# starts with the same letters ("PK", "GIF") is not refused; Parquet's "PAR1" is followed by
# its first page header (a thrift field of type i32), which text is not.
_BINARY_SIGNATURES = (
    (b"PK\x03\x04", "a zip archive (an .xlsx, .docx or .ods file is one)"),
    (b"PK\x05\x06", "an empty zip archive"),
    (b"%PDF-", "a PDF document"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "an OLE2 compound file (an old .xls or .doc file is one)"),
    (b"\x89PNG\r\n\x1a\n", "a PNG image"),
    (b"\xff\xd8\xff", "a JPEG image"),
    (b"GIF87a", "a GIF image"),
    (b"GIF89a", "a GIF image"),
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"PAR1\x15", "a Parquet file"),
    (b"7z\xbc\xaf\x27\x1c", "a 7z archive"),
    (b"Rar!\x1a\x07", "a RAR archive"),
    (b"\x7fELF", "an ELF executable"),
)
# Enough for the longest signature.
SIGNATURE_BYTES = max(len(signature) for signature, _ in _BINARY_SIGNATURES)


def is_path(value: object) -> TypeGuard[PathLike]:
    return isinstance(value, (str, bytes, os.PathLike))


def is_regular_file_path(value: object) -> bool:
    """Whether ``value`` is the path of a regular file (not of a descriptor, a pipe or a device)."""
    if not is_path(value) or descriptor_of(value) is not None:
        return False
    try:
        return stat.S_ISREG(os.stat(value).st_mode)
    except (OSError, ValueError):
        return False


def describe(value: object) -> str:
    """How messages name a source or target."""
    if isinstance(value, int) and not isinstance(value, bool):
        return {0: "<stdin>", 1: "<stdout>", 2: "<stderr>"}.get(value, f"<file descriptor {value}>")
    if is_path(value):
        return os.fsdecode(os.fspath(value))
    name = getattr(value, "name", None)
    if isinstance(name, str):
        return name
    return f"<{type(value).__name__}>"


def _mark_undecodable(error: UnicodeError) -> tuple[str, int]:
    # Each byte the codec could not read becomes the surrogate that stands for the byte
    # 0xFF, which goes to the engine as that byte: never valid UTF-8 and never part of a
    # sequence, so the engine replaces each with one U+FFFD and counts it in its row.
    if not isinstance(error, UnicodeDecodeError):
        raise error
    return "\udcff" * (error.end - error.start), error.end


def _surrogates_as_invalid(error: UnicodeError) -> tuple[bytes, int]:
    # A lone surrogate cannot be UTF-8: those that stand for undecodable bytes, and those a
    # codec itself produced (UTF-7's "+2AA-", unicode_escape's "\\ud800"), each go to the
    # engine as the byte 0xFF, to be replaced and counted like any undecodable byte.
    if not isinstance(error, UnicodeEncodeError):
        raise error
    return b"\xff" * (error.end - error.start), error.end


codecs.register_error("rowmender.mark-undecodable", _mark_undecodable)
codecs.register_error("rowmender.surrogates-as-invalid", _surrogates_as_invalid)


class NotTextError(ValueError):
    """A source whose first bytes are those of a binary file (a zip archive, a PDF document,
    an image...): not delimited text, so not repaired. ``filename`` names the source and
    ``kind`` says what it is."""

    def __init__(self, filename: str, kind: str) -> None:
        super().__init__(f"{filename!r} is {kind}, not delimited text")
        self.filename = filename
        self.kind = kind

    def __reduce__(self) -> tuple[type[NotTextError], tuple[str, str]]:
        return (self.__class__, (self.filename, self.kind))


def binary_kind(head: bytes) -> str | None:
    """What binary file ``head`` is the start of, or None for what may be text."""
    for signature, kind in _BINARY_SIGNATURES:
        if head.startswith(signature):
            return kind
    return None


class DecodingError(UnicodeError):
    """A source that cannot be read in the encoding given; the message names the source and
    says what to do."""


def text_codec(encoding: str) -> str:
    """The codec's own name for ``encoding`` ("auto" stays as it is); LookupError for an
    unknown codec or one that does not turn bytes into text (base64, zlib, rot13...)."""
    if encoding == "auto":
        return encoding
    info = codecs.lookup(encoding)  # LookupError for an unknown codec
    if not getattr(info, "_is_text_encoding", True):
        raise LookupError(f"{encoding!r} is not a text encoding")
    return info.name


class DecodingReader:
    """A source in another encoding, read as UTF-8: decoded chunk by chunk by an incremental
    decoder. Every byte the decoder cannot read reaches the engine as one byte that is not
    UTF-8, so that it is replaced by U+FFFD and accounted for in the row it lies in."""

    def __init__(
        self, read: Any, encoding: str, prefix: bytes = b"", name: str = "the source", skipped_mark: bool = False
    ) -> None:
        self._read = read
        self.encoding = encoding
        self._name = name
        self._decoder = codecs.getincrementaldecoder(encoding)(errors="rowmender.mark-undecodable")
        # A UTF-8 byte-order mark taken off before a body in another encoding (which would
        # read it as three letters) reaches the engine as the mark it is: skipped and reported.
        self._pending = bytearray(codecs.BOM_UTF8 if skipped_mark else b"")
        self._prefix = prefix
        self._done = False
        self.raw_bytes_read = len(codecs.BOM_UTF8) if skipped_mark else 0
        # A few codecs (idna, punycode) take no error handler at all and would fail on the
        # first chunk: found here, before any output is opened.
        try:
            self._decoder.decode(b"", final=False)
        except UnicodeError:
            raise DecodingError(
                f"cannot read {name!r} as {encoding}: that codec cannot replace the bytes it cannot "
                f"decode; choose another encoding"
            ) from None

    def _decode(self, raw: bytes, final: bool) -> str:
        try:
            return self._decoder.decode(raw, final=final)
        except UnicodeDecodeError:
            raise
        except UnicodeError as error:
            raise DecodingError(f"cannot read {self._name!r} as {self.encoding}: {error}") from None

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        while len(self._pending) < len(view) and not self._done:
            raw = self._read(_DECODE_CHUNK)
            if not isinstance(raw, (bytes, bytearray, memoryview)):
                raise TypeError(_TEXT_SOURCE)
            raw = self._prefix + raw
            self._prefix = b""
            self.raw_bytes_read += len(raw)
            text = self._decode(raw, final=not raw)
            self._done = not raw
            self._pending += text.encode("utf-8", "rowmender.surrogates-as-invalid")
        n = min(len(view), len(self._pending))
        view[:n] = self._pending[:n]
        del self._pending[:n]
        return n


_TEXT_SOURCE = "source is open in text mode; a binary source is needed: open(path, 'rb'), sys.stdin.buffer, io.BytesIO"


def looks_like_text(head: bytes, encoding: str, whole: bool) -> bool:
    """Whether the first bytes of a source read as a table in ``encoding``: they decode
    without error, hold hardly any control characters, and show a line break or a
    delimiter. Damaged UTF-8 that happens to start with the bytes of a UTF-16 mark decodes
    as UTF-16 to characters none of which is ASCII, since UTF-8 text holds no zero bytes:
    no line break and no delimiter."""
    try:
        text = codecs.getincrementaldecoder(encoding)().decode(head, final=whole)
    except UnicodeDecodeError:
        return False
    text = text.removeprefix("\ufeff")
    if not text:
        return True  # the mark alone: an empty file
    controls = sum(1 for c in text if (c < " " or "\x7f" <= c < "\xa0") and c not in _TEXT_CONTROLS)
    return controls <= len(text) * _CONTROLS_PER_CHARACTER and not _TABLE_MARKS.isdisjoint(text)


def marked_encoding(head: bytes, whole: bool) -> str | None:
    """The codec of the UTF-16 or UTF-32 byte-order mark ``head`` starts with, when what
    follows it reads as text in that codec (``whole``: ``head`` is all there is); else None."""
    for mark, encoding in _BYTE_ORDER_MARKS:
        if head.startswith(mark) and looks_like_text(head, encoding, whole):
            return encoding
    return None


def byte_order(head: bytes, unit: int) -> str | None:
    """ "le" or "be" for text in code units of ``unit`` bytes without a byte-order mark,
    from where its zero bytes fall: the high bytes of ASCII characters (every line break and
    delimiter) are zero, the last of each unit in little-endian order, the first in
    big-endian. None when the bytes do not say."""
    head = head[: len(head) - len(head) % unit]
    first = head[0::unit].count(0)
    last = head[unit - 1 :: unit].count(0)
    if last > 2 * first:
        return "le"
    if first > 2 * last:
        return "be"
    return None


def _is_utf8(data: bytes, whole: bool) -> bool:
    try:
        codecs.getincrementaldecoder("utf-8")().decode(data, final=whole)
    except UnicodeDecodeError:
        return False
    return True


def _mostly_utf8(data: bytes, marked: bool = False) -> bool:
    """Whether ``data``, not valid UTF-8, still has characters written as UTF-8 sequences of
    several bytes, at least one for every ten bytes it cannot read: UTF-8 with some rows in
    another encoding. Text in a legacy encoding makes such sequences only by accident
    (cp1252's "Ã©"), one here and there; EBCDIC's letters make them often, but a UTF-8
    table has ASCII line breaks and EBCDIC text has none."""
    if _LINE_BREAKS.isdisjoint(data):
        return False
    text = data.decode("utf-8", "replace")
    invalid = text.count("\ufffd")
    # A UTF-8 byte-order mark before the data (``marked``) is one such sequence more.
    valid = sum(1 for c in text if c >= "\x80") - invalid + (1 if marked else 0)
    return valid >= 2 and 10 * valid >= invalid


def _best_legacy(data: bytes) -> str | None:
    """The encoding charset-normalizer finds for ``data``, or None.

    Its own best guess is the one with the fewest oddities, whatever its language fit;
    on tables of short repeated words that is often wrong: cp775 or cp1250 for Western
    names (turning "São" into "Săo"), cp949 for Shift-JIS. So: cp1252 when it reads the
    bytes with about as few oddities as the best guess (the encoding of Excel's exports on
    Western Windows), or when one of the guesses nearly as clean reads them as cp1252 does
    (the detector drops an encoding that reads them as one it keeps); else, among those
    guesses, the best language fit. An encoding in which a table's line breaks and
    delimiters are not ASCII (EBCDIC's) is taken only for data with its line breaks and
    without ASCII ones: a guess on a few bytes, otherwise."""
    import charset_normalizer  # only for files that are not UTF-8: it takes a while to load

    matches = charset_normalizer.from_bytes(data)
    best = matches.best()
    if best is None:
        return None
    if any(
        text_codec(match.encoding) == _FALLBACK_ENCODING
        for match in matches
        if match.chaos <= best.chaos + _FALLBACK_CHAOS_MARGIN
    ):
        return _FALLBACK_ENCODING
    close = [match for match in matches if match.chaos <= best.chaos + _CHAOS_MARGIN]
    # A close guess that reads the bytes as cp1252 does (cp1250's "ü" is cp1252's) makes it
    # cp1252: mac-latin2 reads the same export's "Müller" as "MŁller".
    western = data.decode(_FALLBACK_ENCODING, "replace")
    if any(data.decode(text_codec(match.encoding), "replace") == western for match in close):
        return _FALLBACK_ENCODING
    chosen = text_codec(max(close, key=lambda match: match.coherence).encoding)
    if _TABLE_BYTES.decode(chosen, "replace") != _TABLE_BYTES.decode("ascii"):
        if not _LINE_BREAKS.isdisjoint(data) or "\n".encode(chosen, "replace") not in data:
            return None
    return chosen


def detect_encoding(head: bytes, whole: bool) -> tuple[str, bool]:
    """The codec the first bytes of a source are in, judged as ``encoding="auto"`` does,
    and whether they are UTF-8 with some lines in another encoding (then "utf-8": decoding
    the whole file in the other encoding would garble its good rows). ``whole``: ``head``
    is all there is."""
    marked_utf8 = head.startswith(codecs.BOM_UTF8)
    body = head[len(codecs.BOM_UTF8) :] if marked_utf8 else head
    if not marked_utf8:
        judged = head[:_JUDGED_BYTES]
        whole_judged = whole and len(head) <= _JUDGED_BYTES
        marked = marked_encoding(judged, whole_judged)
        if marked is not None:
            return marked, False
        # UTF-16 or UTF-32 without a mark: its ASCII characters are zero bytes and one
        # other, which is also valid UTF-8, so this comes first. UTF-32 first: its zero
        # bytes would puzzle the UTF-16 count, never the other way round.
        if b"\0" in judged:
            for unit in (4, 2):
                order = byte_order(judged, unit)
                unmarked = f"utf-{8 * unit}-{order}"
                if order is not None and looks_like_text(judged, unmarked, whole_judged):
                    return unmarked, False
    if _is_utf8(body, whole):
        return "utf-8", False
    if _mostly_utf8(body, marked_utf8):
        return "utf-8", True
    detected = _best_legacy(body)
    if detected == "utf-8":  # what it calls UTF-8 is not, as seen above: mixed
        return "utf-8", True
    return detected or _FALLBACK_ENCODING, False


def single_byte(codec: str) -> bool:
    """Whether ``codec`` reads ASCII as ASCII and every other byte as one character, so that
    the engine can read a row in it by a table of 128 entries (see legacy_bytes)."""
    lower = bytes(range(0x80))
    return (
        lower.decode(codec, "replace") == lower.decode("ascii")
        and len(bytes(range(0x80, 0x100)).decode(codec, "replace")) == 0x80
    )


def legacy_bytes(codec: str) -> tuple[bytes, ...]:
    """The engine's table of a single-byte ``codec``: the UTF-8 of what it reads bytes 0x80
    to 0xFF as (empty where it leaves one undefined)."""
    upper = bytes(range(0x80, 0x100)).decode(codec, "replace")
    return tuple(b"" if char == "\ufffd" else char.encode() for char in upper)


# Every ASCII byte as a space: what is left split at spaces is the runs of other bytes (without
# loading the regular expression module, which costs a small repair more than it takes).
_ASCII_AS_SPACE = b" " * 0x80 + bytes(range(0x80, 0x100))


def legacy_table(head: bytes) -> tuple[str | None, tuple[bytes, ...] | None]:
    """For a UTF-8 file with rows in another encoding: that encoding, judged on the lines of
    ``head`` that are not UTF-8 (cp1252 when they do not tell), and the UTF-8 of what it reads
    bytes 0x80 to 0xFF as (empty where it leaves one undefined). An encoding of more than one
    byte per character is not read row by row: (None, None), and those rows' bad bytes are
    replaced as without it."""
    foreign = b"\n".join(line for line in head.splitlines() if not _is_utf8(line, True))
    # Accented letters of a Latin script stand alone among ASCII ones ("René"): cp1252,
    # without loading the detector. Words of another script are runs of letters, which
    # single-byte encodings put at 0xC0-0xFF: the detector decides those (and not stray
    # garbage, which is no script at all).
    runs = foreign.translate(_ASCII_AS_SPACE).split()
    words = sum(len(run) >= 3 and min(run) >= 0xC0 for run in runs)
    latin = words * 2 < len(runs)
    detected = _best_legacy(foreign) if foreign and not latin else None
    codec = _FALLBACK_ENCODING if detected is None or detected == "utf-8" else detected
    if not single_byte(codec):
        return None, None
    return codec, legacy_bytes(codec)


def foreign_lines(fd: int, limit: int = DETECTED_BYTES, block: int = 1 << 20) -> bytes:
    """The first ``limit`` bytes of the lines of a regular file's descriptor that are not
    valid UTF-8, each line whole, read with ``pread`` (the descriptor's offset stays put):
    what the encoding of rows of another encoding is judged on where they lie beyond the
    judged head and tail. The strict decoder finds the first bad byte of a block's whole
    lines at C speed; the scan goes on after the line that holds it."""
    found = bytearray()
    offset = 0
    carry = b""  # the start of a line the last block cut
    while len(found) < limit:
        chunk = os.pread(fd, block, offset)
        offset += len(chunk)
        data = carry + chunk
        end = len(data) if not chunk else data.rfind(b"\n") + 1
        if end == 0 and chunk:
            if len(data) < 16 * block:
                carry = data  # a line longer than a block: read on
                continue
            # Longer still: judged in parts, each cut before a character's first byte.
            end = len(data) - 1
            while end > len(data) - 4 and 0x80 <= data[end] < 0xC0:
                end -= 1
        at = 0
        while at < end:
            try:
                codecs.utf_8_decode(memoryview(data)[at:end], "strict", True)
                break
            except UnicodeDecodeError as error:
                bad = at + error.start
                begin = data.rfind(b"\n", at, bad) + 1 or at
                at = data.find(b"\n", bad, end) + 1 or end
                found += data[begin:at]
        carry = data[end:]
        if not chunk:
            break
    return bytes(found[:limit])


def _regular_file_size(source: object) -> int | None:
    if not isinstance(source, int):
        return None
    try:
        info = os.fstat(source)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def read_up_to(read: Callable[[int], bytes], size: int) -> bytes:
    """Up to ``size`` bytes: fewer only at the end of the data (a pipe gives what it has)."""
    data = b""
    while len(data) < size:
        more = read(size - len(data))
        if not more:
            break
        data += more
    return data


class Source:
    """The engine's view of a source: a descriptor or an object with readinto, the first
    bytes already taken from it, and how to name it."""

    def __init__(self, source: object, encoding: str | None) -> None:
        self.name = describe(source)
        self._owned_fd: int | None = None
        self.decoder: DecodingReader | None = None
        if encoding is not None:
            encoding = text_codec(encoding)
        if is_path(source):
            fd = os.open(os.fspath(source), os.O_RDONLY | os.O_CLOEXEC)
            self._owned_fd = fd
            try:
                if stat.S_ISDIR(os.fstat(fd).st_mode):
                    raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
            except BaseException:
                self.close()
                raise
            self.engine_source: Any = fd
            read = lambda size: os.read(fd, size)  # noqa: E731
        elif isinstance(source, int) and not isinstance(source, bool):
            # An open descriptor (standard input, say) is read as it is and left open.
            descriptor = source
            self.engine_source = descriptor
            read = lambda size: os.read(descriptor, size)  # noqa: E731
        elif isinstance(source, io.TextIOBase):
            raise TypeError(_TEXT_SOURCE)
        elif hasattr(source, "readinto") or hasattr(source, "read"):
            self.engine_source = source
            read = source.read if hasattr(source, "read") else None
        else:
            raise TypeError(
                "source must be a path, a file descriptor or a readable binary file object, "
                f"not {type(source).__name__}"
            )
        self._total = _regular_file_size(self.engine_source)
        self.prefix = b""
        # The codec the engine's bytes were decoded from ("utf-8": read as they are).
        self.encoding = "utf-8"
        # A UTF-8 file with rows in another encoding: that one, and what the engine needs to
        # read those rows in it (see legacy_table).
        self.other_encoding: str | None = None
        self.legacy: tuple[bytes, ...] | None = None
        # Whether ``legacy`` is the file's own encoding, which the engine decodes row by row
        # (rows of UTF-8 among it then being the other encoding).
        self.legacy_file = False
        try:
            self._choose_decoder(read, encoding)
        except BaseException:
            self.close()
            raise

    def _head(self, read: Callable[[int], bytes], size: int) -> bytes:
        """The first ``size`` bytes (fewer at the end of the data). A regular file's
        descriptor is looked at without moving its offset, so that the engine still reads
        it itself; other sources are read, and what was read goes to the engine first."""
        if self._total is not None and self.decoder is None:
            fd = self.engine_source
            return os.pread(fd, size, os.lseek(fd, 0, os.SEEK_CUR))
        if len(self.prefix) < size:
            self.prefix += self._take(read, size - len(self.prefix))
        return self.prefix[:size]

    def _tail_lines(self, head_size: int) -> bytes:
        """A regular file's whole lines in its last ``DETECTED_BYTES`` past its first
        ``head_size``; nothing for other sources. The last line counts only with its line
        break: a file cut off inside a character is no other encoding."""
        if self._total is None or self.decoder is not None:
            return b""
        fd = self.engine_source
        start = os.lseek(fd, 0, os.SEEK_CUR)
        size = self._total - start
        if size <= head_size:
            return b""
        offset = max(head_size, size - DETECTED_BYTES)
        lines = os.pread(fd, size - offset, start + offset).split(b"\n")[1:-1]
        return b"\n".join(lines) + b"\n" if lines else b""

    def _choose_decoder(self, read: Callable[[int], bytes] | None, encoding: str | None) -> None:
        """Decides how the bytes reach the engine: as they are (UTF-8), or decoded first;
        and refuses a binary file."""
        if read is None:
            if encoding is None or encoding in _RAW_UTF8:
                return  # nothing to look at without taking it from the engine
            raise TypeError("a source in another encoding needs a read() method")
        head = self._head(read, DETECTED_BYTES if encoding == "auto" else SIGNATURE_BYTES)
        kind = binary_kind(head)
        if kind is not None:
            raise NotTextError(self.name, kind)
        skip_mark = False
        if encoding == "auto":
            # Rows appended by another program lie at the end: a regular file's last lines
            # are judged with its head, each cut to whole lines (a character cut in two where
            # they meet would read as another encoding).
            tail = self._tail_lines(len(head))
            judged = head[: head.rfind(b"\n") + 1] + tail if tail and b"\n" in head else head
            encoding, mixed = detect_encoding(judged, len(head) < DETECTED_BYTES)
            if mixed:
                self.other_encoding, self.legacy = legacy_table(judged)
            elif encoding != "utf-8" and single_byte(encoding):
                # A file in a single-byte legacy encoding goes to the engine as it is, which
                # reads each row in the encoding, and rows of UTF-8 among them (appended by
                # a program that writes UTF-8) as they are: decoded whole, those would turn
                # into mojibake ("KÃ¶ln") without a word.
                self.encoding, self.legacy, self.legacy_file = encoding, legacy_bytes(encoding), True
                self.other_encoding = "utf-8"
                return
            skip_mark = encoding != "utf-8" and head.startswith(codecs.BOM_UTF8)
        if encoding in _RAW_UTF8:
            return
        if encoding is None:
            # A UTF-16 or UTF-32 byte-order mark is looked for in the first bytes, and
            # trusted only when what follows reads as text in that encoding; otherwise the
            # bytes go to the engine first, as UTF-8 that may be damaged.
            if head[:2] in (b"\xff\xfe", b"\xfe\xff", b"\x00\x00"):
                head = self._head(read, _JUDGED_BYTES)
                encoding = marked_encoding(head, len(head) < _JUDGED_BYTES)
            if encoding is None:
                return
        elif encoding in _UNIT_BYTES:
            encoding = self._byte_order_of(read, encoding)
        if skip_mark:
            if self.prefix:  # the head was taken from the source: the mark is in it
                self.prefix = self.prefix[len(codecs.BOM_UTF8) :]
            else:  # a regular file, looked at in place
                self._take(read, len(codecs.BOM_UTF8))
        self.decoder = DecodingReader(read, encoding, self.prefix, self.name, skip_mark)
        self.encoding = encoding
        self.prefix = b""
        self.engine_source = self.decoder

    @staticmethod
    def _take(read: Callable[[int], bytes], size: int) -> bytes:
        data = read(size)
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(_TEXT_SOURCE)
        if data and len(data) < size:
            data += read_up_to(read, size - len(data))
        return bytes(data)

    def _byte_order_of(self, read: Callable[[int], bytes], encoding: str) -> str:
        """utf-16 or utf-32 as the -le or -be codec: by the byte-order mark, or, without one,
        by where the zero bytes fall."""
        head = self._head(read, _JUDGED_BYTES)
        for mark, ordered in _BYTE_ORDER_MARKS:
            if ordered.startswith(encoding) and head.startswith(mark):
                return ordered
        order = byte_order(head, _UNIT_BYTES[encoding])
        if order is None and len(head) < _UNIT_BYTES[encoding]:
            order = "le"  # not one character: the order changes nothing
        if order is None:
            raise DecodingError(
                f"cannot tell the byte order of {self.name!r}: it has no byte-order mark; "
                f"give the encoding as {encoding}-le or {encoding}-be"
            )
        return f"{encoding}-{order}"

    @property
    def decoded(self) -> bool:
        """Whether the engine reads text decoded from another encoding (by the decoder here,
        or row by row itself)."""
        return self.decoder is not None or self.legacy_file

    def bytes_read(self, engine_bytes: int) -> int:
        """What was read from the source when the engine has read `engine_bytes`."""
        return self.decoder.raw_bytes_read if self.decoder is not None else engine_bytes

    def total(self) -> int | None:
        """The source's size when it is a regular file."""
        return self._total

    def close(self) -> None:
        if self._owned_fd is not None:
            fd, self._owned_fd = self._owned_fd, None
            os.close(fd)


class SameFileError(ValueError):
    """Two of the files one repair reads and writes are one file, however they are spelled
    (a relative and an absolute path, a symbolic or hard link, an open file object): writing
    one would lose what the other holds. Raised before any file is written."""


_STANDARD_NAMES = {"/dev/stdin": 0, "/dev/stdout": 1, "/dev/stderr": 2}


def descriptor_of(path: PathLike) -> int | None:
    """The descriptor a name such as /dev/stdout, /dev/fd/3 or /proc/self/fd/3 stands for.

    Such a name means "that descriptor", not the file behind it: resolved, it would be a
    file renamed over (``>> all.csv`` would lose all.csv) or a pipe that has no name."""
    name = os.path.abspath(os.fsdecode(os.fspath(path)))
    if name in _STANDARD_NAMES:
        return _STANDARD_NAMES[name]
    folder, number = os.path.split(name)
    if folder in ("/dev/fd", "/proc/self/fd", "/proc/thread-self/fd", f"/proc/{os.getpid()}/fd"):
        if number.isascii() and number.isdigit():
            return int(number)
    return None


def _file_keys(value: object, folders: bool = False) -> set[tuple[object, ...]]:
    """What names the regular file (or, with ``folders``, the folder) a source or target is,
    however it is spelled: its resolved path (so a file not made yet counts too) and its
    device and inode. Nothing for devices, FIFOs and the like, which may well be named twice
    (/dev/null)."""
    path: str | None = None
    if is_path(value):
        descriptor = descriptor_of(value)
        if descriptor is None:
            path = os.fsdecode(os.path.realpath(os.fspath(value)))
        else:
            value = descriptor
    try:
        if path is not None:
            info = os.stat(path)
        elif isinstance(value, int) and not isinstance(value, bool):
            info = os.fstat(value)
        elif hasattr(value, "fileno"):
            info = os.fstat(value.fileno())
        else:
            return set()
    except FileNotFoundError:
        return {("path", path)} if path is not None else set()
    except (OSError, ValueError):  # a closed file, or a file object without a descriptor
        return set()
    if not stat.S_ISREG(info.st_mode) and not (folders and stat.S_ISDIR(info.st_mode)):
        return set()
    keys: set[tuple[object, ...]] = {("inode", info.st_dev, info.st_ino)}
    if path is not None:
        keys.add(("path", path))
    return keys


def refuse_same_file(
    source: object,
    outputs: list[tuple[str, object]],
    in_place: str | None = None,
    explain: Callable[[str, object, str | None], str] | None = None,
    folders: bool = False,
) -> None:
    """Raises SameFileError when an output is the source or an output before it.

    ``outputs`` are (role, value) pairs. The output of role ``in_place`` may be the source
    when it is a path that is renamed over (a repair in place); written directly (a
    descriptor, a file object, /dev/stdout) it would overwrite what is still to be read.
    ``explain(role, value, other)`` words the message, ``other`` being the earlier output's
    role, or None for the source. With ``folders``, the values are folders."""
    source_keys = _file_keys(source, folders)
    seen: list[tuple[set[tuple[object, ...]], str]] = []
    for role, value in outputs:
        if isinstance(value, Target):
            value = value.given
        keys = _file_keys(value, folders)
        if not keys:
            continue
        renamed_over = is_path(value) and descriptor_of(value) is None
        clash = bool(keys & source_keys) and not (role == in_place and renamed_over)
        other = None if clash else next((earlier for earlier_keys, earlier in seen if keys & earlier_keys), None)
        if clash or other is not None:
            if explain is not None:
                raise SameFileError(explain(role, value, other))
            raise SameFileError(f"{role} names the same file as {other or 'the source'}: {describe(value)}")
        seen.append((keys, role))


def _naming(error: OSError, name: str) -> OSError:
    # A name relative to the target's folder, or none at all, means nothing to the caller.
    error.filename = name
    error.filename2 = None
    return error


def _with_tmpfile() -> bool:
    """Whether temporary files can be made without a name and linked in later: O_TMPFILE,
    and /proc/self/fd to link them through."""
    return hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd")


# O_PATH: a folder that may be written to but not listed is still a place for the file.
_FOLDER_FLAGS = getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY | os.O_CLOEXEC


class Target:
    """A target being written: a path (atomically where it can be), a descriptor or a file
    object.

    A path of a regular file (or of one not made yet) is written to a temporary file in the
    same folder. On Linux that file has no name (O_TMPFILE), so nothing is left behind
    however the process ends; elsewhere it has a short hidden one. ``finish`` completes it
    (a nameless file gets its hidden name); ``commit`` renames it over the target; after
    ``abort`` the target is as it was. Apart, the two steps let several outputs be finished
    first and then renamed together (``all_or_nothing``).
    """

    def __init__(self, target: object) -> None:
        self.name = describe(target)
        self.given = target
        self._fd: int | None = None  # a descriptor this object opened and closes
        self._folder: int | None = None  # the target's folder, while a temporary file exists
        self._base = ""  # the target's name in it
        self._nameless = False  # the temporary file is an O_TMPFILE one, not linked in yet
        self._temporary: str | None = None  # the temporary file's name in the folder
        self.engine_target: Any
        if isinstance(target, int) and not isinstance(target, bool):
            # An open descriptor (standard output, say) is written as it is and left open.
            self.engine_target = target
            return
        if not is_path(target):
            if not hasattr(target, "write"):
                raise TypeError(
                    f"target must be a path, a file descriptor or a writable binary file object, "
                    f"not {type(target).__name__}"
                )
            self.engine_target = target
            return
        descriptor = descriptor_of(target)
        if descriptor is not None:
            # The same open file as the descriptor (its offset, its O_APPEND), closed apart.
            try:
                self._fd = os.dup(descriptor)
            except OSError as error:
                raise _naming(error, self.name)
            self.engine_target = self._fd
            return
        # A symbolic link is followed: the file it names is replaced and the link stays.
        path = os.fsdecode(os.path.realpath(os.fspath(target)))
        try:
            info: os.stat_result | None = os.stat(path)
        except FileNotFoundError:
            info = None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
        if info is not None and not stat.S_ISREG(info.st_mode):
            # A device, FIFO, terminal or socket is written as it is: renaming a file over
            # a device node would be a disaster.
            self._fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
            self.engine_target = self._fd
            return
        if info is not None and info.st_nlink > 1:
            # Renamed over, the file's other names would keep the old content; rewritten in
            # place, a failure half-way would lose both. The choice is the caller's.
            raise OSError(
                errno.EMLINK,
                f"it has {info.st_nlink} hard links, which replacing it would break "
                f"(the other names would keep the old content)",
                self.name,
            )
        folder, self._base = os.path.split(path)
        try:
            self._folder = os.open(folder or os.sep, _FOLDER_FLAGS)
            self._fd = self._open_temporary()
            if info is not None:
                # The replacement belongs to whom the file belonged (where this process may
                # say so: as root, or to a group it is in), then gets its permission bits
                # (a change of owner clears set-user-ID bits).
                try:
                    os.fchown(self._fd, info.st_uid, info.st_gid)
                except PermissionError:
                    pass
                os.fchmod(self._fd, stat.S_IMODE(info.st_mode))
        except OSError as error:
            self.abort()
            raise _naming(error, self.name)
        except BaseException:
            self.abort()
            raise
        self.engine_target = self._fd

    def _open_temporary(self) -> int:
        # Created as a new file would be (0o666 less the umask).
        flags = os.O_WRONLY | os.O_CLOEXEC
        if _with_tmpfile():
            try:
                fd = os.open(".", flags | os.O_TMPFILE, 0o666, dir_fd=self._folder)
            except OSError as error:
                # The file system (or an older kernel) cannot make nameless files.
                if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                    raise
            else:
                self._nameless = True
                return fd
        made: int = self._named(lambda name: os.open(name, flags | os.O_CREAT | os.O_EXCL, 0o666, dir_fd=self._folder))
        return made

    def _named(self, make: Callable[[str], Any]) -> Any:
        """Gives the temporary file a new short hidden name in the target's folder: short, so
        that a target whose name is as long as a name may be still has one."""
        for attempt in range(100):
            candidate = f".{os.getpid()}-{attempt}.rowmender-tmp"
            try:
                made = make(candidate)
            except FileExistsError:
                continue
            self._temporary = candidate
            return made
        raise FileExistsError(errno.EEXIST, "cannot make a temporary file", self.name)

    @property
    def rewindable(self) -> bool:
        """Whether the target is a temporary file of its own, which ``rewind`` may empty."""
        return self._fd is not None and (self._nameless or self._temporary is not None)

    def rewind(self) -> None:
        """Empties the temporary file, to be written again from its start."""
        assert self._fd is not None
        try:
            os.ftruncate(self._fd, 0)
            os.lseek(self._fd, 0, os.SEEK_SET)
        except OSError as error:
            raise _naming(error, self.name)

    def finish(self) -> None:
        """Completes the written file; only the rename is left, which ``commit`` does."""
        if self._fd is None:
            return
        fd = self._fd
        try:
            if self._nameless:
                # linkat(AT_SYMLINK_FOLLOW) through /proc: a destination folder descriptor
                # makes Python call linkat, plain link() would not follow the descriptor.
                self._named(lambda name: os.link(f"/proc/self/fd/{fd}", name, dst_dir_fd=self._folder))
                self._nameless = False
            self._fd = None
            # Some file systems (NFS) report a failed write only here.
            os.close(fd)
        except OSError as error:
            raise _naming(error, self.name)

    def commit(self) -> None:
        """Puts the written file in place."""
        self.finish()
        if self._temporary is not None:
            try:
                os.replace(self._temporary, self._base, src_dir_fd=self._folder, dst_dir_fd=self._folder)
            except OSError as error:
                raise _naming(error, self.name)
            self._temporary = None
        self._close_folder()

    def abort(self) -> None:
        """Leaves the target as it was: the temporary file goes."""
        if self._fd is not None:
            fd, self._fd = self._fd, None
            try:
                os.close(fd)
            except OSError:
                pass
        if self._temporary is not None:
            temporary, self._temporary = self._temporary, None
            try:
                os.unlink(temporary, dir_fd=self._folder)
            except OSError:
                pass
        self._close_folder()

    def _close_folder(self) -> None:
        if self._folder is not None:
            folder, self._folder = self._folder, None
            os.close(folder)


class all_or_nothing:
    """Outputs added to the list are put in place together when the block succeeds, and all
    dropped when it fails.

    Two steps, so that an error (a full disk, a compressor's last block) cannot leave some
    outputs new and others old: first every output is finished (compressors closed, data
    written, nameless files linked in under a hidden name); only then are they renamed over
    their targets, in the order they were added. Add the side files (quarantine, change log)
    before the repaired file: they hold what the repaired file no longer has, so they must be
    in place first should a rename fail. A failure before the renames leaves every old file
    as it was and no temporary file behind.
    """

    def __init__(self) -> None:
        self._outputs: list[Committable] = []

    def __enter__(self) -> list[Committable]:
        return self._outputs

    def __exit__(self, kind: object, error: object, traceback: object) -> None:
        outputs = self._outputs
        if kind is not None:
            for output in outputs:
                output.abort()
            return
        try:
            for output in outputs:
                output.finish()
            for output in outputs:
                output.commit()
        except BaseException:
            # The outputs not yet in place go; those in place stay (their abort does nothing
            # once committed).
            for every in outputs:
                every.abort()
            raise
