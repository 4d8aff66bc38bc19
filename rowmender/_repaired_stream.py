"""``open_repaired``: what ``repair`` would write, as a readable file, made as it is read.

A thread runs ``repair`` into a pipe and the caller reads the other end. The pipe holds at
most about a megabyte, so the repair runs only as far ahead of the reader as that, and its
memory stays the streaming engine's windows whatever the size of the source. Nothing is
written to disk but the side files asked for.
"""

from __future__ import annotations

import atexit
import errno
import io
import os
import threading
import time
import weakref

from ._files import Target, all_or_nothing, describe, descriptor_of, is_path, refuse_same_file, text_codec
from ._stream import checked_settings, encoding_for, repair

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from types import TracebackType
    from typing import Any

    from ._report import RepairReport

    Progress = Callable[[int, "int | None"], Any]

# What the repair may write ahead of the reader: a larger pipe than the default 64 KiB
# means fewer switches between the two threads. 1 MiB is what an unprivileged process
# may ask for by default.
_PIPE_BYTES = 1 << 20
# The reader's own buffer, and its step when the whole rest is read at once.
_BUFFER_BYTES = 1 << 16
_READ_ALL_STEP = 1 << 20
# How long the end of the process waits for repairs still running (see _stop_at_exit).
_EXIT_WAIT_SECONDS = 2.0

# The streams not yet closed, and the repairs' threads.
_open_streams: weakref.WeakSet[_PipeReader] = weakref.WeakSet()
_threads: weakref.WeakSet[threading.Thread] = weakref.WeakSet()


def _stop_at_exit() -> None:
    """Stops the repairs still running when the interpreter exits, and waits a little for
    them: once the interpreter is being torn down, a daemon thread that wakes and asks for
    the interpreter lock is ended on the spot, which C++ code on its stack does not survive.
    A repair stops at its next write into the closed pipe; one waiting on a source that
    gives nothing is left waiting, and ends with the process."""
    deadline = time.monotonic() + _EXIT_WAIT_SECONDS
    for stream in list(_open_streams):
        stream._stop(wait=False)
    for thread in list(_threads):
        thread.join(max(0.0, deadline - time.monotonic()))


atexit.register(_stop_at_exit)


class _Run:
    """What the repairing thread and the reader share.

    It holds no reference to the reader, so that a reader dropped without being closed is
    collected, and its collection (which closes the pipe) ends the thread. The side files
    are dropped by whichever of the two learns last that they will not be wanted: the
    thread when the repair failed or the reader had already stopped, the reader when it
    stops after a repair that succeeded; the lock makes that one of them.
    """

    __slots__ = ("outputs", "report", "error", "stopped", "ended", "lock", "thread")

    def __init__(self, outputs: list[Target]) -> None:
        self.outputs = outputs  # the side files, until put in place or dropped
        self.report: RepairReport | None = None
        self.error: BaseException | None = None
        self.stopped = False  # the reader closed
        self.ended = False  # the repair returned or raised
        self.lock = threading.Lock()
        self.thread: threading.Thread | None = None

    def drop_outputs(self) -> None:
        outputs, self.outputs = self.outputs, []
        for output in outputs:
            output.abort()


def _repair_into(
    run: _Run, write_end: int, source: Any, quarantine: Any, changes: Any, options: dict[str, Any]
) -> None:
    """The thread's work: the repair, then the write end closed, which the reader sees as
    the end of the data."""
    report: RepairReport | None = None
    failure: BaseException | None = None
    try:
        report = repair(source, write_end, quarantine, changes=changes, **options)
    except BaseException as error:  # handed to the reader, which raises it
        failure = error
    try:
        with run.lock:
            run.ended = True
            if failure is not None and not (run.stopped and isinstance(failure, BrokenPipeError)):
                # A broken pipe after the reader closed is how it stops the repair: no error.
                run.error = failure
            if failure is not None or run.stopped:
                run.drop_outputs()
            else:
                run.report = report
    finally:
        os.close(write_end)


