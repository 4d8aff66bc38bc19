"""The settings of the streaming functions, checked before any file is touched."""

from __future__ import annotations

# Not imported from typing, whose import costs more than a small repair: the names are only
# needed by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# The engine keeps counts in 64 bits; a width beyond that is never meant.
_MAX_COLUMNS = 2**63 - 1


class Settings:
    """The engine's view of the settings: bytes as ints, -1 for "work it out"."""

    __slots__ = ("delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes")

    def __init__(
        self,
        delimiter: int,
        quote_char: int,
        fill_ragged_rows: bool,
        merge_overflow: bool,
        expected_columns: int,
        repair_quotes: bool,
    ) -> None:
        self.delimiter = delimiter
        self.quote_char = quote_char
        self.fill_ragged_rows = fill_ragged_rows
        self.merge_overflow = merge_overflow
        self.expected_columns = expected_columns
        self.repair_quotes = repair_quotes

    def as_arguments(self) -> dict[str, Any]:
        return {
            "delimiter": self.delimiter,
            "quote_char": self.quote_char,
            "fill_ragged_rows": self.fill_ragged_rows,
            "merge_overflow": self.merge_overflow,
            "expected_columns": self.expected_columns,
            "repair_quotes": self.repair_quotes,
        }


def _one_ascii_character(name: str, value: object) -> int:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if len(value) != 1 or not value.isascii():
        raise ValueError(f"{name} must be exactly one ASCII character, got {value!r}")
    if value in "\r\n":
        raise ValueError(f"{name} cannot be a line break")
    return ord(value)


def check_settings(
    delimiter: str | None,
    quote_char: str,
    fill_ragged_rows: bool,
    merge_overflow: bool,
    expected_columns: int | None,
    repair_quotes: bool,
) -> Settings:
    """Checks the settings as the streaming functions take them; raises TypeError or ValueError."""
    delimiter_byte = -1 if delimiter is None else _one_ascii_character("delimiter", delimiter)
    quote_byte = _one_ascii_character("quote_char", quote_char)
    if delimiter_byte == quote_byte:
        raise ValueError(f"delimiter and quote_char cannot be the same character, got {quote_char!r} for both")
    if expected_columns is None:
        columns = -1
    elif isinstance(expected_columns, bool) or not isinstance(expected_columns, int):
        raise TypeError(f"expected_columns must be an int or None, not {type(expected_columns).__name__}")
    elif expected_columns < 0:
        raise ValueError(f"expected_columns cannot be negative, got {expected_columns}")
    elif expected_columns > _MAX_COLUMNS:
        raise ValueError(f"expected_columns is too large: {expected_columns}")
    else:
        columns = expected_columns
    return Settings(delimiter_byte, quote_byte, bool(fill_ragged_rows), bool(merge_overflow), columns,
                    bool(repair_quotes))
