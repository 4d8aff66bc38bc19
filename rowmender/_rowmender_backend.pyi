"""Types of the native module: the three functions and the two classes."""

from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal, Self, TypedDict, final

__version__: str
__all__ = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]

class _SummaryDict(TypedDict):
    """The six values of a summary, keyed by the property names, in this order."""

    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int

@final
class SalvageSummary:
    """Counts of one salvage: an immutable snapshot, made only by the module."""

    @property
    def total_rows(self) -> int: ...
    @property
    def salvaged_rows(self) -> int: ...
    @property
    def repaired_rows(self) -> int: ...
    @property
    def quarantined_rows(self) -> int: ...
    @property
    def detected_delimiter(self) -> str: ...
    @property
    def inferred_columns(self) -> int: ...
    def to_dict(self) -> _SummaryDict: ...

@final
class SalvageReader(Iterator[list[str]]):
    """The kept rows of one file, salvaged once on construction, handed out one per step."""

    def __new__(
        cls,
        file_path: str,
        delimiter: str | None = None,
        quote_char: str = '"',
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: int | None = None,
        repair_quotes: bool = True,
    ) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def __enter__(self) -> Self: ...
    # Accepts anything and never suppresses the exception of the with block.
    def __exit__(self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None) -> Literal[False]: ...
    @property
    def summary(self) -> SalvageSummary: ...

def salvage_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
) -> SalvageSummary: ...
def sniff(sample: str) -> str: ...
def open(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
) -> SalvageReader: ...

# The streaming road behind rowmender.repair and rowmender.rows; not part of __all__.
def _check_settings(
    delimiter: str | None = None,
    quote_char: str | None = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    cleanup: bool | Iterable[str] = False,
    escape_char: str | None = None,
) -> dict[str, Any]: ...

_STREAM_SETTINGS: tuple[str, ...]
_CLEANUP_RULES: tuple[str, ...]

def _repair(
    source: object,
    output: object,
    quarantine: object,
    changes: object,
    names: tuple[str, str | None, str | None, str | None],
    progress: object,
    prefix: bytes,
    decoded: bool,
    settings: dict[str, Any],
    legacy: tuple[bytes, ...] | None = None,
    added_columns: tuple[str, ...] | None = None,
    threads: int = 1,
    sampled: bool = False,
    pieces: object = None,
) -> dict[str, Any]: ...
def _walk_piece(plan: bytes, text: bytes, begin: int, end: int, at_end: bool, settings: dict[str, Any]) -> bytes: ...
@final
class _RowStream(Iterator[list[str]]):
    """The kept rows of a stream, read a window at a time."""

    def __new__(
        cls,
        source: object,
        changes: object,
        names: tuple[str, str | None],
        progress: object,
        release: Callable[[bool], object],
        prefix: bytes,
        decoded: bool,
        settings: dict[str, Any],
        legacy: tuple[bytes, ...] | None = None,
    ) -> Self: ...
    def __next__(self) -> list[str]: ...
    def stats(self) -> dict[str, Any]: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...

# What the HTML report reads the original lines of its examples back with.
def _line_breaks(data: object, after_cr: bool, stops: object) -> tuple[int, bool, list[int]]: ...
