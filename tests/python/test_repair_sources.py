"""repair() reading from file objects: whatever the object raises reaches the caller as it is."""

from __future__ import annotations

import errno
import io
from pathlib import Path
from typing import Any

import pytest

import rowmender


class FailingReader(io.RawIOBase):
    """Gives a few rows, then fails as a decompressor or an interrupted read would."""

    def __init__(self, error: BaseException) -> None:
        super().__init__()
        self._rows = b"a,b\n1,2\n"
        self._error = error

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if not self._rows:
            raise self._error
        n = min(len(buffer), len(self._rows))
        memoryview(buffer).cast("B")[:n] = self._rows[:n]
        self._rows = self._rows[n:]
        return n


@pytest.mark.parametrize(
    "error",
    [KeyboardInterrupt(), ValueError("damaged data"), OSError(errno.EIO, "Input/output error")],
    ids=["interrupted", "value-error", "os-error"],
)
def test_an_error_of_the_source_reaches_the_caller_as_it_is(tmp_path: Path, error: BaseException) -> None:
    with pytest.raises(type(error)) as raised:
        rowmender.repair(FailingReader(error), tmp_path / "out.csv")

    assert raised.value is error
    assert list(tmp_path.iterdir()) == []
