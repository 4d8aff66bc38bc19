"""Many files at once: ``repair_many`` on a local process pool or on a Dask cluster.

Each file is repaired by ``repair`` on its own, in a worker process or a cluster's task, so
that one file's failure touches no other. What comes back for each is a ``RepairReport`` or
the exception, as a value: both cross process and machine boundaries by pickle.
"""

from __future__ import annotations

import contextlib
import os
import pickle
import signal
import stat
import threading
import time
import uuid
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, Union

from . import _rowmender_backend as backend
from ._cli_output import Output, compression_for
from ._compressed import Input
from ._files import SameFileError, refuse_same_file, text_codec
from ._report import RepairReport
from ._stream import repair
from ._urls import UrlOutput, base_name, in_this_process, is_url, join, naming, optional_module

Outcome = Union[RepairReport, Exception]
OnResult = Callable[[str, Outcome], Any]
Progress = Callable[[int, "int | None"], Any]

# The settings every file shares; they go to repair() as they are.
_SETTINGS = (*backend._STREAM_SETTINGS, "encoding", "decompress")
# repair()'s per-file arguments and what stands for them here.
_PER_FILE = {"quarantine": "quarantine_dir", "changes": "changes_dir"}

# How often the caller hears how far a local pool has got.
_PROGRESS_INTERVAL = 0.1
# After Ctrl-C: how long the workers have to stop at their next progress call (about ten
# a second), and how long those sent SIGTERM then have to clean up, before SIGKILL.
_STOP_GRACE = 0.3
_KILL_GRACE = 0.7


def _location(value: object, role: str) -> str:
    if isinstance(value, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(value))
    raise TypeError(f"{role} must be a path or a URL, not {type(value).__name__}")


@dataclass(frozen=True)
class _Job:
    """One file's repair, as it travels to a worker."""

    source: str
    target: str | None
    quarantine: str | None
    changes: str | None
    options: dict[str, Any]


def _portable(error: Exception) -> Exception:
    """The error itself when it survives pickling; otherwise the nearest built-in exception
    with the same message. An exception that pickles but does not unpickle (a constructor
    with other arguments than it passes to Exception) would otherwise break the pool that
    carries it and take every other file's result with it."""
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        pass
    message = f"{type(error).__name__}: {error}"
    builtins: list[type[Exception]] = [
        kind for kind in type(error).__mro__ if kind.__module__ == "builtins" and issubclass(kind, Exception)
    ]
    for kind in builtins:
        try:
            if isinstance(error, OSError) and error.errno is not None and issubclass(kind, OSError):
                return kind(error.errno, f"{type(error).__name__}: {error.strerror}", error.filename)
            return kind(message)
        except Exception:
            continue  # a constructor with other arguments (UnicodeDecodeError's five)
    return Exception(message)


def _repair_job(job: _Job, progress: Progress | None) -> RepairReport:
    options = dict(job.options)
    decompress = options.pop("decompress", False)
    with contextlib.ExitStack() as stack:
        source: Any = job.source
        input_: Input | None = None
        if decompress and not is_url(job.source):
            input_ = stack.enter_context(Input(job.source))
            source = input_.source
        elif is_url(job.source):
            fsspec = optional_module("fsspec", f"reading {job.source}")
            with naming(job.source):
                filesystem, path = fsspec.core.url_to_fs(job.source)
                source = stack.enter_context(filesystem.open(path, "rb"))
        outputs: list[UrlOutput | Output] = []
        ends: dict[str, Any] = {}
        try:
            for role, location in (("target", job.target), ("quarantine", job.quarantine), ("changes", job.changes)):
                if location is None:
                    continue
                if is_url(location):
                    url_output = UrlOutput(location)
                    outputs.append(url_output)
                    ends[role] = url_output.file
                    continue
                os.makedirs(os.path.dirname(location) or ".", exist_ok=True)
                if decompress and compression_for(location) is not None:
                    # A file keeps its name, so a name that says gzip gets gzip: written
                    # compressed the same way, as the command line writes any such output.
                    file_output = Output(location)
                    outputs.append(file_output)
                    ends[role] = file_output.target
                else:
                    ends[role] = location
            # Without a target the repaired rows are counted and dropped.
            report = repair(source, ends.pop("target", os.devnull), **ends, progress=progress, **options)
            for output in outputs:
                output.commit()
        except BaseException:
            for output in outputs:
                output.abort()
            raise
    # Whether the compressed data was cut off is known once it has all been read.
    return input_.finished(report) if input_ is not None else report


