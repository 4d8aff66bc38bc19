"""repair_many: every file comes out as repair() alone makes it, whichever road it takes (this
process, a local pool, a Dask cluster; paths or fsspec URLs), and failures come back as
values that survive pickling."""

from __future__ import annotations

import ast
import contextlib
import errno
import os
import pickle
import random
import subprocess
import sys
import threading
import time
import uuid
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import Any

import pytest

import rowmender

# Settings other than the defaults, so that they are seen to reach every worker.
OPTIONS = {"merge_overflow": False, "encoding": "utf-8"}
FILES = 5


def damaged_csv(seed: int) -> bytes:
    """A small table with the usual damage: short and long rows, stray quotes, bad bytes,
    quoted line breaks, mixed line ends, and now and then a byte-order mark, no final line
    end or a quote left open."""
    rng = random.Random(seed)
    delimiter = rng.choice(",;\t|").encode()
    width = rng.randint(2, 6)
    fields = [b"plain", b'"quoted, text"', b'"stray "quote" here"', b'5" screen', b"caf\xe9", b"", b'"two\nlines"']
    lines = [delimiter.join(b"h%d" % column for column in range(width))]
    for _ in range(rng.randint(20, 120)):
        count = max(1, width + rng.choice((0, 0, 0, 0, -1, 1, 2, -2)))
        lines.append(delimiter.join(rng.choice(fields) for _ in range(count)))
    data = b"".join(line + rng.choice((b"\n", b"\n", b"\r\n", b"\r")) for line in lines)
    if rng.random() < 0.3:
        data = b"\xef\xbb\xbf" + data
    if rng.random() < 0.3:
        data = data.rstrip(b"\r\n")
    if rng.random() < 0.2:
        data += b'\n"left open'
    return data


INPUTS = {f"part-{seed}.csv": damaged_csv(seed) for seed in range(FILES)}


def repaired_one_by_one(tmp_path: Path) -> dict[str, tuple[rowmender.RepairReport, bytes, bytes, bytes]]:
    """The reference: repair() on each input alone."""
    folder = tmp_path / "reference"
    folder.mkdir()
    expected = {}
    for name, data in INPUTS.items():
        (folder / name).write_bytes(data)
        outputs = [folder / f"{name}.{kind}" for kind in ("out", "quarantine", "changes")]
        report = rowmender.repair(folder / name, outputs[0], outputs[1], changes=outputs[2], **OPTIONS)
        expected[name] = (report, *(path.read_bytes() for path in outputs))
    return expected


class LocalFiles:
    """Inputs and outputs in a local folder, named by path or by file:// URL. Besides the
    inputs: a missing file, a folder, a symbolic link to itself (unreadable even for root)
    and, when not root, a file without read permission."""

    def __init__(self, root: Path, urls: bool) -> None:
        self.root = root
        self.prefix = "file://" if urls else ""

    def place(self) -> tuple[list[str], dict[str, tuple[type[OSError], int]]]:
        folder = self.root / "in"
        folder.mkdir()
        for name, data in INPUTS.items():
            (folder / name).write_bytes(data)
        (folder / "folder.csv").mkdir()
        (folder / "loop.csv").symlink_to("loop.csv")
        failures = {
            "missing.csv": (FileNotFoundError, errno.ENOENT),
            "folder.csv": (IsADirectoryError, errno.EISDIR),
            "loop.csv": (OSError, errno.ELOOP),
        }
        if os.geteuid() != 0:
            (folder / "locked.csv").write_bytes(b"a,b\n")
            (folder / "locked.csv").chmod(0)
            failures["locked.csv"] = (PermissionError, errno.EACCES)
        names = [*INPUTS, *failures]
        random.Random(7).shuffle(names)
        return [self.prefix + str(folder / name) for name in names], failures

    def folder(self, kind: str) -> str:
        return self.prefix + str(self.root / kind)

    def read(self, kind: str, name: str) -> bytes:
        return (self.root / kind / name).read_bytes()


