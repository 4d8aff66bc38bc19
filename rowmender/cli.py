"""Command line: ``rowmender repair|check|report|sniff ...``, also run as ``python -m rowmender``.

Data goes to standard output only when asked for with ``-``; the summary, hints, progress
and errors go to standard error, so that a pipeline carries nothing but data. The exit
status says what happened (see _cli_parser).
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import io
import os
import re
import signal
import sys

from ._compressed import STDIN_NAME, CompressionError, Input, compression_of, quoted
from ._cli_output import STDOUT_NAME, Output
from ._cli_parser import EXIT_CHANGES_FOUND, EXIT_CUT_OFF, EXIT_FILE_ERROR, EXIT_INTERRUPTED, EXIT_OK, build_parser
from ._cli_progress import ProgressBar
from ._cli_summary import Outputs, changes_found, check_line, cut_off_warning, decode_sample, hints, table
from ._files import (
    DecodingError,
    NotTextError,
    SameFileError,
    all_or_nothing,
    describe,
    descriptor_of,
    refuse_same_file,
)
from ._report import RepairReport
from ._rowmender_backend import _check_settings
from ._stream import repair, rows
from ._urls import optional_module

# Not imported here: typing and dataclasses (their import would take longer than repairing a
# small file) and json (only --json needs it).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Mapping, Sequence
    from typing import Any


class _FileError(Exception):
    """A file could not be read or written; the message names it and says what to do."""


class _StandardOutputError(Exception):
    """Standard output failed (the reader went away, the disk is full)."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


# --- what a run needs ------------------------------------------------------------------


class _Options:
    """The settings of a repair or check, taken from the command line and checked."""

    __slots__ = ("repair_settings", "encoding", "expected_columns", "json", "quiet", "allow_cut_off")

    def __init__(
        self,
        repair_settings: dict[str, Any],
        encoding: str | None,
        expected_columns: int | None,
        json: bool,
        quiet: bool,
        allow_cut_off: bool = False,
    ) -> None:
        self.repair_settings = repair_settings
        self.encoding = encoding
        self.expected_columns = expected_columns
        self.json = json
        self.quiet = quiet
        self.allow_cut_off = allow_cut_off

    @classmethod
    def from_args(cls, args: argparse.Namespace, parser: argparse.ArgumentParser) -> _Options:
        settings = {
            "delimiter": args.delimiter,
            "quote_char": args.quote_char,
            "fill_ragged_rows": not args.no_fill,
            "merge_overflow": not args.no_merge,
            "expected_columns": args.expected_columns,
            "repair_quotes": not args.no_repair_quotes,
            # The command line's user wants the best repair without learning flags.
            "cleanup": True if args.cleanup is None else args.cleanup,
            "escape_char": args.escape_char,
        }
        try:
            # The Python functions' own check, so that both faces take the same settings.
            _check_settings(**settings)
        except (TypeError, ValueError) as error:
            parser.error(_as_options(str(error)))
        return cls(settings, args.encoding, args.expected_columns, args.json, args.quiet, args.allow_cut_off)


def _as_options(message: str) -> str:
    """A settings error as the command line's user reads it: "--quote-char cannot be ..."
    for "quote_char cannot be ...". The value given, after ", got", stays as it was."""
    named, got, value = message.partition(", got ")
    named = re.sub(
        r"\b(delimiter|quote_char|escape_char|expected_columns|cleanup)\b",
        lambda m: "--" + m[1].replace("_", "-"),
        named,
    )
    return named + got + value


class RepairJob:
    """One input and where its outputs go ("-": the standard streams); no OUTPUT for a report
    alone."""

    __slots__ = ("input", "output", "quarantine", "changes", "report")

    def __init__(
        self,
        input: str,
        output: str | None,
        quarantine: str | None = None,
        changes: str | None = None,
        report: str | None = None,
    ) -> None:
        self.input = input
        self.output = output
        self.quarantine = quarantine
        self.changes = changes
        self.report = report

    def outputs(self) -> dict[str, str]:
        named = {
            "OUTPUT": self.output,
            "--quarantine": self.quarantine,
            "--changes": self.changes,
            "--report": self.report,
        }
        return {role: name for role, name in named.items() if name is not None}


class _Outcome:
    __slots__ = ("report", "notes")

    def __init__(self, report: RepairReport, notes: list[str]) -> None:
        self.report = report  # input_cut_off: the compressed input was cut off, its rows are repaired all the same
        self.notes = notes  # warnings and hints, each a line beginning with its kind


