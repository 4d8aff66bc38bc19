"""The streaming road: ``repair`` and ``rows``, any size in bounded memory."""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Any

from . import _rowmender_backend as backend
from ._files import Source, Target, describe, file_identity
from ._options import check_settings
from ._report import RepairReport

Progress = Callable[[int, "int | None"], Any]


def _progress_through(source: Source, progress: Progress | None) -> Progress | None:
    """The engine reports the bytes it has read; the caller hears about the source's."""
    if progress is None:
        return None
    callback = progress
    total = source.total()

    def report(engine_bytes: int, _engine_total: int | None) -> None:
        callback(source.bytes_read(engine_bytes), total)

    return report


def _refuse_same_file(source: object, **targets: object) -> None:
    """Two outputs in one file, or the input replaced by an output other than the repaired
    file, would lose data: refused before anything is opened."""
    source_id = file_identity(source)
    seen: dict[tuple[int, int], str] = {}
    for role, target in targets.items():
        identity = file_identity(target)
        if identity is None:
            continue
        if identity in seen:
            raise ValueError(f"{role} names the same file as {seen[identity]}: {describe(target)}")
        if identity == source_id and role != "target":
            raise ValueError(f"{role} names the same file as the source: {describe(target)}")
        seen[identity] = role


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
) -> RepairReport:
    """Repairs ``source`` into ``target``, reading and writing as it goes, in bounded memory.

    ``source`` is a path or a readable binary file object; ``target`` and ``quarantine``
    are paths or writable binary file objects. The output is exactly what ``salvage_file``
    writes for the same bytes and settings: the kept rows with RFC 4180 quoting and LF line
    ends, and, when ``quarantine`` is given, the rows set aside with their line numbers.

    Paths of regular files (or of files not there yet) are written to a temporary file in
    the same folder and renamed over the target only when everything succeeded, so an
    error or Ctrl-C leaves existing files as they were, and ``repair(p, p)`` repairs in
    place. A symbolic link is followed; a device or FIFO is written directly.

    ``encoding``: None reads UTF-8, or UTF-16 when the source starts with a UTF-16
    byte-order mark; any other codec name decodes the source first (undecodable bytes
    become U+FFFD). ``delimiter`` (None: detected) and ``quote_char`` are one ASCII
    character each; ``expected_columns`` None infers the width, 0 keeps every row as it
    is. ``progress(bytes_read, total_bytes or None)`` is called on this thread at most
    about ten times a second and once at the end.
    """
    settings = check_settings(delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes)
    _refuse_same_file(source, target=target, quarantine=quarantine)
    with contextlib.ExitStack() as stack:
        input_ = Source(source, encoding)
        stack.callback(input_.close)
        outputs: list[Target] = []
        try:
            outputs.append(Target(target))
            if quarantine is not None:
                outputs.append(Target(quarantine))
            counts = backend._repair(
                input_.engine_source,
                outputs[0].engine_target,
                outputs[1].engine_target if quarantine is not None else None,
                (input_.name, outputs[0].name, outputs[1].name if quarantine is not None else None),
                _progress_through(input_, progress),
                input_.prefix,
                **settings.as_arguments(),
            )
            for output in outputs:
                output.commit()
        except BaseException:
            for output in outputs:
                output.abort()
            raise
    read = input_.bytes_read(counts["bytes_read"])
    if progress is not None:
        progress(read, input_.total())
    return RepairReport._from_counts(counts, bytes_read=read)


class RowStream:
    """The kept rows of a source as lists of str, read a window at a time.

    Iterate it (or use it as a context manager, which closes what it opened); ``report`` is
    complete once the rows are exhausted.
    """

    def __init__(
        self,
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
    ) -> None:
        settings = check_settings(delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns,
                                  repair_quotes)
        self._source = Source(source, encoding)
        try:
            self._rows: Iterator[list[str]] = backend._RowStream(
                self._source.engine_source,
                self._source.name,
                _progress_through(self._source, progress),
                self._source.prefix,
                **settings.as_arguments(),
            )
        except BaseException:
            self._source.close()
            raise

    def __iter__(self) -> Iterator[list[str]]:
        # The engine's own iterator: no Python frame per row.
        return self._rows

    def __next__(self) -> list[str]:
        return next(self._rows)

    @property
    def report(self) -> RepairReport:
        """The counts so far; final once the rows are exhausted."""
        counts = self._rows.stats()  # type: ignore[attr-defined]
        return RepairReport._from_counts(counts, bytes_read=self._source.bytes_read(counts["bytes_read"]))

    def close(self) -> None:
        """Closes the source if this stream opened it (a path)."""
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
) -> RowStream:
    """The rows ``SalvageReader`` would give for ``source``, read as they are needed, in
    bounded memory. Settings as for :func:`repair`."""
    return RowStream(
        source,
        delimiter=delimiter,
        quote_char=quote_char,
        fill_ragged_rows=fill_ragged_rows,
        merge_overflow=merge_overflow,
        expected_columns=expected_columns,
        repair_quotes=repair_quotes,
        encoding=encoding,
        progress=progress,
    )

