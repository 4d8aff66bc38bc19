"""encoding="auto" and the refusal of binary files, on files made to look like real exports."""

from __future__ import annotations

import codecs
import gzip
import io
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rowmender
from rowmender._files import foreign_lines

NAMES = ["Noël", "Zürich", "José", "São Paulo", "Müller", "Françoise", "Café", "naïve", "Øresund"]


def export(rows: int, separator: str = ";", line_end: str = "\r\n") -> str:
    lines = ["id;name;city;amount".replace(";", separator)]
    lines += [
        separator.join((str(i), NAMES[i % 9], NAMES[i * 7 % 9], f"{i * 37 % 1000},{i % 100:02d}")) for i in range(rows)
    ]
    return line_end.join(lines) + line_end


def xlsx() -> bytes:
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w") as archive:
        archive.writestr("[Content_Types].xml", "<Types/>")
        archive.writestr("xl/workbook.xml", "<workbook/>")
    return data.getvalue()


JAPANESE = "名前,都市\n" + "".join(f"{i},田中太郎,東京都新宿区{i}\n" for i in range(300))
CYRILLIC = "".join(f"{i},Иванов Пётр,Москва,улица Ленина {i}\n" for i in range(200))
# (file's bytes, the codec "auto" must choose, the text the file holds, as its writer meant it)
CASES = {
    "cp1252-export": (export(300).replace("Café", "Café €").encode("cp1252"), "cp1252", None),
    "latin-1": (export(300, ",", "\n").encode("latin-1"), "cp1252", "latin-1"),
    # The detector's guesses for German umlauts alone are mac-latin2 ("MŁller") and cp1250.
    "cp1252-umlauts": (
        ("Nr;Kunde;Ort;Monat\r\n" + "".join(f"{i};Müller;Köln;März\r\n" for i in range(300))).encode("cp1252"),
        "cp1252",
        None,
    ),
    "utf-16-le-without-mark": (export(300, "\t").encode("utf-16-le"), "utf-16-le", None),
    "utf-32-be-without-mark": (export(50, "\t").encode("utf-32-be"), "utf-32-be", None),
    "cp1251": (CYRILLIC.encode("cp1251"), "cp1251", None),
    # The detector's own first guess for this is cp949, which reads it as Korean.
    "shift-jis": (JAPANESE.encode("shift_jis"), "cp932", "shift_jis"),
    "utf-8": (export(300).encode(), "utf-8", None),
    "utf-8-starting-with-PK": (b"PKZ;x\n" + export(3).encode(), "utf-8", None),
    # Rows appended in latin-1: the UTF-8 rows kept as they are, the others read in cp1252.
    "utf-8-with-latin-1-rows": (export(300).encode() + export(20)[23:].encode("latin-1"), "utf-8", "mixed"),
    # The other way round: a cp1252 export with rows appended by a program that writes UTF-8,
    # wherever they are.
    "cp1252-with-utf-8-rows": (export(3000).encode("cp1252") + export(20)[23:].encode(), "cp1252", "mixed"),
    # Past the first 64 KiB, where only a regular file's last lines are looked at.
    "utf-8-with-latin-1-rows-at-the-end": (
        export(3000).encode() + export(20)[23:].encode("latin-1"),
        "utf-8",
        "mixed",
    ),
    # Only in the middle, found when the bytes they had replaced are counted: read again.
    "utf-8-with-latin-1-rows-in-the-middle": (
        export(3000).encode() + export(20)[23:].encode("latin-1") + export(3000)[23:].encode(),
        "utf-8",
        "mixed",
    ),
    "utf-8-mark-before-cp1252": (codecs.BOM_UTF8 + export(300).encode("cp1252"), "cp1252", None),
}


def _is_utf8(line: bytes) -> bool:
    try:
        line.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _utf8_or(line: bytes, other: str) -> str:
    try:
        return line.decode("utf-8")
    except UnicodeDecodeError:
        return line.decode(other)


def expected_text(data: bytes, encoding: str, decoded_as: str | None) -> str:
    if decoded_as == "mixed":
        lines = data.splitlines(keepends=True)
        return "".join(line.decode("utf-8") if line.isascii() else _utf8_or(line, "cp1252") for line in lines)
    if encoding == "cp1252" and data.startswith(codecs.BOM_UTF8):
        return "\ufeff" + data[3:].decode("cp1252")
    return data.decode(decoded_as or encoding)