# --- printing --------------------------------------------------------------------------


def _json(value: object) -> str:
    import json

    return json.dumps(value)


def _tell(line: str) -> None:
    """A diagnostic: standard error, where it never mixes with data."""
    try:
        print(line, file=sys.stderr, flush=True)
    except OSError:
        pass  # with standard error gone there is no one left to tell


def _emit(text: str, to_stderr: bool = False) -> None:
    """A result: standard output (or standard error when data goes to standard output)."""
    if to_stderr:
        _tell(text)
        return
    try:
        print(text, file=sys.stdout, flush=True)
    except OSError as error:
        raise _StandardOutputError(error) from None


_ADVICE = {
    errno.ENOENT: "check the name",
    errno.EACCES: "check the permissions",
    errno.EPERM: "check the permissions",
    errno.EISDIR: "name a file, not a folder",
    errno.ENOSPC: "free some space or write elsewhere",
    errno.EDQUOT: "free some space or write elsewhere",
    errno.EROFS: "write elsewhere",
    errno.ENAMETOOLONG: "choose a shorter name",
    errno.EMLINK: "write elsewhere and copy the result over it",
}


def _reason(error: OSError) -> str:
    reason = error.strerror or str(error)
    advice = _ADVICE.get(error.errno or 0)
    return f"{reason}; {advice}" if advice else reason


# --- repair ----------------------------------------------------------------------------


def _check_output_place(name: str) -> None:
    # Found before anything is read, with a message that says which path is at fault.
    if name == "-":
        return
    if os.path.isdir(name):
        raise _FileError(f"cannot write {quoted(name)}: Is a directory; name a file, not a folder")
    folder = os.path.dirname(name) or "."
    if not os.path.isdir(folder):
        raise _FileError(f"cannot write {quoted(name)}: {quoted(folder)} is not an existing folder; create it first")


def _refuse_clashes(job: RepairJob) -> None:
    """Two outputs in one file, or a side file over the input, would lose data: refused
    before anything is written. OUTPUT may be INPUT (a repair in place) unless it is
    standard output, which would read its own output."""
    outputs = list(job.outputs().items())

    def shown(role: str) -> str:
        name = job.outputs()[role]
        return STDOUT_NAME if name == "-" else f"{role} {quoted(name)}"

    def explain(role: str, _value: object, other: str | None) -> str:
        if other is None:
            return f"{shown(role)} is the input file {_show_input(job.input)}"
        return f"{shown(other)} and {shown(role)} are the same file"

    refuse_same_file(
        0 if job.input == "-" else job.input,
        [(role, 1 if name == "-" else name) for role, name in outputs],
        in_place="OUTPUT",
        explain=explain,
    )


def _repair_one(
    job: RepairJob, options: _Options, changes_hint: str = "--changes", threads: int = 1, client: Any = None
) -> _Outcome:
    """Repairs one input into its outputs, on ``threads`` threads or a cluster's ``client``;
    ``changes_hint`` is what the hint about merged rows points to when no change log is
    written."""
    for name in job.outputs().values():
        _check_output_place(name)
    with Input(job.input) as input_:
        _refuse_clashes(job)
        if client is not None and not isinstance(input_.source, str):
            kind = "compressed" if input_.compression else "not a regular file"
            raise _FileError(
                f"{_show_input(job.input)} is {kind}: --scheduler cuts a regular file into pieces; "
                "repair it without --scheduler"
            )
        with all_or_nothing() as committed:
            outputs: dict[str, Output] = {}
            # The side files first: all_or_nothing puts them in place before the output.
            for role, name in sorted(job.outputs().items(), key=lambda item: item[0] == "OUTPUT"):
                outputs[role] = Output(name)
                committed.append(outputs[role])
            quarantine, changes, page = outputs.get("--quarantine"), outputs.get("--changes"), outputs.get("--report")
            with ProgressBar(input_.name, input_.size, enabled=not options.quiet) as bar:
                common: dict[str, Any] = dict(
                    encoding=options.encoding,
                    progress=(lambda done, _total: bar.update(input_.position(done))) if bar.active else None,
                    changes=changes.target if changes else None,
                    **options.repair_settings,
                )
                target = outputs["OUTPUT"].target if "OUTPUT" in outputs else None
                if page is None:
                    report = repair(
                        input_.source,
                        target,
                        quarantine.target if quarantine else None,
                        threads=threads,
                        client=client,
                        **common,
                    )
                else:
                    from ._damage_report import repair_with_report

                    report = repair_with_report(
                        input_.source,
                        page.target,
                        target,
                        quarantine.target if quarantine else None,
                        name=STDIN_NAME if job.input == "-" else job.input,
                        finish=input_.finished,
                        **common,
                    )
        report = input_.finished(report)
        notes: list[str] = []
        if not options.quiet:
            if report.input_cut_off:
                notes.append(f"warning: {cut_off_warning(str(input_.compression))}")
            notes += [
                f"hint: {hint}"
                for hint in hints(
                    report,
                    expected_columns=options.expected_columns,
                    sample=lambda: decode_sample(input_.sample(), report.encoding),
                    raw_sample=input_.sample,
                    changes_hint=quoted(changes.name) if changes else changes_hint,
                    rows_confined=_rule_on(options.repair_settings["cleanup"], "one_line_rows"),
                    line_number_of=input_.line_number_of,
                )
            ]
    return _Outcome(report, notes)


