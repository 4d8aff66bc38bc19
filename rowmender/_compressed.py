"""Inputs as the command line takes them: a path or standard input, compressed or not.

Compression is recognised by the first bytes, never by the name: a .csv that is really
gzip data, or gzip data arriving on a pipe, must not be "repaired" into rows of U+FFFD.
Plain files keep the engine's fast path (it reads the descriptor itself); compressed data
and pipes go through a small reader that the engine calls for each block.
"""

from __future__ import annotations

import errno
import io
import os
import stat

from ._files import read_up_to
from ._report import RepairReport

# Not imported here: typing (only type checkers need it) and the decompressors (only
# compressed inputs do); a command that repairs a small plain file starts sooner.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

STDIN_NAME = "standard input"
SAMPLE_BYTES = 64 * 1024

# The longest signature below, with bzip2's first block marker: "BZh" alone is too likely
# as the start of a text file, the digit and the 48-bit block or end-of-stream magic are not.
_SIGNATURE_BYTES = 10
_BZIP2_MARKERS = (b"\x31\x41\x59\x26\x53\x59", b"\x17\x72\x45\x38\x50\x90")


class CompressionError(Exception):
    """Compressed data that cannot be read or written here; the message names the file and
    says what to do."""


def quoted(name: str) -> str:
    """A file's name as messages show it: quoted, with a byte the system's encoding cannot
    read shown as the byte it is (\\xff), not as the surrogate Python holds it as (\\udcff)."""
    if name == STDIN_NAME:
        return name
    shown = repr(name)
    if "\\udc" in shown:
        import re

        # Preceded by an even number of backslashes: an escape of repr's, not a backslash
        # of the name's followed by "udc".
        shown = re.sub(r"(?<!\\)((?:\\\\)*)\\udc([89a-f][0-9a-f])", r"\1\\x\2", shown)
    return shown


def zstd_module() -> Any:
    """The zstandard module, when installed (Debian's python3-zstandard)."""
    try:
        import zstandard
    except ImportError:
        return None
    return zstandard


def compression_of(head: bytes) -> str | None:
    """The compression the first bytes of a file announce, or None for plain data."""
    if head.startswith(b"\x1f\x8b"):
        return "gzip"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    if head[:3] == b"BZh" and head[3:4].isdigit() and head[3:4] != b"0" and head[4:10] in _BZIP2_MARKERS:
        return "bzip2"
    return None


class _Reader(io.RawIOBase):
    """A reader the engine calls for each block; keeps the first bytes it gives, for the
    hints and ``sniff`` to judge after the data has gone by."""

    def __init__(self, name: str) -> None:
        super().__init__()
        self._name = name
        self.recorded = bytearray()
        self.at_end = False

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        n = self._fill(view)
        if n == 0 and len(view) > 0:
            self.at_end = True
        room = SAMPLE_BYTES - len(self.recorded)
        if room > 0:
            self.recorded += view[: min(n, room)]
        return n

    def _fill(self, view: memoryview) -> int:
        raise NotImplementedError


