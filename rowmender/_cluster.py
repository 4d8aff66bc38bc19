"""One large file repaired on a Dask cluster: ``repair(source, target, client=...)``.

The engine here reads the head (the shape and the cleanup profile), cuts the file into
pieces at line starts and hands the pieces out; each worker walks its piece as if a row began
there and sends back what it found; the engine keeps a piece where the rows before it really
end at its start and walks it again here where they do not, writing every output in input
order. The outputs are those of a repair on one thread, byte for byte."""

from __future__ import annotations

import collections
import contextlib
import logging
import os
import threading
from collections.abc import Iterator
from typing import Any

from . import _rowmender_backend as backend
from ._files import is_path
from ._urls import UrlOutput, in_this_process, is_url, naming, optional_module

_log = logging.getLogger("rowmender")

# Bytes of the file per piece: enough work per task that the cluster's own cost per task
# (a few milliseconds) is small beside it, few enough that a worker holds a piece and its
# output easily. ROWMENDER_PIECE_BYTES sets it, as for threads.
_PIECE_BYTES = 64 << 20


def _piece_bytes() -> int:
    value = os.environ.get("ROWMENDER_PIECE_BYTES", "")
    return int(value) if value.isdigit() and int(value) > 0 else _PIECE_BYTES


def _read_local(fd: int, offset: int, size: int) -> bytes:
    parts = []
    while size > 0:
        part = os.pread(fd, size, offset)
        if not part:
            break
        parts.append(part)
        offset += len(part)
        size -= len(part)
    return b"".join(parts)


# Each worker thread reads its pieces of a local file into one buffer, kept from piece to
# piece: a new one for each would cost a page fault per 4 KiB of every piece.
_buffers = threading.local()


def _read_range(location: str, offset: int, size: int) -> bytes | memoryview:
    """A worker reads its piece itself: from a shared file system, or an fsspec URL."""
    if is_url(location):
        fsspec = optional_module("fsspec", f"reading {location}")
        with naming(location):
            filesystem, path = fsspec.core.url_to_fs(location)
            data: bytes = filesystem.cat_file(path, start=offset, end=offset + size)
            return data
    buffer = getattr(_buffers, "buffer", None)
    if buffer is None or len(buffer) < size:
        buffer = _buffers.buffer = bytearray(size)
    view = memoryview(buffer)
    done = 0
    fd = os.open(location, os.O_RDONLY | os.O_CLOEXEC)
    try:
        while done < size:
            got = os.preadv(fd, [view[done:size]], offset + done)
            if got == 0:
                break
            done += got
    finally:
        os.close(fd)
    return view[:done]


def _walk_range(plan: bytes, location: str, begin: int, end: int, at_end: bool, settings: dict[str, Any]) -> bytes:
    text = _read_range(location, begin, end - begin + (0 if at_end else 1))
    return backend._walk_piece(plan, text, begin, end, at_end, settings)


def _walk_bytes(plan: bytes, text: bytes, begin: int, end: int, at_end: bool, settings: dict[str, Any]) -> bytes:
    return backend._walk_piece(plan, text, begin, end, at_end, settings)