def _rule_on(cleanup: bool | tuple[str, ...], rule: str) -> bool:
    """Whether the cleanup setting, as the command line spells it, turns on `rule`."""
    return cleanup is True or (not isinstance(cleanup, bool) and rule in cleanup)


def _explain(error: BaseException, job: RepairJob, action: str) -> BaseException:
    """The error of a repair or check as the exception main() reports."""
    if isinstance(error, MemoryError):
        return _FileError(f"not enough memory to {action} {_show_input(job.input)}")
    if isinstance(error, (CompressionError, DecodingError)):
        return _FileError(str(error))
    if isinstance(error, NotTextError):
        return _FileError(f"{_show_input(job.input)} is {error.kind}, not delimited text")
    if isinstance(error, SameFileError):
        return _FileError(f"{error}; choose another file")
    if not isinstance(error, OSError):
        return error
    named = None if error.filename is None else os.fsdecode(error.filename)
    if named == describe(1):  # standard output, as the engine names it
        return _StandardOutputError(error)
    if named in (describe(0), STDIN_NAME):
        return _FileError(f"cannot read standard input: {_reason(error)}")
    if named is None:
        targets = " and ".join(_show_output(name) for name in job.outputs().values())
        return _FileError(f"cannot {action} {_show_input(job.input)} into {targets}: {error}")
    read = named == job.input
    written = named in job.outputs().values()
    verb = "repair in place" if read and written else "read" if read else "write"
    return _FileError(f"cannot {verb} {quoted(named)}: {_reason(error)}")


def _status(reports: Sequence[RepairReport], failed: bool, options: _Options, check: bool) -> int:
    """The exit status of a run: a failure first, then an input cut off (unless allowed),
    then, for check, a file a repair would change."""
    if failed:
        return EXIT_FILE_ERROR
    if not options.allow_cut_off and any(report.input_cut_off for report in reports):
        return EXIT_CUT_OFF
    if check and any(changes_found(report) for report in reports):
        return EXIT_CHANGES_FOUND
    return EXIT_OK


def _show_input(name: str) -> str:
    return STDIN_NAME if name == "-" else quoted(name)


def _show_output(name: str) -> str:
    return STDOUT_NAME if name == "-" else quoted(name)


@contextlib.contextmanager
def _cluster(address: str | None, parser: argparse.ArgumentParser) -> Iterator[Any]:
    """A client of the Dask scheduler at ``address`` while the repair runs; None without one."""
    if address is None:
        yield None
        return
    try:
        distributed = optional_module("distributed", "--scheduler")
    except ImportError as error:
        parser.error(str(error))
    try:
        client = distributed.Client(address)
    except (OSError, ValueError) as error:
        raise _FileError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    with client:
        yield client