class _DescriptorReader(_Reader):
    """Bytes already taken from a descriptor, then the rest of it; counts what it read."""

    def __init__(self, fd: int, head: bytes, name: str) -> None:
        super().__init__(name)
        self._fd = fd
        self._head = head
        self.consumed = len(head)

    def _fill(self, view: memoryview) -> int:
        if self._head:
            n = min(len(view), len(self._head))
            view[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        try:
            n = os.readv(self._fd, [view])
        except OSError as error:
            error.filename = error.filename or self._name
            raise
        self.consumed += n
        return n


class _Decompressed(_Reader):
    """Decompressed data, one block per call; a stream cut short ends the data.

    ``read1`` takes at most one read from the layer below, so a cut-off stream gives up
    every byte it held before it reports the end it lacks: a truncated download is the
    commonest damage of a compressed file, and its rows are what the user came for.
    """

    def __init__(self, stream: Any, compression: str, name: str, frames: _ZstdFrames | None = None) -> None:
        import lzma
        import zlib

        super().__init__(name)
        self._data_errors = (lzma.LZMAError, zlib.error)
        self._stream = stream
        self._compression = compression
        self._frames = frames
        self.truncated = False

    def _fill(self, view: memoryview) -> int:
        try:
            data = self._stream.read1(len(view))
        except EOFError:
            self.truncated = True
            return 0
        except OSError as error:
            if error.errno is not None:  # the system's error reading the file, not the data's
                error.filename = error.filename or self._name
                raise
            raise self._damaged(error) from None
        except self._data_errors as error:
            raise self._damaged(error) from None
        except Exception as error:
            zstandard = zstd_module()
            if zstandard is not None and isinstance(error, zstandard.ZstdError):
                raise self._damaged(error) from None
            raise
        if not data and len(view) and self._frames is not None and not self._frames.at_frame_end():
            self.truncated = True
        view[: len(data)] = data
        return len(data)

    def _damaged(self, error: Exception) -> CompressionError:
        return CompressionError(
            f"cannot read {quoted(self._name)}: its {self._compression} data is damaged ({error}); "
            f"to repair what can be decompressed, decompress it with another tool first"
        )


_ZSTD_FRAME = 0xFD2FB528
_ZSTD_SKIPPABLE = 0x184D2A50  # the first of 16 magic numbers, which differ in the low 4 bits
_FCS_BYTES = (0, 2, 4, 8)
_DICTIONARY_ID_BYTES = (0, 1, 2, 4)


class _ZstdFrames:
    """The zstd data on its way to the decompressor, followed through the headers of its
    frames and blocks (their sizes, never their content), so that the end of the data can
    be told from the end of a frame: zstandard's stream reader takes data cut off in the
    middle of a frame for its end, without a word."""

    def __init__(self, raw: Any) -> None:
        self._raw = raw
        self._held = bytearray()  # the bytes of the header being read
        self._need = 4  # the length of that header
        self._state = "magic"
        self._skip = 0  # the bytes of a block (or a skippable frame) still to go by
        self._checksum = False
        self._lost = False  # not zstd data after all: the decompressor says so

    def read(self, size: int = -1) -> bytes:
        data = self._raw.read(size)
        if data and not self._lost:
            self._follow(memoryview(data))
        return data  # type: ignore[no-any-return]

    def at_frame_end(self) -> bool:
        return self._lost or (self._state == "magic" and not self._held and not self._skip)

    def _follow(self, data: memoryview) -> None:
        at = 0
        while at < len(data) and not self._lost:
            if self._skip:
                step = min(self._skip, len(data) - at)
                self._skip -= step
                at += step
                continue
            step = min(self._need - len(self._held), len(data) - at)
            self._held += data[at : at + step]
            at += step
            if len(self._held) == self._need:
                header, self._held = int.from_bytes(self._held, "little"), bytearray()
                self._advance(header)

    def _advance(self, header: int) -> None:
        state, self._state, self._need = self._state, "block", 3
        if state == "magic":
            if header == _ZSTD_FRAME:
                self._state, self._need = "descriptor", 1
            elif header & ~0xF == _ZSTD_SKIPPABLE:
                self._state, self._need = "skippable", 4
            else:
                self._lost = True
        elif state == "descriptor":
            single_segment = header >> 5 & 1
            self._checksum = bool(header >> 2 & 1)
            fcs = _FCS_BYTES[header >> 6] or single_segment
            rest = (1 - single_segment) + _DICTIONARY_ID_BYTES[header & 3] + fcs
            if rest:
                self._state, self._need = "frame header", rest
        elif state == "block":
            kind, size = header >> 1 & 3, header >> 3
            self._skip = 1 if kind == 1 else size  # an RLE block holds its one byte
            if header & 1:  # the frame's last block
                self._state, self._need = ("checksum", 4) if self._checksum else ("magic", 4)
        elif state == "skippable":
            self._skip = header
            self._state, self._need = "magic", 4
        elif state == "checksum":
            self._state, self._need = "magic", 4


def _decompressor(compression: str, raw: Any, name: str) -> Any:
    if compression == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")
    if compression == "bzip2":
        import bz2

        return bz2.BZ2File(raw)
    if compression == "xz":
        import lzma

        return lzma.LZMAFile(raw)
    zstandard = zstd_module()
    if zstandard is None:
        raise CompressionError(
            f"cannot read {quoted(name)}: it is zstd-compressed; install python3-zstandard or decompress it first"
        )
    return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True)


