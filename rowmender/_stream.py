"""The streaming road: ``repair`` and ``rows``, any size in bounded memory."""

from __future__ import annotations


from . import _rowmender_backend as backend
from ._files import Source, Target, all_or_nothing, refuse_same_file

# Not imported from typing, whose import costs more than a small repair.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from types import TracebackType
    from typing import Any

    from ._report import RepairReport

    Progress = Callable[[int, "int | None"], Any]


def _report(counts: dict[str, Any], bytes_read: int) -> RepairReport:
    # The report's module loads with the first report.
    from ._report import RepairReport

    return RepairReport._from_counts(counts, bytes_read=bytes_read)


def _progress_through(source: Source, progress: Progress | None) -> Progress | None:
    """The engine reports the bytes it has read; the caller hears about the source's."""
    if progress is None:
        return None
    callback = progress
    total = source.total()

    def report(engine_bytes: int, _engine_total: int | None) -> None:
        callback(source.bytes_read(engine_bytes), total)

    return report


def repair(
    source: Any,
    target: Any,
    quarantine: Any = None,
    *,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    encoding: str | None = None,
    progress: Progress | None = None,
    changes: Any = None,
) -> RepairReport:
    """Repairs ``source`` into ``target``, reading and writing as it goes, in bounded memory.

    ``source`` is a path, an open file descriptor or a readable binary file object;
    ``target`` and ``quarantine`` are paths, descriptors or writable binary file objects
    (descriptors are used as they are and left open). The output is exactly what ``salvage_file``
    writes for the same bytes and settings: the kept rows with RFC 4180 quoting and LF line
    ends, and, when ``quarantine`` is given, the rows set aside with their line numbers.

    Paths of regular files (or of files not there yet) are written to a temporary file in
    the same folder (a nameless one on Linux, which cannot outlive the process) and renamed
    over the targets only when every output is complete, the side files before the repaired
    file, so an error or Ctrl-C leaves existing files as they were, and ``repair(p, p)``
    repairs in place. A replaced file keeps its permission bits and, where the process may
    set them, its owner and group. A target with several hard links is refused (OSError,
    errno EMLINK): replacing it would leave its other names with the old content. A symbolic
    link is followed; a device or FIFO is written directly; ``/dev/stdout``, ``/dev/fd/N``
    and ``/proc/self/fd/N`` write to that descriptor (appending where it appends).
    Outputs that are one file, or a side file that is the source, raise
    :class:`SameFileError` before anything is written.

    ``encoding``: None reads UTF-8, or UTF-16 when the source starts with a UTF-16
    byte-order mark; any other codec name decodes the source first (undecodable bytes
    become U+FFFD). ``delimiter`` (None: detected) and ``quote_char`` are one ASCII
    character each; ``expected_columns`` None infers the width, 0 keeps every row as it
    is. ``progress(bytes_read, total_bytes or None)`` is called on this thread at most
    about ten times a second and once at the end.

    ``changes``, a path or writable binary file object, receives the change log: a CSV file
    with the header ``first_line,last_line,change,detail`` and one line per change, in
    input order (see the README's "What was changed"). It is written like the other
    outputs.
    """
    settings = backend._check_settings(delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns,
                                       repair_quotes)
    # Two outputs in one file, or the source overwritten by anything but a repair in place,
    # would lose data: refused before anything is opened.
    refuse_same_file(source, [("target", target), ("quarantine", quarantine), ("changes", changes)], in_place="target")
    input_ = Source(source, encoding)
    try:
        with all_or_nothing() as committed:
            outputs: dict[str, Target] = {}
            # The side files first: they are put in place before the repaired file.
            for role, value in (("quarantine", quarantine), ("changes", changes), ("target", target)):
                if isinstance(value, Target):
                    outputs[role] = value  # the caller's, put in place by the caller with its others
                elif value is not None:
                    outputs[role] = Target(value)
                    committed.append(outputs[role])
            ends = {role: outputs[role].engine_target if role in outputs else None
                    for role in ("target", "quarantine", "changes")}
            quarantine_name = outputs["quarantine"].name if "quarantine" in outputs else None
            changes_name = outputs["changes"].name if "changes" in outputs else None
            counts = backend._repair(
                input_.engine_source,
                ends["target"],
                ends["quarantine"],
                ends["changes"],
                (input_.name, outputs["target"].name, quarantine_name, changes_name),
                _progress_through(input_, progress),
                input_.prefix,
                input_.decoder is not None,
                settings,
            )
    finally:
        input_.close()
    read = input_.bytes_read(counts["bytes_read"])
    if progress is not None:
        progress(read, input_.total())
    return _report(counts, read)


class RowStream:
    """The kept rows of a source as lists of str, read a window at a time.

    Made by :func:`rows`. Iterate it (or use it as a context manager, which closes what it
    opened); ``report`` is complete once the rows are exhausted.
    """

    def __init__(
        self, source: Any, settings: dict[str, Any], encoding: str | None, progress: Progress | None, changes: Any
    ) -> None:
        refuse_same_file(source, [("changes", changes)])
        self._source = Source(source, encoding)
        self._changes: Target | None = None
        try:
            if changes is not None:
                self._changes = Target(changes)
            self._rows: Iterator[list[str]] = backend._RowStream(
                self._source.engine_source,
                self._changes.engine_target if self._changes is not None else None,
                (self._source.name, self._changes.name if self._changes is not None else None),
                _progress_through(self._source, progress),
                self._source.prefix,
                self._source.decoder is not None,
                settings,
            )
        except BaseException:
            self.close()
            raise

    def __iter__(self) -> Iterator[list[str]]:
        # The engine's own iterator: no Python frame per row. A change log is put in place
        # by report or close once the rows are exhausted.
        return self._rows

    def __next__(self) -> list[str]:
        return next(self._rows)

    @property
    def report(self) -> RepairReport:
        """The counts so far; final once the rows are exhausted."""
        counts = self._rows.stats()  # type: ignore[attr-defined]
        if counts["finished"]:
            self._finish()
        return _report(counts, self._source.bytes_read(counts["bytes_read"]))

    def _finish(self) -> None:
        if self._changes is not None:
            changes, self._changes = self._changes, None
            changes.commit()

    def close(self) -> None:
        """Closes the source if this stream opened it (a path). A change log is kept when
        every row was read, and dropped otherwise."""
        try:
            if self._changes is not None and self._rows.stats()["finished"]:  # type: ignore[attr-defined]
                self._finish()
        finally:
            if self._changes is not None:
                self._changes.abort()
            self._source.close()

    def __enter__(self) -> RowStream:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def rows(
    source: Any,
    *,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    encoding: str | None = None,
    progress: Progress | None = None,
    changes: Any = None,
) -> RowStream:
    """The rows ``SalvageReader`` would give for ``source``, read as they are needed, in
    bounded memory. Settings as for :func:`repair`; the change log, when asked for, is
    complete once the rows are exhausted."""
    settings = backend._check_settings(delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns,
                                       repair_quotes)
    return RowStream(source, settings, encoding, progress, changes)

