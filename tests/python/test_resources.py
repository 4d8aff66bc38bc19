"""Nothing leaks: no file descriptors, no references, no memory; threads change nothing."""

import gc
import os
import sys
import threading

import pytest

import rowmender

CSV = b'id,name,note\n1,Ann\n2,Bob,likes "tea",extra\n\n3,"Cy, Jr",ok\n'


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(CSV * 20)
    return str(path)


def exercise_every_entry_point(source, tmp_path):
    """Success and error paths of every entry point, once."""
    out, quarantine = str(tmp_path / "out.csv"), str(tmp_path / "q.csv")
    missing = str(tmp_path / "missing.csv")
    rowmender.salvage_file(source, out, quarantine, expected_columns=3, merge_overflow=False)
    with rowmender.open(source) as reader:
        for _ in reader:
            pass
        reader.summary.to_dict()
        repr(reader.summary)
    rowmender.sniff("a;b\nc;d\n")
    for call in (
        lambda: rowmender.salvage_file(missing, out),
        lambda: rowmender.salvage_file(source, str(tmp_path / "no" / "out.csv")),
        lambda: rowmender.salvage_file(source, out, ""),
        lambda: rowmender.SalvageReader(missing),
        lambda: rowmender.SalvageReader(str(tmp_path)),
        lambda: rowmender.open("bad\0path"),
        lambda: rowmender.salvage_file(source, out, fill_ragged_rows=1),
        lambda: rowmender.SalvageReader(source, expected_columns=-1),
        lambda: rowmender.sniff(b"bytes"),
    ):
        with pytest.raises((OSError, TypeError, OverflowError)):
            call()


def test_no_file_descriptor_outlives_a_call(source, tmp_path):
    exercise_every_entry_point(source, tmp_path)
    before = open_fds()
    for _ in range(50):
        exercise_every_entry_point(source, tmp_path)
    assert open_fds() == before


def test_repeated_calls_do_not_grow_memory_or_references(source, tmp_path):
    delimiter, quote = ";", "'"
    refs_before = (sys.getrefcount(source), sys.getrefcount(delimiter), sys.getrefcount(quote))
    for _ in range(200):
        exercise_every_entry_point(source, tmp_path)
        rowmender.SalvageReader(source, delimiter=delimiter, quote_char=quote)
    gc.collect()
    baseline = rss_kib()
    for _ in range(2000):
        exercise_every_entry_point(source, tmp_path)
        rowmender.SalvageReader(source, delimiter=delimiter, quote_char=quote)
    gc.collect()
    assert (sys.getrefcount(source), sys.getrefcount(delimiter), sys.getrefcount(quote)) == refs_before
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return  # AddressSanitizer keeps freed memory in quarantine, so RSS says nothing there
    # Allocator noise stays well under a megabyte or two; a leak per call would be far more.
    assert rss_kib() - baseline < 4096


def test_absurd_width_is_a_memory_error_not_a_crash(source, tmp_path):
    for _ in range(3):
        with pytest.raises(MemoryError):
            rowmender.SalvageReader(source, expected_columns=2**62)
        with pytest.raises(MemoryError):
            rowmender.salvage_file(source, str(tmp_path / "out.csv"), expected_columns=2**62)
    # The process is intact and the next call works.
    assert len(rowmender.SalvageReader(source, expected_columns=3)) == 100


def test_threads_get_the_same_results_as_one_thread(tmp_path):
    sources = []
    for i in range(6):
        path = tmp_path / f"in{i}.csv"
        path.write_bytes((CSV * (50 + i)).replace(b",", b";" if i % 2 else b","))
        sources.append(str(path))

    def work(index):
        out = str(tmp_path / f"out{index}.csv")
        summary = rowmender.salvage_file(sources[index], out).to_dict()
        rows = list(rowmender.open(sources[index]))
        with open(out, "rb") as file:
            return summary, rows, file.read()

    expected = [work(i) for i in range(len(sources))]
    results = [None] * len(sources)
    errors = []

    def run(index):
        try:
            for _ in range(20):
                results[index] = work(index)
                assert results[index] == expected[index]
        except BaseException as error:  # reported below, with the thread's own failure
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(sources))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert results == expected


def test_unreadable_file_raises_permission_error(tmp_path):
    import subprocess

    path = tmp_path / "secret.csv"
    path.write_bytes(CSV)
    path.chmod(0)
    tmp_path.chmod(0o755)
    code = (
        "import rowmender\n"
        "try:\n"
        f"    rowmender.SalvageReader({str(path)!r})\n"
        "except PermissionError as e:\n"
        "    assert str(e).endswith(' (os error 13)') and e.errno is None, e\n"
        "    print('ok')\n"
    )
    if os.geteuid() != 0:
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    else:
        # Root reads anything: drop to an unprivileged user for this one call.
        try:
            result = subprocess.run(
                [sys.executable, "-c", code],
                capture_output=True,
                text=True,
                user=65534,
                env={**os.environ, "HOME": "/"},
            )
        except PermissionError:
            pytest.skip("cannot switch to an unprivileged user here")
    if "ModuleNotFoundError" in result.stderr or "Permission denied" in result.stderr:
        pytest.skip("the unprivileged user cannot reach the built package here")
    assert result.stdout.strip() == "ok", result.stderr
