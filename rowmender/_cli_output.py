"""The command line's outputs: a path, standard output, or a compressed file.

A name ending in .gz, .bz2 or .xz (.zst where python3-zstandard is installed) is written
compressed. It keeps the guarantee plain paths have: the compressed bytes go to a temporary
file beside the target, which replaces the target only once the repair and the compressor
have both finished, so an error or Ctrl-C leaves an existing file as it was.
"""

from __future__ import annotations

import os


from ._compressed import CompressionError, quoted, zstd_module
from ._files import Target

# Not imported here: typing (only type checkers need it) and the compressors (only
# compressed outputs do).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

STDOUT_NAME = "standard output"

_SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}


def compression_for(name: str) -> str | None:
    """The compression an output's name asks for, or None."""
    return _SUFFIXES.get(os.path.splitext(name)[1].lower())


# Compressors write many small pieces; the file gets them in large writes.
_BUFFER_BYTES = 1 << 20


class _FileWriter:
    """The compressed bytes, written to the temporary file's descriptor in large pieces.

    Once the output is dropped it writes nothing more: a compressor collected later still
    writes its end marker on closing, and the descriptor may by then belong to another file.
    """

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._pending = bytearray()

    def write(self, data: Any) -> int:
        self._pending += data
        if len(self._pending) >= _BUFFER_BYTES:
            self.flush()
        return len(data)

    def flush(self) -> None:
        written = 0
        with memoryview(self._pending) as pending:
            while written < len(pending) and self._fd >= 0:
                written += os.write(self._fd, pending[written:])
        del self._pending[:written]

    def drop(self) -> None:
        self._fd = -1
        self._pending.clear()


def _naming(error: OSError, name: str) -> OSError:
    """The error, naming the file it concerns (a write to a descriptor names none)."""
    error.filename = error.filename or name
    return error


class _NamedWriter:
    """What the engine writes to: the compressor, with errors that name the file."""

    def __init__(self, compressor: Any, name: str) -> None:
        self._compressor = compressor
        self.name = name

    def write(self, data: bytes) -> int:
        try:
            self._compressor.write(data)
        except OSError as error:
            raise _naming(error, self.name)
        return len(data)


def _compressor(compression: str, raw: Any, name: str) -> Any:
    # The levels are the command-line tools' defaults: the gzip module's own (9) is several
    # times slower than gzip's 6 for a few per cent.
    if compression == "gzip":
        import gzip

        # The name inside the gzip header is the decompressed file's, as gzip itself writes.
        inner = os.path.basename(name)[: -len(".gz")]
        return gzip.GzipFile(filename=inner, mode="wb", fileobj=raw, compresslevel=6)
    if compression == "bzip2":
        import bz2

        return bz2.BZ2File(raw, mode="wb", compresslevel=9)
    if compression == "xz":
        import lzma

        return lzma.LZMAFile(raw, mode="wb", preset=6)
    zstandard = zstd_module()
    assert zstandard is not None, "checked by Output"
    return zstandard.ZstdCompressor(level=3).stream_writer(raw, closefd=False)


class Output:
    """One output of the command line: ``target`` goes to ``rowmender.repair``. A file is
    written to a temporary file (see ``Target``); ``finish`` completes it (the compressor's
    last block and end marker included), ``commit`` puts it in place, ``abort`` drops it, so
    that ``all_or_nothing`` commits every output of a repair together."""

    def __init__(self, name: str) -> None:
        self.name = STDOUT_NAME if name == "-" else name
        self.is_stdout = name == "-"
        self.compression = None if self.is_stdout else compression_for(name)
        self._file: Target | None = None
        self._writer: _FileWriter | None = None
        self._compressor: Any = None
        if self.is_stdout:
            self.target: Any = 1
            return
        if self.compression == "zstd" and zstd_module() is None:
            raise CompressionError(
                f"cannot write {quoted(name)}: writing zstd needs the zstandard module; "
                f"install python3-zstandard or choose another name"
            )
        # Opened here rather than by repair(), which would put a plain file in place as soon
        # as it returned, before the other outputs are complete.
        self._file = Target(name)
        if self.compression is None:
            self.target = self._file
            return
        try:
            self._writer = _FileWriter(self._file.engine_target)
            self._compressor = _compressor(self.compression, self._writer, name)  # gzip writes its header here
        except OSError as error:
            self.abort()
            raise _naming(error, name)
        except BaseException:
            self.abort()
            raise
        self.target = _NamedWriter(self._compressor, name)

    def finish(self) -> None:
        if self._file is None:
            return
        if self._compressor is not None:
            try:
                compressor, self._compressor = self._compressor, None
                compressor.close()  # the compressor's last block and its end marker
                assert self._writer is not None
                self._writer.flush()
            except OSError as error:
                raise _naming(error, self.name)
        self._file.finish()

    def commit(self) -> None:
        if self._file is None:
            return
        self.finish()
        self._file.commit()
        self._file = None

    def abort(self) -> None:
        if self._writer is not None:
            self._writer.drop()
        if self._file is not None:
            file, self._file = self._file, None
            file.abort()