def _run(job: _Job, progress: Progress | None = None) -> Outcome:
    """A worker's task: the report, or the error as a value that pickles."""
    try:
        return _repair_job(job, progress)
    except Exception as error:
        return _portable(error)


def _size(location: str, here: bool) -> int | None:
    """What a source will read: 0 for one that will fail to open, None when unknown. Only
    files read ``here`` fail for the caller as they do for the workers."""
    try:
        if is_url(location):
            fsspec = optional_module("fsspec", f"reading {location}")
            filesystem, path = fsspec.core.url_to_fs(location)
            details = filesystem.info(path)
            if details.get("type") == "directory":
                return 0 if here else None
            size = details.get("size")
            return int(size) if size is not None else None
        info = os.stat(location)
    except OSError:  # the file will not open either
        return 0 if here else None
    except Exception:
        return None
    if stat.S_ISDIR(info.st_mode):
        return 0
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _total_size(sources: Iterable[str], here: bool) -> int | None:
    total = 0
    for source in sources:
        size = _size(source, here)
        if size is None:
            return None
        total += size
    return total


def _default_jobs() -> int:
    # The CPUs this process may run on, which a container or taskset may make fewer than
    # the machine's.
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def _check_jobs(jobs: object) -> int:
    if jobs is None:
        return _default_jobs()
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, got {jobs}")
    return jobs


def _check_options(options: dict[str, Any]) -> None:
    for name in options:
        if name in _PER_FILE:
            raise TypeError(f"repair_many() takes {_PER_FILE[name]}= (a folder) instead of {name}=")
        if name not in _SETTINGS:
            raise TypeError(f"repair_many() got an unexpected keyword argument {name!r}")
    settings = {name: value for name, value in options.items() if name not in ("encoding", "decompress")}
    backend._check_settings(**settings)
    if options.get("encoding") is not None:
        text_codec(options["encoding"])  # LookupError for an unknown codec, before any file


def _plan(
    sources: Iterable[object], folders: dict[str, str | None], options: dict[str, Any], absolute: bool
) -> dict[str, _Job]:
    """One job per source, keyed by the source as given; refuses, before anything runs, two
    sources that would write the same files, or two folders that are one (SameFileError): a
    local one, however spelled, as repair() refuses its files; a URL by its spelling."""
    given = [(role, folder) for role, folder in folders.items() if folder is not None]
    refuse_same_file(
        None,
        [
            (role, folder.removeprefix("file://"))
            for role, folder in given
            if not is_url(folder) or folder.startswith("file://")
        ],
        explain=lambda role, _, other: f"{role} and {other} name the same folder: {folders[role]}",
        folders=True,
    )
    urls: dict[str, str] = {}
    for role, folder in given:
        if is_url(folder) and not folder.startswith("file://"):
            if folder.rstrip("/") in urls:
                raise SameFileError(f"{role} and {urls[folder.rstrip('/')]} name the same folder: {folder}")
            urls[folder.rstrip("/")] = role
    writes = bool(given)

    def output(role: str, name: str) -> str | None:
        folder = folders[role]
        if folder is None:
            return None
        # A cluster's workers do not share the caller's working folder.
        return join(os.path.abspath(folder) if absolute and not is_url(folder) else folder, name)

    jobs: dict[str, _Job] = {}
    claimed: dict[str, str] = {}
    for value in sources:
        source = _location(value, "each source")
        if source in jobs:
            raise ValueError(f"{source!r} is given twice")
        name = base_name(source)
        if writes and name in ("", ".", ".."):
            raise ValueError(f"source names no file: {source!r}")
        if writes and name in claimed:
            raise SameFileError(f"{claimed[name]!r} and {source!r} would both be written as {name!r}")
        claimed[name] = source
        jobs[source] = _Job(
            os.path.abspath(source) if absolute and not is_url(source) else source,
            output("output_dir", name),
            output("quarantine_dir", name),
            output("changes_dir", name),
            options,
        )
    return jobs


