"""salvage_file(): the repaired file and the quarantine file, byte for byte, and its errors."""

import os

import pytest

import rowmender

EXAMPLE = bytes.fromhex(
    "efbbbf69642c6e616d652c6e6f74650a312c416e6e0a322c426f622c6c696b65732022746561222c65787472610a0a"
    "332c2243792c204a72222c6f6b0a"
)
HEADER = b"line,reason,raw_content\n"
NO_SUCH_FILE = f"{os.strerror(2)} (os error 2)"
# The example with the long row merged instead of quarantined, as the defaults do.
MERGED = b'id,name,note\n1,Ann,\n2,Bob,"likes ""tea"",extra"\n,,\n3,"Cy, Jr",ok\n'


@pytest.fixture
def paths(tmp_path):
    source = tmp_path / "in.csv"
    source.write_bytes(EXAMPLE)
    return source, tmp_path / "out.csv", tmp_path / "q.csv"


def salvage(tmp_path, content, **options):
    """Salvages `content`; returns the summary, the output bytes and the quarantine bytes."""
    source, output, quarantine = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv"
    source.write_bytes(content)
    summary = rowmender.salvage_file(str(source), str(output), str(quarantine), **options)
    return summary, output.read_bytes(), quarantine.read_bytes()


def test_worked_example(paths):
    source, output, quarantine = paths
    assert len(EXAMPLE) == 61
    summary = rowmender.salvage_file(str(source), str(output), str(quarantine), ",", '"', True, False, 3, True)
    assert output.read_bytes() == b'id,name,note\n1,Ann,\n,,\n3,"Cy, Jr",ok\n'
    assert len(output.read_bytes()) == 37
    assert quarantine.read_bytes() == HEADER + b'4,"Row has extra columns (expected 3)","2,Bob,likes ""tea"",extra"\n'
    assert len(quarantine.read_bytes()) == 91
    assert repr(summary) == (
        "<SalvageSummary total_rows=5 salvaged_rows=4 repaired_rows=2 quarantined_rows=1 "
        "delimiter=',' inferred_columns=3>"
    )
    assert source.read_bytes() == EXAMPLE


def test_worked_example_merged(paths):
    source, output, quarantine = paths
    summary = rowmender.salvage_file(str(source), str(output), str(quarantine), expected_columns=3)
    assert output.read_bytes() == MERGED
    assert len(MERGED) == 65
    assert quarantine.read_bytes() == HEADER
    assert (summary.salvaged_rows, summary.repaired_rows, summary.quarantined_rows) == (5, 3, 0)


def test_no_quarantine_file_without_a_path(paths):
    source, output, _ = paths
    summary = rowmender.salvage_file(str(source), str(output), None, merge_overflow=False)
    assert summary.quarantined_rows == 1
    assert sorted(p.name for p in source.parent.iterdir()) == ["in.csv", "out.csv"]