class MemoryFiles:
    """Inputs and outputs in fsspec's memory filesystem: this process's, or, with a client,
    each cluster worker's own (the inputs are put on every worker; each output is on the
    worker that wrote it)."""

    def __init__(self, client: Any = None) -> None:
        pytest.importorskip("fsspec")
        self.client = client
        self.prefix = f"memory://rowmender-test-{uuid.uuid4().hex}"

    def _everywhere(self, function: Any, *args: Any) -> list[Any]:
        if self.client is None:
            return [function(*args)]
        return list(self.client.run(function, *args).values())

    def place(self) -> tuple[list[str], dict[str, tuple[type[OSError], int]]]:
        def put(prefix: str, files: dict[str, bytes]) -> None:
            import fsspec

            filesystem = fsspec.filesystem("memory")
            for name, data in files.items():
                filesystem.pipe(f"{prefix}/in/{name}", data)
            filesystem.mkdir(f"{prefix}/in/folder.csv")

        self._everywhere(put, self.prefix, INPUTS)
        failures = {"missing.csv": (FileNotFoundError, errno.ENOENT), "folder.csv": (IsADirectoryError, errno.EISDIR)}
        return [f"{self.prefix}/in/{name}" for name in [*failures, *INPUTS]], failures

    def folder(self, kind: str) -> str:
        return f"{self.prefix}/{kind}"

    def read(self, kind: str, name: str) -> bytes:
        def get(url: str) -> bytes | None:
            import fsspec

            filesystem = fsspec.filesystem("memory")
            return filesystem.cat(url) if filesystem.exists(url) else None

        (found,) = [data for data in self._everywhere(get, f"{self.prefix}/{kind}/{name}") if data is not None]
        return found


ROADS = {
    "this process": (lambda tmp_path, _: LocalFiles(tmp_path, urls=False), {"jobs": 1}),
    "local pool": (lambda tmp_path, _: LocalFiles(tmp_path, urls=False), {"jobs": 2}),
    # Workers are not forked from a process with other threads.
    "local pool, caller with a thread": (
        lambda tmp_path, _: LocalFiles(tmp_path, urls=False),
        {"jobs": 2, "thread": True},
    ),
    "local pool, file URLs": (
        lambda tmp_path, _: (pytest.importorskip("fsspec"), LocalFiles(tmp_path, urls=True))[1],
        {"jobs": 2},
    ),
    "this process, memory URLs": (lambda _, __: MemoryFiles(), {"jobs": 1}),
    "cluster": (lambda tmp_path, client: LocalFiles(tmp_path, urls=False), {"client": "cluster"}),
    "cluster, memory URLs": (lambda _, client: MemoryFiles(client), {"client": "cluster"}),
}


# Dask's event loop asks for a call the installed tornado deprecates.
@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
@pytest.mark.parametrize("road", ROADS)
def test_each_file_comes_out_as_repair_alone_makes_it(
    tmp_path: Path, request: pytest.FixtureRequest, road: str
) -> None:
    make_files, how = ROADS[road]
    how = dict(how)
    if how.get("client"):
        how["client"] = request.getfixturevalue("cluster_client")
    files = make_files(tmp_path, how.get("client"))
    sources, failures = files.place()
    heard: list[tuple[str, Any, int]] = []
    progress: list[tuple[int, int | None]] = []
    waiting = threading.Event()
    if how.pop("thread", False):
        threading.Thread(target=waiting.wait, daemon=True).start()

    try:
        results = rowmender.repair_many(
            sources,
            files.folder("out"),
            quarantine_dir=files.folder("quarantine"),
            changes_dir=files.folder("changes"),
            on_result=lambda source, outcome: heard.append((source, outcome, threading.get_ident())),
            progress=lambda read, total: progress.append((read, total)),
            **how,
            **OPTIONS,
        )
    finally:
        waiting.set()

    assert list(results) == sources
    assert sorted(heard, key=lambda item: sources.index(item[0])) == [
        (source, results[source], threading.get_ident()) for source in sources
    ]
    expected = repaired_one_by_one(tmp_path)
    for source, outcome in results.items():
        name = source.rsplit("/", 1)[1]
        if name in failures:
            kind, code = failures[name]
            assert type(outcome) is kind and outcome.errno == code and outcome.filename == source
            continue
        report, *outputs = expected[name]
        assert outcome == report
        assert [files.read(kind, name) for kind in ("out", "quarantine", "changes")] == outputs
    # Everything that comes back crosses process boundaries intact.
    again = pickle.loads(pickle.dumps(results))
    assert [
        (type(value), getattr(value, "args", value), getattr(value, "filename", None)) for value in again.values()
    ] == [(type(value), getattr(value, "args", value), getattr(value, "filename", None)) for value in results.values()]
    # The whole set's progress only grows, and ends at what the inputs held.
    read = sum(report.bytes_read for report, *_ in expected.values())
    reads = [value for value, _ in progress]
    assert reads == sorted(reads) and progress[-1][0] == read
    # A cluster's files may not be where the caller looks (a missing one is not), so the
    # total is not known there.
    assert {total for _, total in progress} == {None if "client" in how else read}