class _Collector:
    """Gathers the outcomes on the caller's thread and passes each on as it arrives."""

    def __init__(self, on_result: OnResult | None, progress: Progress | None, total: int | None) -> None:
        self.outcomes: dict[str, Outcome] = {}
        self._on_result = on_result
        self._progress = progress
        self._total = total
        self._told: int | None = None

    def finished(self, source: str, outcome: Outcome) -> None:
        self.outcomes[source] = outcome
        if self._on_result is not None:
            self._on_result(source, outcome)

    def advanced(self, bytes_read: int) -> None:
        # Only forward: a file that runs again after its worker died starts from 0.
        if self._total is not None:
            bytes_read = min(bytes_read, self._total)
        if self._progress is not None and (self._told is None or bytes_read > self._told):
            self._told = bytes_read
            self._progress(bytes_read, self._total)

    def close(self) -> None:
        """The last word on progress, once every file is done. What the finished files read
        is all there is to say, unless the workers said more (a file that failed half-way
        was still read that far)."""
        if self._progress is not None:
            finished = sum(
                outcome.bytes_read for outcome in self.outcomes.values() if isinstance(outcome, RepairReport)
            )
            told = max(finished, self._told or 0)
            self._progress(min(told, self._total) if self._total is not None else told, self._total)


def _run_here(jobs: dict[str, _Job], collector: _Collector) -> None:
    done = 0
    for source, job in jobs.items():

        def advance(read: int, _total: int | None, before: int = done) -> None:
            collector.advanced(before + read)

        outcome = _run(job, advance)
        if isinstance(outcome, RepairReport):
            done += outcome.bytes_read
        collector.finished(source, outcome)


# --- a local pool ---------------------------------------------------------------------


class _Stopped(Exception):
    """The caller stopped the run (Ctrl-C, or a callback that raised)."""


class _Terminated(BaseException):
    """SIGTERM, while a worker repairs a file."""


# Set in each worker by _start_worker: memory it shares with the caller. Item 0 is the
# caller's word to stop; for the file of index i, item 1 + 2i is 0 until a worker takes it,
# then that worker's pid while it is in its hands, then -1; item 2 + 2i is what it has read.
_shared: Any = None


def _start_worker(shared: Any, signals: dict[int, Any]) -> None:
    global _shared
    _shared = shared
    # The caller's handlers are the caller's: one that raises would print a traceback
    # wherever the signal finds the worker. An idle worker ends on SIGTERM.
    for signum, disposition in [*signals.items(), (signal.SIGTERM, signal.SIG_DFL)]:
        signal.signal(signum, disposition)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})  # held back while the pool started


def _terminated(signum: int, _frame: Any) -> None:
    signal.signal(signum, signal.SIG_DFL)  # a second one ends the worker outright
    raise _Terminated()


