"""Faults that end or hang a process, or print a traceback: each run in a child process."""

import os
import signal
import subprocess
import sys
import time
import zlib
from pathlib import Path

import pytest

import rowmender

PACKAGE_ROOT = str(Path(rowmender.__file__).resolve().parent.parent)
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
# Generous: only a hang should ever reach it.
HANG = 120


def child_env(**extra: str) -> dict[str, str]:
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    return env


# --- Allocation failure is MemoryError on every thread -------------------------------------

# Calls one entry point on the main thread or on a new thread, with the address space limited
# to what the process holds just before the call plus a given number of MiB, and prints the
# outcome. A process calls once: only a thread's first exception can show the fault, and
# memory kept from an earlier call would shift the limits. Limiting from inside keeps the
# sweep on the engine's own work, whatever the interpreter's size; it is the limit that
# `prlimit --as` sets.
LIMITED_CALL = r"""
import resource, sys, threading, zlib
import rowmender
# The modules the package loads on first use are loaded before the limit: compiling one
# under it (where no bytecode was written) fails in the interpreter, not in the engine.
import rowmender._report, rowmender._stream

entry, where, source, output, headroom = sys.argv[1:]
options = dict(expected_columns=3, merge_overflow=False)


def address_space_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def call():
    try:
        if entry == "reader":
            return repr(len(rowmender.SalvageReader(source, **options)))
        if entry == "rows":
            return repr(sum(1 for _ in rowmender.rows(source, **options)))
        if entry == "repair":
            return repr(rowmender.repair(source, output, **options).to_dict())
        return repr(rowmender.salvage_file(source, output, **options).to_dict())
    except MemoryError:
        return "MemoryError"


outcome = []
if where == "thread":
    # Started before the limit, but not yet called into the module.
    ready, go = threading.Event(), threading.Event()
    thread = threading.Thread(target=lambda: (ready.set(), go.wait(), outcome.append(call())))
    thread.start()
    ready.wait()
hard_limit = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (address_space_bytes() + int(headroom) * 2**20, hard_limit))
if where == "thread":
    go.set()
    thread.join()
else:
    outcome.append(call())
resource.setrlimit(resource.RLIMIT_AS, (hard_limit, hard_limit))
if outcome[0] != "MemoryError" and entry in ("salvage_file", "repair"):
    with open(output, "rb") as written:
        outcome[0] += " %08x" % zlib.crc32(written.read())
print(outcome[0])
"""

# Four fields where three are expected, and no merging: every row is quarantined, the case
# whose many small allocations used to run memory out at the worst moment.
ALL_QUARANTINED = b"alpha,beta,gamma,delta\n" * 150_000  # 3.3 MiB
# From too little to hold the input to enough for the whole call.
HEADROOM_MIB = [0, 8, 12, 16, 20, 24, 28, 32, 36, 40, 48, 96]


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than any limit allows")
@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("entry", ["reader", "salvage_file", "rows", "repair"])
def test_running_out_of_memory_raises_memory_error_on_every_thread(tmp_path: Path, entry: str, where: str) -> None:
    source, output = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes(ALL_QUARANTINED)
    if entry == "reader":
        expected = repr(len(rowmender.SalvageReader(str(source), expected_columns=3, merge_overflow=False)))
    elif entry == "rows":
        expected = repr(sum(1 for _ in rowmender.rows(source, expected_columns=3, merge_overflow=False)))
    elif entry == "repair":
        report = rowmender.repair(source, output, expected_columns=3, merge_overflow=False)
        expected = f"{report.to_dict()!r} {zlib.crc32(output.read_bytes()):08x}"
    else:
        summary = rowmender.salvage_file(str(source), str(output), expected_columns=3, merge_overflow=False)
        expected = f"{summary.to_dict()!r} {zlib.crc32(output.read_bytes()):08x}"
    # Threads take their memory from the main thread's heap, as the main thread does, so
    # that both run out at the same points; the thread's C++ state is still its own.
    env = child_env(MALLOC_ARENA_MAX="1")

    outcomes = []
    for headroom in HEADROOM_MIB:
        result = subprocess.run(
            [sys.executable, "-c", LIMITED_CALL, entry, where, str(source), str(output), str(headroom)],
            capture_output=True,
            text=True,
            env=env,
            timeout=HANG,
        )
        # Never a signal, never the C library's exit status 127 after "cannot allocate memory
        # for thread-local data".
        assert result.returncode == 0, f"{headroom} MiB: status {result.returncode}: {result.stderr[-2000:]}"
        outcomes.append(result.stdout.strip())
    assert all(outcome in ("MemoryError", expected) for outcome in outcomes), outcomes
    # The sweep reaches from failure to success, so it crosses every stage of the call.
    assert outcomes[0] == "MemoryError" and outcomes[-1] == expected, outcomes


# --- Ctrl-C ends a blocked read, write or open ---------------------------------------------