def test_without_an_output_folder_only_the_reports_come_back(tmp_path: Path) -> None:
    # Nothing is written, so files of the same name in different folders do not clash.
    sources = []
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        for name, data in INPUTS.items():
            (tmp_path / folder / name).write_bytes(data)
            sources.append(str(tmp_path / folder / name))
    expected = repaired_one_by_one(tmp_path)
    before = sorted(tmp_path.rglob("*"))

    results = rowmender.repair_many(sources, None, jobs=2, **OPTIONS)

    assert results == {source: expected[Path(source).name][0] for source in sources}
    assert sorted(tmp_path.rglob("*")) == before


def test_a_file_that_kills_its_worker_costs_no_other_file_its_result(tmp_path: Path) -> None:
    psutil = pytest.importorskip("psutil")
    folder = tmp_path / "in"
    folder.mkdir()
    for name, data in INPUTS.items():
        (folder / name).write_bytes(data)
    # Two named pipes. Whichever worker opens killer.csv is killed, every time. slow.csv
    # holds the other worker until then, so that the pool breaks with files in a worker's
    # hands, queued and not yet given out; after that it is fed like a file.
    killer, slow = folder / "killer.csv", folder / "slow.csv"
    os.mkfifo(killer)
    os.mkfifo(slow)
    killed, done = threading.Event(), threading.Event()
    first_readers: list[Any] = []

    def holder(pipe: Path) -> Any:
        for process in psutil.Process().children(recursive=True):
            with contextlib.suppress(OSError):
                if any(
                    os.readlink(f"/proc/{process.pid}/fd/{fd}") == str(pipe)
                    for fd in os.listdir(f"/proc/{process.pid}/fd")
                ):
                    return process
        return None

    def wait_while(condition: Any) -> None:
        while condition() and not done.is_set():
            time.sleep(0.001)

    def kill_its_readers() -> None:
        while not done.is_set():
            with open(killer, "wb"):  # returns once a worker has the other end open
                wait_while(lambda: not killed.is_set() and holder(slow) is None)
                process = holder(killer)
                if process is not None:
                    if not killed.is_set():
                        first_readers.append(holder(slow))  # the worker the break ends
                    process.kill()
                    killed.set()

    def alive(process: Any) -> bool:
        if process is None:
            return False
        with contextlib.suppress(psutil.NoSuchProcess):
            return bool(process.status() != psutil.STATUS_ZOMBIE)
        return False

    def feed_slowly() -> None:
        with contextlib.suppress(BrokenPipeError), open(slow, "wb") as pipe:
            pipe.write(INPUTS["part-0.csv"])
            pipe.flush()
            # No end of file before the broken pool ends the worker that reads it.
            wait_while(lambda: not killed.is_set() or any(alive(reader) for reader in first_readers))
            # A worker of the next pool may have opened the pipe already: it gets the file
            # whole before the end of file (with no reader yet, the write fails).
            pipe.write(INPUTS["part-0.csv"])
        while not done.is_set():
            with contextlib.suppress(BrokenPipeError), open(slow, "wb") as pipe:
                pipe.write(INPUTS["part-0.csv"])
            wait_while(lambda: holder(slow) is not None)

    for helper in (kill_its_readers, feed_slowly):
        threading.Thread(target=helper, daemon=True).start()
    sources = [str(killer), str(slow), *(str(folder / name) for name in INPUTS)]
    try:
        results = rowmender.repair_many(sources, tmp_path / "out", jobs=2, **OPTIONS)
    finally:
        done.set()
        for pipe in (killer, slow):  # lets the helpers see that they are done
            os.close(os.open(pipe, os.O_RDONLY | os.O_NONBLOCK))

    assert killed.is_set() and isinstance(results.pop(str(killer)), BrokenProcessPool)
    expected = repaired_one_by_one(tmp_path)
    assert results.pop(str(slow)) == expected["part-0.csv"][0]
    assert results == {source: expected[Path(source).name][0] for source in results}
    assert all((tmp_path / "out" / name).read_bytes() == expected[name][1] for name in INPUTS)


