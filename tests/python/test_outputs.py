"""Where repairs write: every output of a repair put in place together or not at all,
temporary files that cannot outlive the process, descriptor names, files that are one file,
owners and hard links."""

from __future__ import annotations

import gzip
import io
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import rowmender
from rowmender import _files

PACKAGE_ROOT = str(Path(rowmender.__file__).resolve().parent.parent)
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")])))
R = [sys.executable, "-m", "rowmender"]
ROOT = hasattr(os, "geteuid") and os.geteuid() == 0

# Every third row short: with --no-fill a third of the rows go to the quarantine.
DATA = b"a,b,c\n" + b"".join(b"%d,%d,x\n" % (i, i * 7919) if i % 3 else b"%d,%d\n" % (i, i) for i in range(20_000))


def run(*args: object, cwd: Path) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([*R, *args], cwd=cwd, env=ENV, capture_output=True, timeout=120)


@pytest.fixture
def small_disk(tmp_path: Path):
    if not ROOT:
        pytest.skip("mounting a tmpfs needs root")
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", disk], capture_output=True).returncode:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield disk
    finally:
        subprocess.run(["umount", "-l", disk], check=True)


def _leave_free(disk: Path, free: int) -> None:
    info = os.statvfs(disk)
    with open(disk / "fill", "wb") as fill:
        os.posix_fallocate(fill.fileno(), 0, max(info.f_bavail * info.f_frsize - free, 1))


def _content(path: Path) -> bytes:
    data = path.read_bytes()
    return gzip.decompress(data) if path.suffix == ".gz" else data