@pytest.mark.parametrize(
    "content, options, output, quarantine",
    [
        (b"", {}, b"", HEADER),
        (b"\n\n\n", {}, b"\n\n\n", HEADER),
        (
            b"a,b,c\n\nd,e,f",
            {"fill_ragged_rows": False},
            b"a,b,c\nd,e,f\n",
            HEADER + b'3,"Row has too few columns (expected 3)",""\n',
        ),
        # A row whose quoted field spans lines 5 and 6 is recorded with the line after it.
        (
            b'a,b\nc,d\ne,f\ng,h\n"x\ny",1,2\n',
            {"merge_overflow": False},
            b"a,b\nc,d\ne,f\ng,h\n",
            HEADER + b'7,"Row has extra columns (expected 2)","x\ny,1,2"\n',
        ),
        (
            b"a,b\r\nc,d\r\ne\r\n",
            {"fill_ragged_rows": False},
            b"a,b\nc,d\n",
            HEADER + b'4,"Row has too few columns (expected 2)","e"\n',
        ),
        (b"nul\0byte,x\n", {}, b"nul\0byte,x\n", HEADER),
        (
            b"a;b,c;d\ne;f;g\n",
            {"delimiter": ";", "merge_overflow": False, "expected_columns": 2},
            b"",
            HEADER + b'2,"Row has extra columns (expected 2)","a;b,c;d"\n'
            b'3,"Row has extra columns (expected 2)","e;f;g"\n',
        ),
        (b'a;x"y"\n', {"delimiter": ";", "expected_columns": 2}, b'a;"x""y"""\n', HEADER),
        (
            b"a,it's\n'b,c',d\n",
            {"quote_char": "'", "expected_columns": 2, "merge_overflow": False},
            b"a,'it''s'\n'b,c',d\n",
            HEADER,
        ),
        (b"a\tb\tc\n1\t2\n", {"merge_overflow": False}, b"a\tb\tc\n1\t2\t\n", HEADER),
    ],
    ids=lambda value: None if not isinstance(value, bytes) else value[:12].decode(errors="replace"),
)
def test_output_formats(tmp_path, content, options, output, quarantine):
    summary, written, quarantined = salvage(tmp_path, content, **options)
    assert written == output
    assert quarantined == quarantine
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert summary.quarantined_rows == quarantine.count(b'"Row has ')


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"expected_columns": 0},
        {"expected_columns": 4, "fill_ragged_rows": False},
        {"expected_columns": 1, "merge_overflow": False},
        {"delimiter": "|", "expected_columns": 7},
    ],
)
def test_summary_invariants(tmp_path, options):
    summary, written, _ = salvage(tmp_path, EXAMPLE + b'x,y,z,w\n"open,quote\n', **options)
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert summary.repaired_rows <= summary.salvaged_rows
    assert written.count(b"\n") >= summary.salvaged_rows
    if "expected_columns" in options:
        assert summary.inferred_columns == options["expected_columns"]
    reader = rowmender.SalvageReader(str(tmp_path / "in.csv"), **options)
    assert reader.summary.to_dict() == summary.to_dict()