def _work(index: int, job: _Job) -> Outcome:
    """A worker's task. A stop ends the file at the next progress call (about ten a second),
    and repair() removes what it had written."""
    shared = _shared
    if shared[0]:
        return _Stopped()

    def check(read: int, _total: int | None) -> None:
        if shared[0]:
            raise _Stopped()
        shared[2 + 2 * index] = read

    # SIGTERM (the caller ending a worker blocked in a read, or a broken pool ending the
    # others) interrupts the file the same way; then the worker ends as SIGTERM ends it.
    signal.signal(signal.SIGTERM, _terminated)
    shared[1 + 2 * index] = os.getpid()
    try:
        try:
            return _run(job, check)
        finally:
            shared[1 + 2 * index] = -1  # a worker that ends from here on is not the file's doing
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
    except _Terminated:
        os.kill(os.getpid(), signal.SIGTERM)
        raise


def _worker_signals() -> dict[int, Any]:
    """What Ctrl-C and SIGHUP do in the workers. One the caller handles in Python is the
    caller's to pass on (the command line takes both as a word to stop): the workers ignore
    it. Otherwise they do as the caller does: end, or ignore it (nohup)."""
    handlers = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGHUP)}
    return {signum: handler if handler == signal.SIG_DFL else signal.SIG_IGN for signum, handler in handlers.items()}


def _start_method() -> str:
    """How this call starts its workers. Forking copies the calling thread alone: a lock that
    another thread held (malloc's, the import lock, a logging handler's) stays locked forever
    in the child. A process of one thread, as the system counts them (it sees the threads
    libraries start outside Python too), is forked safely and much faster than a fresh
    interpreter starts; any other starts its workers from the fork server."""
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    # A thread just joined (the last call's pool's) leaves the system's count a few
    # milliseconds after Python is done with it.
    deadline = time.monotonic() + 0.1
    while "fork" in methods and threading.active_count() == 1:
        with contextlib.suppress(OSError):  # otherwise, no way to tell
            if len(os.listdir("/proc/self/task")) == 1:
                return "fork"
        if time.monotonic() > deadline:
            break
        time.sleep(0.002)
    return "forkserver" if "forkserver" in methods else "spawn"


def _run_locally(items: list[tuple[str, _Job]], workers: int, collector: _Collector) -> None:
    """Repairs the files on a pool of worker processes. A worker that dies (killed, out of
    memory) breaks its pool, and every file not finished fails with it: the file that was
    in its hands comes back as BrokenProcessPool, and the others run again on a new pool."""
    import multiprocessing
    from concurrent.futures.process import BrokenProcessPool

    shared = multiprocessing.RawArray("q", 1 + 2 * len(items))
    method, fruitless = _start_method(), 0
    waiting = list(range(len(items)))
    while waiting:
        # A pool after the first: a callback may have started a thread (a progress bar's).
        if method == "fork" and threading.active_count() > 1:
            method = _start_method()
        context = multiprocessing.get_context(method)
        unfinished, error = _pool_round(items, waiting, min(workers, len(waiting)), context, shared, collector)
        dead = {index for index in unfinished if shared[1 + 2 * index] > 0}
        # A pool that breaks twice without a file done or to blame (its workers cannot
        # start, say) leaves its files failed with it.
        fruitless = fruitless + 1 if len(unfinished) == len(waiting) and not dead else 0
        waiting = []
        for index in unfinished:
            source = items[index][0]
            if index in dead or fruitless == 2:
                collector.finished(
                    source,
                    BrokenProcessPool(f"the worker process died while it repaired {source}")
                    if index in dead
                    else error or BrokenProcessPool(),
                )
            else:
                shared[1 + 2 * index] = 0
                waiting.append(index)