@pytest.mark.parametrize(
    ("how", "output", "quarantine", "changes"),
    [
        pytest.param("cli", "data.csv", "q.csv.gz", None, id="in-place-gz-quarantine"),
        pytest.param("cli", "out.csv", "q.csv.gz", "c.csv.gz", id="gz-quarantine-gz-changes"),
        pytest.param("cli", "out.csv.gz", "q.csv", "c.csv.gz", id="gz-output-plain-quarantine-gz-changes"),
        pytest.param("cli", "data.csv", "q.csv", "c.csv", id="in-place-plain"),
        pytest.param("library", "data.csv", "q.csv", "c.csv", id="library-in-place"),
    ],
)
def test_outputs_are_put_in_place_together_or_not_at_all(
    small_disk: Path, how: str, output: str, quarantine: str, changes: str | None
) -> None:
    """On a disk that fills up at every point of the repair in turn, either every output is
    the new one or every old file is as it was, and no temporary file is left."""
    names = [name for name in (output, quarantine, changes) if name is not None]
    old = {
        name: gzip.compress(b"old " + name.encode()) if name.endswith(".gz") else b"old " + name.encode()
        for name in names
        if name != "data.csv"
    }
    old["data.csv"] = DATA

    def attempt(free: int | None) -> bool:
        (small_disk / "fill").unlink(missing_ok=True)
        for name, data in old.items():
            (small_disk / name).write_bytes(data)
        if free is not None:
            _leave_free(small_disk, free)
        if how == "library":
            try:
                rowmender.repair(
                    small_disk / "data.csv",
                    small_disk / output,
                    small_disk / quarantine,
                    changes=small_disk / changes if changes else None,
                    fill_ragged_rows=False,
                )
            except OSError:
                return False
            return True
        extra = ["--changes", changes] if changes else []
        result = run(
            "repair", "data.csv", output, "--quarantine", quarantine, *extra, "--no-fill", "--quiet", cwd=small_disk
        )
        assert result.returncode in (0, 1), result.stderr
        return result.returncode == 0

    assert attempt(None)
    needed = sum((small_disk / name).stat().st_size for name in names)
    outcomes = set()
    for eighth in range(10):
        done = attempt(needed * eighth // 8)
        outcomes.add(done)
        assert sorted(p.name for p in small_disk.iterdir()) == sorted({*old, *names, "fill"}), eighth
        if done:
            kept, set_aside = _content(small_disk / output), _content(small_disk / quarantine)
            assert kept.count(b"\n") + set_aside.count(b"\n") - 2 == DATA.count(b"\n") - 1
        else:
            assert {name: (small_disk / name).read_bytes() for name in old} == old
    assert outcomes == {True, False}


@pytest.mark.parametrize(
    ("shell", "written", "expected"),
    [
        pytest.param("$R repair in.csv /dev/stdout >> all.csv", "all.csv", b"old\n" + b"a,b\n1,2\n3,\n", id="append"),
        pytest.param("$R repair in.csv /dev/stdout | cat > piped.csv", "piped.csv", b"a,b\n1,2\n3,\n", id="pipe"),
        pytest.param("$R repair in.csv /dev/stderr 2>> all.csv", "all.csv", b"old\n" + b"a,b\n1,2\n3,\n", id="stderr"),
        pytest.param(
            "$R repair in.csv /proc/self/fd/3 3>> all.csv", "all.csv", b"old\n" + b"a,b\n1,2\n3,\n", id="proc-fd"
        ),
        pytest.param("$R repair in.csv >(gzip > x.gz); wait $!", "x.gz", b"a,b\n1,2\n3,\n", id="process-substitution"),
    ],
)
def test_descriptor_names_write_to_the_descriptor(tmp_path: Path, shell: str, written: str, expected: bytes) -> None:
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n3\n")
    (tmp_path / "all.csv").write_bytes(b"old\n")
    env = dict(ENV, R=" ".join(R))
    result = subprocess.run(
        ["bash", "-c", shell.replace("repair", "repair --quiet")],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert _content(tmp_path / written) == expected
    assert not list(tmp_path.glob(".*"))


@pytest.mark.parametrize(
    ("call", "files"),
    [
        pytest.param(lambda: rowmender.repair("in.csv", "new.csv", "new.csv"), ["in.csv"], id="quarantine-is-target"),
        pytest.param(
            lambda: rowmender.repair("in.csv", "new.csv", changes="./new.csv"),
            ["in.csv"],
            id="changes-is-target-spelled-apart",
        ),
        pytest.param(
            lambda: rowmender.repair("in.csv", "o.csv", "q.csv", changes="x/../q.csv"),
            ["in.csv", "x"],
            id="changes-is-quarantine",
        ),
        pytest.param(
            lambda: rowmender.repair(open("in.csv", "rb"), "o.csv", "in.csv"), ["in.csv"], id="file-object-source"
        ),
        pytest.param(
            lambda: rowmender.repair(os.open("in.csv", os.O_RDONLY), "o.csv", changes="link.csv"),
            ["in.csv", "link.csv"],
            id="descriptor-source-symlink",
        ),
        pytest.param(
            lambda: rowmender.repair("in.csv", open("in.csv", "r+b")), ["in.csv"], id="file-object-target-over-source"
        ),
        pytest.param(
            lambda: rowmender.rows("in.csv", changes="link.csv"), ["in.csv", "link.csv"], id="rows-changes-is-source"
        ),
    ],
)
def test_one_file_under_two_names_is_refused(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, call, files) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in.csv").write_bytes(b"a,b\n1\n")
    (tmp_path / "x").mkdir()
    (tmp_path / "link.csv").symlink_to("in.csv")
    with pytest.raises(rowmender.SameFileError) as raised:
        call()
    assert isinstance(raised.value, ValueError)
    assert (tmp_path / "in.csv").read_bytes() == b"a,b\n1\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted({*files, "x", "link.csv"})


@pytest.mark.skipif(not ROOT, reason="giving a file away needs root")
def test_in_place_keeps_the_owner_and_refuses_hard_links(tmp_path: Path) -> None:
    data = tmp_path / "data.csv"
    data.write_bytes(b"a,b\n1\n")
    os.chown(data, 65534, 65534)
    data.chmod(0o640)
    rowmender.repair(data, data)
    info = data.stat()
    assert (info.st_uid, info.st_gid, info.st_mode & 0o777, data.read_bytes()) == (65534, 65534, 0o640, b"a,b\n1,\n")

    os.link(data, tmp_path / "other.csv")
    result = run("repair", "data.csv", "data.csv", cwd=tmp_path)
    assert result.returncode == 1
    assert b"has 2 hard links" in result.stderr and b"copy the result over it" in result.stderr
    assert data.read_bytes() == (tmp_path / "other.csv").read_bytes() == b"a,b\n1,\n"
    assert data.stat().st_ino == (tmp_path / "other.csv").stat().st_ino
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.csv", "other.csv"]


@pytest.mark.parametrize("nameless", [True, False], ids=["O_TMPFILE", "named"])
def test_the_longest_names_take_a_repair(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, nameless: bool) -> None:
    if not nameless:
        monkeypatch.setattr(_files, "_with_tmpfile", lambda: False)
    target = tmp_path / ("x" * 251 + ".csv")
    target.write_bytes(b"old")
    rowmender.repair(io.BytesIO(b"a,b\n1\n"), target, tmp_path / ("q" * 255), changes=tmp_path / "c.csv")
    assert target.read_bytes() == b"a,b\n1,\n"
    assert sorted(len(p.name) for p in tmp_path.iterdir()) == [5, 255, 255]


KILLED_MID_REPAIR = r"""
import os, signal, sys
import rowmender

class Source:
    def __init__(self):
        self.blocks = 0
    def readinto(self, buffer):
        self.blocks += 1
        if self.blocks == 50:
            os.kill(os.getpid(), signal.SIGKILL)
        data = (b"1,2,3\n" * (len(buffer) // 6 + 1))[: len(buffer)]
        buffer[: len(data)] = data
        return len(data)

rowmender.repair(Source(), sys.argv[1], sys.argv[2], changes=sys.argv[3])
"""


def test_a_killed_repair_leaves_no_temporary_file(tmp_path: Path) -> None:
    names = [tmp_path / name for name in ("out.csv", "q.csv", "c.csv")]
    names[0].write_bytes(b"old")
    child = subprocess.run([sys.executable, "-c", KILLED_MID_REPAIR, *names], env=ENV, timeout=120)
    assert child.returncode == -signal.SIGKILL
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.csv"]
    assert names[0].read_bytes() == b"old"


@pytest.mark.parametrize(
    ("args", "said"),
    [
        pytest.param(
            ["repair", "in.csv", "--output-dir", "in.csv"],
            b"cannot write into 'in.csv': it is a file, not a folder",
            id="output-dir-is-a-file",
        ),
        pytest.param(["repair", b"caf\xff.csv", "out.csv"], b"'caf\\xff.csv': No such file", id="name-not-utf-8"),
        pytest.param(
            ["repair", "in.csv", b"nowhere\xff/out.csv"],
            b"'nowhere\\xff/out.csv': 'nowhere\\xff'",
            id="folder-not-utf-8",
        ),
    ],
)
def test_messages_name_files_as_they_are(tmp_path: Path, args: list[str | bytes], said: bytes) -> None:
    (tmp_path / "in.csv").write_bytes(b"a,b\n1\n")
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert said in result.stderr, result.stderr
    assert result.stderr.count(b"\n") == 1