def _repair_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    options = _Options.from_args(args, parser)
    many = {
        "--output-dir": args.output_dir,
        "--quarantine-dir": args.quarantine_dir,
        "--changes-dir": args.changes_dir,
        "--jobs": args.jobs,
    }
    if args.scheduler is not None:
        for option, given in (("--threads", args.threads != 1), ("--jobs", args.jobs is not None)):
            if given:
                parser.error(f"{option} and --scheduler cannot be used together: the cluster's workers do the work")
        if args.report is not None:
            parser.error("--report is made by a repair on this machine; it does not go with --scheduler")
        if args.output_dir is None and args.paths[:1] == ["-"]:
            parser.error("--scheduler cuts a file into pieces: standard input (-) cannot be cut")

    if args.output_dir is not None:
        if args.threads != 1:
            parser.error("--threads repairs one file on several threads; with --output-dir, use --jobs")
        if args.report is not None:
            parser.error("--report names one file; it goes with one INPUT and OUTPUT, not --output-dir")
        for option, value in (("--quarantine", args.quarantine), ("--changes", args.changes)):
            if value is not None:
                parser.error(f"{option} names one file; with --output-dir, use {option}-dir")
        if "-" in args.paths:
            parser.error("with --output-dir every INPUT must be a file: standard input (-) has no name")
        for folder in (args.output_dir, args.quarantine_dir, args.changes_dir):
            if folder is not None and os.path.exists(folder) and not os.path.isdir(folder):
                raise _FileError(f"cannot write into {quoted(folder)}: it is a file, not a folder")
        with _cluster(args.scheduler, parser) as client:
            return _repair_many(
                args.paths, options, args.output_dir, args.quarantine_dir, args.changes_dir, args.jobs, parser, client
            )
    given = [option for option, value in many.items() if value is not None]
    if given:
        parser.error(f"{given[0]} goes with --output-dir")
    if len(args.paths) != 2:
        parser.error("give INPUT and OUTPUT, or many INPUTs with --output-dir DIR")
    job = RepairJob(args.paths[0], args.paths[1], args.quarantine, args.changes, args.report)
    on_stdout = [role for role, name in job.outputs().items() if name == "-"]
    if len(on_stdout) > 1:
        parser.error(f"{' and '.join(on_stdout)} cannot both be standard output")
    try:
        with _cluster(args.scheduler, parser) as client:
            outcome = _repair_one(job, options, threads=args.threads, client=client)
    except (MemoryError, CompressionError, OSError, ValueError) as error:
        raise _explain(error, job, "repair") from None
    # With data on standard output, everything else goes to standard error.
    data_on_stdout = bool(on_stdout) or any(descriptor_of(name) == 1 for name in job.outputs().values())
    if options.json:
        _emit(_json(outcome.report.to_dict()), to_stderr=data_on_stdout)
    elif not options.quiet:
        shown = {role: STDOUT_NAME if name == "-" else name for role, name in job.outputs().items()}
        _tell(
            table(
                outcome.report,
                Outputs(shown["OUTPUT"], shown.get("--quarantine"), shown.get("--changes"), shown.get("--report")),
            )
        )
    for note in outcome.notes:
        _tell(f"rowmender: {note}")
    return _status([outcome.report], False, options, check=False)


# --- many files ------------------------------------------------------------------------


def _failure_line(source: str, error: BaseException) -> str:
    if isinstance(error, OSError):
        named = os.fsdecode(error.filename) if error.filename is not None else source
        return f"{quoted(named)}: {_reason(error)}"
    if isinstance(error, MemoryError):
        return f"{quoted(source)}: not enough memory"
    if isinstance(error, NotTextError):
        return f"{quoted(source)}: {error.kind}, not delimited text"
    return f"{quoted(source)}: {error}"


def _run_many(
    sources: list[str],
    options: _Options,
    parser: argparse.ArgumentParser,
    jobs: int | None,
    show: Callable[[str, RepairReport], None],
    client: Any = None,
    **folders: str | None,
) -> Mapping[str, object]:
    """Runs repair_many with a line per finished file, one progress bar for the whole set,
    and usage errors (a clash of names, a bad setting) found before anything runs."""
    from ._many import repair_many

    failures = 0

    def finished(source: str, outcome: object) -> None:
        nonlocal failures
        if isinstance(outcome, RepairReport):
            show(source, outcome)
            if outcome.input_cut_off and not options.quiet:
                _tell(f"rowmender: warning: {source}: {cut_off_warning(_compression_of_file(source))}")
        else:
            failures += 1
            _tell(f"rowmender: error: {_failure_line(source, outcome)}")  # type: ignore[arg-type]

    label = f"{len(sources)} files"
    # The bar starts with the first progress call: its own thread, started before the pool,
    # would keep the workers from being forked.
    bars: list[ProgressBar] = []

    def progress(done: int, total: int | None) -> None:
        if not bars:
            bars.append(ProgressBar(label, total, enabled=not options.quiet))
        bars[0].update(done)

    try:
        return repair_many(
            sources,
            folders.pop("output_dir"),
            jobs=jobs,
            client=client,
            on_result=finished,
            progress=progress if not options.quiet and sys.stderr.isatty() else None,
            decompress=True,
            encoding=options.encoding,
            **folders,
            **options.repair_settings,
        )
    except (ValueError, TypeError) as error:
        parser.error(str(error))
    finally:
        for bar in bars:
            bar.close()