def _stop_workers(shared: Any, running: dict[Any, int]) -> None:
    """Ends the workers that do not stop by themselves: one blocked in a read (a FIFO that
    no one writes, a slow pipe) never gets to its next progress call to see the stop. SIGTERM
    interrupts the read, and the worker removes what it had written before it ends; SIGKILL
    follows for one that does not end. A second Ctrl-C cuts the waiting short."""
    import concurrent.futures
    import multiprocessing
    from multiprocessing.connection import wait as wait_for_any

    for future in running:
        future.cancel()  # those no worker has taken
    with contextlib.suppress(KeyboardInterrupt):
        concurrent.futures.wait(running, timeout=_STOP_GRACE)
    # A pool has no public way to end its workers before Python 3.14 (terminate_workers),
    # so they are found by the pids they wrote when they took their files: children not yet
    # reaped, whose pids no other process can have.
    holders = {shared[1 + 2 * index] for future, index in running.items() if not future.done()}
    processes = [process for process in multiprocessing.active_children() if process.pid in holders]
    for process in processes:
        with contextlib.suppress(OSError, ValueError):
            process.terminate()
    # A process's sentinel is ready once it has ended, whoever reaps it.
    alive: dict[Any, Any] = {process.sentinel: process for process in processes}
    deadline = time.monotonic() + _KILL_GRACE
    with contextlib.suppress(KeyboardInterrupt):
        while alive and time.monotonic() < deadline:
            for sentinel in wait_for_any(list(alive), timeout=max(0.0, deadline - time.monotonic())):
                alive.pop(sentinel)
    for process in alive.values():
        with contextlib.suppress(OSError, ValueError):
            process.kill()


def _pool_round(
    items: list[tuple[str, _Job]], batch: list[int], width: int, context: Any, shared: Any, collector: _Collector
) -> tuple[list[int], Exception | None]:
    """Runs the files of ``batch`` on one pool of ``width`` workers; returns those a dead
    worker left unfinished, and the pool's error."""
    import concurrent.futures
    from concurrent.futures.process import BrokenProcessPool

    pool = concurrent.futures.ProcessPoolExecutor(
        width, mp_context=context, initializer=_start_worker, initargs=(shared, _worker_signals())
    )
    pending: dict[Any, int] = {}
    unfinished: list[int] = []
    error: Exception | None = None
    try:
        # Ctrl-C is held back while the pool starts its processes, which inherit the blocked
        # signal: the fork server and the workers are not interrupted in their imports
        # before they set their handlers. The caller gets it once they are started.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            for position, index in enumerate(batch):
                try:
                    pending[pool.submit(_work, index, items[index][1])] = index
                except BrokenProcessPool as broken:
                    unfinished, error = batch[position:], broken
                    break
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        while pending:
            done, _ = concurrent.futures.wait(
                pending, timeout=_PROGRESS_INTERVAL, return_when=concurrent.futures.FIRST_COMPLETED
            )
            for future in done:
                index = pending.pop(future)
                try:
                    outcome = future.result()
                except BrokenProcessPool as broken:
                    unfinished.append(index)
                    error = broken
                    continue
                except Exception as failure:  # a result that did not come back whole
                    outcome = _portable(failure)
                if isinstance(outcome, RepairReport):
                    shared[2 + 2 * index] = outcome.bytes_read
                collector.finished(items[index][0], outcome)
            collector.advanced(sum(shared[2::2]))
    except BaseException:
        # Ctrl-C or a callback that raised: the files being repaired stop within a tenth
        # of a second and leave nothing behind; the others are not started.
        shared[0] = 1
        _stop_workers(shared, pending)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
    return sorted(unfinished), error


def _run_on_cluster(jobs: dict[str, _Job], client: Any, collector: _Collector) -> None:
    distributed = optional_module("distributed", "repair_many(client=...)")
    # One task per file, handed over in one message; the keys name the tasks on the
    # cluster's dashboard.
    keys = [f"rowmender-repair-{uuid.uuid4().hex}" for _ in jobs]
    futures = dict(zip(client.map(_run, list(jobs.values()), key=keys, pure=False), jobs))
    bytes_read = 0
    try:
        for future in distributed.as_completed(list(futures)):
            try:
                outcome = future.result()
            except Exception as error:  # a lost worker or a cancelled task
                outcome = _portable(error)
            if isinstance(outcome, RepairReport):
                bytes_read += outcome.bytes_read
            collector.finished(futures[future], outcome)
            collector.advanced(bytes_read)
    finally:
        unfinished = [future for future in futures if not future.done()]
        if unfinished:
            client.cancel(unfinished)