# A script whose sources kill their worker as their names say: by a crash, by os._exit, by
# SIGKILL; "slow" ones are in a worker's hands when that happens.
DYING = """
import ctypes, os, signal, sys, time
import fsspec, rowmender

class Dying(fsspec.AbstractFileSystem):
    def _open(self, path, mode="rb", **kwargs):
        if "segfault" in path: ctypes.string_at(0)
        if "exit" in path: os._exit(3)
        if "kill" in path: os.kill(os.getpid(), signal.SIGKILL)
        if "slow" in path: time.sleep(0.5)
        return open(sys.argv[1], "rb")

if __name__ == "__main__":
    fsspec.register_implementation("dying", Dying)
    results = rowmender.repair_many([f"dying://{name}" for name in sys.argv[2:]], None, jobs=2)
    print({source[8:]: type(outcome).__name__ for source, outcome in results.items()})
"""


def test_only_the_file_in_the_hands_of_a_worker_that_dies_fails(tmp_path: Path) -> None:
    # In a child process: its workers are forked from it, so they know its filesystem.
    pytest.importorskip("fsspec")
    (tmp_path / "in.csv").write_bytes(INPUTS["part-0.csv"])
    (tmp_path / "dying.py").write_text(DYING, encoding="utf-8")
    names = ["slow-1", "segfault", "a", "slow-2", "exit", "b", "slow-3", "kill", "c", "d"]

    done = subprocess.run(
        [sys.executable, tmp_path / "dying.py", tmp_path / "in.csv", *names],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )

    assert done.returncode == 0, done.stderr
    dying = ("segfault", "exit", "kill")
    assert ast.literal_eval(done.stdout) == {
        name: "BrokenProcessPool" if name in dying else "RepairReport" for name in names
    }


REFUSED = [
    # sources, other arguments, error, what the message names
    (["a/x.csv", "b/x.csv"], {}, ValueError, "x.csv"),
    (["a/x.csv", "a/x.csv"], {}, ValueError, "x.csv"),
    (["a/x.csv", "memory://bucket/x.csv"], {}, ValueError, "x.csv"),
    (["a/"], {}, ValueError, "a/"),
    (["a/x.csv"], {"quarantine_dir": "{out}/"}, ValueError, "same folder"),
    (["a/x.csv"], {"changes_dir": "{out}/../out"}, ValueError, "same folder"),
    ("a/x.csv", {}, TypeError, "single path"),
    (["a/x.csv"], {"changes": "c.csv"}, TypeError, "changes_dir"),
    (["a/x.csv"], {"sheet": 2}, TypeError, "sheet"),
    (["a/x.csv"], {"delimiter": ";;"}, ValueError, "delimiter"),
    (["a/x.csv"], {"encoding": "no-such-codec"}, LookupError, "no-such-codec"),
    (["a/x.csv"], {"jobs": 0}, ValueError, "jobs"),
    (["a/x.csv"], {"jobs": 2, "client": object()}, ValueError, "client"),
]


@pytest.mark.parametrize(("sources", "arguments", "error", "named"), REFUSED)
def test_refused_before_anything_runs(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    sources: Any,
    arguments: dict[str, Any],
    error: type[Exception],
    named: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "x.csv").write_bytes(INPUTS["part-0.csv"])
    arguments = {key: value.format(out="out") if isinstance(value, str) else value for key, value in arguments.items()}

    with pytest.raises(error, match=named.replace(".", r"\.")):
        rowmender.repair_many(sources, "out", **arguments)
    assert sorted(os.listdir(tmp_path)) == ["a"]