class Input:
    """One input of the command line, opened, with what ``repair`` is to read from it.

    ``source`` is a path, a descriptor or a file object for ``rowmender.repair``;
    ``position(engine_bytes)`` and ``size`` drive the progress bar in bytes of the file as
    it lies on disk (compressed bytes for a compressed file), since that is what the size
    and the time left are measured in. Use it as a context manager.
    """

    def __init__(self, name: str) -> None:
        self.name = STDIN_NAME if name == "-" else name
        self._path = None if name == "-" else name
        self._fd = 0 if name == "-" else os.open(name, os.O_RDONLY | os.O_CLOEXEC)
        self._raw: _DescriptorReader | None = None
        self._decompressed: _Decompressed | None = None
        try:
            self._open()
        except OSError as error:
            self.close()
            error.filename = error.filename or self.name  # standard input closed, say
            raise
        except BaseException:
            self.close()
            raise

    def _open(self) -> None:
        info = os.fstat(self._fd)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
        self.identity = (info.st_dev, info.st_ino) if stat.S_ISREG(info.st_mode) else None
        start = self._offset() if stat.S_ISREG(info.st_mode) else None
        if start is not None:
            # A regular file is looked at without moving its offset, so that a plain one
            # can go to the engine as it is.
            head = os.pread(self._fd, _SIGNATURE_BYTES, start)
            self.size: int | None = max(info.st_size - start, 0)
        else:
            head = read_up_to(lambda n: os.read(self._fd, n), _SIGNATURE_BYTES)
            self.size = None
        self.compression = compression_of(head)
        self._start = start
        if self.compression is None and start is not None:
            self.source: Any = self._path if self._path is not None else self._fd
            return
        self._raw = _DescriptorReader(self._fd, b"" if start is not None else head, self.name)
        if self.compression is None:
            self.source = self._raw
            return
        frames = _ZstdFrames(self._raw) if self.compression == "zstd" else None
        stream = _decompressor(self.compression, frames or self._raw, self.name)
        self._decompressed = _Decompressed(stream, self.compression, self.name, frames)
        self.source = self._decompressed

    def _offset(self) -> int | None:
        try:
            return os.lseek(self._fd, 0, os.SEEK_CUR)
        except OSError:
            return None

    @property
    def truncated(self) -> bool:
        """Whether the compressed data ended before its end marker (a cut-off file)."""
        return self._decompressed is not None and self._decompressed.truncated

    def finished(self, report: RepairReport) -> RepairReport:
        """The report of a repair of this input, saying whether the input was cut off."""
        if not self.truncated:
            return report
        return RepairReport._from_counts(report.to_dict(), input_cut_off=True)

    def position(self, engine_bytes: int) -> int:
        return self._raw.consumed if self._raw is not None and self.compression is not None else engine_bytes

    def sample(self) -> bytes:
        """The first bytes of the data, up to SAMPLE_BYTES: what ``sniff`` judges.

        Before the repair it reads them (the source is not used again); after it, it gives
        what went by, never waiting on a terminal or pipe that has already ended."""
        if self._start is not None and self.compression is None:
            return os.pread(self._fd, SAMPLE_BYTES, self._start)
        reader = self._decompressed if self._decompressed is not None else self._raw
        assert reader is not None
        while len(reader.recorded) < SAMPLE_BYTES and not reader.at_end:
            reader.read(SAMPLE_BYTES - len(reader.recorded))
        return bytes(reader.recorded)

    def line_number_of(self, line: bytes, block: int = 1 << 20) -> int | None:
        """The number of the first line of a plain regular file that is ``line`` (with LF or
        CR LF after it), past the first; None when there is none or the input is no such
        file. Read a block at a time, never mapped: a file cut short meanwhile only ends the
        search."""
        if self._start is None or self.compression is not None:
            return None
        wanted = b"\n" + line
        offset, lines, carry = self._start, 1, b""
        while True:
            chunk = os.pread(self._fd, block, offset)
            offset += len(chunk)
            data = carry + chunk
            at = data.find(wanted)
            while at >= 0:
                after = data[at + len(wanted) : at + len(wanted) + 2]
                if after[:1] == b"\n" or after == b"\r\n" or (not chunk and not after):
                    return lines + data.count(b"\n", 0, at) + 1
                if len(after) < 2 and chunk:
                    break  # its end is in the next block
                at = data.find(wanted, at + 1)
            if not chunk:
                return None
            # Keep enough to find a line that the block's end cut.
            keep = len(data) - (at if at >= 0 else max(len(data) - len(wanted) - 1, 0))
            lines += data.count(b"\n", 0, len(data) - keep)
            carry = data[len(data) - keep :]

    def close(self) -> None:
        if self._path is not None and self._fd >= 0:
            fd, self._fd = self._fd, -1
            os.close(fd)

    def __enter__(self) -> Input:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