class ClusterPieces:
    """What the engine asks of a file whose pieces a cluster walks: its size, its bytes at
    offsets (the head, where pieces are cut, pieces walked again here) and the walks, handed
    out in input order a few per worker thread ahead of the engine, so that memory holds a
    few pieces whatever the file's size.

    Workers read their pieces themselves where they can reach the file (a local path, taken
    to be on a file system they share; a URL); a ``memory://`` file lives in this process
    only, and its pieces are sent to them."""

    def __init__(self, client: Any, source: Any, settings: dict[str, Any]) -> None:
        self._client = client
        self._settings = settings
        self.piece_bytes = _piece_bytes()
        self._fd: int | None = None
        self._file: Any = None
        if isinstance(source, str) and is_url(source):
            fsspec = optional_module("fsspec", f"reading {source}")
            self.name = source
            self._location = source
            with naming(source):
                filesystem, path = fsspec.core.url_to_fs(source)
                self.size: int = filesystem.size(path)
                self._file = filesystem.open(path, "rb")
            self._ship = in_this_process(source)
        elif is_path(source):
            self.name = os.fsdecode(source)
            self._location = os.path.abspath(self.name)
            self._fd = os.open(self._location, os.O_RDONLY | os.O_CLOEXEC)
            self.size = os.fstat(self._fd).st_size
            self._ship = False
        else:
            raise TypeError(f"with client, source must be a path or an fsspec URL, not {type(source).__name__}")

    def source(self) -> Any:
        """What the package reads the head of the file from (the encoding, for one), from
        its start."""
        if self._file is not None:
            self._file.seek(0)
            return self._file
        return self._location

    def read(self, offset: int, size: int) -> bytes:
        if self._fd is not None:
            return _read_local(self._fd, offset, size)
        with naming(self._location):
            self._file.seek(offset)
            data: bytes = self._file.read(size)
            return data

    def walk(self, plan: bytes, ranges: list[tuple[int, int, bool]]) -> Iterator[bytes]:
        """The walks of ``ranges``, in order; those still under way are cancelled when the
        engine stops taking them (an error, Ctrl-C)."""
        ahead = 2 * max(1, sum(self._client.nthreads().values()))
        waiting = iter(ranges)
        running: collections.deque[Any] = collections.deque()

        def submit() -> None:
            piece = next(waiting, None)
            if piece is None:
                return
            begin, end, at_end = piece
            if self._ship:
                text = self._client.scatter(self.read(begin, end - begin + (0 if at_end else 1)), hash=False)
                running.append(
                    self._client.submit(_walk_bytes, plan, text, begin, end, at_end, self._settings, pure=False)
                )
            else:
                running.append(
                    self._client.submit(
                        _walk_range, plan, self._location, begin, end, at_end, self._settings, pure=False
                    )
                )

        try:
            for _ in range(ahead):
                submit()
            while running:
                future = running.popleft()
                submit()
                walked: bytes = future.result()
                yield walked
        finally:
            if running:
                self._client.cancel(list(running))

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._file is not None:
            with contextlib.suppress(Exception):
                self._file.close()
            self._file = None


def repair_on_cluster(
    source: Any,
    target: Any,
    quarantine: Any,
    changes: Any,
    settings: dict[str, Any],
    encoding: str | None,
    progress: Any,
    client: Any,
) -> Any:
    """``repair`` with its pieces walked by ``client``'s workers. Outputs may be fsspec URLs
    too, written under a temporary name and moved into place once every output is done."""
    from ._stream import repair_checked

    optional_module("distributed", "repair(client=...)")
    pieces = ClusterPieces(client, source, settings)
    urls: list[UrlOutput] = []
    try:
        ends: dict[str, Any] = {}
        for role, value in (("target", target), ("quarantine", quarantine), ("changes", changes)):
            if isinstance(value, str) and is_url(value):
                urls.append(UrlOutput(value))
                ends[role] = urls[-1].file
            else:
                ends[role] = value
        made, _samples = repair_checked(
            pieces.source(),
            ends["target"],
            ends["quarantine"],
            ends["changes"],
            settings,
            encoding,
            progress,
            pieces=pieces,
        )
        for url in urls:
            url.commit()
    except BaseException:
        for url in urls:
            url.abort()
        raise
    finally:
        pieces.close()
    return made


def log_pieces(pieces: ClusterPieces, counts: dict[str, Any], decoded: bool) -> None:
    """Says how the pieces went, on the package's logger."""
    if decoded:
        _log.info("%s: read on this process, as it is decoded first", pieces.name)
    elif counts["pieces"]:
        _log.info(
            "%s: %d pieces walked on the cluster, %d walked again on this process",
            pieces.name,
            counts["pieces"],
            counts["reparsed_pieces"],
        )
    else:
        _log.info("%s: read on this process in one piece", pieces.name)