class _StoppableSource(io.RawIOBase):
    """A file-object source as the repair reads it, which ends the repair at its next read
    once the stream is closed. A repair in the middle of a window writes nothing until the
    window is full, so a slow source (a socket, a generator) would otherwise keep the thread
    reading long after the reader has gone. Paths and descriptors are read by the engine
    itself: a regular file's reads are quick, and a pipe's end when its writer closes."""

    def __init__(self, source: Any, run: _Run) -> None:
        super().__init__()
        self._source = source
        self._run = run
        self.name = describe(source)  # how errors name it
        # readinto1, when there is one, returns what a pipe or socket has without waiting
        # for a full buffer: the engine prefers it, and it is offered only where it exists.
        if hasattr(source, "readinto1"):
            self.readinto1 = self._readinto1

    def readable(self) -> bool:
        return True

    def _go_on(self) -> None:
        if self._run.stopped:
            raise BrokenPipeError(errno.EPIPE, "the repaired stream was closed")

    def read(self, size: int | None = -1) -> Any:
        self._go_on()
        return self._source.read(size)

    def readinto(self, buffer: Any) -> int:
        self._go_on()
        if hasattr(self._source, "readinto"):
            return int(self._source.readinto(buffer))
        data = self._source.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)

    def _readinto1(self, buffer: Any) -> int:
        self._go_on()
        return int(self._source.readinto1(buffer))


class _PipeReader(io.RawIOBase):
    """The read end of the pipe; at its end, the repair's error if it failed, or its side
    files put in place if it succeeded."""

    def __init__(self, read_end: int, run: _Run, name: str) -> None:
        super().__init__()
        self._fd = read_end
        self._run = run
        self._finished = False
        self.name = name
        self.mode = "rb"
        _open_streams.add(self)

    def readable(self) -> bool:
        return True

    # No fileno(): a reader of the bare descriptor would take a failed repair's end for the
    # end of the data, and never have the side files put in place.

    def readinto(self, buffer: Any) -> int:
        self._checkClosed()
        count = os.readv(self._fd, [buffer])
        if count == 0 and len(buffer):
            self._at_end()
        return count

    def readall(self) -> bytes:
        # RawIOBase's would read the rest 8 KiB at a time.
        chunks: list[bytes] = []
        while True:
            chunk = self.read(_READ_ALL_STEP)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)

    def _at_end(self) -> None:
        run = self._run
        if run.thread is not None:
            run.thread.join()
        if run.error is not None:
            # Raised on every read at the end, so that a caller reading on cannot take the
            # end of what was written for the end of the data.
            raise run.error
        if not self._finished:
            outputs, run.outputs = run.outputs, []
            try:
                with all_or_nothing() as committed:
                    committed.extend(outputs)
            except BaseException as error:
                run.error = error
                raise
            self._finished = True

    def report(self) -> RepairReport:
        if self._run.error is not None and self._run.ended:
            raise ValueError("there is no report: the repair failed") from self._run.error
        if not self._finished:
            raise ValueError(
                "the report is ready once the stream is read to its end"
                + (" (it was closed before)" if self.closed else "")
            )
        assert self._run.report is not None
        return self._run.report

    def close(self) -> None:
        self._stop(wait=True)

    def __del__(self) -> None:
        # Collected without close: the pipe is closed, which ends the thread at its next
        # write, but not waited for (the source may be a stalled pipe).
        self._stop(wait=False)

    def _stop(self, wait: bool) -> None:
        if self.closed:
            return
        run = self._run
        try:
            with run.lock:
                run.stopped = True
                if run.ended and not self._finished:
                    run.drop_outputs()
            os.close(self._fd)
        finally:
            super().close()
        if wait and run.thread is not None:
            run.thread.join()


