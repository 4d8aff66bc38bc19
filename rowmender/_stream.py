"""The streaming road: ``repair`` and ``rows``, any size in bounded memory."""

from __future__ import annotations


from . import _rowmender_backend as backend
from ._files import (
    Source,
    Target,
    all_or_nothing,
    foreign_lines,
    is_regular_file_path,
    legacy_table,
    refuse_same_file,
)

# Not imported from typing, whose import costs more than a small repair.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from types import TracebackType
    from typing import Any

    from ._cluster import ClusterPieces
    from ._report import RepairReport

    Progress = Callable[[int, "int | None"], Any]


def _report(counts: dict[str, Any], source: Source) -> RepairReport:
    # The report's module loads with the first report.
    from ._report import RepairReport

    return RepairReport._from_counts(
        counts,
        bytes_read=source.bytes_read(counts["bytes_read"]),
        encoding=source.encoding,
        # A file in a legacy encoding has another only where rows of UTF-8 were found.
        other_encoding=source.other_encoding if counts["transcoded_rows"] or not source.legacy_file else None,
    )


def _progress_through(source: Source, progress: Progress | None) -> Progress | None:
    """The engine reports the bytes it has read; the caller hears about the source's."""
    if progress is None:
        return None
    callback = progress
    total = source.total()

    def report(engine_bytes: int, _engine_total: int | None) -> None:
        callback(source.bytes_read(engine_bytes), total)

    return report


def _thread_count(threads: Any) -> int:
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


def checked_settings(arguments: dict[str, Any]) -> dict[str, Any]:
    """The settings among a public function's arguments (its ``locals()`` before anything
    else), checked by the engine's one rule, which also names them: a setting is listed
    once, in the signature."""
    return backend._check_settings(**{name: arguments[name] for name in backend._STREAM_SETTINGS})


def encoding_for(settings: dict[str, Any], encoding: str | None) -> str | None:
    """The encoding to read with: with the ``encoding`` cleanup rule, one not given is detected."""
    if encoding is None and "encoding" in settings["cleanup"]:
        return "auto"
    return encoding