@pytest.mark.parametrize("kind", ["path", "file object"])
@pytest.mark.parametrize("case", CASES)
def test_auto_reads_each_file_as_its_own_text(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, case: str, kind: str
) -> None:
    data, encoding, decoded_as = CASES[case]
    if case.endswith(("at-the-end", "in-the-middle")) and kind == "file object":
        pytest.skip("a stream is judged by its first bytes alone, and not read again")
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    # The reference: the text decoded here, given to the engine as UTF-8.
    reference = io.BytesIO()
    text = expected_text(data, encoding, decoded_as)
    expected = rowmender.repair(io.BytesIO(text.encode("utf-8", "surrogatepass")), reference)

    if kind == "path":
        # Into files, which a second reading may write again, on one thread and on three.
        report = rowmender.repair(path, tmp_path / "out.csv", encoding="auto")
        monkeypatch.setenv("ROWMENDER_PIECE_BYTES", "4099")
        assert rowmender.repair(path, tmp_path / "out3.csv", encoding="auto", threads=3) == report
        assert (tmp_path / "out3.csv").read_bytes() == (tmp_path / "out.csv").read_bytes()
        written = (tmp_path / "out.csv").read_bytes()
    else:
        out = io.BytesIO()
        report = rowmender.repair(io.BufferedReader(io.BytesIO(data)), out, encoding="auto")  # type: ignore[arg-type]
        written = out.getvalue()

    assert report.encoding == encoding
    assert written == reference.getvalue()
    assert report.byte_order_mark == expected.byte_order_mark == data.startswith(codecs.BOM_UTF8)
    assert report.rows_with_replaced_bytes == 0
    # Rows read in the other encoding: those not UTF-8 in a UTF-8 file, those of UTF-8 in a
    # cp1252 file.
    other = "cp1252" if encoding == "utf-8" else "utf-8"
    foreign = sum(not line.isascii() and _is_utf8(line) == (other == "utf-8") for line in data.splitlines())
    assert (report.transcoded_rows, report.other_encoding) == ((foreign, other) if decoded_as == "mixed" else (0, None))
    transcoded = ("transcoded_rows", "other_encoding") if decoded_as == "mixed" else ()
    expected_counts = {**expected.to_dict(), **{key: getattr(report, key) for key in transcoded}}
    assert report.to_dict() == {**expected_counts, "bytes_read": len(data), "encoding": encoding}
    if case.endswith("in-the-middle"):
        return  # a row stream yields rows as it reads: it does not read them again
    with rowmender.rows(path, encoding="auto") as stream:
        assert list(stream) == list(rowmender.rows(io.BytesIO(text.encode("utf-8", "surrogatepass"))))
        assert stream.report.encoding == encoding


@pytest.mark.parametrize(
    ("head", "kind"),
    [
        (xlsx(), "a zip archive (an .xlsx, .docx or .ods file is one)"),
        (b"PK\x05\x06" + bytes(18), "an empty zip archive"),
        (b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n", "a PDF document"),
        (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504), "an OLE2 compound file (an old .xls or .doc file is one)"),
        (b"SQLite format 3\x00" + bytes(84), "an SQLite database"),
    ],
)
def test_a_binary_file_is_refused_by_every_road(tmp_path: Path, head: bytes, kind: str) -> None:
    path = tmp_path / "x.xlsx"
    path.write_bytes(head)
    for encoding in (None, "auto", "cp1252"):
        for attempt in (
            lambda: rowmender.repair(path, tmp_path / "out.csv", encoding=encoding),
            lambda: rowmender.rows(io.BytesIO(head), encoding=encoding),
            lambda: rowmender.open_repaired(io.BytesIO(head), encoding=encoding).read(),
        ):
            with pytest.raises(rowmender.NotTextError) as raised:
                attempt()
            assert str(raised.value).endswith(f" is {kind}, not delimited text")
    assert not (tmp_path / "out.csv").exists()
    (outcome,) = rowmender.repair_many([path], tmp_path / "many").values()
    assert isinstance(outcome, rowmender.NotTextError) and str(path) in str(outcome)


def test_the_command_line_refuses_a_compressed_xlsx_as_a_file_error(tmp_path: Path) -> None:
    (tmp_path / "report.xlsx.gz").write_bytes(gzip.compress(xlsx()))
    root = str(Path(rowmender.__file__).resolve().parent.parent)
    done = subprocess.run(
        [sys.executable, "-m", "rowmender", "repair", "report.xlsx.gz", "out.csv", "--encoding", "auto"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": root},
    )
    assert done.returncode == 1
    assert done.stderr == (
        "rowmender: error: 'report.xlsx.gz' is a zip archive (an .xlsx, .docx or .ods file is one), "
        "not delimited text\n"
    )
    assert not (tmp_path / "out.csv").exists()


# Lines of ASCII, of UTF-8 letters, and of bytes that are not UTF-8 (cp1252 letters, a
# character cut short), the last one maybe without its line feed.
_LINE_PARTS = st.sampled_from([b"a;b", b"1,5", "Köln".encode(), "東京".encode(), b"K\xf6ln", b"\xe2\x82", b"\xff"])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    lines=st.lists(st.lists(_LINE_PARTS, max_size=8).map(b"".join), max_size=30),
    end=st.booleans(),
    block=st.integers(4, 64),
)
def test_foreign_lines_are_the_lines_that_are_not_utf8(
    tmp_path: Path, lines: list[bytes], end: bool, block: int
) -> None:
    data = b"\n".join(lines) + (b"\n" if end and lines else b"")
    path = tmp_path / "scanned.csv"
    path.write_bytes(data)
    whole = [line + b"\n" for line in data.split(b"\n")[:-1]] + [data.split(b"\n")[-1]]
    expected = b"".join(line for line in whole if not _is_utf8(line))
    fd = os.open(path, os.O_RDONLY)
    try:
        # Lines longer than 16 blocks are judged in parts: none here is.
        assert foreign_lines(fd, limit=1 << 20, block=max(block, len(data) // 16 + 4)) == expected
        assert foreign_lines(fd, limit=5, block=block) == expected[:5]
        assert os.lseek(fd, 0, os.SEEK_CUR) == 0
    finally:
        os.close(fd)