class RepairedStream(io.BufferedReader):
    """What ``repair`` would write for a source, as a buffered binary file open for
    reading. Made by :func:`open_repaired`."""

    raw: _PipeReader

    @property
    def report(self) -> RepairReport:
        """The repair's report. ValueError until the stream has been read to its end."""
        return self.raw.report()

    def __del__(self) -> None:
        # Collected unclosed: the pipe is closed without waiting for the thread (see
        # _PipeReader.__del__); closing the buffer would wait.
        raw = getattr(self, "raw", None)
        if isinstance(raw, _PipeReader):
            raw._stop(wait=False)

    def __enter__(self) -> RepairedStream:
        super().__enter__()
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def open_repaired(
    source: Any,
    quarantine: Any = None,
    *,
    delimiter: str | None = None,
    quote_char: str | None = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    cleanup: bool | Iterable[str] = False,
    escape_char: str | None = None,
    encoding: str | None = None,
    progress: Progress | None = None,
    changes: Any = None,
) -> RepairedStream:
    """The bytes :func:`repair` would write for ``source``, as a readable binary file
    object (an ``io.BufferedReader``) that repairs as it is read, in bounded memory and
    without a temporary file. Hand it to ``pandas.read_csv``, ``csv.reader`` through
    ``io.TextIOWrapper``, ``shutil.copyfileobj``...

    Arguments are those of :func:`repair`. A bad setting, a missing source file or a side
    file that cannot be made raises here; an error met while repairing (a file that
    cannot be read, say) is raised by the read that reaches the end of what was repaired
    before it. The repair runs on a thread of its own; ``progress`` is called there.

    ``report`` gives the :class:`RepairReport` once the stream is read to its end (before
    that it raises ValueError). The ``quarantine`` and ``changes`` files are put in place
    at that end, as ``repair`` does when it succeeds; closing the stream before its end
    stops the repair and leaves them as they were. (A pipe given as a path or descriptor is
    read by the engine itself: closing waits for the read under way.)
    """
    settings = checked_settings(locals())
    encoding = encoding_for(settings, encoding)
    if encoding is not None:
        text_codec(encoding)
    refuse_same_file(source, [("quarantine", quarantine), ("changes", changes)])
    if is_path(source) and descriptor_of(source) is None:
        # A mistyped name fails here, as open() would, rather than at the first read.
        # Non-blocking: a FIFO without a writer yet must not hold this up.
        os.close(os.open(os.fspath(source), os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC))
    outputs: dict[str, Target] = {}
    try:
        for role, value in (("quarantine", quarantine), ("changes", changes)):
            if value is not None:
                outputs[role] = Target(value)
        read_end, write_end = os.pipe()
    except BaseException:
        for output in outputs.values():
            output.abort()
        raise
    _enlarge(write_end)
    run = _Run(list(outputs.values()))
    if not is_path(source) and not isinstance(source, (int, io.TextIOBase)):
        source = _StoppableSource(source, run)
    options = dict(settings, encoding=encoding, progress=progress)
    # A daemon thread: a stream left open at exit must not keep the process alive.
    run.thread = threading.Thread(
        target=_repair_into,
        args=(run, write_end, source, outputs.get("quarantine"), outputs.get("changes"), options),
        name=f"rowmender repair of {describe(source)}",
        daemon=True,
    )
    raw = _PipeReader(read_end, run, f"<repaired {describe(source).strip('<>')}>")
    try:
        run.thread.start()
        _threads.add(run.thread)
    except BaseException:
        run.thread = None
        os.close(write_end)
        raw.close()
        run.drop_outputs()
        raise
    return RepairedStream(raw, _BUFFER_BYTES)


def _enlarge(pipe_end: int) -> None:
    try:
        import fcntl

        fcntl.fcntl(pipe_end, fcntl.F_SETPIPE_SZ, _PIPE_BYTES)
    except (ImportError, AttributeError, OSError):
        pass  # not Linux, or a lower limit: the default size works, a little slower