def repair(
    source: Any,
    target: Any,
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
    report: Any = None,
    threads: int = 1,
    client: Any = None,
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
    become U+FFFD); "auto" detects it from the first 64 KiB (UTF-8, UTF-16 or UTF-32 with
    or without a byte-order mark, else what charset-normalizer finds), and the report's
    ``encoding`` says what was used. A source that starts like a binary file (a zip
    archive such as an .xlsx file, a PDF document, an image...) raises
    :class:`NotTextError`. ``delimiter`` (None: detected) and ``quote_char`` are one ASCII
    character each (``quote_char=None``: quotes are text, never quoting a field);
    ``escape_char`` (say ``"\\"``) makes the character after it text, and is dropped;
    ``expected_columns`` None infers the width, 0 keeps every row as it is. ``cleanup``
    turns on the rules for damage real files carry beyond ragged rows and stray quotes
    (True: all of them; or a collection of their names, see the README's "Real-world
    rules"); off, the output is exactly ``salvage_file``'s.
    ``progress(bytes_read, total_bytes or None)`` is called on this thread at most
    about ten times a second and once at the end.

    ``changes``, a path or writable binary file object, receives the change log: a CSV file
    with the header ``first_line,last_line,change,detail`` and one line per change, in
    input order (see the README's "What was changed"). It is written like the other
    outputs.

    ``report``, a path or writable binary file object, receives an HTML page that shows what
    the repair changed and where (see the README's "The HTML report"); it is written like the
    other outputs, and ``target`` may then be None to make the report alone.

    ``threads`` repairs a regular file (a path or descriptor, read as UTF-8 and not
    compressed) on that many threads, into the same bytes, change log and report as one
    thread; any other source is read on one. See the README's "One file on several threads"
    for when it pays.

    ``client``, a ``dask.distributed.Client``, repairs one large file on its cluster:
    ``source`` is then a path (on a file system the workers share) or an fsspec URL, which
    is cut into pieces that the workers repair; the outputs (which may be URLs too) are
    exactly those of a repair here. See the README's "One large file on a Dask cluster".
    """
    threads = _thread_count(threads)
    if client is not None:
        if threads != 1:
            raise ValueError("threads and client cannot be used together: the cluster's workers repair the pieces")
        if report is not None:
            raise ValueError("report cannot be made with client: make it with a repair on this machine")
        from ._cluster import repair_on_cluster

        cluster_settings = checked_settings(locals())
        repaired: RepairReport = repair_on_cluster(
            source, target, quarantine, changes, cluster_settings, encoding, progress, client
        )
        return repaired
    if report is not None:
        from ._damage_report import repair_with_report

        # Every setting, by the engine's list of their names, so that none is left behind.
        given = locals()
        made: RepairReport = repair_with_report(
            source,
            report,
            target,
            quarantine,
            changes=changes,
            encoding=encoding,
            progress=progress,
            **{name: given[name] for name in backend._STREAM_SETTINGS},
        )
        return made
    settings = checked_settings(locals())
    made, _samples = repair_checked(source, target, quarantine, changes, settings, encoding, progress, threads=threads)
    return made


def repair_checked(
    source: Any,
    target: Any,
    quarantine: Any,
    changes: Any,
    settings: dict[str, Any],
    encoding: str | None,
    progress: Progress | None,
    sampled: bool = False,
    engine_starts: Callable[[], object] | None = None,
    threads: int = 1,
    pieces: ClusterPieces | None = None,
) -> tuple[RepairReport, dict[str, Any] | None]:
    """``repair`` with its settings checked. ``sampled``: the engine also keeps what the
    damage report shows (see _damage_report), returned beside the report, and ``target``
    may be None. ``engine_starts`` is called once every file is open, as the engine starts.
    ``pieces``: the source's pieces are walked on a cluster (see _cluster), unless it must
    be decoded first; ``source`` is then what ``pieces.source()`` gave."""
    encoding = encoding_for(settings, encoding)
    # Two outputs in one file, or the source overwritten by anything but a repair in place,
    # would lose data: refused before anything is opened.
    refuse_same_file(source, [("target", target), ("quarantine", quarantine), ("changes", changes)], in_place="target")
    input_ = Source(source, encoding)
    if pieces is not None:
        from ._cluster import log_pieces

        input_.name = pieces.name
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
            ends = {
                role: outputs[role].engine_target if role in outputs else None
                for role in ("target", "quarantine", "changes")
            }
            target_name = outputs["target"].name if "target" in outputs else None
            quarantine_name = outputs["quarantine"].name if "quarantine" in outputs else None
            changes_name = outputs["changes"].name if "changes" in outputs else None

            def run(added_columns: tuple[str, ...] | None) -> dict[str, Any]:
                # Pieces of the file as it lies: not where the engine reads it decoded.
                elsewhere = pieces if input_.decoder is None and input_.legacy is None else None
                counts: dict[str, Any] = backend._repair(
                    input_.engine_source,
                    ends["target"],
                    ends["quarantine"],
                    ends["changes"],
                    (input_.name, target_name, quarantine_name, changes_name),
                    _progress_through(input_, progress),
                    input_.prefix,
                    input_.decoded,
                    settings,
                    input_.legacy,
                    added_columns,
                    threads,
                    sampled,
                    elsewhere,
                )
                if pieces is not None:
                    log_pieces(pieces, counts, elsewhere is None)
                return counts

            if engine_starts is not None:
                engine_starts()
            counts = run(None)
            # Another pass where the source can be read again and every output written again
            # from its start. The file's encoding and its rows' other encoding stay as found.
            again = (is_regular_file_path(source) or pieces is not None) and all(
                output.rewindable for output in outputs.values()
            )
            found = (input_.other_encoding, input_.legacy)

            def read_again(added_columns: tuple[str, ...] | None) -> dict[str, Any]:
                nonlocal input_, source
                input_.close()
                if pieces is not None:
                    source = pieces.source()
                input_ = Source(source, encoding)
                if pieces is not None:
                    input_.name = pieces.name
                if input_.legacy is None:
                    input_.other_encoding, input_.legacy = found
                for output in outputs.values():
                    output.rewind()
                return run(added_columns)

            # Rows in another encoding beyond the judged head and tail (a UTF-8 export with
            # cp1252 rows in its middle) had their bytes replaced: those rows are judged now
            # and the file read again, each of them in their encoding, as if they had been
            # in the head, rather than leaving their letters lost.
            if (
                counts["rows_with_replaced_bytes"]
                and again
                and encoding == "auto"
                and is_regular_file_path(source)
                and input_.decoder is None
                and input_.legacy is None
            ):
                other = legacy_table(foreign_lines(input_.engine_source))
                if other[1] is not None:
                    found = other
                    counts = read_again(None)
            # A later table with columns the first header lacks (two exports joined): read
            # again with the union of both headers' columns.
            lacking = counts["lacking_columns"]
            if lacking and again:
                counts = read_again(lacking)
    finally:
        input_.close()
    samples = counts.pop("samples", None)
    if samples is not None:
        samples["decoded"] = input_.decoded
    repaired = _report(counts, input_)
    if progress is not None:
        progress(repaired.bytes_read, input_.total())
    return repaired, samples


def _releaser(source: Source, changes: Target | None) -> Callable[[bool], None]:
    """What lets go of a stream's files once the engine is done with them: the change log
    put in place when the input was read to its end (dropped otherwise), the source closed
    when the stream opened it. It holds no reference to the stream, so that a stream dropped
    unclosed is collected, and released, at once."""

    def release(keep_changes: bool) -> None:
        try:
            if changes is not None and keep_changes:
                changes.commit()
        finally:
            if changes is not None:
                changes.abort()  # nothing once committed
            source.close()

    return release


class RowStream:
    """The kept rows of a source as lists of str, read a window at a time.

    Made by :func:`rows`. Iterate it, or use it as a context manager, which closes it; once
    closed, any use but ``report`` raises ValueError, as a closed file does. Exhausting the rows puts the
    change log in place and closes a source the stream opened; so does closing it after the
    input was read to its end (before that, the change log is dropped). ``report`` is
    complete once the rows are exhausted. A stream collected unclosed and unexhausted is
    closed with a ``ResourceWarning``. A forked child cannot use its parent's streams.
    """

    def __init__(
        self, source: Any, settings: dict[str, Any], encoding: str | None, progress: Progress | None, changes: Any
    ) -> None:
        refuse_same_file(source, [("changes", changes)])
        self._source = input_ = Source(source, encoding)
        log: Target | None = None
        try:
            if changes is not None:
                log = Target(changes)
            # The engine's object owns the files from here on: it releases them when it is
            # done with them, however the stream ends.
            self._rows: backend._RowStream = backend._RowStream(
                input_.engine_source,
                log.engine_target if log is not None else None,
                (input_.name, log.name if log is not None else None),
                _progress_through(input_, progress),
                _releaser(input_, log),
                input_.prefix,
                input_.decoded,
                settings,
                input_.legacy,
            )
        except BaseException:
            _releaser(input_, log)(False)
            raise

    def __iter__(self) -> Iterator[list[str]]:
        # The engine's own iterator, no Python frame per row; it checks that it is open.
        return iter(self._rows)

    def __next__(self) -> list[str]:
        return next(self._rows)

    @property
    def report(self) -> RepairReport:
        """The counts so far; final once the rows are exhausted. After close(), the counts of
        what was read until then."""
        return _report(self._rows.stats(), self._source)

    @property
    def closed(self) -> bool:
        return self._rows.closed

    def close(self) -> None:
        """Ends the stream, waiting for a read under way on another thread: the change log is
        put in place when the input was read to its end and dropped otherwise, and the source
        is closed if the stream opened it (a path)."""
        self._rows.close()

    def __enter__(self) -> RowStream:
        iter(self._rows)  # ValueError once closed
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


def rows(
    source: Any,
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
) -> RowStream:
    """The rows ``SalvageReader`` would give for ``source``, read as they are needed, in
    bounded memory. Settings as for :func:`repair`; the change log, when asked for, is
    complete once the rows are exhausted."""
    settings = checked_settings(locals())
    encoding = encoding_for(settings, encoding)
    return RowStream(source, settings, encoding, progress, changes)