def repair_many(
    sources: Iterable[Any],
    output_dir: Any,
    *,
    jobs: int | None = None,
    client: Any = None,
    quarantine_dir: Any = None,
    changes_dir: Any = None,
    on_result: OnResult | None = None,
    progress: Progress | None = None,
    **options: Any,
) -> dict[str, Outcome]:
    """Repairs each source into ``output_dir`` under its own base name, many at once.

    ``sources`` and the folders are local paths or fsspec URLs (``s3://``, ``gs://``,
    ``memory://``, ``file://``...), which are read and written through fsspec. The side
    files go to ``quarantine_dir`` and ``changes_dir`` under the same names. Local folders
    are made when missing. Two sources that would write files of the same name, or two
    folders that are the same, raise SameFileError (a ValueError), and a source given twice
    ValueError, before anything runs.
    With ``output_dir`` None the repaired rows are not kept: the reports (and the side
    files asked for) are all there is.

    Without ``client``, ``jobs`` worker processes (default: the CPUs this process may use)
    each repair one file at a time; with one job, or with a ``memory://`` source or folder
    (whose files live in this process), the files are repaired in this process.
    With a ``dask.distributed.Client``, each file is one task on its cluster, whose
    workers need rowmender installed (and fsspec's filesystem package for URLs); local
    paths must then name the same files on the workers.

    ``options`` are :func:`repair`'s settings (``delimiter``, ``cleanup``, ``encoding``...),
    the same for every file; ``decompress=True`` also reads local sources
    compressed with gzip, bzip2 or xz (zstd with the zstandard module), recognised by their
    first bytes, as the command line does (a report's ``input_cut_off`` then says the data
    ended before its end marker), and writes a local output named ``*.gz``, ``*.bz2``,
    ``*.xz`` or ``*.zst`` compressed that way.

    Returns, keyed by each source as given (as str) and in their order, the file's
    ``RepairReport`` or the exception that stopped it: one file's failure never costs the
    others their results, nor does a worker process that dies (the file in its hands comes
    back as ``BrokenProcessPool``, and the others it took with it run again).
    ``on_result(source, outcome)`` is called on this thread as each file finishes;
    ``progress(bytes_read, total_bytes or None)`` as the whole set is read, at most about
    ten times a second on a local pool and once per finished file on a cluster, and once
    at the end. An exception raised by either stops the run: the files not started are not
    started, and it propagates.
    """
    if isinstance(sources, (str, bytes, os.PathLike)):
        raise TypeError("sources must be an iterable of paths or URLs, not a single path")
    folders = {
        role: _location(folder, role) if folder is not None else None
        for role, folder in (
            ("output_dir", output_dir),
            ("quarantine_dir", quarantine_dir),
            ("changes_dir", changes_dir),
        )
    }
    if client is not None and jobs is not None:
        raise ValueError("jobs and client cannot be used together: the cluster decides how many files run at once")
    workers = _check_jobs(jobs)
    _check_options(options)
    planned = _plan(sources, folders, options, absolute=client is not None)
    if client is None and any(is_url(location) for location in (*folders.values(), *planned) if location is not None):
        optional_module("fsspec", "repair_many with URLs")  # once, rather than once per file
    total = _total_size(planned, here=client is None) if progress is not None else None
    collector = _Collector(on_result, progress, total)
    workers = min(workers, len(planned))
    if client is not None and planned:
        _run_on_cluster(planned, client, collector)
    elif workers == 1 or any(
        in_this_process(location) for location in (*folders.values(), *planned) if location is not None
    ):
        _run_here(planned, collector)
    elif workers > 1:
        _run_locally(list(planned.items()), workers, collector)
    collector.close()
    return {source: collector.outcomes[source] for source in planned}