def _compression_of_file(name: str) -> str:
    try:
        with open(name, "rb") as file:
            return compression_of(file.read(16)) or "compressed"
    except OSError:
        return "compressed"


def _outcome_status(outcomes: Mapping[str, object], options: _Options, check: bool) -> int:
    reports = [o for o in outcomes.values() if isinstance(o, RepairReport)]
    return _status(reports, len(reports) < len(outcomes), options, check)


def _totals(outcomes: Mapping[str, object]) -> str:
    reports = [o for o in outcomes.values() if isinstance(o, RepairReport)]
    failed = len(outcomes) - len(reports)
    rows = sum(r.total_rows for r in reports)
    repaired = sum(r.repaired_rows for r in reports)
    quarantined = sum(r.quarantined_rows for r in reports)
    return (
        f"{len(outcomes)} files: {len(reports)} done, {failed} failed; {rows} rows read, {repaired} repaired, "
        f"{quarantined} quarantined"
    )


def _repair_many(
    sources: list[str],
    options: _Options,
    output_dir: str,
    quarantine_dir: str | None,
    changes_dir: str | None,
    jobs: int | None,
    parser: argparse.ArgumentParser,
    client: Any = None,
) -> int:
    def show(source: str, report: RepairReport) -> None:
        if options.json:
            _emit(_json({"file": source, **report.to_dict()}))
        elif not options.quiet:
            _tell(
                f"{source}: {report.total_rows} rows, {report.repaired_rows} repaired, "
                f"{report.quarantined_rows} quarantined"
            )

    outcomes = _run_many(
        sources,
        options,
        parser,
        jobs,
        show,
        output_dir=output_dir,
        quarantine_dir=quarantine_dir,
        changes_dir=changes_dir,
        client=client,
    )
    if not options.quiet and not options.json:
        _tell(_totals(outcomes))
    return _outcome_status(outcomes, options, check=False)


# --- check -----------------------------------------------------------------------------


def _check_many(args: argparse.Namespace, options: _Options, parser: argparse.ArgumentParser) -> int:
    def show(source: str, report: RepairReport) -> None:
        if options.json:
            _emit(_json({"file": source, **report.to_dict(), "would_change": changes_found(report)}))
        elif not options.quiet:
            _emit(check_line(source, report))

    outcomes = _run_many(args.inputs, options, parser, args.jobs, show, output_dir=None)
    return _outcome_status(outcomes, options, check=True)


def _check_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    options = _Options.from_args(args, parser)
    if args.inputs.count("-") > 1:
        parser.error("standard input (-) can be read only once")
    # Worker processes for several distinct files; a file named twice is simply read twice.
    if len(args.inputs) > 1 and "-" not in args.inputs and args.jobs != 1 and len(set(args.inputs)) == len(args.inputs):
        return _check_many(args, options, parser)
    failed = False
    reports: list[RepairReport] = []
    for name in args.inputs:
        job = RepairJob(name, os.devnull)
        try:
            outcome = _repair_one(job, options, changes_hint="rowmender repair --changes")
        except (MemoryError, CompressionError, OSError, ValueError) as error:
            explained = _explain(error, job, "check")
            if not isinstance(explained, _FileError):
                raise explained from None
            _tell(f"rowmender: error: {explained}")
            failed = True
            continue
        reports.append(outcome.report)
        would_change = changes_found(outcome.report)
        shown = STDIN_NAME if name == "-" else name
        if options.json:
            _emit(_json({"file": shown, **outcome.report.to_dict(), "would_change": would_change}))
        elif not options.quiet:
            _emit(check_line(shown, outcome.report))
        for note in outcome.notes:
            kind, text = note.split(": ", 1)
            _tell(f"rowmender: {kind}: {shown}: {text}")
    return _status(reports, failed, options, check=True)


# --- report ----------------------------------------------------------------------------