# Blocks in one entry point and reports how the call ended. The child sets the usual SIGINT
# handler itself, since a parent may have started it with SIGINT ignored.
BLOCKED_CALL = r"""
import signal, sys
import rowmender

signal.signal(signal.SIGINT, signal.default_int_handler)
case, source, output = sys.argv[1:4]
print("calling", flush=True)
try:
    if case == "reader":
        rowmender.SalvageReader(source)
    else:
        rowmender.salvage_file(source, output)
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


def wait_until_asleep(child: subprocess.Popen[str]) -> None:
    """Waits until the child, having said it is calling, sleeps in a system call."""
    assert child.stdout is not None and child.stdout.readline() == "calling\n"
    deadline = time.monotonic() + HANG
    while time.monotonic() < deadline:
        with open(f"/proc/{child.pid}/stat") as stat:
            if stat.read().rsplit(")", 1)[1].split()[0] == "S":
                return
        time.sleep(0.01)
    pytest.fail("the child never blocked")


@pytest.mark.parametrize("case", ["reader", "input", "output-open", "output-write"])
def test_sigint_ends_a_blocked_call_with_keyboard_interrupt(tmp_path: Path, case: str) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    content = b"".join(b"%d,name %d,note\n" % (i, i) for i in range(20_000))  # far more than a pipe holds
    regular = tmp_path / "in.csv"
    regular.write_bytes(content)
    if case in ("reader", "input"):
        # A writer that stays open (and reads nothing itself: it never reads).
        other_end = os.open(fifo, os.O_RDWR)
        source, output = fifo, tmp_path / "out.csv"
    elif case == "output-open":
        other_end = -1  # nobody ever opens the reading end
        source, output = regular, fifo
    else:
        other_end = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # a reader that never reads
        source, output = regular, fifo
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            BLOCKED_CALL,
            "reader" if case == "reader" else "salvage_file",
            str(source),
            str(output),
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_env(),
    )
    try:
        wait_until_asleep(child)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=HANG)
    finally:
        child.kill()
        child.wait()
        if case == "output-write":
            written = b""
            while chunk := os.read(other_end, 1 << 16):
                written += chunk
        if other_end >= 0:
            os.close(other_end)

    assert (child.returncode, stdout) == (0, "KeyboardInterrupt\n"), stderr
    if case == "input":
        assert not output.exists()
    if case == "output-write":
        # What reached the pipe stays as written: the start of the repaired file.
        expected = tmp_path / "expected.csv"
        rowmender.salvage_file(str(regular), str(expected))
        assert 0 < len(written) < len(content) and expected.read_bytes().startswith(written)


# --- The command line ----------------------------------------------------------------------


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than any limit allows")
def test_running_out_of_memory_is_one_line(tmp_path: Path) -> None:
    # One 32 MB row: the repair streams, but a row must fit in memory, and the limit leaves less.
    (tmp_path / "in.csv").write_bytes(b"a,b\n" + b"1" * 32_000_000)
    program = (
        "import resource, sys\n"
        "from rowmender.cli import main\n"
        "size = next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmSize:')) * 1024\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + 2**22, resource.getrlimit(resource.RLIMIT_AS)[1]))\n"
        "sys.exit(main(['repair', 'in.csv', 'out.csv']))\n"
    )

    result = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, cwd=tmp_path, env=child_env(), timeout=HANG
    )

    assert (result.returncode, result.stderr) == (1, "rowmender: error: not enough memory to repair 'in.csv'\n")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("buffered", [True, False], ids=["buffered", "unbuffered"])
@pytest.mark.parametrize(
    "args",
    [["repair", "in.csv", "out.csv", "--quarantine", "q.csv", "--json"], ["sniff", "in.csv"]],
    ids=["repair", "sniff"],
)
def test_closed_or_full_standard_output_once_the_files_are_written(
    tmp_path: Path, args: list[str], buffered: bool
) -> None:
    (tmp_path / "in.csv").write_bytes(b"a;b;c\n1;2\n3;4;5;6\n")
    env = child_env()
    env.pop("PYTHONUNBUFFERED", None)
    if not buffered:
        env["PYTHONUNBUFFERED"] = "1"

    def run(stdout: object) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "rowmender", *args],
            stdout=stdout,
            stderr=subprocess.PIPE,
            text=True,
            cwd=tmp_path,
            env=env,
            timeout=HANG,
        )  # type: ignore[call-overload]

    complete = run(subprocess.PIPE)
    files = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    read_end, write_end = os.pipe()
    os.close(read_end)  # as `| head -c0` leaves it
    with open(write_end, "wb") as closed_pipe:
        closed = run(closed_pipe)
    with open("/dev/full", "wb") as full_disk:
        full = run(full_disk)

    assert complete.returncode == 0 and complete.stdout
    # As a tool that SIGPIPE ends: no message, and a shell would report 141.
    assert (closed.returncode, closed.stderr) == (-signal.SIGPIPE, "")
    assert (full.returncode, full.stderr) == (
        1,
        "rowmender: error: cannot write to standard output: No space left on device; "
        "free some space or write elsewhere\n",
    )
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == files