def test_lines_longer_than_the_write_buffer(tmp_path):
    sizes = [10, 8190, 8191, 8192, 20000, 3, 9000]
    rows = [[f"{i}", "x" * size, 'q"' * (size // 7 + 1)] for i, size in enumerate(sizes)]
    content = b"".join(f'{a},{b},"{c.replace(chr(34), chr(34) * 2)}"\n'.encode() for a, b, c in rows * 40)
    _, written, _ = salvage(tmp_path, content)
    assert written == content
    assert len(written) > 1_000_000


def test_output_is_truncated_and_created_with_the_umask(tmp_path):
    old_mask = os.umask(0o027)
    try:
        salvage(tmp_path, b"a,b\n")
    finally:
        os.umask(old_mask)
    assert (tmp_path / "out.csv").stat().st_mode & 0o777 == 0o640
    (tmp_path / "out.csv").write_bytes(b"x" * 500)
    assert salvage(tmp_path, b"c,d\n")[1] == b"c,d\n"


def assert_plain_oserror(raised, message):
    assert type(raised.value) is OSError
    assert str(raised.value) == message
    assert raised.value.args == (message,)
    assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (None, None, None)


def test_missing_input(tmp_path):
    output = tmp_path / "out.csv"
    with pytest.raises(OSError) as raised:
        rowmender.salvage_file(str(tmp_path / "missing.csv"), str(output), str(tmp_path / "q.csv"))
    assert_plain_oserror(raised, NO_SUCH_FILE)
    assert list(tmp_path.iterdir()) == []
    output.write_bytes(b"keep me")
    with pytest.raises(OSError):
        rowmender.salvage_file(str(tmp_path / "missing.csv"), str(output))
    assert output.read_bytes() == b"keep me"


@pytest.mark.parametrize(
    "make_paths, message",
    [
        (lambda d: (d / "in\0.csv", d / "out.csv", d / "q.csv"), "file name contained an unexpected NUL byte"),
        (lambda d: (d, d / "out.csv", d / "q.csv"), f"{os.strerror(21)} (os error 21)"),
        (lambda d: (d / "in.csv", d / "no" / "out.csv", d / "q.csv"), NO_SUCH_FILE),
        (lambda d: (d / "in.csv", d, d / "q.csv"), f"{os.strerror(21)} (os error 21)"),
    ],
)
def test_errors_before_any_output(paths, make_paths, message):
    source, output, quarantine = (str(p) for p in make_paths(paths[0].parent))
    with pytest.raises(OSError) as raised:
        rowmender.salvage_file(source, output, quarantine)
    assert_plain_oserror(raised, message)
    assert sorted(p.name for p in paths[0].parent.iterdir()) == ["in.csv"]
    assert paths[0].read_bytes() == EXAMPLE


@pytest.mark.parametrize(
    "quarantine, message",
    [
        ("", NO_SUCH_FILE),
        ("q\0.csv", "file name contained an unexpected NUL byte"),
        ("link.csv", "quarantine_path names the same file as output_path"),
        ("hard.csv", "quarantine_path names the same file as output_path"),
    ],
)
def test_quarantine_failures_leave_the_output_complete(paths, monkeypatch, quarantine, message):
    source, output, _ = paths
    monkeypatch.chdir(source.parent)
    output.write_bytes(b"previous output")
    os.symlink("out.csv", "link.csv")
    os.link("out.csv", "hard.csv")
    with pytest.raises(OSError) as raised:
        rowmender.salvage_file("in.csv", "out.csv", quarantine)
    assert_plain_oserror(raised, message)
    assert output.read_bytes() == MERGED


@pytest.mark.skipif(not os.path.exists("/dev/null"), reason="needs /dev/null")
def test_both_outputs_may_be_discarded(paths):
    # A device keeps nothing, so naming it twice cannot truncate a repaired file.
    summary = rowmender.salvage_file(str(paths[0]), "/dev/null", "/dev/null", merge_overflow=False)
    assert summary.quarantined_rows == 1


@pytest.mark.parametrize("quarantine", ["in.csv", "sub/../in.csv", "link.csv", "hard.csv"])
def test_quarantine_naming_the_input_fails_before_anything_is_written(paths, monkeypatch, quarantine):
    # The quarantine file would replace the input, which is not yet given back repaired.
    source, output, _ = paths
    monkeypatch.chdir(source.parent)
    output.write_bytes(b"previous output")
    os.mkdir("sub")
    os.symlink("in.csv", "link.csv")
    os.link("in.csv", "hard.csv")
    with pytest.raises(OSError) as raised:
        rowmender.salvage_file(str(source), str(output), quarantine, merge_overflow=False)
    assert_plain_oserror(raised, "quarantine_path names the same file as input_path")
    assert source.read_bytes() == EXAMPLE
    assert output.read_bytes() == b"previous output"


def test_output_may_replace_the_input(paths):
    source, _, quarantine = paths
    summary = rowmender.salvage_file(str(source), str(source), str(quarantine))
    assert source.read_bytes() == MERGED
    assert summary.salvaged_rows == 5


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("content", [EXAMPLE, b"a," + b"x" * 9000 + b"\n"])
def test_full_device(tmp_path, content):
    source = tmp_path / "in.csv"
    source.write_bytes(content)
    quarantine = tmp_path / "q.csv"
    with pytest.raises(OSError) as raised:
        rowmender.salvage_file(str(source), "/dev/full", str(quarantine))
    assert_plain_oserror(raised, f"{os.strerror(28)} (os error 28)")
    assert not quarantine.exists()
    output = tmp_path / "out.csv"
    with pytest.raises(OSError) as raised:
        rowmender.salvage_file(str(source), str(output), "/dev/full")
    assert_plain_oserror(raised, f"{os.strerror(28)} (os error 28)")
    assert output.read_bytes() == (MERGED if content == EXAMPLE else content)