@pytest.mark.parametrize(
    "arguments",
    [
        {"sources": ["a/x.csv", "b/x.csv"]},
        {"quarantine_dir": "link/"},  # a symbolic link to the existing output folder
        {"output_dir": "file://{tmp}/out", "changes_dir": "link"},
        {"output_dir": "memory://bucket/out", "changes_dir": "memory://bucket/out/"},
    ],
)
def test_clashes_are_refused_by_type(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, arguments: dict[str, Any]
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    (tmp_path / "link").symlink_to("out")
    arguments = {
        "sources": ["a/x.csv"],
        "output_dir": "out",
        **{key: value.format(tmp=tmp_path) if isinstance(value, str) else value for key, value in arguments.items()},
    }

    with pytest.raises(rowmender.SameFileError):
        rowmender.repair_many(**arguments)
    assert sorted(os.listdir(tmp_path)) == ["link", "out"] and not os.listdir(tmp_path / "out")


@pytest.mark.parametrize(
    ("sources", "arguments", "blocked", "packages"),
    [
        (["memory://bucket/x.csv"], {}, "fsspec", "apt install python3-fsspec.*pip install fsspec"),
        (["a/x.csv"], {"output_dir": "s3://bucket/out"}, "fsspec", "apt install python3-fsspec.*pip install fsspec"),
        (
            ["a/x.csv"],
            {"client": object()},
            "distributed",
            r'apt install python3-dask python3-distributed.*pip install "dask\[distributed\]"',
        ),
    ],
)
def test_a_missing_optional_package_is_named(
    monkeypatch: pytest.MonkeyPatch, sources: list[str], arguments: dict[str, Any], blocked: str, packages: str
) -> None:
    monkeypatch.setitem(sys.modules, blocked, None)  # makes the import fail
    arguments = {"output_dir": "out", **arguments}
    with pytest.raises(ImportError, match=packages):
        rowmender.repair_many(sources, **arguments)


def test_an_error_that_does_not_unpickle_comes_back_as_one_that_does(tmp_path: Path) -> None:
    # Such an error, sent back by a worker, would break the pool that carries it.
    fsspec = pytest.importorskip("fsspec")

    class QuotaError(Exception):
        def __init__(self, user: str, limit: int) -> None:
            super().__init__(f"{user} is over the quota of {limit} files")

    class OverQuota(fsspec.AbstractFileSystem):
        def _open(self, path: str, mode: str = "rb", **kwargs: Any) -> Any:
            raise QuotaError("ann", 3)

    fsspec.register_implementation("rowmender-test-quota", OverQuota, clobber=True)
    source = "rowmender-test-quota://x.csv"

    outcome = rowmender.repair_many([source], tmp_path, jobs=1)[source]

    assert isinstance(outcome, Exception)
    assert str(pickle.loads(pickle.dumps(outcome))) == "QuotaError: ann is over the quota of 3 files"


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_callback_that_raises_stops_the_run_and_leaves_only_whole_files(tmp_path: Path, jobs: int) -> None:
    # Files long enough that a worker is usually in the middle of one when the run stops.
    (tmp_path / "in").mkdir()
    sources = []
    for name, data in INPUTS.items():
        sources.append(tmp_path / "in" / name)
        sources[-1].write_bytes(data * 500)
    reference = tmp_path / "reference"
    reference.mkdir()
    for source in sources:
        rowmender.repair(source, reference / source.name, reference / f"{source.name}.quarantine")

    def refuse(source: str, outcome: Any) -> None:
        raise KeyError(source)

    with pytest.raises(KeyError):
        rowmender.repair_many(
            sources, tmp_path / "out", quarantine_dir=tmp_path / "quarantine", jobs=jobs, on_result=refuse
        )

    written = {path.name: path.read_bytes() for path in (tmp_path / "out").iterdir()}
    assert written == {name: (reference / name).read_bytes() for name in written}
    assert sorted(os.listdir(tmp_path / "quarantine")) == sorted(written)
    if jobs == 1:
        assert len(written) == 1


@pytest.mark.parametrize("where", ["memory-sources", "memory-folder"])
def test_memory_files_are_repaired_in_this_process_whatever_jobs_says(tmp_path: Path, where: str) -> None:
    # A worker process would write into its own memory: the results said "done" and the
    # files were nowhere.
    fsspec = pytest.importorskip("fsspec")
    memory = fsspec.filesystem("memory")
    prefix = f"rowmender-test-{uuid.uuid4().hex}"
    sources = []
    for index in range(3):
        if where == "memory-sources":
            memory.pipe(f"/{prefix}/in/{index}.csv", damaged_csv(index))
            sources.append(f"memory://{prefix}/in/{index}.csv")
        else:
            (tmp_path / f"{index}.csv").write_bytes(damaged_csv(index))
            sources.append(str(tmp_path / f"{index}.csv"))
    try:
        results = rowmender.repair_many(sources, f"memory://{prefix}/out", jobs=2)
        assert all(isinstance(outcome, rowmender.RepairReport) for outcome in results.values()), results
        for index in range(3):
            expected = tmp_path / "expected.csv"
            (tmp_path / "source.csv").write_bytes(damaged_csv(index))
            rowmender.repair(tmp_path / "source.csv", expected)
            assert memory.cat(f"/{prefix}/out/{index}.csv") == expected.read_bytes()
    finally:
        memory.rm(f"/{prefix}", recursive=True)