def _report_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """The HTML report of one INPUT, to -o FILE or standard output; the verdict line (as
    check prints it) on standard error, and the exit status of check."""
    options = _Options.from_args(args, parser)
    if args.output is None and sys.stdout.isatty():
        parser.error("give -o REPORT.html, or send standard output to a file: the report is a web page")
    page = "-" if args.output is None else args.output
    job = RepairJob(args.input, None, args.quarantine, args.changes, page)
    on_stdout = [role for role, name in job.outputs().items() if name == "-"]
    if len(on_stdout) > 1:
        parser.error(f"{' and '.join(on_stdout)} cannot both be standard output")
    try:
        outcome = _repair_one(job, options, changes_hint="rowmender repair --changes")
    except (MemoryError, CompressionError, OSError, ValueError) as error:
        raise _explain(error, job, "report on") from None
    shown = STDIN_NAME if args.input == "-" else args.input
    if options.json:
        _emit(
            _json({"file": shown, **outcome.report.to_dict(), "would_change": changes_found(outcome.report)}),
            to_stderr=bool(on_stdout),
        )
    elif not options.quiet:
        _tell(check_line(shown, outcome.report))
    for note in outcome.notes:
        _tell(f"rowmender: {note}")
    return _status([outcome.report], False, options, check=True)


# --- sniff -----------------------------------------------------------------------------


def _sniff_command(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    job = RepairJob(args.file, os.devnull)
    try:
        with Input(args.file) as input_:
            text = decode_sample(input_.sample(), None)
    except (MemoryError, CompressionError, OSError) as error:
        raise _explain(error, job, "read") from None
    # The delimiter a repair with the default rules would take, which may be the one its
    # header agrees with where the module's sniff weighs wide rows more (see the delimiter
    # rule): what this prints is what `repair` uses.
    with rows(io.BytesIO(text.encode("utf-8", "surrogatepass")), cleanup=True) as stream:
        for _ in stream:
            break
        delimiter = stream.report.detected_delimiter
    _emit("\\t" if delimiter == "\t" else delimiter)
    return EXIT_OK


# --- main ------------------------------------------------------------------------------


_COMMANDS: dict[str, Callable[[argparse.Namespace, argparse.ArgumentParser], int]] = {
    "repair": _repair_command,
    "check": _check_command,
    "report": _report_command,
    "sniff": _sniff_command,
}


def _silence_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's last flush at exit
    cannot fail a second time with a traceback."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


def _die_of_broken_pipe() -> int:
    """What a reader that went away (``| head``) deserves: a quiet end, by SIGPIPE as a C
    program would, so the shell sees 141 and a pipeline's status is what it expects."""
    _silence_stdout()
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + signal.SIGPIPE  # not reached: the signal ends the process


class _Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP, taken as Ctrl-C is: whatever stops and cleans up for Ctrl-C (the
    engine, the temporary files, the workers) does so for them too."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, _frame: object) -> None:
    raise _Stopped(signum)


_STOPPING: dict[int, str] = {signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}


def _catch_stop_signals() -> dict[int, Any]:
    """Handlers for SIGTERM and SIGHUP; the ones they replace, to put back. A signal that is
    ignored (``nohup``) stays ignored."""
    replaced: dict[int, Any] = {}
    for signum in _STOPPING:
        try:
            if signal.getsignal(signum) == signal.SIG_DFL:
                replaced[signum] = signal.signal(signum, _stop)
        except ValueError:  # not the main thread: signals are not this call's to handle
            break
    return replaced


def main(argv: Sequence[str] | None = None) -> int:
    # File names that are not valid in the system's encoding reach Python as surrogates;
    # printed, they become the bytes they were, as other tools print them.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="surrogateescape")
    args = build_parser().parse_args(argv)
    replaced = _catch_stop_signals()
    try:
        return _COMMANDS[args.command](args, args.parser)
    except _Stopped as stopped:
        _tell(f"rowmender: {_STOPPING[stopped.signum]}")
        return 128 + stopped.signum
    except KeyboardInterrupt:
        _tell("rowmender: interrupted")
        return EXIT_INTERRUPTED
    except _FileError as error:
        _tell(f"rowmender: error: {error}")
        return EXIT_FILE_ERROR
    except _StandardOutputError as failure:
        if failure.error.errno == errno.EPIPE:
            return _die_of_broken_pipe()
        _silence_stdout()
        _tell(f"rowmender: error: cannot write to standard output: {_reason(failure.error)}")
        return EXIT_FILE_ERROR
    finally:
        for signum, handler in replaced.items():
            signal.signal(signum, handler)
